#include "app/StopKeys.h"

#include "core/ArenaWindow.h"
#include "drive/DriveStop.h"
#include "drive/ProgramEnd.h"
#include "form/EditField.h"

#include <QApplication>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <string>

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

// The port socket of the virtual robot the port library reaches, where the
// virtual robot's library looks for it: ROBOT_SIM_SOCKET, else robot-sim.sock
// in XDG_RUNTIME_DIR; empty when neither is set.
std::string SimSocketPath()
{
    if (const char *named = std::getenv("ROBOT_SIM_SOCKET"); named && *named)
        return named;
    if (const char *runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
        return std::string(runtime) + "/robot-sim.sock";
    return {};
}

// The window a WINDOW property names; 0 for none (no such property, or no
// such window any more).
xcb_window_t NamedWindow(xcb_connection_t *x, xcb_window_t on, xcb_atom_t name)
{
    xcb_get_property_reply_t *reply =
        xcb_get_property_reply(x, xcb_get_property(x, 0, on, name, XCB_ATOM_WINDOW, 0, 1), nullptr);
    xcb_window_t named = 0;
    if (reply && reply->format == 32 && xcb_get_property_value_length(reply) == 4)
        named = *static_cast<const xcb_window_t *>(xcb_get_property_value(reply));
    free(reply);
    return named;
}
} // namespace

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
        ReadKeys(); // what the start's look-ups left in the queue
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
    int screenNumber = 0;
    xcb_connection_t *x = xcb_connect(display, &screenNumber);
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
    x_ = x;
    // The arena's name on the root window, followed from now on.
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    const std::string socket = SimSocketPath();
    if (screens.rem && !socket.empty()) {
        const std::string name = ArenaAtomName(socket);
        xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
            x, xcb_intern_atom(x, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr);
        if (atom) {
            root_ = screens.data->root;
            arenaAtom_ = atom->atom;
            const uint32_t rootMask = XCB_EVENT_MASK_PROPERTY_CHANGE;
            xcb_change_window_attributes(x, root_, XCB_CW_EVENT_MASK, &rootMask);
            FollowArena();
        }
        free(atom);
    }
    xcb_flush(x);
    return true;
}

void StopKeys::FollowArena()
{
    xcb_window_t named = NamedWindow(x_, root_, arenaAtom_);
    // The window must name itself: a name left by a robot-sim that crashed
    // may stand for a window id another program has since been given.
    if (named && NamedWindow(x_, named, arenaAtom_) != named)
        named = 0;
    if (named == arena_)
        return;
    if (arena_) {
        const uint32_t none = 0;
        xcb_change_window_attributes(x_, arena_, XCB_CW_EVENT_MASK, &none);
    }
    arena_ = named;
    if (arena_) {
        const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        xcb_change_window_attributes(x_, arena_, XCB_CW_EVENT_MASK, &mask);
    }
    xcb_flush(x_);
}

void StopKeys::ReadKeysOfTheWatcher()
{
    if (g_watcher)
        g_watcher->ReadKeys();
}

void StopKeys::ReadKeys()
{
    // Looking up the arena reads the connection: what came meanwhile waits in
    // its queue, unseen by the notifier and the sleep, so it is read here.
    for (bool again = true; again;) {
        bool stop = false;
        bool arenaNamed = false;
        while (xcb_generic_event_t *event = xcb_poll_for_event(x_)) {
            switch (event->response_type & 0x7f) {
            case XCB_KEY_PRESS: {
                const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event);
                const auto is = [&](const std::vector<uint8_t> &codes) {
                    return std::find(codes.begin(), codes.end(), press->detail) != codes.end();
                };
                // In the arena the space bar always stops: it has no edit fields.
                const bool inArena = arena_ && press->event == arena_;
                stop |= is(escape_) || (is(space_) && (inArena || !IsEditField(QApplication::focusWidget())));
                break;
            }
            case XCB_PROPERTY_NOTIFY: {
                const auto *change = reinterpret_cast<const xcb_property_notify_event_t *>(event);
                arenaNamed |= arenaAtom_ && change->window == root_ && change->atom == arenaAtom_;
                break;
            }
            case XCB_DESTROY_NOTIFY:
                if (reinterpret_cast<const xcb_destroy_notify_event_t *>(event)->window == arena_)
                    arena_ = 0;
                break;
            default: break; // an error: a window gone before it was watched
            }
            free(event);
        }
        if (stop)
            EmergencyStop();
        if (xcb_connection_has_error(x_)) {
            if (notifier_)
                notifier_->setEnabled(false); // the display has gone: the program ends anyway
            return;
        }
        again = arenaNamed;
        if (arenaNamed)
            FollowArena();
    }
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
