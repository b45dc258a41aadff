#include "emulator/FtdiUsbfs.h"

#include "core/Clock.h"
#include "emulator/EmulatorText.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace ftdiemu {
namespace {

// The adapter's one interface and its bulk endpoints.
constexpr unsigned AdapterInterface = 0;
constexpr unsigned char BulkOutEndpoint = 0x02;
constexpr unsigned char BulkInEndpoint = 0x81;
constexpr unsigned char ControlEndpoint = 0x00;
constexpr size_t SetupSize = 8;
constexpr uint8_t RecipientMask = 0x1F;
constexpr uint8_t RecipientInterface = 0x01;
// Vendor request "read pins": an access to the lines, as the bulk writes are.
constexpr uint8_t ReadPinsRequest = 0x0C;

// What usbfs tells libusb it can do; the same as a current kernel.
constexpr uint32_t Capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                  USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

// USB device nodes: character major 189, minor (bus - 1) * 128 + device - 1.
constexpr int UsbDeviceMajor = 189;
// How often the clients' connections are checked: a client that closed the
// node or died lets go of its claim within this time (umockdev tells no one).
constexpr guint SweepMs = 2;
// The kernel's serial driver for FTDI chips.
constexpr const char *SerialDriverName = "ftdi_sio";
// The node's mode with and without the project's udev rule (Debian's default
// for a USB device is 0664 root:root; the rule gives group plugdev write access).
constexpr mode_t NodeMode = 0664;
constexpr const char *RuleGroup = "plugdev";

std::string ErrnoName(int value)
{
    const char *name = emulator::ErrnoName(value);
    return name ? name : "E" + std::to_string(value);
}

std::string Hex(unsigned long v)
{
    char text[24];
    std::snprintf(text, sizeof text, "%lx", v);
    return text;
}

std::string HexBytes(const uint8_t *bytes, size_t n)
{
    std::string text;
    char two[4];
    for (size_t i = 0; i < n && i < 32; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        text += two;
    }
    if (n > 32)
        text += "...";
    return text.empty() ? "-" : text;
}

// The newest accepted connection on the socket at `path`: a socket of this
// process bound to that path, not listening, and none of `known`. Gives its
// inode and the connecting process (SO_PEERCRED).
bool FindNewConnection(const std::string &path, const std::set<unsigned long> &known, unsigned long &inode,
                       int &pid, int &socketFd)
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return false;
    bool found = false;
    while (dirent *entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] < '0' || entry->d_name[0] > '9' || fd == dirfd(dir))
            continue;
        struct stat st;
        if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) || known.count(st.st_ino))
            continue;
        int listening = 0;
        socklen_t size = sizeof listening;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || listening)
            continue;
        sockaddr_un address{};
        socklen_t length = sizeof address;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0 ||
            address.sun_family != AF_UNIX || path != address.sun_path)
            continue;
        ucred peer{};
        size = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0)
            continue;
        inode = st.st_ino;
        pid = peer.pid;
        socketFd = fd;
        found = true;
        break;
    }
    closedir(dir);
    return found;
}

// The usbfs requests by name, for the log.
std::string RequestName(unsigned long request)
{
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        return "capabilities";
    case USBDEVFS_GET_SPEED:
        return "speed";
    case USBDEVFS_CONNECTINFO:
        return "connect-info";
    case USBDEVFS_CLAIMINTERFACE:
        return "claim";
    case USBDEVFS_RELEASEINTERFACE:
        return "release";
    case USBDEVFS_GETDRIVER:
        return "get-driver";
    case USBDEVFS_IOCTL:
        return "ioctl";
    case USBDEVFS_DISCONNECT_CLAIM:
        return "disconnect-claim";
    case USBDEVFS_SETCONFIGURATION:
        return "set-configuration";
    case USBDEVFS_SETINTERFACE:
        return "set-interface";
    case USBDEVFS_CLEAR_HALT:
        return "clear-halt";
    case USBDEVFS_RESETEP:
        return "reset-endpoint";
    case USBDEVFS_RESET:
        return "usb-reset";
    case USBDEVFS_SUBMITURB:
        return "submit";
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        return "reap";
    case USBDEVFS_DISCARDURB:
        return "discard";
    default:
        return "ioctl-" + Hex(request);
    }
}

