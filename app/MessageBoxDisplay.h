#pragma once
// The program's error display: every error message goes to standard error,
// for the operator's terminal and for logs, and into a modal message box over
// the active window. Installed by main() in place of the default display.
#include <string>

void ShowInMessageBox(const std::string &message);
