#include "server/shutdownsignals_linux.h"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

int shutdownSignalDescriptor()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

const char* takeShutdownSignal(int descriptor)
{
    signalfd_siginfo info{};
    if (read(descriptor, &info, sizeof info) != sizeof info)
        return "signal";
    return info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM";
}