template <typename T> T *Resolve(UMockdevIoctlData *arg, UMockdevIoctlData *&holder)
{
    holder = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), nullptr);
    return holder ? reinterpret_cast<T *>(holder->data) : nullptr;
}

void Unref(UMockdevIoctlData *&data)
{
    if (data)
        g_object_unref(data);
    data = nullptr;
}

} // namespace

// ---- The log --------------------------------------------------------------

EventLog::EventLog(const std::string &path)
{
    if (!path.empty())
        fd_ = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (!path.empty() && fd_ < 0)
        std::fprintf(stderr, "ftdi-emulator: cannot write the log %s: %s\n", path.c_str(), std::strerror(errno));
}

EventLog::~EventLog()
{
    if (fd_ >= 0)
        close(fd_);
}

void EventLog::Write(const std::string &adapter, int client, int pid, const std::string &event,
                     const std::string &detail, const std::string &result, uint8_t directions, uint8_t high)
{
    if (fd_ < 0)
        return;
    char tail[16];
    std::snprintf(tail, sizeof tail, " %02x %02x\n", directions, high);
    const std::string line = std::to_string(MonotonicNs()) + " " + adapter + " " + std::to_string(client) + " " +
                             std::to_string(pid) + " " + event + " " + (detail.empty() ? "-" : detail) + " " +
                             result + tail;
    (void)!write(fd_, line.data(), line.size());
}

// ---- The adapter ------------------------------------------------------------

Adapter::Adapter(UMockdevTestbed *testbed, const AdapterSetup &setup, const FaultSetup &faults, EventLog &log)
    : testbed_(testbed), setup_(setup), faults_(faults), log_(log),
      chip_(setup.Model, setup.Serial, setup.PinScript)
{
    busPath_ = "1-" + std::to_string(setup.Port);
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", setup.DeviceNumber);
    node_ = node;
    driverBound_ = faults.SerialDriver;
    if (faults.ClaimedElsewhere)
        holder_ = -1;
}

Adapter::~Adapter()
{
    if (sweep_) {
        g_source_destroy(sweep_);
        g_source_unref(sweep_);
    }
    for (auto &entry : clients_) {
        for (Urb &urb : entry.second.Urbs) {
            Unref(urb.Struct);
            Unref(urb.Buffer);
        }
        g_object_unref(entry.first);
    }
    if (handler_)
        g_object_unref(handler_);
}

