#include "core/ErrorDisplay.h"

#include <cstdio>

namespace {
ErrorDisplayFn &CurrentDisplay()
{
    static ErrorDisplayFn display;
    return display;
}
} // namespace

void ShowOnStandardError(const std::string &message)
{
    std::fprintf(stderr, "robot: %s\n", message.c_str());
    std::fflush(stderr);
}

void ShowErrorMessage(const std::string &message)
{
    if (CurrentDisplay())
        CurrentDisplay()(message);
    else
        ShowOnStandardError(message);
}

ErrorDisplayFn SetErrorDisplay(ErrorDisplayFn display)
{
    ErrorDisplayFn previous = std::move(CurrentDisplay());
    CurrentDisplay() = std::move(display);
    return previous;
}
