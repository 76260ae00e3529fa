// Takes the address of every operation of the Windows adapter platform layer
// so that the linker has to resolve them; run with no arguments it loads
// nothing and exits 0.
#include "net/readerthread.h"
#include "net/tap_api.h"
#include "net/wintun_api.h"

#include <cstdio>

int main(int argc, char**)
{
    const void* operations[] = {
        reinterpret_cast<const void*>(&wintun::load),
        reinterpret_cast<const void*>(&wintun::createAdapter),
        reinterpret_cast<const void*>(&wintun::startSession),
        reinterpret_cast<const void*>(&wintun::endSession),
        reinterpret_cast<const void*>(&wintun::closeAdapter),
        reinterpret_cast<const void*>(&wintun::receivePacket),
        reinterpret_cast<const void*>(&wintun::releaseReceivePacket),
        reinterpret_cast<const void*>(&wintun::allocateSendPacket),
        reinterpret_cast<const void*>(&wintun::sendPacket),
        reinterpret_cast<const void*>(&wintun::settleAdapter),
        reinterpret_cast<const void*>(&wintun::waitForPacket),
        reinterpret_cast<const void*>(&wintun::wakeReader),
        reinterpret_cast<const void*>(&tap::devicePath),
        reinterpret_cast<const void*>(&tap::open),
        reinterpret_cast<const void*>(&tap::setMediaConnected),
        reinterpret_cast<const void*>(&tap::beginReading),
        reinterpret_cast<const void*>(&tap::endReading),
        reinterpret_cast<const void*>(&tap::read),
        reinterpret_cast<const void*>(&tap::write),
        reinterpret_cast<const void*>(&tap::cancel),
        reinterpret_cast<const void*>(&tap::close),
        reinterpret_cast<const void*>(&adapter::startThread),
        reinterpret_cast<const void*>(&adapter::joinThread),
        reinterpret_cast<const void*>(&adapter::stopReader),
    };
    int missing = 0;
    for (const void* operation : operations)
        missing += operation == nullptr;
    if (argc > 1)
        std::printf("%s\n%s\n", wintun::kLoadFailedText, tap::kMissingText);
    return missing;
}