bool Adapter::Plug()
{
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(OnIoctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(OnConnected), this);
    // The handler first, so that whoever sees the device can open it.
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, node_.c_str(), handler_, &error)) {
        std::fprintf(stderr, "ftdi-emulator: cannot attach to %s: %s\n", node_.c_str(),
                     error ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    socketPath_ = std::string(root) + "/ioctl" + node_;
    // Any local user may be a client: the node's own mode decides who may open it.
    chmod(socketPath_.c_str(), 0666);

    const ChipFacts &facts = chip_.Facts();
    const std::vector<uint8_t> descriptors = chip_.Descriptors();
    std::string hex;
    for (uint8_t b : descriptors) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", b);
        hex += two;
    }
    char text[2048];
    std::snprintf(text, sizeof text,
                  "P: /devices/pci0000:00/0000:00:14.0/usb1/%s\n"
                  "N: bus/usb/001/%03d\n"
                  "E: SUBSYSTEM=usb\n"
                  "E: DEVTYPE=usb_device\n"
                  "E: DRIVER=usb\n"
                  "E: DEVNAME=%s\n"
                  "E: BUSNUM=001\n"
                  "E: DEVNUM=%03d\n"
                  "E: PRODUCT=403/%x/%x\n"
                  "E: ID_VENDOR_ID=0403\n"
                  "E: ID_MODEL_ID=%04x\n"
                  "E: ID_SERIAL_SHORT=%s\n"
                  "A: busnum=1\\n\n"
                  "A: devnum=%d\\n\n"
                  "A: devpath=%d\\n\n"
                  "A: dev=%d:%d\\n\n"
                  "A: speed=%d\\n\n"
                  "A: bConfigurationValue=1\\n\n"
                  "A: bNumConfigurations=1\\n\n"
                  "A: bNumInterfaces= 1\\n\n"
                  "A: idVendor=0403\\n\n"
                  "A: idProduct=%04x\\n\n"
                  "A: bcdDevice=%04x\\n\n"
                  "A: manufacturer=FTDI\\n\n"
                  "A: product=%s\\n\n"
                  "A: serial=%s\\n\n"
                  "H: descriptors=%s\n",
                  busPath_.c_str(), setup_.DeviceNumber, node_.c_str(), setup_.DeviceNumber, facts.Product,
                  facts.Release, facts.Product, setup_.Serial.c_str(), setup_.DeviceNumber, setup_.Port,
                  UsbDeviceMajor, setup_.DeviceNumber - 1, facts.SpeedMbps, facts.Product, facts.Release,
                  facts.ProductText, setup_.Serial.c_str(), hex.c_str());
    if (!umockdev_testbed_add_from_string(testbed_, text, &error)) {
        std::fprintf(stderr, "ftdi-emulator: cannot add %s: %s\n", busPath_.c_str(), error ? error->message : "?");
        g_clear_error(&error);
        g_free(root);
        return false;
    }
    sysPath_ = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + busPath_;
    // The node as udev leaves it: root's, and the group's with the project's rule.
    nodeFile_ = std::string(root) + node_;
    const group *plugdev = faults_.NoRule ? nullptr : getgrnam(RuleGroup);
    if (chown(nodeFile_.c_str(), 0, plugdev ? plugdev->gr_gid : 0) != 0 || chmod(nodeFile_.c_str(), NodeMode) != 0)
        std::fprintf(stderr, "ftdi-emulator: cannot set the mode of %s: %s\n", nodeFile_.c_str(),
                     std::strerror(errno));
    g_free(root);
    return true;
}

void Adapter::Unplug()
{
    if (gone_.exchange(true))
        return;
    unlink(nodeFile_.c_str());
    log_.Write(busPath_, 0, -1, "unplug", "-", "ok", 0, 0);
    umockdev_testbed_remove_device(testbed_, sysPath_.c_str());
}

// ---- Clients ------------------------------------------------------------------

void Adapter::OnConnected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
{
    static_cast<Adapter *>(self)->Connected(client);
}

gboolean Adapter::OnSweep(gpointer self)
{
    static_cast<Adapter *>(self)->Sweep();
    return G_SOURCE_CONTINUE;
}

// The client's end of the connection has gone (its process died, in the
// middle of a request too): umockdev may not have noticed, the socket has.
bool PeerGone(int fd, unsigned long inode)
{
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || st.st_ino != inode)
        return false; // not that connection any more: umockdev's word counts
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void Adapter::Sweep()
{
    std::vector<UMockdevIoctlClient *> closed;
    for (const auto &entry : clients_)
        if (!umockdev_ioctl_client_get_connected(entry.first) ||
            PeerGone(entry.second.SocketFd, entry.second.SocketInode))
            closed.push_back(entry.first);
    for (UMockdevIoctlClient *object : closed)
        Closed(object);
}

