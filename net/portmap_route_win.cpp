// The default IPv4 gateway, from the system's forwarding table: of the
// default routes, the one of least metric, the interface's own included
// where the system tells it (wine does not).
#include "net/portmap_own.h"

#include <winsock2.h>
#include <ws2ipdef.h>
// After Winsock: these pull in windows.h.
#include <iphlpapi.h>
#include <map>
#include <netioapi.h>

namespace portmap::own {

std::optional<std::uint32_t> defaultGateway()
{
    std::optional<std::map<NET_IFINDEX, ULONG>> connected; // interface -> its metric
    MIB_IPINTERFACE_TABLE* faces = nullptr;
    if (GetIpInterfaceTable(AF_INET, &faces) == NO_ERROR) {
        connected.emplace();
        for (ULONG i = 0; i < faces->NumEntries; ++i)
            if (faces->Table[i].Connected)
                (*connected)[faces->Table[i].InterfaceIndex] = faces->Table[i].Metric;
        FreeMibTable(faces);
    }
    MIB_IPFORWARD_TABLE2* routes = nullptr;
    if (GetIpForwardTable2(AF_INET, &routes) != NO_ERROR)
        return std::nullopt;
    std::optional<std::uint32_t> best;
    unsigned long long bestMetric = 0;
    for (ULONG i = 0; i < routes->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = routes->Table[i];
        const std::uint32_t gateway = ntohl(row.NextHop.Ipv4.sin_addr.s_addr);
        if (row.DestinationPrefix.PrefixLength != 0 || row.NextHop.si_family != AF_INET || gateway == 0)
            continue;
        unsigned long long metric = row.Metric;
        if (connected) {
            const auto face = connected->find(row.InterfaceIndex);
            if (face == connected->end())
                continue;
            metric += face->second;
        }
        if (!best || metric < bestMetric) {
            best = gateway;
            bestMetric = metric;
        }
    }
    FreeMibTable(routes);
    return best;
}

} // namespace portmap::own
