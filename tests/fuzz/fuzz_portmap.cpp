// Every parser of our own router client on what a LAN device may send. The
// first byte picks one, for the rest after a second byte of flags: 0 a NAT-PMP
// answer (flag bit 0 picks the request), 1 an SSDP answer, 2 an HTTP response
// (flag bit 0: the connection closed) read as a description, 3 as a SOAP answer. What comes out may only name
// the device that answered.
#include "net/portmap_own.h"

#include <cstdlib>

namespace own = portmap::own;

namespace {

constexpr std::uint32_t kDevice = 0x0A000001; // 10.0.0.1

void check(bool holds)
{
    if (!holds)
        std::abort();
}

bool plain(const std::string& path)
{
    for (const char c : path)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return !path.empty() && path.front() == '/';
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2 || size > own::kDescriptionCap)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
    switch (data[0]) {
    case 0:
        if (const auto answer = own::parseNatPmp(data + 2, size - 2, data[1] & 1))
            check(size - 2 >= 8);
        break;
    case 1:
        if (const auto url = own::parseSsdpAnswer(rest, kDevice))
            check(url->host == kDevice && url->port != 0 && plain(url->path));
        break;
    case 2:
    case 3:
        if (const auto answer = own::parseHttp(rest, data[1] & 1)) {
            check(answer->body.size() <= rest.size());
            if (data[0] == 3) {
                own::parseSoap(*answer, "NewExternalIPAddress");
                break;
            }
            const own::Url description{kDevice, 80, "/d.xml"};
            const std::vector<own::Service> services = own::parseDescription(answer->body, description);
            check(services.size() <= static_cast<std::size_t>(own::kMaxServices));
            for (const own::Service& service : services)
                check(service.control.host == kDevice && plain(service.control.path));
        }
        break;
    default:
        break;
    }
    return 0;
}
