#include "protocol/peerrule.h"

namespace peerrule {

Ipv4 ipv4(std::uint32_t source, std::uint32_t destination, std::uint32_t senderVip, std::uint32_t roomNet)
{
    if (source != senderVip)
        return Ipv4::ForgedSource;
    if (isBroadcastOrMulticastIpv4(destination, roomNet))
        return Ipv4::Everyone;
    return roomNetOf(destination) == roomNet ? Ipv4::Member : Ipv4::Outside;
}

} // namespace peerrule
