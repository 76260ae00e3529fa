// Socket settings the Qt API does not reach.
#pragma once

#include <QtGlobal>

// Keepalive probes after `idleSeconds` of silence, so that a control
// connection whose client vanished (a half-open connection behind NAT)
// releases its name instead of holding it for hours.
void enableTcpKeepAlive(qintptr descriptor, int idleSeconds, int intervalSeconds, int probes);

// Whether the connection is still established and its peer acknowledged
// anything (data or a keepalive probe) in the last `withinMs`.
bool tcpPeerAnswered(qintptr descriptor, int withinMs);

// Caps what the kernel holds for one connection that does not read, so that
// the server's own output budget is what counts.
void limitSendBuffer(qintptr descriptor, int bytes);
