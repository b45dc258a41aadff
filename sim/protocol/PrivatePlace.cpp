#include "sim/protocol/PrivatePlace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simproto {

std::string PrivateFolderProblem(const std::string &path)
{
    if (path.empty())
        return "no folder is named";
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0)
        return path + ": " + std::strerror(errno);
    if (S_ISLNK(info.st_mode))
        return path + " is a symbolic link";
    if (!S_ISDIR(info.st_mode))
        return path + " is not a folder";
    if (info.st_uid != geteuid())
        return path + " belongs to user " + std::to_string(info.st_uid) + ", not to user " +
               std::to_string(geteuid());
    if (info.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
        return path + " has mode " + mode + ": others may enter it (it must be 0700)";
    }
    return {};
}

uid_t PeerUser(int fd)
{
    ucred peer{};
    socklen_t length = sizeof(peer);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || length != sizeof(peer))
        return static_cast<uid_t>(-1);
    return peer.uid;
}

} // namespace simproto
