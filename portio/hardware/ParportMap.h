#pragma once
// Where an I/O address lives: which parallel port (parportN) and which of its
// registers. The kernel lists its ports under <root>/proc/sys/dev/parport/
// parportN/base-addr; `root` is "/" on a running system and a fake tree in tests.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace parport {

// Register offsets from a port's base address (standard parallel port).
// Pins refer to the 25-pin D-sub connector.
constexpr unsigned DataOffset = 0;    // D0..D7 on pins 2..9
constexpr unsigned StatusOffset = 1;  // S3..S7 on pins 15, 13, 12, 10, 11 (S7 inverted at the pin)
constexpr unsigned ControlOffset = 2; // C0..C3 on pins 1, 14, 16, 17 (C0, C1, C3 inverted at the pin)
constexpr unsigned RegisterCount = 3; // registers reached from the base address

// One port the kernel knows: parport<Index> with its base I/O address.
struct Port {
    int Index;
    uint16_t Base;
};

// One register: the port's index and the register's offset from its base.
struct Register {
    int Index;
    unsigned Offset;
};

// The ports listed under <root>/proc/sys/dev/parport, ordered by index. A port
// whose base-addr does not start with a decimal address in 1..65535 is left
// out. The second number of base-addr (the ECP register block) is not used.
std::vector<Port> ListPorts(const std::string &root);

// The register at `address` among `ports`, if any port's registers cover it.
std::optional<Register> FindRegister(const std::vector<Port> &ports, uint16_t address);

// <root>/dev/parport<index>: the ppdev device of that port.
std::string DevicePath(const std::string &root, int index);

// <root>/<relative>, with exactly one slash between them; an empty root is "/".
std::string UnderRoot(const std::string &root, const std::string &relative);

} // namespace parport
