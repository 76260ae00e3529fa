// A build without the router libraries (the Windows client, or Linux without
// miniupnpc and libnatpmp) asks its routers with our own client.
#include "net/portmap.h"

namespace portmap {

std::unique_ptr<Router> systemRouter()
{
    return ownRouter();
}

} // namespace portmap
