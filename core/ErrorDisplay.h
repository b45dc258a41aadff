#pragma once
// The one place where errors reach the operator. Every handler runs its body
// through RunHandler; an exception that escapes it is shown here and the rest
// of the handler is skipped, as a message-driven toolkit does for each message.
//
// The display is replaceable: by default it writes the message to standard
// error; the program puts its message box in at start-up (app/main.cpp), and
// the tests record the messages instead.
#include <exception>
#include <functional>
#include <string>
#include <utility>

using ErrorDisplayFn = std::function<void(const std::string &message)>;

// Shows the message on the display now in place.
void ShowErrorMessage(const std::string &message);

// The default display: "robot: <message>" on standard error.
void ShowOnStandardError(const std::string &message);

// Replaces the display and returns the previous one. An empty function
// restores the default display.
ErrorDisplayFn SetErrorDisplay(ErrorDisplayFn display);

// Shows the message once control is back in the event loop, after the handler
// or frame callback now running: a message box must not hold a pulse or a
// frame open. Without an application object there is no loop to wait for,
// and it is shown at once.
void ShowAfterHandler(const std::string &message);

// An error that is shown the first time it happens only (after the current
// handler), until Forget().
class ReportOnce {
public:
    // True when this call showed the message; false when one was shown before.
    bool operator()(const std::string &message);
    void Forget() { reported_ = false; }

private:
    bool reported_ = false;
};

// Runs one handler body; its exception, whatever it is, goes to `show` as a
// message.
template <class Body, class Show>
void RunHandler(Body &&body, Show &&show)
{
    try {
        body();
    } catch (const std::exception &e) {
        show(std::string(e.what()));
    } catch (...) {
        show(std::string("Unknown error"));
    }
}

// Runs one handler body; its exception goes to the display.
template <class Body>
void RunHandler(Body &&body)
{
    RunHandler(std::forward<Body>(body), ShowErrorMessage);
}
