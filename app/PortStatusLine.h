#pragma once
// The status line under the tab pages: which port the program drives and its
// state (connected, absent, lost, starting), as the port library says it, or
// the library file the loader found when the library says nothing
// (PortIoStatusLine, drive/PortIo.h). Looked at about twice a second on the
// GUI thread, never during a pulse (the thread is held): the first look
// starts opening the device, later ones let the library look again for a
// device that is not there and pass on its messages. A change is shown at
// once, as plain text (control characters as spaces, a long text cut, whole
// in the tooltip), and written on standard error. The label belongs to the
// window; this lives on the GUI thread no longer than it.
#include <QObject>
#include <QTimer>

#include <string>

class QLabel;

class PortStatusLine : public QObject {
public:
    static constexpr int PeriodMs = 500;

    explicit PortStatusLine(QLabel &label);
    // Looks now.
    void Refresh();

private:
    QLabel &label_;
    QTimer timer_;
    std::string shown_;
};
