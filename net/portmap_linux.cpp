// The router asked through miniupnpc (UPnP-IGD) first, then libnatpmp
// (NAT-PMP). Built only when both libraries were found.
#include "net/portmap.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <natpmp.h>
#include <poll.h>
#include <string>

namespace portmap {
namespace {

constexpr int kDiscoverMs = 1000; // the router answers within it; the join's first attempt lasts 2 s
constexpr int kNatPmpMs = 2000; // per request, its retries included
constexpr char kDescription[] = "Pellora";
constexpr int kConflict = 718;      // ConflictInMappingEntry
constexpr int kOnlyPermanent = 725; // OnlyPermanentLeasesSupported

std::uint32_t parseIpv4(const char* text)
{
    in_addr address{};
    return inet_pton(AF_INET, text, &address) == 1 ? ntohl(address.s_addr) : 0;
}

// The call gained the router's WAN address in API 18; we ask for it separately.
#if MINIUPNPC_API_VERSION >= 18
int validIgd(UPNPDev* devices, UPNPUrls* urls, IGDdatas* data, char* lan, int lanLength)
{
    char wan[64] = {};
    return UPNP_GetValidIGD(devices, urls, data, lan, lanLength, wan, sizeof wan);
}
#else
int validIgd(UPNPDev* devices, UPNPUrls* urls, IGDdatas* data, char* lan, int lanLength)
{
    return UPNP_GetValidIGD(devices, urls, data, lan, lanLength);
}
#endif

// The router found by the last discovery that answered, kept for renewals and the removal.
class Upnp
{
public:
    ~Upnp() { forget(); }

    bool found() const { return ready; }

    bool discover()
    {
        forget();
        int error = 0;
        UPNPDev* devices = upnpDiscover(kDiscoverMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
        if (!devices)
            return false;
        // 1: an IGD whose WAN side is connected; the others could forward nothing.
        const int kind = validIgd(devices, &urls, &data, lan, sizeof lan);
        freeUPNPDevlist(devices);
        if (kind != 1) {
            if (kind != 0)
                FreeUPNPUrls(&urls);
            return false;
        }
        ready = true;
        return true;
    }

    std::optional<Mapping> add(std::uint16_t internalPort, std::uint16_t externalPort, std::uint32_t lease)
    {
        char external[40] = {};
        if (UPNP_GetExternalIPAddress(urls.controlURL, data.first.servicetype, external) !=
            UPNPCOMMAND_SUCCESS)
            return std::nullopt;
        Mapping made;
        made.address = parseIpv4(external);
        made.via = Via::Upnp;
        if (made.address == 0)
            return std::nullopt;
        const std::string inPort = std::to_string(internalPort);
        std::string outPort = std::to_string(externalPort);
        std::string leaseText = std::to_string(lease);
        int result = addOne(outPort, inPort, leaseText);
        if (result == kOnlyPermanent) {
            leaseText = "0"; // removed by us, at leave and exit
            result = addOne(outPort, inPort, leaseText);
        }
        if (result == kConflict) {
            char reserved[8] = {};
            result = UPNP_AddAnyPortMapping(urls.controlURL, data.first.servicetype, outPort.c_str(),
                                            inPort.c_str(), lan, kDescription, "UDP", nullptr,
                                            leaseText.c_str(), reserved);
            outPort = reserved;
        }
        const unsigned long port = std::strtoul(outPort.c_str(), nullptr, 10);
        if (result != UPNPCOMMAND_SUCCESS || port == 0 || port > 65535)
            return std::nullopt;
        made.port = static_cast<std::uint16_t>(port);
        made.leaseSeconds = static_cast<std::uint32_t>(std::stoul(leaseText));
        return made;
    }

    void remove(const Mapping& mapping)
    {
        if (ready)
            UPNP_DeletePortMapping(urls.controlURL, data.first.servicetype,
                                   std::to_string(mapping.port).c_str(), "UDP", nullptr);
    }

private:
    int addOne(const std::string& outPort, const std::string& inPort, const std::string& lease)
    {
        return UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, outPort.c_str(), inPort.c_str(),
                                   lan, kDescription, "UDP", nullptr, lease.c_str());
    }

