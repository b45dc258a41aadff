#include "app/StopKeys.h"

#include "drive/DriveStop.h"
#include "drive/ProgramEnd.h"

#include <QAbstractSpinBox>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSocketNotifier>
#include <QTextEdit>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>

namespace {
// X key symbols (X11/keysymdef.h).
constexpr uint32_t EscapeSymbol = 0xff1b;
constexpr uint32_t SpaceSymbol = 0x0020;

StopKeys *g_watcher = nullptr;

// The motors off now, every drive told to stop.
void EmergencyStop()
{
    drivestop::Request();
    drivestop::TakeEffect();
}
} // namespace

bool IsEditField(const QWidget *w)
{
    if (!w)
        return false;
    if (const auto *box = qobject_cast<const QComboBox *>(w))
        return box->isEditable();
    return qobject_cast<const QLineEdit *>(w) || qobject_cast<const QAbstractSpinBox *>(w) ||
           qobject_cast<const QTextEdit *>(w) || qobject_cast<const QPlainTextEdit *>(w);
}

bool IsStopKey(int key, const QWidget *focus)
{
    return key == Qt::Key_Escape || (key == Qt::Key_Space && !IsEditField(focus));
}

StopKeys::StopKeys(QWidget &window) : window_(window)
{
    if (QGuiApplication::platformName() == QLatin1String("xcb") && Connect(window)) {
        g_watcher = this;
        const int fd = xcb_get_file_descriptor(x_);
        notifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { ReadKeys(); });
        programend::WatchKeys(fd, &StopKeys::ReadKeysOfTheWatcher);
    }
    qApp->installEventFilter(this);
}

StopKeys::~StopKeys()
{
    if (qApp)
        qApp->removeEventFilter(this);
    programend::WatchKeys(-1, nullptr);
    g_watcher = nullptr;
    if (x_)
        xcb_disconnect(x_);
}

bool StopKeys::Connect(QWidget &window)
{
    const char *display = std::getenv("DISPLAY");
    xcb_connection_t *x = xcb_connect(display, nullptr);
    if (xcb_connection_has_error(x)) {
        xcb_disconnect(x);
        return false;
    }
    // Which key codes give the two keys on this keyboard.
    const xcb_setup_t *setup = xcb_get_setup(x);
    const int first = setup->min_keycode;
    const int count = setup->max_keycode - setup->min_keycode + 1;
    xcb_get_keyboard_mapping_reply_t *mapping = xcb_get_keyboard_mapping_reply(
        x, xcb_get_keyboard_mapping(x, setup->min_keycode, static_cast<uint8_t>(count)), nullptr);
    if (mapping) {
        const xcb_keysym_t *symbols = xcb_get_keyboard_mapping_keysyms(mapping);
        const int perCode = mapping->keysyms_per_keycode;
        for (int code = 0; code < count; ++code)
            for (int i = 0; i < perCode; ++i) {
                const xcb_keysym_t symbol = symbols[code * perCode + i];
                if (symbol == EscapeSymbol)
                    escape_.push_back(static_cast<uint8_t>(first + code));
                else if (symbol == SpaceSymbol)
                    space_.push_back(static_cast<uint8_t>(first + code));
            }
        free(mapping);
    }
    // Key presses reach every client that selects them on the window the
    // keyboard focus is in; the toolkit's selection is not disturbed.
    const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS;
    xcb_change_window_attributes(x, static_cast<xcb_window_t>(window.winId()), XCB_CW_EVENT_MASK, &mask);
    xcb_flush(x);
    x_ = x;
    return true;
}

void StopKeys::ReadKeysOfTheWatcher()
{
    if (g_watcher)
        g_watcher->ReadKeys();
}

void StopKeys::ReadKeys()
{
    bool stop = false;
    while (xcb_generic_event_t *event = xcb_poll_for_event(x_)) {
        if ((event->response_type & 0x7f) == XCB_KEY_PRESS) {
            const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
            const auto is = [&](const std::vector<uint8_t> &codes) {
                return std::find(codes.begin(), codes.end(), press->detail) != codes.end();
            };
            stop |= is(escape_) || (is(space_) && !IsEditField(QApplication::focusWidget()));
        }
        free(event);
    }
    if (xcb_connection_has_error(x_) && notifier_)
        notifier_->setEnabled(false); // the display has gone: the program ends anyway
    if (stop)
        EmergencyStop();
}

bool StopKeys::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto *widget = qobject_cast<QWidget *>(watched);
    // The main window's keys only: a message box keeps its Escape.
    if (!widget || widget->window() != &window_)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (!IsStopKey(key->key(), QApplication::focusWidget()))
        return false;
    // Without a watcher, the key is read here, in the event loop.
    if (!x_ && event->type() == QEvent::KeyPress && !key->isAutoRepeat())
        EmergencyStop();
    return true;
}