void Adapter::Connected(UMockdevIoctlClient *object)
{
    std::set<unsigned long> known = goneSockets_;
    for (const auto &entry : clients_)
        known.insert(entry.second.SocketInode);
    Client client;
    client.Id = nextClient_++;
    client.Object = object;
    FindNewConnection(socketPath_, known, client.SocketInode, client.Pid, client.SocketFd);
    g_object_ref(object);
    if (!sweep_) {
        // umockdev's worker thread, where the requests come, runs its context.
        sweep_ = g_timeout_source_new(SweepMs);
        g_source_set_callback(sweep_, OnSweep, this, nullptr);
        g_source_attach(sweep_, g_main_context_get_thread_default());
    }
    Client &added = clients_[object] = std::move(client);
    Log(&added, "connect", node_, 0);
}

void Adapter::Closed(UMockdevIoctlClient *object)
{
    auto found = clients_.find(object);
    if (found == clients_.end())
        return;
    Client &client = found->second;
    goneSockets_.insert(client.SocketInode);
    // As usbfs when its file closes: the claim goes, the transfers are dropped.
    if (client.HoldsInterface && holder_ == client.Id)
        holder_ = 0;
    for (Urb &urb : client.Urbs) {
        Unref(urb.Struct);
        Unref(urb.Buffer);
    }
    Log(&client, "close", "-", 0);
    clients_.erase(found);
    g_object_unref(object);
}

// ---- Requests -------------------------------------------------------------------

gboolean Adapter::OnIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *object, gpointer self)
{
    auto *adapter = static_cast<Adapter *>(self);
    adapter->Sweep();
    auto found = adapter->clients_.find(object);
    if (found == adapter->clients_.end()) {
        adapter->Connected(object); // a client the connect signal did not show
        found = adapter->clients_.find(object);
    }
    return adapter->Ioctl(found->second, object);
}

void Adapter::Log(const Client *client, const std::string &event, const std::string &detail, int error)
{
    Log(client, event, detail, error == 0 ? std::string("ok") : ErrnoName(error));
}

void Adapter::Log(const Client *client, const std::string &event, const std::string &detail,
                  const std::string &result)
{
    log_.Write(busPath_, client ? client->Id : 0, client ? client->Pid : -1, event, detail, result,
               chip_.Directions(), chip_.DrivenHigh());
}

