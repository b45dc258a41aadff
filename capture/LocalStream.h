#pragma once
// A camera stream on a local (Unix domain) socket, the capture source
// "unix:<path>", as the virtual robot serves its camera: the server first sends
// one line with the GStreamer caps of its raw video, then the frames back to
// back. Only a server of this same user is taken: another user's server could
// show the program pictures of its own making.
#include <string>

typedef struct _GstElement GstElement;

// Prefix of the ROBOT_CAPTURE_SOURCE values that name such a socket.
constexpr const char *LocalStreamPrefix = "unix:";

// How long the server may take to say its format after the connection.
constexpr int LocalStreamHeaderTimeoutMs = 1000;

// Connects to the socket at `path`, checks the server's user and its format
// and returns a source bin with raw video frames on its one source pad
// (floating, for a pipeline to take). Null, with the reason in `problem`,
// when any of that fails.
GstElement *OpenLocalStream(const std::string &path, std::string &problem);
