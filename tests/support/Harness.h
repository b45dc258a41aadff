#pragma once
// Shared test scaffolding: a fresh working directory, the port trace of the
// recording library, recorded error messages, and the main window.
#include "form/Unit1.h"

#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct PortAccess {
    int64_t ns;
    char kind; // 'W' or 'R'
    int port;
    int value;
};

// Reads a trace file of the recording library.
std::vector<PortAccess> ReadTrace(const std::string &path);
// The values written to the data register, in order.
std::vector<int> DataWrites(const std::vector<PortAccess> &trace);

struct Pulse {
    int code;
    double ms;
};
// The pulses of a trace: each write of a non-zero code, held up to the next access.
std::vector<Pulse> Pulses(const std::vector<PortAccess> &trace);

// Processes events until `done` holds (true) or `ms` milliseconds pass (false).
bool WaitUntil(const std::function<bool()> &done, int ms = 5000);
// Processes events for `ms` milliseconds.
void ProcessFor(int ms);

// Puts the process into a fresh working directory with the program's folders,
// points the recording library's trace (and, optionally, status script) at
// files of its own, and records error messages instead of showing them.
// Tear-down drops the capture hooks, stops the camera state and unsets the
// environment switches the tests set (capture source, audio sink).
class RobotTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The main window, created on first use.
    TForm1 &Form();
    std::vector<PortAccess> Trace() const { return ReadTrace(tracePath_); }
    std::vector<int> Writes() const { return DataWrites(Trace()); }
    // Sets the status readings the recording library returns from now on.
    void ScriptStatus(const std::vector<int> &values);
    // Runs `action` from the event loop after `ms` milliseconds (a click made
    // while a handler drains messages).
    void After(int ms, std::function<void()> action);
    // The status reads in the trace so far.
    size_t Reads() const;
    // Runs `click` at the first drain once `reads` status reads are in the
    // trace. One timer per click: a timer does not fire while its own callback runs.
    void ClickAfterReads(size_t reads, std::function<void()> click);
    // Milliseconds between the i-th and the next write; -1 without a next.
    double Held(size_t i) const;
    std::string Dir() const { return dir_->path().toStdString(); }

    std::vector<std::string> errors;

private:
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<TForm1> form_;
    std::string tracePath_;
    int scripts_ = 0;
    QString oldCwd_;
    std::vector<std::unique_ptr<QTimer>> timers_;
};
