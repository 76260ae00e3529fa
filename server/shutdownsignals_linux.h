// SIGINT, SIGTERM and SIGHUP as a readable descriptor for the event loop:
// nothing runs in a signal handler.
#pragma once

// Blocks the signals in the calling thread (threads started later inherit
// that) and returns a descriptor that becomes readable when one arrives,
// or -1 on failure.
int serverSignalDescriptor();
// Reads the pending signal: its number (0 if none could be read).
int takeServerSignal(int descriptor);
