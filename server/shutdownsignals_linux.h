// SIGINT and SIGTERM as a readable descriptor for the event loop.
#pragma once

// Blocks both signals in the calling thread (threads started later inherit
// that) and returns a descriptor that becomes readable when one arrives,
// or -1 on failure.
int shutdownSignalDescriptor();
// Reads the pending signal; returns its name for the log.
const char* takeShutdownSignal(int descriptor);
