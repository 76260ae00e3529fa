#include "server/sockettuning_linux.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

void enableTcpKeepAlive(qintptr descriptor, int idleSeconds, int intervalSeconds, int probes)
{
    const int fd = static_cast<int>(descriptor);
    const int one = 1;
    // Best effort: a socket that refuses simply keeps the system defaults.
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intervalSeconds, sizeof intervalSeconds);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
}

bool tcpPeerAnswered(qintptr descriptor, int withinMs)
{
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(static_cast<int>(descriptor), IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state == TCP_ESTABLISHED && info.tcpi_last_ack_recv < static_cast<unsigned>(withinMs);
}

void limitSendBuffer(qintptr descriptor, int bytes)
{
    setsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}
