// The FTDI port library's own cost per Out32 and Inp32, on emulated adapters
// (FT232R at USB 1-2 for the library, FT232R at 1-3 and FT232H at 1-4 for
// the line device alone), where the bus adds nothing:
//
//   build/bin/ftdi_bench
//
// It starts ftdi-emulator and runs itself again under umockdev's preload
// library. Every usbfs request then costs a round trip to the emulator over
// a local socket: UsbfsRoundTrip measures one, so the library's own cost is
// the time per call less its requests' round trips. A real adapter adds the
// bus instead: full-speed USB (FT232R) works in 1 ms frames, so a write (a
// bulk transfer) or a read of the pins (a control transfer) waits for the next
// frame, up to 1 ms, and a control transfer's stages may take two; high-speed
// USB (FT232H) works in 125 us microframes, and its read is two transfers (the
// command out, the answer in).
//
//   LibraryOut32/Inp32      through libinpout32.so (the kit and the device), FT232R
//   DeviceWrite/Read/<chip> the line device alone, per chip
//   UsbfsRoundTrip          one request to the emulator that does nothing
#include "portio/kit/LineDevice.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *Emulator = ROBOT_BINARY_DIR "/lib/test/ftdi-emulator";
constexpr const char *Library = ROBOT_BINARY_DIR "/lib/ftdi/libinpout32.so";
constexpr short DataRegister = 888;
constexpr short StatusRegister = 889;
constexpr short Forward = 18;

using InFn = short (*)(short);
using OutFn = void (*)(short, short);

// The library, loaded once (it is never unloaded) and opened on the FT232R.
struct LoadedLibrary {
    InFn In = nullptr;
    OutFn Out = nullptr;
    LoadedLibrary()
    {
        setenv("ROBOT_FTDI", "1-2", 1);
        unsetenv("ROBOT_PORT_TRACE");
        void *handle = dlopen(Library, RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return;
        In = reinterpret_cast<InFn>(dlsym(handle, "Inp32"));
        Out = reinterpret_cast<OutFn>(dlsym(handle, "Out32"));
    }
};

LoadedLibrary &Loaded()
{
    static LoadedLibrary library;
    return library;
}

void BM_LibraryOut32(benchmark::State &state)
{
    LoadedLibrary &lib = Loaded();
    if (!lib.Out) {
        state.SkipWithError("cannot load the FTDI port library");
        return;
    }
    lib.Out(DataRegister, 0); // opens and claims the adapter
    short code = 0;
    for (auto _ : state) {
        code = code ? 0 : Forward;
        lib.Out(DataRegister, code);
    }
    lib.Out(DataRegister, 0);
}
BENCHMARK(BM_LibraryOut32)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_LibraryInp32(benchmark::State &state)
{
    LoadedLibrary &lib = Loaded();
    if (!lib.In) {
        state.SkipWithError("cannot load the FTDI port library");
        return;
    }
    lib.Out(DataRegister, 0);
    for (auto _ : state)
        benchmark::DoNotOptimize(lib.In(StatusRegister));
}
BENCHMARK(BM_LibraryInp32)->UseRealTime()->Unit(benchmark::kMicrosecond);

// The line device on the adapter at bus path `path`, claimed with the
// default map's lines.
std::unique_ptr<portkit::LineDevice> Claimed(benchmark::State &state, const char *path)
{
    setenv("ROBOT_FTDI", path, 1);
    std::unique_ptr<portkit::LineDevice> device = portkit::MakeLineDevice();
    portkit::PinMap map;
    portkit::LineProblem why;
    if (!device->Open(map, why) ||
        !device->Claim({{6}, {1}, {3}, {7}}, {{4, true, portkit::Pull::AsIs}, {5, true, portkit::Pull::AsIs},
                                              {2, false, portkit::Pull::AsIs}},
                       why)) {
        state.SkipWithError(why.Text.c_str());
        return nullptr;
    }
    return device;
}

void BM_DeviceWrite(benchmark::State &state, const char *path)
{
    std::unique_ptr<portkit::LineDevice> device = Claimed(state, path);
    if (!device)
        return;
    portkit::LineProblem why;
    uint32_t levels = 0;
    for (auto _ : state) {
        levels ^= 0x3;
        if (!device->Write(levels, why)) {
            state.SkipWithError(why.Text.c_str());
            break;
        }
    }
    device->Close();
}
BENCHMARK_CAPTURE(BM_DeviceWrite, FT232R, "1-3")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeviceWrite, FT232H, "1-4")->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_DeviceRead(benchmark::State &state, const char *path)
{
    std::unique_ptr<portkit::LineDevice> device = Claimed(state, path);
    if (!device)
        return;
    portkit::LineProblem why;
    uint32_t firing = 0;
    for (auto _ : state) {
        if (!device->Read(firing, why)) {
            state.SkipWithError(why.Text.c_str());
            break;
        }
        benchmark::DoNotOptimize(firing);
    }
    device->Close();
}
BENCHMARK_CAPTURE(BM_DeviceRead, FT232R, "1-3")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DeviceRead, FT232H, "1-4")->UseRealTime()->Unit(benchmark::kMicrosecond);

// One usbfs request answered by the emulator without touching the adapter.
void BM_UsbfsRoundTrip(benchmark::State &state)
{
    const int fd = open("/dev/bus/usb/001/003", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open the emulated adapter's node");
        return;
    }
    uint32_t caps = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(ioctl(fd, USBDEVFS_GET_CAPABILITIES, &caps));
    close(fd);
}
BENCHMARK(BM_UsbfsRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Starts the emulator and runs this program again under the preload; its
// exit status.
int UnderEmulator(char **argv)
{
    int output[2], input[2];
    if (pipe(output) != 0 || pipe(input) != 0)
        return 1;
    const pid_t emulator = fork();
    if (emulator == 0) {
        dup2(input[0], 0);
        dup2(output[1], 1);
        close(input[1]);
        close(output[0]);
        execl(Emulator, Emulator, "--adapter", "FT232R", "--adapter", "FT232R", "--adapter", "FT232H",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    char line[512] = {};
    FILE *in = fdopen(output[0], "r");
    const std::string prefix = "UMOCKDEV_DIR=";
    if (!in || !std::fgets(line, sizeof line, in) || std::strncmp(line, prefix.c_str(), prefix.size()) != 0) {
        std::fprintf(stderr, "ftdi_bench: %s did not start\n", Emulator);
        return 1;
    }
    line[std::strcspn(line, "\n")] = '\0';
    setenv("UMOCKDEV_DIR", line + prefix.size(), 1);
    setenv("LD_PRELOAD", "libumockdev-preload.so.0", 1);
    int status = 1;
    const pid_t self = fork();
    if (self == 0) {
        close(input[1]);
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    waitpid(self, &status, 0);
    close(input[1]); // the emulator ends with its input
    waitpid(emulator, nullptr, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (!std::getenv("UMOCKDEV_DIR"))
        return UnderEmulator(argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