bool Adapter::Ioctl(Client &client, UMockdevIoctlClient *object)
{
    const unsigned long request = umockdev_ioctl_client_get_request(object);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(object);
    UMockdevIoctlData *holder = nullptr;
    int error = 0;
    long result = 0;

    // Pulled out: usbfs answers everything with ENODEV, but hands back the
    // transfers it killed.
    const bool gone = gone_.load();
    if (gone)
        FailPendingUrbs();
    if (gone && request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_DISCARDURB) {
        Log(&client, RequestName(request), "-", ENODEV);
        umockdev_ioctl_client_complete(object, -1, ENODEV);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        if (auto *caps = Resolve<uint32_t>(arg, holder))
            *caps = Capabilities;
        Log(&client, "capabilities", Hex(Capabilities), 0);
        break;
    case USBDEVFS_GET_SPEED:
        result = chip_.Facts().SpeedMbps == 480 ? USB_SPEED_HIGH : USB_SPEED_FULL;
        Log(&client, "speed", std::to_string(result), 0);
        break;
    case USBDEVFS_CONNECTINFO:
        if (auto *info = Resolve<usbdevfs_connectinfo>(arg, holder)) {
            info->devnum = unsigned(setup_.DeviceNumber);
            info->slow = 0;
        }
        Log(&client, "connect-info", "-", 0);
        break;
    case USBDEVFS_CLAIMINTERFACE:
        if (auto *iface = Resolve<unsigned>(arg, holder))
            error = ClaimInterface(client, *iface, "claim");
        break;
    case USBDEVFS_RELEASEINTERFACE:
        if (auto *iface = Resolve<unsigned>(arg, holder)) {
            error = *iface == AdapterInterface && client.HoldsInterface ? 0 : EINVAL;
            if (!error) {
                client.HoldsInterface = false;
                holder_ = 0;
            }
            Log(&client, "release", std::to_string(*iface), error);
        }
        break;
    case USBDEVFS_GETDRIVER:
        if (auto *get = Resolve<usbdevfs_getdriver>(arg, holder)) {
            const char *name = get->interface != AdapterInterface ? nullptr
                               : driverBound_                     ? SerialDriverName
                               : holder_ != 0                      ? "usbfs"
                                                                   : nullptr;
            if (get->interface != AdapterInterface)
                error = EINVAL;
            else if (!name)
                error = ENODATA;
            else
                std::snprintf(get->driver, sizeof get->driver, "%s", name);
            Log(&client, "get-driver", name ? name : "-", error);
        }
        break;
    case USBDEVFS_IOCTL:
        if (auto *command = Resolve<usbdevfs_ioctl>(arg, holder)) {
            if (unsigned(command->ifno) != AdapterInterface) {
                error = EINVAL;
                Log(&client, "ioctl", std::to_string(command->ifno), error);
            } else if (unsigned(command->ioctl_code) == USBDEVFS_DISCONNECT) {
                // usbfs lets the driver go, unless this open file may not
                // (dropped privileges: EACCES).
                error = !driverBound_ ? ENODATA : faults_.DetachRefused ? EACCES : 0;
                if (!error)
                    driverBound_ = false;
                Log(&client, "detach", SerialDriverName, error);
            } else if (unsigned(command->ioctl_code) == USBDEVFS_CONNECT) {
                // Binds the serial driver again: 1 when a driver took it.
                error = driverBound_ || holder_ != 0 ? EBUSY : 0;
                if (!error) {
                    driverBound_ = true;
                    result = 1;
                }
                Log(&client, "attach", SerialDriverName, error);
            } else {
                error = ENOTTY;
                Log(&client, "ioctl", Hex(unsigned(command->ioctl_code)), error);
            }
        }
        break;
    case USBDEVFS_DISCONNECT_CLAIM:
        if (auto *dc = Resolve<usbdevfs_disconnect_claim>(arg, holder)) {
            const bool named = driverBound_ && std::strcmp(dc->driver, SerialDriverName) == 0;
            const bool detach = driverBound_ && ((dc->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) ? named
                                                 : (dc->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER)
                                                     ? !named
                                                     : true);
            if (detach && faults_.DetachRefused)
                error = EACCES;
            else if (detach)
                driverBound_ = false;
            Log(&client, "detach", SerialDriverName, error);
            if (!error)
                error = ClaimInterface(client, dc->interface, "claim");
        }
        break;
    case USBDEVFS_SETCONFIGURATION:
        if (auto *config = Resolve<unsigned>(arg, holder)) {
            error = *config == 1 ? 0 : EINVAL;
            Log(&client, "set-configuration", std::to_string(*config), error);
        }
        break;
    case USBDEVFS_SETINTERFACE:
        if (auto *set = Resolve<usbdevfs_setinterface>(arg, holder)) {
            error = set->interface == AdapterInterface && set->altsetting == 0 ? 0 : EINVAL;
            Log(&client, "set-interface", std::to_string(set->altsetting), error);
        }
        break;
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_RESET:
        Log(&client, RequestName(request), "-", 0);
        break;
    case USBDEVFS_SUBMITURB:
        error = Submit(client, arg);
        break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        error = Reap(client, arg, request == USBDEVFS_REAPURB);
        break;
    case USBDEVFS_DISCARDURB:
        error = Discard(client, arg->data_len >= int(sizeof(unsigned long))
                                    ? *reinterpret_cast<unsigned long *>(arg->data)
                                    : 0);
        break;
    default:
        error = ENOTTY;
        Log(&client, RequestName(request), "-", error);
    }
    Unref(holder);
    umockdev_ioctl_client_complete(object, error ? -1 : result, error);
    return TRUE;
}

int Adapter::ClaimInterface(Client &client, unsigned iface, const char *event)
{
    int error = 0;
    if (iface != AdapterInterface)
        error = ENOENT;
    else if (client.HoldsInterface)
        error = 0;
    else if (driverBound_ || holder_ != 0)
        error = EBUSY; // the serial driver, or another open file, has it
    if (!error && !client.HoldsInterface) {
        client.HoldsInterface = true;
        holder_ = client.Id;
    }
    Log(&client, event, std::to_string(iface), error);
    return error;
}

