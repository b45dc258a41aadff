#pragma once
// What a port library and its guard (port-guard) say to each other.
//
// The link is a SOCK_SEQPACKET socket pair, one message per packet:
//   'O' <slot> <kind> <payload...>   an order (portkit::GuardOrder); the
//                                    device's open file, when it has one,
//                                    rides along as SCM_RIGHTS
//   'Q'                              the program ends normally: stand down,
//                                    write nothing
// The guard never writes on the link; the library sees it gone when the link
// hangs up.
//
// Besides the link they share one page (a memfd): the library notes there
// what the data register holds, with a plain store per write and no system
// call, and the guard reads it to tell whether a stopped program has left a
// motor running.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace guardproto {

constexpr char OrderMessage = 'O';
constexpr char StandDownMessage = 'Q';
// An order's bytes before its payload: message, slot, kind.
constexpr size_t OrderHeader = 3;
constexpr size_t MaxMessage = 16 * 1024;

// The guard's descriptors once it runs: the link and the page.
constexpr int LinkFd = 3;
constexpr int PageFd = 4;

// How often the guard looks at the page (and, while a motor code is held, at
// the program's state): a stopped program is caught within twice this.
constexpr int WatchMs = 50;

struct SharedPage {
    std::atomic<int32_t> Held{0};    // the data register's value as last written
    std::atomic<uint32_t> Writes{0}; // data-register writes so far
    std::atomic<uint32_t> Cuts{0};   // the guard switched the motors off while the program was stopped
};
static_assert(std::atomic<int32_t>::is_always_lock_free && std::atomic<uint32_t>::is_always_lock_free,
              "the page is shared between processes");
constexpr size_t PageSize = 4096;
static_assert(sizeof(SharedPage) <= PageSize);

// The trace's own order kind (the kit's, slot 0): the guard appends
// "<ns>,W,<data register>,0" to the trace file it was given.
constexpr char TraceKind = 'T';

} // namespace guardproto
