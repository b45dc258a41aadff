#pragma once
// Names the arena window to the control program, so that its stop keys work
// there too (core/ArenaWindow.h): a property of the root window naming the
// window under the port socket's path, and the same property on the window.
// Set once the window shows; the root's removed when this ends. On a platform
// other than X11 (offscreen, in the tests) it does nothing. Lives on the GUI
// thread no longer than the window.
#include <cstdint>
#include <string>

class QWidget;
struct xcb_connection_t;

class ArenaMark {
public:
    ArenaMark(QWidget &window, const std::string &socketPath);
    ~ArenaMark();
    ArenaMark(const ArenaMark &) = delete;
    ArenaMark &operator=(const ArenaMark &) = delete;

private:
    xcb_connection_t *x_ = nullptr; // the toolkit's connection
    uint32_t root_ = 0;
    uint32_t atom_ = 0;
};