int Adapter::UseInterface(Client &client)
{
    if (client.HoldsInterface)
        return 0;
    if (driverBound_ || holder_ != 0)
        return EBUSY;
    // usbfs: "process did not claim interface 0 before use"; it claims it.
    return ClaimInterface(client, AdapterInterface, "implicit-claim");
}

bool Adapter::CountPinAccess()
{
    ++pinAccesses_;
    if (faults_.UnplugAfter > 0 && pinAccesses_ >= faults_.UnplugAfter && !gone_.load()) {
        // The node goes at once, as devtmpfs removes it; the rest of sysfs is
        // the main thread's. The requests see the flag at once.
        gone_.store(true);
        unlink(nodeFile_.c_str());
        log_.Write(busPath_, 0, -1, "unplug", "after-" + std::to_string(pinAccesses_), "ok", 0, 0);
        g_main_context_invoke(
            nullptr,
            [](gpointer self) -> gboolean {
                auto *adapter = static_cast<Adapter *>(self);
                umockdev_testbed_remove_device(adapter->testbed_, adapter->sysPath_.c_str());
                return G_SOURCE_REMOVE;
            },
            this);
        return false;
    }
    return true;
}

void Adapter::FailPendingUrbs()
{
    for (auto &entry : clients_)
        for (Urb &urb : entry.second.Urbs)
            if (urb.BulkIn) { // still on the bus: killed; the others completed before
                urb.BulkIn = false;
                urb.Status = -ESHUTDOWN;
                urb.Actual = 0;
                urb.In.clear();
                urb.ReadyNs = 0;
            }
}

int Adapter::Submit(Client &client, UMockdevIoctlData *arg)
{
    Urb urb;
    urb.Struct = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (!urb.Struct) {
        Log(&client, "submit", "-", EFAULT);
        return EFAULT;
    }
    auto *u = reinterpret_cast<usbdevfs_urb *>(urb.Struct->data);
    urb.ClientAddress = urb.Struct->client_addr;
    if (u->buffer_length > 0)
        urb.Buffer = umockdev_ioctl_data_resolve(urb.Struct, offsetof(usbdevfs_urb, buffer), size_t(u->buffer_length),
                                                 nullptr);
    const uint8_t *bytes = urb.Buffer ? urb.Buffer->data : nullptr;
    const size_t length = urb.Buffer ? size_t(urb.Buffer->data_len) : 0;
    int error = 0;
    const int64_t now = MonotonicNs();
    urb.ReadyNs = now;

    if (u->type == USBDEVFS_URB_TYPE_CONTROL && u->endpoint == ControlEndpoint) {
        if (length < SetupSize) {
            error = EINVAL;
            Log(&client, "control", "-", error);
        } else {
            const uint8_t *setup = bytes;
            const bool toInterface = (setup[0] & RecipientMask) == RecipientInterface;
            if (toInterface)
                error = UseInterface(client);
            const bool pins = setup[1] == ReadPinsRequest && (setup[0] & 0x60) == 0x40;
            if (!error && pins && !CountPinAccess())
                error = ENODEV;
            if (error) {
                Log(&client, "control", HexBytes(setup, SetupSize), error);
            } else {
                const std::vector<uint8_t> out(bytes + SetupSize, bytes + length);
                ControlOutcome o = chip_.Control(setup, out);
                urb.Status = o.Stall ? -EPIPE : 0;
                urb.In = o.Data;
                urb.Actual = (setup[0] & 0x80) ? int(o.Data.size()) : int(length - SetupSize);
                Log(&client, o.Event, o.Detail, o.Stall ? "stall" : "ok");
            }
        }
    } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == BulkOutEndpoint) {
        error = UseInterface(client);
        if (!error && !CountPinAccess())
            error = ENODEV;
        if (error) {
            Log(&client, "write", HexBytes(bytes, length), error);
        } else {
            BulkOutcome o = chip_.BulkOut(std::vector<uint8_t>(bytes, bytes + length));
            urb.Actual = int(length);
            Log(&client, o.Event, o.Detail, 0);
        }
    } else if (u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == BulkInEndpoint) {
        error = UseInterface(client);
        if (error) {
            Log(&client, "read", "-", error);
        } else {
            // With nothing waiting the chip answers when its latency timer runs out.
            urb.BulkIn = true;
            if (!chip_.HasInput())
                urb.ReadyNs = now + int64_t(chip_.LatencyMs()) * 1000000;
        }
    } else {
        error = ENOENT; // no such endpoint
        Log(&client, "submit", "type=" + std::to_string(u->type) + ",ep=" + Hex(u->endpoint), error);
    }

    if (error) {
        Unref(urb.Struct);
        Unref(urb.Buffer);
        return error;
    }
    client.Urbs.push_back(std::move(urb));
    return 0;
}

