// Loading wintun.dll when it cannot serve: built into a folder whose
// wintun.dll lacks WintunSendPacket (PELLORA_EXPECT_INCOMPLETE), and into one
// without any wintun.dll.
#include "net/wintun_api.h"
#include "tests/windows/fakewintun.h"
#include "tests/windows/wincheck.h"

#ifdef PELLORA_EXPECT_INCOMPLETE
constexpr int kAttachesPerLoad = 1;
#else
constexpr int kAttachesPerLoad = 0;
#endif

// Not kept half-usable: the library is let go again, and the next load tries anew.
static void unusableLibraryIsAFailedLoadTriedAgain()
{
    CHECK(!wintun::load());
    CHECK(GetModuleHandleA("wintun.dll") == nullptr);
    CHECK(!wintun::load());
    CHECK(GetModuleHandleA("wintun.dll") == nullptr);
    CHECK(fakewintun::attachCount() == 2 * kAttachesPerLoad);
}

int main()
{
    return wincheck::run({WINCHECK_CASE(unusableLibraryIsAFailedLoadTriedAgain)});
}
