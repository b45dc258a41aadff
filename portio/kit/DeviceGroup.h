#pragma once
// The group that may open a device file, for the messages that tell the
// operator how to be let in ("it belongs to group lp: sudo usermod -aG lp
// $USER"). Header-only: the port libraries and the guard's routines use it.
#include <grp.h>
#include <string>
#include <sys/stat.h>

namespace portkit {

// The group owning the character device at `path`; `fallback` when there is
// no such device (yet), or it belongs to root's group, which is no help.
inline std::string DeviceGroup(const std::string &path, const std::string &fallback)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode) || st.st_gid == 0)
        return fallback;
    group entry;
    group *found = nullptr;
    char buffer[1024];
    if (getgrgid_r(st.st_gid, &entry, buffer, sizeof buffer, &found) != 0 || !found)
        return fallback;
    return found->gr_name;
}

} // namespace portkit
