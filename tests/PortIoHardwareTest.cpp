// The hardware port library: which port and register an I/O address is, and
// the library as a whole on a machine without the port.
#include "portio/hardware/ParportMap.h"
#include "support/TextSearch.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {
// A directory that stands for "/" with the kernel's list of parallel ports.
class FakeRoot {
public:
    FakeRoot() { EXPECT_TRUE(dir_.isValid()); }
    std::string Path() const { return dir_.path().toStdString(); }

    void AddPort(const std::string &entry, const char *baseAddr)
    {
        const fs::path port = fs::path(Path()) / "proc/sys/dev/parport" / entry;
        fs::create_directories(port);
        if (baseAddr)
            std::ofstream(port / "base-addr") << baseAddr;
    }
    void AddFile(const std::string &relative)
    {
        fs::create_directories((fs::path(Path()) / relative).parent_path());
        std::ofstream(fs::path(Path()) / relative) << "";
    }

private:
    QTemporaryDir dir_;
};

// A fresh copy of build/bin/libinpout32.so, loaded by path: each copy starts
// with its own state (nothing reported yet, no port looked up). Its guard
// program goes beside it, as it is beside the library it was built with.
class HardwareLibrary {
public:
    explicit HardwareLibrary(const std::string &root)
    {
        setenv("ROBOT_PARPORT_ROOT", root.c_str(), 1);
        const fs::path copy = fs::path(dir_.path().toStdString()) / "libinpout32.so";
        fs::copy_file(fs::path(ROBOT_BINARY_DIR) / "bin/libinpout32.so", copy);
        fs::copy_file(fs::path(ROBOT_BINARY_DIR) / "bin/port-guard", copy.parent_path() / "port-guard");
        handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(handle_, nullptr) << dlerror();
        if (handle_) {
            Inp32 = reinterpret_cast<short (*)(short)>(dlsym(handle_, "Inp32"));
            Out32 = reinterpret_cast<void (*)(short, short)>(dlsym(handle_, "Out32"));
        }
        EXPECT_TRUE(Inp32 && Out32);
    }
    ~HardwareLibrary() { unsetenv("ROBOT_PARPORT_ROOT"); }
    bool Loaded() const { return Inp32 && Out32; }

    short (*Inp32)(short) = nullptr;
    void (*Out32)(short, short) = nullptr;

private:
    QTemporaryDir dir_;
    void *handle_ = nullptr;
};

size_t Lines(const std::string &text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Drives the port as the program does where it cannot be used: every read
// gives 0 and one line goes to standard error, which is returned.
std::string DriveWithoutAPort(HardwareLibrary &lib)
{
    std::vector<short> reads;
    testing::internal::CaptureStderr();
    lib.Out32(888, 0);
    lib.Out32(888, 18);
    reads.push_back(lib.Inp32(889));
    lib.Out32(888, 0);
    reads.push_back(lib.Inp32(888));
    reads.push_back(lib.Inp32(889));
    lib.Out32(890, 4);
    reads.push_back(lib.Inp32(890));
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(reads, std::vector<short>(4, 0));
    EXPECT_EQ(Lines(said), 1u) << said;
    return said;
}

} // namespace

