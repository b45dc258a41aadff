#pragma once
// What makes a place for the simulator's sockets private to one user, shared
// by robot-sim and the virtual robot's port library: a folder nobody else may
// enter, and a peer at the other end of a socket that is this same user.
#include <string>
#include <sys/types.h>

namespace simproto {

// Why `path` is not a private folder of this user (a real directory, not a
// symbolic link, owned by this user, with no rights for group or others);
// empty when it is one.
std::string PrivateFolderProblem(const std::string &path);

// The user of the process at the other end of a connected local socket;
// (uid_t)-1 when it cannot be told.
uid_t PeerUser(int fd);

} // namespace simproto
