// Loading wintun.dll when it cannot serve: built twice, once into a folder
// whose wintun.dll lacks WintunSendPacket (PELLORA_EXPECT_INCOMPLETE), once
// into a folder without any wintun.dll.
#include "net/wintun_api.h"
#include "tests/windows/fakewintun.h"
#include "tests/windows/wincheck.h"

#include <windows.h>

#ifdef PELLORA_EXPECT_INCOMPLETE

WINCHECK_CASE(library_lacking_an_entry_point_is_a_failed_load)
{
    CHECK(!wintun::load());
    CHECK_EQ(fakewintun::attachCount(), 1);
    // Not kept half-usable: the library is let go again.
    CHECK(GetModuleHandleA("wintun.dll") == nullptr);
}

WINCHECK_CASE(failed_load_is_tried_again_by_the_next_start)
{
    const int before = fakewintun::attachCount();
    CHECK(!wintun::load());
    CHECK_EQ(fakewintun::attachCount(), before + 1);
    CHECK(GetModuleHandleA("wintun.dll") == nullptr);
}

#else

WINCHECK_CASE(missing_library_is_a_failed_load)
{
    CHECK(!wintun::load());
    CHECK(!wintun::load());
    CHECK(GetModuleHandleA("wintun.dll") == nullptr);
    CHECK_EQ(fakewintun::attachCount(), 0);
}

#endif

WINCHECK_MAIN()
