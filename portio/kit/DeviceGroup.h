#pragma once
// What an error from a device file means, said the same way by every port
// library: the kind of problem an errno is ("absent", "permission", "busy",
// "gone", the LineProblem keys) and the group that may open the file, for
// the messages that tell the operator how to be let in ("it belongs to group
// lp: sudo usermod -aG lp $USER"). Header-only: the port libraries and the
// guard's routines use it.
#include <cerrno>
#include <grp.h>
#include <string>
#include <sys/stat.h>

namespace portkit {

// The kind of problem an errno from opening a device's file is: "absent"
// (no such file or device: not plugged in, driver not loaded), "permission",
// "busy" (held by another program), or empty for one the device names itself.
inline std::string OpenProblemKey(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "absent";
    case EACCES:
    case EPERM:
        return "permission";
    case EBUSY:
        return "busy";
    default:
        return {};
    }
}

// True when an errno from a device already open says it has gone (unplugged,
// powered off, its driver unbound): the problem "gone", tried again later.
inline bool IsGoneError(int error)
{
    return error == ENODEV || error == ENXIO || error == ESHUTDOWN;
}

// The command that lets this user open what `group` may open, for a fix text;
// the user logs in again after it.
inline std::string JoinGroupCommand(const std::string &group) { return "sudo usermod -aG " + group + " $USER"; }

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
