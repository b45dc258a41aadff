// ftdi-emulator: FTDI USB adapters for tests, on an emulated USB bus that the
// unmodified libusb and libftdi1 use through umockdev's preload library.
//
// It makes a umockdev testbed (a private /sys and /dev) with a root hub and
// the adapters asked for, prints
//   UMOCKDEV_DIR=<the testbed's folder>
// on standard output, and then answers the usbfs requests of every process
// started with LD_PRELOAD=libumockdev-preload.so.0 and that UMOCKDEV_DIR,
// until its standard input ends (or it gets SIGTERM/SIGINT). Lines on
// standard input are commands:
//   unplug [PATH]      pull the adapter at bus path PATH (default: every one) out
//   replug [PATH]      plug a pulled-out adapter in again at the same port: a
//                      new device number, the chip fresh from power-up
//
// Options:
//   --adapter CHIP[,serial=S][,port=N]
//                      an adapter on root hub 1, at bus path 1-N (default: one
//                      FT232R at 1-2); CHIP is FT232R, FT232H or FT231X. Repeat
//                      for several.
//   --none             no adapter at all: the root hub alone
//   --log FILE         one line per access (see FtdiUsbfs.h for the format)
//   --pins FILE        what the input lines read: whitespace-separated numbers
//                      (decimal, or hex with 0x), one per read of the pins, the
//                      last repeating; without it every input reads high (the
//                      chip's pull-ups). One script for all clients; each
//                      adapter reads it from the start.
//   --claimed          another program holds each adapter's interface
//   --serial-driver bound|stuck
//                      the kernel's ftdi_sio is bound to each adapter; "stuck":
//                      usbfs refuses to let it go (EACCES)
//   --unplug-after N   the N-th access to the lines (a bulk write or a read of
//                      the pins, counted over all clients) and everything after
//                      it fails: the adapter was pulled out
//   --no-rule          the device node as without the project's udev rule
//                      (0664 root:root instead of 0664 root:plugdev)
#include "emulator/FtdiUsbfs.h"

#include <glib-unix.h>
#include <umockdev.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
using namespace ftdiemu;

// Default serial numbers, in the style FTDI programs them.
std::string DefaultSerial(ChipModel model, int port)
{
    const char *prefix = model == ChipModel::FT232H ? "FTH" : model == ChipModel::FT231X ? "DKX" : "A10";
    char text[16];
    std::snprintf(text, sizeof text, "%s%05d", prefix, port);
    return text;
}

// Root hub 1: the bus the adapters hang on (Linux Foundation 2.0 root hub).
constexpr const char *RootHub =
    "P: /devices/pci0000:00/0000:00:14.0/usb1\n"
    "N: bus/usb/001/001\n"
    "E: SUBSYSTEM=usb\n"
    "E: DEVTYPE=usb_device\n"
    "E: DRIVER=usb\n"
    "E: DEVNAME=/dev/bus/usb/001/001\n"
    "E: BUSNUM=001\n"
    "E: DEVNUM=001\n"
    "A: busnum=1\\n\n"
    "A: devnum=1\\n\n"
    "A: dev=189:0\\n\n"
    "A: speed=480\\n\n"
    "A: bConfigurationValue=1\\n\n"
    "A: idVendor=1d6b\\n\n"
    "A: idProduct=0002\\n\n"
    "H: descriptors=12010002090001406b1d020006060302010109021900010100e0000904000001090000000705810304000c\n";

struct Options {
    std::vector<AdapterSetup> Adapters;
    bool None = false;
    std::string LogPath;
    std::string PinsPath;
    FaultSetup Faults;
};