    void forget()
    {
        if (ready)
            FreeUPNPUrls(&urls);
        ready = false;
    }

    UPNPUrls urls{};
    IGDdatas data{};
    char lan[64] = {}; // our address towards the router: the mapping's internal client
    bool ready = false;
};

// One NAT-PMP exchange with the default gateway, bounded by kNatPmpMs.
class NatPmp
{
public:
    NatPmp() : open(initnatpmp(&session, 0, 0) == 0) {}
    ~NatPmp()
    {
        if (open)
            closenatpmp(&session);
    }

    bool publicAddress(std::uint32_t* address)
    {
        natpmpresp_t answer{};
        if (!open || sendpublicaddressrequest(&session) < 0 || !answered(&answer) ||
            answer.type != NATPMP_RESPTYPE_PUBLICADDRESS)
            return false;
        *address = ntohl(answer.pnu.publicaddress.addr.s_addr);
        return *address != 0;
    }

    // Lifetime 0 removes the mapping.
    bool request(std::uint16_t internalPort, std::uint16_t externalPort, std::uint32_t lifetime,
                 natpmpresp_t* answer)
    {
        return open &&
               sendnewportmappingrequest(&session, NATPMP_PROTOCOL_UDP, internalPort, externalPort,
                                         lifetime) >= 0 &&
               answered(answer) && answer->type == NATPMP_RESPTYPE_UDPPORTMAPPING;
    }

private:
    bool answered(natpmpresp_t* answer)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kNatPmpMs);
        for (;;) {
            const int result = readnatpmpresponseorretry(&session, answer);
            if (result != NATPMP_TRYAGAIN)
                return result >= 0;
            timeval retry{};
            getnatpmprequesttimeout(&session, &retry);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            const long retryMs = retry.tv_sec * 1000 + retry.tv_usec / 1000 + 1;
            pollfd ready{session.s, POLLIN, 0};
            poll(&ready, 1, static_cast<int>(std::min<long>(retryMs, left.count())));
        }
    }

    natpmp_t session{};
    bool open;
};

class SystemRouter : public Router
{
public:
    std::optional<Mapping> map(std::uint16_t internalPort, std::uint32_t lease,
                               const Mapping* renewing) override
    {
        const std::uint16_t wanted = renewing ? renewing->port : internalPort;
        // A renewal asks the router that made it, found again only when it stopped answering.
        if (renewing && renewing->via == Via::NatPmp) {
            if (std::optional<Mapping> made = natPmp(internalPort, wanted, lease))
                return made;
        } else if (renewing && upnp.found()) {
            if (std::optional<Mapping> made = upnp.add(internalPort, wanted, lease))
                return made;
        }
        if (upnp.discover()) {
            if (std::optional<Mapping> made = upnp.add(internalPort, wanted, lease))
                return made;
        }
        return natPmp(internalPort, wanted, lease);
    }

    void unmap(const Mapping& mapping) override
    {
        if (mapping.via == Via::Upnp) {
            upnp.remove(mapping);
            return;
        }
        natpmpresp_t answer{};
        NatPmp().request(mapping.internalPort, 0, 0, &answer);
    }

private:
    static std::optional<Mapping> natPmp(std::uint16_t internalPort, std::uint16_t externalPort,
                                         std::uint32_t lease)
    {
        NatPmp router;
        Mapping made;
        made.via = Via::NatPmp;
        natpmpresp_t answer{};
        if (!router.publicAddress(&made.address) ||
            !router.request(internalPort, externalPort, lease, &answer) ||
            answer.pnu.newportmapping.mappedpublicport == 0)
            return std::nullopt;
        made.port = answer.pnu.newportmapping.mappedpublicport;
        made.leaseSeconds = answer.pnu.newportmapping.lifetime;
        return made;
    }

    Upnp upnp;
};

} // namespace

std::unique_ptr<Router> systemRouter()
{
    return std::make_unique<SystemRouter>();
}

} // namespace portmap
