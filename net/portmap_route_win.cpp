// The default IPv4 gateway, from the system's forwarding table: of the
// default routes, the one of least metric, the interface's own included.
#include "net/portmap_own.h"

#include <winsock2.h>
#include <ws2ipdef.h>

#include <iphlpapi.h>
#include <netioapi.h>

namespace portmap::own {

std::optional<std::uint32_t> defaultGateway()
{
    MIB_IPFORWARD_TABLE2* table = nullptr;
    if (GetIpForwardTable2(AF_INET, &table) != NO_ERROR)
        return std::nullopt;
    std::optional<std::uint32_t> best;
    unsigned long long bestMetric = 0;
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& row = table->Table[i];
        const std::uint32_t gateway = ntohl(row.NextHop.Ipv4.sin_addr.s_addr);
        if (row.DestinationPrefix.PrefixLength != 0 || row.NextHop.si_family != AF_INET || gateway == 0)
            continue;
        MIB_IPINTERFACE_ROW face{};
        face.Family = AF_INET;
        face.InterfaceLuid = row.InterfaceLuid;
        if (GetIpInterfaceEntry(&face) != NO_ERROR || !face.Connected)
            continue;
        const unsigned long long metric = static_cast<unsigned long long>(row.Metric) + face.Metric;
        if (!best || metric < bestMetric) {
            best = gateway;
            bestMetric = metric;
        }
    }
    FreeMibTable(table);
    return best;
}

} // namespace portmap::own
