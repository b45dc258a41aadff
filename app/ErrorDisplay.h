#pragma once
// The one place where errors reach the operator. Every handler runs its body
// through RunHandler; an exception that escapes it is shown here and the rest
// of the handler is skipped, as a message-driven toolkit does for each message.
#include <exception>
#include <functional>
#include <string>

using ErrorDisplayFn = std::function<void(const std::string &message)>;

// Shows the message; by default on standard error and in a modal message box
// over the main window.
void ShowErrorMessage(const std::string &message);

// Replaces the display (tests record messages instead of blocking on a box).
// Returns the previous display. An empty function restores the message box.
ErrorDisplayFn SetErrorDisplay(ErrorDisplayFn display);

// Runs one handler body; its exception, whatever it is, goes to the display.
template <class Body>
void RunHandler(Body &&body)
{
    try {
        body();
    } catch (const std::exception &e) {
        ShowErrorMessage(e.what());
    } catch (...) {
        ShowErrorMessage("Unknown error");
    }
}
