#pragma once
// The emergency stop keys: Escape, and the space bar while no edit field has
// the focus. Either stops every drive at once (drive/DriveStop.h): a pulse
// under way (its sleep wakes and it writes 0), a move series (its remaining
// rows are skipped), "Ruch ciagly", the sensor drives and the camera line
// follower (as their STOP does). Nothing else of the window acts on them.
//
// A pulse holds the GUI thread, so the keys cannot wait for the toolkit's
// event loop: on the X11 platform a watcher with a display connection of its
// own selects the main window's key presses, and the pulse's sleep watches
// that connection (programend::WatchKeys), as it watches for the end of the
// program. In the event loop a socket notifier reads it. On other platforms
// the keys work from the event loop only.
//
// The virtual robot's arena window (robot-sim, another process) is watched the
// same way: the watcher follows the root window's name for the arena of the
// port socket the program reaches (core/ArenaWindow.h), so a robot-sim started
// after the program or again is found, and there Escape and the space bar
// both stop the drives (the arena has no edit fields; its pause is P).
//
// Lives on the GUI thread for as long as the main window.
#include <QObject>

#include <cstdint>
#include <vector>

class QSocketNotifier;
class QWidget;
struct xcb_connection_t;

class StopKeys : public QObject {
public:
    explicit StopKeys(QWidget &window);
    ~StopKeys() override;
    StopKeys(const StopKeys &) = delete;
    StopKeys &operator=(const StopKeys &) = delete;

protected:
    // The toolkit's own key events: the stop keys are the watcher's (or, with
    // no watcher, handled here), never a focused button's.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    bool Connect(QWidget &window);
    // Reads what the watcher's connection has; asks for a stop when a stop
    // key was pressed.
    void ReadKeys();
    static void ReadKeysOfTheWatcher();
    // Looks up which window the root names as the arena now, and watches its
    // key presses (and its end) instead of the one before.
    void FollowArena();

    QWidget &window_;
    xcb_connection_t *x_ = nullptr;
    QSocketNotifier *notifier_ = nullptr;
    std::vector<uint8_t> escape_; // key codes that give Escape
    std::vector<uint8_t> space_;  // and the space bar
    uint32_t root_ = 0;
    uint32_t arenaAtom_ = 0; // the name of our arena; 0: none is looked for
    uint32_t arena_ = 0;     // the arena window watched; 0: none
};

// True when the key (a toolkit key code) stops the drives with `focus` having
// the keyboard focus: Escape always, the space bar unless an edit field
// (form/EditField.h) has it.
bool IsStopKey(int key, const QWidget *focus);
