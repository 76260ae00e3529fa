#include "server/shutdownsignals_linux.h"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

int serverSignalDescriptor()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

int takeServerSignal(int descriptor)
{
    signalfd_siginfo info{};
    if (read(descriptor, &info, sizeof info) != sizeof info)
        return 0;
    return static_cast<int>(info.ssi_signo);
}