bool ReadPins(const std::string &path, std::vector<uint8_t> &pins)
{
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "ftdi-emulator: cannot read the pin script %s\n", path.c_str());
        return false;
    }
    std::string word;
    while (in >> word) {
        char *end = nullptr;
        const long v = std::strtol(word.c_str(), &end, 0);
        if (*end || v < 0 || v > 255) {
            std::fprintf(stderr, "ftdi-emulator: %s: \"%s\" is no pin level (0-255)\n", path.c_str(), word.c_str());
            return false;
        }
        pins.push_back(uint8_t(v));
    }
    return true;
}

// "FT232H,serial=X,port=3"
bool ParseAdapter(const std::string &text, int index, AdapterSetup &setup)
{
    std::stringstream parts(text);
    std::string part;
    std::getline(parts, part, ',');
    if (!ModelByName(part, setup.Model)) {
        std::fprintf(stderr, "ftdi-emulator: %s is no chip it knows (FT232R, FT232H, FT231X)\n", part.c_str());
        return false;
    }
    setup.Port = 2 + index;
    setup.DeviceNumber = 2 + index;
    while (std::getline(parts, part, ',')) {
        if (part.rfind("serial=", 0) == 0) {
            setup.Serial = part.substr(7);
        } else if (part.rfind("port=", 0) == 0) {
            setup.Port = std::atoi(part.c_str() + 5);
            if (setup.Port < 1 || setup.Port > 15) {
                std::fprintf(stderr, "ftdi-emulator: port %s is not 1-15\n", part.c_str() + 5);
                return false;
            }
        } else {
            std::fprintf(stderr, "ftdi-emulator: \"%s\" is no adapter setting (serial=, port=)\n", part.c_str());
            return false;
        }
    }
    if (setup.Serial.empty())
        setup.Serial = DefaultSerial(setup.Model, setup.Port);
    return true;
}

bool ParseOptions(int argc, char **argv, Options &o)
{
    std::vector<std::string> adapters;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ftdi-emulator: %s needs a value\n", arg.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (arg == "--adapter") {
            if (!value(v))
                return false;
            adapters.push_back(v);
        } else if (arg == "--none") {
            o.None = true;
        } else if (arg == "--log") {
            if (!value(o.LogPath))
                return false;
        } else if (arg == "--pins") {
            if (!value(o.PinsPath))
                return false;
        } else if (arg == "--claimed") {
            o.Faults.ClaimedElsewhere = true;
        } else if (arg == "--serial-driver") {
            if (!value(v))
                return false;
            if (v != "bound" && v != "stuck") {
                std::fprintf(stderr, "ftdi-emulator: --serial-driver takes bound or stuck\n");
                return false;
            }
            o.Faults.SerialDriver = true;
            o.Faults.DetachRefused = v == "stuck";
        } else if (arg == "--unplug-after") {
            if (!value(v))
                return false;
            o.Faults.UnplugAfter = std::atoi(v.c_str());
            if (o.Faults.UnplugAfter < 1) {
                std::fprintf(stderr, "ftdi-emulator: --unplug-after takes a count from 1\n");
                return false;
            }
        } else if (arg == "--no-rule") {
            o.Faults.NoRule = true;
        } else {
            std::fprintf(stderr, "ftdi-emulator: unknown option %s\n", arg.c_str());
            return false;
        }
    }
    if (adapters.empty() && !o.None)
        adapters.push_back("FT232R");
    std::vector<uint8_t> pins;
    if (!o.PinsPath.empty() && !ReadPins(o.PinsPath, pins))
        return false;
    for (size_t i = 0; i < adapters.size(); ++i) {
        AdapterSetup setup;
        if (!ParseAdapter(adapters[i], int(i), setup))
            return false;
        setup.PinScript = pins;
        o.Adapters.push_back(setup);
    }
    return true;
}

struct Emulator {
    GMainLoop *Loop = nullptr;
    UMockdevTestbed *Testbed = nullptr;
    EventLog *Log = nullptr;
    std::vector<std::unique_ptr<Adapter>> Adapters; // pulled-out ones stay, gone
    int NextDeviceNumber = 0;
    std::string Pending; // a command line not yet complete
};

