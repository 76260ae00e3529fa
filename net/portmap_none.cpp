// A build without a router library (the Windows client, or Linux without
// miniupnpc and libnatpmp): no router can be asked.
#include "net/portmap.h"

namespace portmap {

std::unique_ptr<Router> systemRouter()
{
    return nullptr;
}

} // namespace portmap
