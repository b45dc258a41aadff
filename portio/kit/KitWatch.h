#pragma once
// The kit's watch: a thread of the port library's own that waits, holding no
// lock, on the guard's link and on the device's input, and calls the kit back
// when either has something. So a guard that ends is noticed when it happens
// (not at the next motor write), and a device that sends without pause is
// read whether or not the program reads.
//
// Started at the first access and never joined. Every signal is blocked on
// its thread (they stay the program's), it holds the kit's lock only inside
// the kit's callback, and it ends once the callback says the kit has closed.
// A process that ends takes it along; the library is never unloaded
// (-z nodelete), so its code outlives any caller.
//
// Owns the thread's wake-up descriptor (an eventfd, shared with the thread
// until both have let go). The descriptors it waits on belong to others: the
// guard's link to GuardLink, the device's input to the backend. The kit
// compares the set after every access and calls Wake() when it changed, so
// that the thread lets go of a closed one at once (a poll in progress holds
// the file open: a serial device would keep its lock and its DTR).
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace portkit {

// What the watch waits on; -1 for nothing.
struct WatchSet {
    int Link = -1;  // the guard's link: readable once the guard has ended (it never writes)
    int Input = -1; // the device: readable when it has sent something
    bool operator==(const WatchSet &other) const { return Link == other.Link && Input == other.Input; }
    bool operator!=(const WatchSet &other) const { return !(*this == other); }
};

// What one wait found on the set it waited on.
struct WatchFound {
    bool LinkEnded = false;  // the link is readable, hung up or broken
    bool InputReady = false; // the device has something, or an error a read will report
};

class KitWatch {
public:
    // Runs on the watch's thread, first before any wait and then after each:
    // handles what was found on `waited` and returns the set to wait on next,
    // or nothing to end the watch. It takes the kit's lock itself.
    using Visit = std::function<std::optional<WatchSet>(const WatchSet &waited, const WatchFound &found)>;

    KitWatch() = default;
    // Tells a running thread to end at its next wake-up, without calling back
    // again; does not wait for a call under way (the kit, never destroyed,
    // needs no more).
    ~KitWatch();
    KitWatch(const KitWatch &) = delete;
    KitWatch &operator=(const KitWatch &) = delete;

    // Starts the thread; false with the reason when it cannot be had.
    bool Start(Visit visit, std::string &error);
    // Makes the thread ask for the set again now. Cheap; safe from any thread.
    void Wake();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace portkit
