#pragma once
// GStreamer is started once in the program, by whichever part needs it first:
// a capture window's pipeline, the list of cameras, or the sound player.

// Starts GStreamer unless it runs already. Any thread.
void EnsureGStreamer();
