#pragma once
// One emulated adapter on the emulated USB bus: its sysfs device in the
// umockdev testbed and the usbfs requests on its device node
// (/dev/bus/usb/001/NNN), answered as the kernel's usbfs driver answers them.
//
// Every process that opens the node under umockdev's preload library is a
// client: its own connection to this handler, as every open usbfs file is
// its own file to the kernel. Claims are per client, as usbfs keeps them per
// open file, and go when the client's connection closes (the process closed
// the node, or died). Control requests to the device (FTDI's vendor
// requests are addressed to the device, not to an interface) need no claim,
// as in usbfs; bulk transfers need the interface, and take it when nobody
// holds it, as usbfs does.
//
// The requests arrive on umockdev's worker thread, one at a time for all
// clients of all adapters: nothing here takes a lock but the unplug flag.
#include "emulator/FtdiChip.h"

#include <umockdev.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ftdiemu {

// One line per access (ftdi-emulator --log), written whole with one write():
//   <ns> <adapter> <client> <pid> <event> <detail> <result> <directions> <high>
// ns: CLOCK_MONOTONIC; adapter: its bus path (1-2); client: the connection,
// counted from 1 (0: the emulator itself); pid: the client's process, -1 when
// unknown; event: connect, close, claim, release, get-driver, detach, attach,
// control, bitmode, read-pins, latency, reset, flush-to-host, write, mpsse, read,
// unplug, ... or ioctl-<hex> for a request usbfs would not know; detail: its
// arguments without blanks, "-" for none; result: ok, an errno name, or
// stall; directions and high: the lines that are outputs, and those of them
// driven high, after the access (two hex digits each).
class EventLog {
public:
    explicit EventLog(const std::string &path);
    ~EventLog();
    EventLog(const EventLog &) = delete;
    EventLog &operator=(const EventLog &) = delete;

    void Write(const std::string &adapter, int client, int pid, const std::string &event,
               const std::string &detail, const std::string &result, uint8_t directions, uint8_t high);

private:
    int fd_ = -1;
};

struct AdapterSetup {
    ChipModel Model = ChipModel::FT232R;
    std::string Serial;
    int Port = 2;                 // on root hub 1: the bus path is 1-<Port>
    int DeviceNumber = 2;         // /dev/bus/usb/001/<DeviceNumber>
    std::vector<uint8_t> PinScript;
};

struct FaultSetup {
    bool ClaimedElsewhere = false; // another program holds the interface
    bool SerialDriver = false;     // the kernel's ftdi_sio is bound to the interface
    bool DetachRefused = false;    // ... and usbfs refuses to let it go (EACCES)
    int UnplugAfter = 0;           // the N-th pin access and all later fail: pulled out
    bool NoRule = false;           // the node as without the project's udev rule
};

class Adapter {
public:
    Adapter(UMockdevTestbed *testbed, const AdapterSetup &setup, const FaultSetup &faults, EventLog &log);
    ~Adapter();
    Adapter(const Adapter &) = delete;
    Adapter &operator=(const Adapter &) = delete;

    // Attaches the handler and adds the device to the testbed. False (with
    // a message on stderr) when umockdev refuses.
    bool Plug();
    // Pulled out: every request fails with ENODEV from now on, and the
    // device leaves sysfs. Call on the main thread.
    void Unplug();

    const std::string &BusPath() const { return busPath_; }
    const std::string &Node() const { return node_; }
    bool Gone() const { return gone_.load(); }
    const AdapterSetup &Setup() const { return setup_; }
    const FaultSetup &Faults() const { return faults_; }

private:
    struct Urb {
        UMockdevIoctlData *Struct = nullptr; // the client's usbdevfs_urb
        UMockdevIoctlData *Buffer = nullptr; // its buffer
        unsigned long ClientAddress = 0;
        int64_t ReadyNs = 0;
        bool BulkIn = false;      // filled from the chip when reaped
        int Status = 0;
        std::vector<uint8_t> In;  // the data of a control IN transfer
        int Actual = 0;
    };
    struct Client {
        int Id = 0;
        int Pid = -1;
        unsigned long SocketInode = 0;
        int SocketFd = -1; // the emulator's end of the client's connection
        bool HoldsInterface = false;
        std::deque<Urb> Urbs;
        UMockdevIoctlClient *Object = nullptr;
    };

    static void OnConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self);
    static gboolean OnSweep(gpointer self);
    static gboolean OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self);

    void Connected(UMockdevIoctlClient *object);
    void Closed(UMockdevIoctlClient *object);
    // Lets go of the clients whose connection has closed.
    void Sweep();
    bool Ioctl(Client &client, UMockdevIoctlClient *object);
    int Submit(Client &client, UMockdevIoctlData *arg);
    int Reap(Client &client, UMockdevIoctlData *arg, bool wait);
    int Discard(Client &client, unsigned long address);
    int ClaimInterface(Client &client, unsigned iface, const char *event);
    // The bulk endpoints' interface for this client, as usbfs takes it when
    // a transfer comes without a claim.
    int UseInterface(Client &client);
    bool CountPinAccess();
    void Log(const Client *client, const std::string &event, const std::string &detail, int error);
    void Log(const Client *client, const std::string &event, const std::string &detail, const std::string &result);
    void FailPendingUrbs();

    UMockdevTestbed *testbed_;
    AdapterSetup setup_;
    FaultSetup faults_;
    EventLog &log_;
    Chip chip_;
    UMockdevIoctlBase *handler_ = nullptr;
    std::string busPath_, node_, nodeFile_, sysPath_, socketPath_;

    std::map<UMockdevIoctlClient *, Client> clients_;
    // The connections of clients that have gone: their sockets may stay open
    // here a while, and must not be taken for a new client's.
    std::set<unsigned long> goneSockets_;
    int nextClient_ = 1;
    int holder_ = 0;              // the client holding the interface; -1 another program
    bool driverBound_ = false;    // ftdi_sio
    int pinAccesses_ = 0;
    GSource *sweep_ = nullptr;
    std::atomic<bool> gone_{false};
};

} // namespace ftdiemu