int Adapter::Reap(Client &client, UMockdevIoctlData *arg, bool wait)
{
    if (client.Urbs.empty())
        return gone_.load() ? ENODEV : EAGAIN;
    auto ready = client.Urbs.end();
    for (auto it = client.Urbs.begin(); it != client.Urbs.end(); ++it)
        if (it->ReadyNs <= MonotonicNs()) {
            ready = it;
            break;
        }
    if (ready == client.Urbs.end()) {
        if (!wait)
            return EAGAIN;
        // A blocking reap: only a bulk read waiting for the latency timer can
        // be pending, and that for at most its 255 ms.
        ready = client.Urbs.begin();
        for (auto it = client.Urbs.begin(); it != client.Urbs.end(); ++it)
            if (it->ReadyNs < ready->ReadyNs)
                ready = it;
        std::this_thread::sleep_for(std::chrono::nanoseconds(ready->ReadyNs - MonotonicNs()));
    }

    Urb urb = std::move(*ready);
    client.Urbs.erase(ready);
    auto *u = reinterpret_cast<usbdevfs_urb *>(urb.Struct->data);
    if (urb.BulkIn) {
        const std::vector<uint8_t> data = chip_.BulkIn(size_t(u->buffer_length));
        // Nothing waiting: the status bytes alone.
        urb.In = data.empty() ? std::vector<uint8_t>{0x01, 0x60} : data;
        if (urb.In.size() > size_t(u->buffer_length))
            urb.In.resize(size_t(u->buffer_length));
        urb.Actual = int(urb.In.size());
        Log(&client, "read", HexBytes(urb.In.data(), urb.In.size()), 0);
    }
    if (urb.Buffer && !urb.In.empty()) {
        const size_t offset = u->type == USBDEVFS_URB_TYPE_CONTROL ? SetupSize : 0;
        const size_t room = size_t(urb.Buffer->data_len) > offset ? size_t(urb.Buffer->data_len) - offset : 0;
        std::memcpy(urb.Buffer->data + offset, urb.In.data(), std::min(room, urb.In.size()));
    }
    u->status = urb.Status;
    u->actual_length = urb.Actual;

    UMockdevIoctlData *pointer = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
    if (pointer)
        umockdev_ioctl_data_set_ptr(pointer, 0, urb.Struct);
    Unref(pointer);
    Unref(urb.Struct);
    Unref(urb.Buffer);
    return 0;
}

int Adapter::Discard(Client &client, unsigned long address)
{
    for (Urb &urb : client.Urbs)
        if (urb.ClientAddress == address) {
            // Reaped next, with the status of a cancelled transfer.
            urb.BulkIn = false;
            urb.Status = -ENOENT;
            urb.Actual = 0;
            urb.In.clear();
            urb.ReadyNs = 0;
            Log(&client, "discard", "-", 0);
            return 0;
        }
    return EINVAL;
}

} // namespace ftdiemu
