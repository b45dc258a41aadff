#include "portio/remote/node/LocalPort.h"

#include "core/RobotWiring.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace remotenode {
namespace {
std::string OwnFolder()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string exe(path, size_t(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

std::string LibraryPath(const std::string &kind)
{
    const std::string folder = OwnFolder();
    return kind == "hardware" ? folder + "/libinpout32.so" : folder + "/../lib/" + kind + "/libinpout32.so";
}
} // namespace

// Every port library installed beside robot-node, found by its folder's name,
// so a new one needs no word here; never the remote one (a node serving it
// would drive another node).
bool LocalPort::Serves(const std::string &kind)
{
    if (kind.empty() || kind == "remote" ||
        kind.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos)
        return false;
    return access(LibraryPath(kind).c_str(), R_OK) == 0;
}

bool LocalPort::Open(const std::string &kind, std::string &why)
{
    if (!Serves(kind)) {
        why = "ROBOT_PORT must be hardware or a port library in lib/ beside robot-node's folder, not remote (the "
              "robot's own port)";
        return false;
    }
    const std::string path = LibraryPath(kind);
    void *handle = dlopen(path.c_str(), RTLD_NOW);
    if (!handle) {
        const char *error = dlerror();
        why = "cannot load the port library " + path + " (" + (error ? error : "not found") + ")";
        return false;
    }
    inp32_ = reinterpret_cast<Inp32Fn>(dlsym(handle, "Inp32"));
    out32_ = reinterpret_cast<Out32Fn>(dlsym(handle, "Out32"));
    lastError_ = reinterpret_cast<TextFn>(dlsym(handle, "PortIoLastError"));
    status_ = reinterpret_cast<TextFn>(dlsym(handle, "PortIoStatus"));
    if (!inp32_ || !out32_) {
        why = path + " lacks Inp32 or Out32";
        return false;
    }
    return true;
}

std::string LocalPort::TakeError()
{
    const char *error = lastError_ ? lastError_() : nullptr;
    return error ? error : "";
}

bool LocalPort::Write(uint8_t value, std::string &error)
{
    out32_(DataPort, value);
    error = TakeError();
    return error.empty();
}

std::optional<uint8_t> LocalPort::Read(std::string &error)
{
    const short value = inp32_(StatusPort);
    error = TakeError();
    if (!error.empty())
        return std::nullopt;
    return static_cast<uint8_t>(value);
}

std::string LocalPort::DeviceState() const
{
    const char *line = status_ ? status_() : nullptr;
    return line ? line : "";
}

} // namespace remotenode
