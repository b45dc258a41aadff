#pragma once
// robot-node's port: one of the program's port libraries (libinpout32.so of
// ROBOT_PORT's folder), loaded as the program loads it, with its pin map,
// its trace and its port guard (which switches the motors off if robot-node
// is killed or stopped holding a motor code). Owns nothing it could let go:
// the library stays loaded to the end, and its kit lets the device go at the
// process's exit.
#include <cstdint>
#include <optional>
#include <string>

namespace remotenode {

class LocalPort {
public:
    // The port libraries robot-node can serve: every one installed with it
    // (hardware beside it, the others in ../lib/<kind>/), not the remote one.
    static bool Serves(const std::string &kind);
    // Loads the library of `kind`: hardware beside robot-node, the others
    // from ../lib/<kind>/. False with why.
    bool Open(const std::string &kind, std::string &why);
    // A data-register write; false with the library's error text.
    bool Write(uint8_t value, std::string &error);
    // The status register; nothing with the library's error text.
    std::optional<uint8_t> Read(std::string &error);
    // The library's line on its device, where it has one (PortIoStatus).
    std::string DeviceState() const;

private:
    using Inp32Fn = short (*)(short);
    using Out32Fn = void (*)(short, short);
    using TextFn = const char *(*)();
    std::string TakeError();

    Inp32Fn inp32_ = nullptr;
    Out32Fn out32_ = nullptr;
    TextFn lastError_ = nullptr;
    TextFn status_ = nullptr;
};

} // namespace remotenode
