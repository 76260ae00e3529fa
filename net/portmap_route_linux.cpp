// The default IPv4 gateway, from the kernel's routing table.
#include "net/portmap_own.h"

#include <arpa/inet.h>
#include <fstream>
#include <sstream>

namespace portmap::own {

std::optional<std::uint32_t> defaultGateway()
{
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ..., addresses in
    // hex as the kernel keeps them (network order).
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line);
    std::optional<std::uint32_t> best;
    unsigned long bestMetric = 0;
    for (int rows = 0; rows < 4096 && std::getline(table, line); ++rows) {
        std::istringstream fields(line);
        std::string name;
        unsigned long destination = 0, gateway = 0, flags = 0, refs = 0, use = 0, metric = 0, mask = 0;
        fields >> name >> std::hex >> destination >> gateway >> flags >> std::dec >> refs >> use >> metric >>
            std::hex >> mask;
        constexpr unsigned long kUpGateway = 0x3; // RTF_UP | RTF_GATEWAY
        if (!fields || destination != 0 || mask != 0 || (flags & kUpGateway) != kUpGateway || gateway == 0)
            continue;
        if (!best || metric < bestMetric) {
            best = ntohl(static_cast<std::uint32_t>(gateway));
            bestMetric = metric;
        }
    }
    return best;
}

} // namespace portmap::own