// The adapters pulled out at `path` (every one when empty) come back as new
// devices, as the kernel numbers a device plugged in again.
void Replug(Emulator &emulator, const std::string &path)
{
    std::vector<std::unique_ptr<Adapter>> back;
    for (auto &adapter : emulator.Adapters) {
        if (!adapter->Gone() || (!path.empty() && adapter->BusPath() != path))
            continue;
        bool present = false;
        for (auto &other : emulator.Adapters)
            present = present || (!other->Gone() && other->BusPath() == adapter->BusPath());
        if (present)
            continue;
        AdapterSetup setup = adapter->Setup();
        setup.DeviceNumber = emulator.NextDeviceNumber++;
        FaultSetup faults = adapter->Faults();
        faults.UnplugAfter = 0;
        back.push_back(std::make_unique<Adapter>(emulator.Testbed, setup, faults, *emulator.Log));
        if (!back.back()->Plug())
            back.pop_back();
    }
    for (auto &adapter : back)
        emulator.Adapters.push_back(std::move(adapter));
}

void RunCommand(Emulator &emulator, const std::string &line)
{
    std::istringstream words(line);
    std::string command, path;
    words >> command >> path;
    if (command == "unplug") {
        for (auto &adapter : emulator.Adapters)
            if (path.empty() || adapter->BusPath() == path)
                adapter->Unplug();
    } else if (command == "replug") {
        Replug(emulator, path);
    } else if (!command.empty()) {
        std::fprintf(stderr, "ftdi-emulator: unknown command \"%s\"\n", command.c_str());
    }
}

gboolean OnInput(gint fd, GIOCondition, gpointer data)
{
    auto &emulator = *static_cast<Emulator *>(data);
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) { // the test that started us has gone, or is done
        g_main_loop_quit(emulator.Loop);
        return G_SOURCE_REMOVE;
    }
    emulator.Pending.append(buffer, size_t(n));
    size_t end;
    while ((end = emulator.Pending.find('\n')) != std::string::npos) {
        RunCommand(emulator, emulator.Pending.substr(0, end));
        emulator.Pending.erase(0, end + 1);
    }
    return G_SOURCE_CONTINUE;
}

gboolean OnSignal(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_CONTINUE;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options))
        return 2;
    // Ends with the test that started it, however that ends.
    prctl(PR_SET_PDEATHSIG, SIGTERM);

    UMockdevTestbed *testbed = umockdev_testbed_new();
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    // Another local user may be a client (the test of a refused open): umockdev's
    // preload library makes its emulated netlink sockets in this folder.
    chmod(root, 0777);
    GError *error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, RootHub, &error)) {
        std::fprintf(stderr, "ftdi-emulator: cannot add the root hub: %s\n", error ? error->message : "?");
        return 1;
    }

    EventLog log(options.LogPath);
    Emulator emulator;
    emulator.Loop = g_main_loop_new(nullptr, FALSE);
    emulator.Testbed = testbed;
    emulator.Log = &log;
    emulator.NextDeviceNumber = 2 + int(options.Adapters.size());
    for (const AdapterSetup &setup : options.Adapters) {
        emulator.Adapters.push_back(std::make_unique<Adapter>(testbed, setup, options.Faults, log));
        if (!emulator.Adapters.back()->Plug())
            return 1;
    }

    std::printf("UMOCKDEV_DIR=%s\n", root);
    std::fflush(stdout);
    g_free(root);

    g_unix_fd_add(0, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR), OnInput, &emulator);
    g_unix_signal_add(SIGTERM, OnSignal, emulator.Loop);
    g_unix_signal_add(SIGINT, OnSignal, emulator.Loop);
    g_main_loop_run(emulator.Loop);

    // Removes the testbed's folder. umockdev's worker thread may still be in
    // an adapter's handler: end here, without tearing the adapters down.
    g_object_unref(testbed);
    std::fflush(nullptr);
    _exit(0);
}
