#include "portio/hardware/ParportMap.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <fstream>

namespace parport {
namespace {
// "parport<digits>" → the index; anything else → nullopt.
std::optional<int> IndexOfEntry(const std::string &name)
{
    static const std::string prefix = "parport";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.size() - prefix.size() > 4)
        return std::nullopt;
    int index = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return std::nullopt;
        index = index * 10 + (name[i] - '0');
    }
    return index;
}

// The first whitespace-separated token of base-addr as a decimal I/O address.
std::optional<uint16_t> ReadBase(const std::string &file)
{
    std::ifstream in(file);
    std::string token;
    if (!(in >> token) || token.size() > 5)
        return std::nullopt;
    unsigned long value = 0;
    for (char c : token) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
        value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value == 0 || value > 0xFFFF)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}
} // namespace

std::string UnderRoot(const std::string &root, const std::string &relative)
{
    std::string path = root.empty() ? "/" : root;
    if (path.back() != '/')
        path += '/';
    size_t skip = 0;
    while (skip < relative.size() && relative[skip] == '/')
        ++skip;
    return path + relative.substr(skip);
}

std::vector<Port> ListPorts(const std::string &root)
{
    std::vector<Port> ports;
    const std::string dir = UnderRoot(root, "proc/sys/dev/parport");
    DIR *d = opendir(dir.c_str());
    if (!d)
        return ports;
    while (const dirent *entry = readdir(d)) {
        const std::string name = entry->d_name;
        const std::optional<int> index = IndexOfEntry(name);
        if (!index)
            continue;
        if (const std::optional<uint16_t> base = ReadBase(dir + "/" + name + "/base-addr"))
            ports.push_back({*index, *base});
    }
    closedir(d);
    std::sort(ports.begin(), ports.end(), [](const Port &a, const Port &b) { return a.Index < b.Index; });
    return ports;
}

std::optional<Register> FindRegister(const std::vector<Port> &ports, uint16_t address)
{
    for (const Port &port : ports) {
        const unsigned offset = unsigned(address) - unsigned(port.Base);
        if (address >= port.Base && offset < RegisterCount)
            return Register{port.Index, offset};
    }
    return std::nullopt;
}

std::string DevicePath(const std::string &root, int index)
{
    return UnderRoot(root, "dev/parport" + std::to_string(index));
}

} // namespace parport