TEST(ParportMap, MapsAddressesToTheRegistersOfTheListedPorts)
{
    FakeRoot root;
    root.AddPort("parport0", "888\t1912\n"); // 0x378 with its ECP block at 0x778
    root.AddPort("parport1", "632\t0\n");    // 0x278
    root.AddPort("parport10", "53264\t53256\n"); // a PCI card at 0xd010
    root.AddPort("parport2", "0x3bc\n");     // not decimal
    root.AddPort("parport3", "garbage");
    root.AddPort("parport4", "0\t0\n");
    root.AddPort("parport5", "70000\n");
    root.AddPort("parport6", nullptr); // no base-addr at all
    root.AddPort("parportx", "956\n");

    const std::vector<parport::Port> ports = parport::ListPorts(root.Path() + "/");
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].Index, 0);
    EXPECT_EQ(ports[0].Base, 0x378);
    EXPECT_EQ(ports[1].Index, 1);
    EXPECT_EQ(ports[1].Base, 0x278);
    EXPECT_EQ(ports[2].Index, 10);
    EXPECT_EQ(ports[2].Base, 0xd010);

    struct Case {
        uint16_t address;
        int index;        // -1: no register there
        unsigned offset;
    };
    const Case cases[] = {
        {888, 0, parport::DataOffset},      {889, 0, parport::StatusOffset},
        {890, 0, parport::ControlOffset},   {887, -1, 0},
        {891, -1, 0},                       {1912, -1, 0},
        {0x278, 1, parport::DataOffset},    {0x27a, 1, parport::ControlOffset},
        {0x3bc, -1, 0},                     {0, -1, 0},
        // A base above 0x7fff arrives as a negative short.
        {static_cast<uint16_t>(static_cast<short>(0xd011)), 10, parport::StatusOffset},
    };
    for (const Case &c : cases) {
        const std::optional<parport::Register> reg = parport::FindRegister(ports, c.address);
        if (c.index < 0) {
            EXPECT_FALSE(reg) << c.address;
        } else {
            ASSERT_TRUE(reg) << c.address;
            EXPECT_EQ(reg->Index, c.index) << c.address;
            EXPECT_EQ(reg->Offset, c.offset) << c.address;
        }
    }

    EXPECT_TRUE(parport::ListPorts(root.Path() + "/nowhere").empty());
    EXPECT_EQ(parport::DevicePath(root.Path(), 1), root.Path() + "/dev/parport1");
    EXPECT_EQ(parport::DevicePath("", 0), "/dev/parport0");
    EXPECT_EQ(parport::UnderRoot("/", "/proc"), "/proc");
}

TEST(HardwarePortLibrary, WithoutTheDeviceGoesNowhereAndSaysOnceWhatIsMissing)
{
    FakeRoot root;
    root.AddPort("parport0", "888\t1912\n");
    HardwareLibrary lib(root.Path());
    ASSERT_TRUE(lib.Loaded());

    const std::string said = DriveWithoutAPort(lib);
    EXPECT_TRUE(Has(said, root.Path() + "/dev/parport0 does not exist")) << said;
    EXPECT_TRUE(Has(said, "modprobe parport_pc ppdev")) << said;
    EXPECT_TRUE(Has(said, "usermod -aG lp")) << said;

    // Still quiet later, and other addresses find no register.
    testing::internal::CaptureStderr();
    lib.Out32(888, 9);
    EXPECT_EQ(lib.Inp32(889), 0);
    EXPECT_EQ(lib.Inp32(0x3bc), 0);
    const std::string later = testing::internal::GetCapturedStderr();
    EXPECT_EQ(Lines(later), 1u) << later;
    EXPECT_TRUE(Has(later, "956 (0x3bc) is no register")) << later;
}

TEST(HardwarePortLibrary, WithoutAnyPortOrWithADeviceThatIsNoPortReadsZero)
{
    // Both copies stay on disk while both are loaded: a copy removed could
    // pass its inode on to the next, and the loader would hand back the first.
    FakeRoot empty;
    HardwareLibrary first(empty.Path());
    ASSERT_TRUE(first.Loaded());
    const std::string none = DriveWithoutAPort(first);
    EXPECT_TRUE(Has(none, "no parallel port is known")) << none;
    EXPECT_TRUE(Has(none, "modprobe parport_pc ppdev")) << none;
    {
        // A plain file where the device should be: it opens but cannot be
        // claimed, and nothing is written into it.
        FakeRoot root;
        root.AddPort("parport0", "888\n");
        root.AddFile("dev/parport0");
        HardwareLibrary lib(root.Path());
        ASSERT_TRUE(lib.Loaded());
        const std::string said = DriveWithoutAPort(lib);
        EXPECT_TRUE(Has(said, "cannot claim " + root.Path() + "/dev/parport0")) << said;
        EXPECT_EQ(fs::file_size(fs::path(root.Path()) / "dev/parport0"), 0u);
    }
}
