// Our own UPnP-IGD and NAT-PMP client: the messages it sends and the parsers
// of what routers answer (Qt-free, fuzzed), and the one platform question it
// asks (the default gateway). The router built on them is ownRouter().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace portmap::own {

// Addresses are IPv4 in host order throughout.
std::optional<std::uint32_t> defaultGateway(); // net/portmap_route_*.cpp

// A private or link-local address: where a LAN device may live.
bool isLan(std::uint32_t address);
// An address the Internet can reach: what a router's outside address must be.
bool isPublic(std::uint32_t address);

// Every answer is refused past its cap, before it is parsed.
constexpr std::size_t kDatagramCap = 8 * 1024;     // an SSDP answer
constexpr std::size_t kDescriptionCap = 64 * 1024; // the description, as an HTTP response
constexpr std::size_t kSoapCap = 8 * 1024;         // a SOAP answer, as an HTTP response
constexpr int kMaxServices = 4;                    // WAN services tried per device

// NAT-PMP (port 5351 of the gateway).
constexpr std::uint16_t kNatPmpPort = 5351;
constexpr std::uint8_t kOpAddress = 0;
constexpr std::uint8_t kOpMapUdp = 1;
std::string natPmpAddressRequest();
// Lifetime 0 with outside port 0 removes the mapping of `internalPort`.
std::string natPmpMapRequest(std::uint16_t internalPort, std::uint16_t externalPort, std::uint32_t lifetime);
struct NatPmpAnswer
{
    std::uint16_t result = 0; // 0: success
    std::uint32_t address = 0;
    std::uint16_t internalPort = 0;
    std::uint16_t externalPort = 0;
    std::uint32_t lifetime = 0;
};
// The answer to a request of `opcode`; nothing when it is anything else.
std::optional<NatPmpAnswer> parseNatPmp(const unsigned char* data, std::size_t length, std::uint8_t opcode);

// http://a.b.c.d[:port]/path, a numeric host only.
struct Url
{
    std::uint32_t host = 0;
    std::uint16_t port = 80;
    std::string path = "/";
};
std::optional<Url> parseUrl(std::string_view text);

// SSDP: a search for gateways, and the description an answer names. Only a
// description on the device that answered (`from`) is taken.
std::string ssdpSearch(std::string_view target);
std::optional<Url> parseSsdpAnswer(std::string_view datagram, std::uint32_t from);

// A whole HTTP response: its status and body (chunked or not) once complete;
// without a length, the body ends where the server `closed`.
struct HttpAnswer
{
    int status = 0;
    std::string body;
};
std::optional<HttpAnswer> parseHttp(std::string_view response, bool closed);
std::string httpGet(const Url& url);

// The WAN connection services a description lists, their control URLs on the
// description's own device; any other host is refused.
struct Service
{
    std::string type;
    Url control;
};
std::vector<Service> parseDescription(std::string_view xml, const Url& description);

// One SOAP call: `arguments` are name, value pairs, sent in order.
std::string soapRequest(const Service& service, std::string_view action,
                        const std::vector<std::pair<std::string, std::string>>& arguments);
// The answer: on success (status 200) the text of `element` (empty when
// absent), else the UPnP error code (0 when none).
struct SoapAnswer
{
    bool ok = false;
    int errorCode = 0;
    std::string value;
};
SoapAnswer parseSoap(const HttpAnswer& answer, std::string_view element);

} // namespace portmap::own
