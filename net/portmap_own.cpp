// Our own router client, on every platform: UPnP-IGD first (an SSDP search,
// the answering device's description, SOAP calls to its WAN service), then
// NAT-PMP to the default gateway. Runs on the keeper's thread with Qt's
// blocking socket calls; every call ends by a deadline of its own.
#include "net/portmap_own.h"

#include "net/portmap.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QUdpSocket>
#include <chrono>
#include <random>

namespace portmap {
namespace {

using own::Url;
constexpr int kSearchMs = 1000;     // the gateway answers within it; the join's first attempt lasts 2 s
constexpr int kSearchAgainMs = 300; // a lost search is sent once more
constexpr int kMaxSsdpAnswers = 16;
constexpr int kUpnpMs = 5000;   // one map through UPnP, from the search to the last answer
constexpr int kNatPmpMs = 2000; // one NAT-PMP request, its retries included
constexpr int kNatPmpFirstMs = 250;
constexpr int kRemoveMs = 2500; // within the keeper's wait at exit
constexpr int kConflictTries = 3;
constexpr char kDescription[] = "Pellora";
constexpr int kConflict = 718;      // ConflictInMappingEntry
constexpr int kOnlyPermanent = 725; // OnlyPermanentLeasesSupported

class Deadline
{
public:
    explicit Deadline(int ms) : end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    int left() const
    {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        return ms.count() > 0 ? static_cast<int>(ms.count()) : 0;
    }

private:
    std::chrono::steady_clock::time_point end;
};

// Our address on the way to the gateway: a connected datagram socket's, no datagram sent.
std::uint32_t localAddressToward(std::uint32_t gateway)
{
    QUdpSocket socket;
    socket.connectToHost(QHostAddress(gateway), own::kNatPmpPort);
    bool ok = false;
    const std::uint32_t local = socket.waitForConnected(0) ? socket.localAddress().toIPv4Address(&ok) : 0;
    return ok ? local : 0;
}

// One HTTP exchange on `url`'s device: the answer once complete, or nothing
// past `cap` bytes or the deadline.
std::optional<own::HttpAnswer> exchange(const Url& url, const std::string& request, std::size_t cap,
                                        const Deadline& deadline)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress(url.host), url.port);
    if (!socket.waitForConnected(deadline.left()))
        return std::nullopt;
    socket.write(request.data(), static_cast<qint64>(request.size()));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(deadline.left()))
            return std::nullopt;
    std::string got;
    for (;;) {
        // What came with the end of the connection is read too.
        const bool more = socket.bytesAvailable() > 0 || socket.waitForReadyRead(deadline.left());
        const QByteArray chunk = socket.read(static_cast<qint64>(cap + 1 - got.size()));
        got.append(chunk.constData(), static_cast<std::size_t>(chunk.size()));
        if (got.size() > cap)
            return std::nullopt;
        if (!more)
            return own::parseHttp(got, socket.state() != QAbstractSocket::ConnectedState);
        if (std::optional<own::HttpAnswer> answer = own::parseHttp(got, false))
            return answer;
    }
}

// The gateway's UPnP-IGD service, kept for renewals and the removal.
struct Igd
{
    own::Service service;
    std::uint32_t local = 0; // the mapping's internal client
};

class Upnp
{
public:
    bool found() const { return igd.has_value(); }

    bool discover(std::uint32_t gateway, std::uint32_t local, const Deadline& deadline)
    {
        igd.reset();
        const std::optional<Url> description = search(gateway, local);
        if (!description)
            return false;
        const std::optional<own::HttpAnswer> answer =
            exchange(*description, own::httpGet(*description), own::kDescriptionCap, deadline);
        if (!answer || answer->status != 200)
            return false;
        // The first service that names a public outside address: the others could forward nothing.
        for (own::Service& service : own::parseDescription(answer->body, *description)) {
            igd = Igd{std::move(service), local};
            if (externalAddress(deadline) != 0)
                return true;
        }
        igd.reset();
        return false;
    }

    std::optional<Mapping> add(std::uint16_t internalPort, std::uint16_t externalPort, std::uint32_t lease,
                               const Deadline& deadline)
    {
        Mapping made;
        made.via = Via::Upnp;
        made.internalPort = internalPort;
        made.address = externalAddress(deadline);
        if (made.address == 0)
            return std::nullopt;
        std::mt19937 pick{std::random_device{}()};
        for (int conflicts = 0; conflicts <= kConflictTries;) {
            const own::SoapAnswer answer = call("AddPortMapping",
                                                {{"NewRemoteHost", ""},
                                                 {"NewExternalPort", std::to_string(externalPort)},
                                                 {"NewProtocol", "UDP"},
                                                 {"NewInternalPort", std::to_string(internalPort)},
                                                 {"NewInternalClient", dotted(igd->local)},
                                                 {"NewEnabled", "1"},
                                                 {"NewPortMappingDescription", kDescription},
                                                 {"NewLeaseDuration", std::to_string(lease)}},
                                                "", deadline);
            if (answer.ok) {
                made.port = externalPort;
                made.leaseSeconds = lease;
                return made;
            }
            if (answer.errorCode == kOnlyPermanent && lease != 0) {
                lease = 0; // removed by us, at leave and exit
            } else if (answer.errorCode == kConflict) {
                externalPort =
                    static_cast<std::uint16_t>(std::uniform_int_distribution<int>(1024, 65535)(pick));
                ++conflicts;
            } else {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    void remove(const Mapping& mapping, const Deadline& deadline)
    {
        if (igd)
            call("DeletePortMapping",
                 {{"NewRemoteHost", ""},
                  {"NewExternalPort", std::to_string(mapping.port)},
                  {"NewProtocol", "UDP"}},
                 "", deadline);
    }

private:
    static std::string dotted(std::uint32_t address)
    {
        return QHostAddress(address).toString().toStdString();
    }

    // The description named by the first answer from the gateway, else from
    // another device of the LAN; only within kSearchMs.
    static std::optional<Url> search(std::uint32_t gateway, std::uint32_t local)
    {
        QUdpSocket socket;
        if (!socket.bind(QHostAddress(local), 0))
            return std::nullopt;
        for (const QNetworkInterface& face : QNetworkInterface::allInterfaces())
            for (const QNetworkAddressEntry& entry : face.addressEntries())
                if (entry.ip() == QHostAddress(local))
                    socket.setMulticastInterface(face);
        const QHostAddress group(QStringLiteral("239.255.255.250"));
        const auto send = [&] {
            for (const char* target : {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                       "urn:schemas-upnp-org:device:InternetGatewayDevice:2"}) {
                const std::string search = own::ssdpSearch(target);
                socket.writeDatagram(search.data(), static_cast<qint64>(search.size()), group, 1900);
            }
        };
        send();
        const Deadline deadline(kSearchMs);
        std::optional<Url> found;
        bool again = true;
        for (int answers = 0; answers < kMaxSsdpAnswers && deadline.left() > 0;) {
            if (!socket.waitForReadyRead(again && !found ? kSearchAgainMs : deadline.left())) {
                if (again && !found)
                    send();
                again = false;
                continue;
            }
            while (socket.hasPendingDatagrams() && answers < kMaxSsdpAnswers) {
                ++answers;
                char datagram[own::kDatagramCap + 1];
                QHostAddress sender;
                const qint64 length = socket.readDatagram(datagram, sizeof datagram, &sender);
                bool ok = false;
                const std::uint32_t from = sender.toIPv4Address(&ok);
                if (!ok || length < 0 || static_cast<std::size_t>(length) > own::kDatagramCap ||
                    (from != gateway && !own::isLan(from)))
                    continue;
                std::optional<Url> url =
                    own::parseSsdpAnswer(std::string_view(datagram, static_cast<std::size_t>(length)), from);
                if (url && from == gateway)
                    return url;
                if (url && !found)
                    found = url;
            }
        }
        return found;
    }

    std::uint32_t externalAddress(const Deadline& deadline)
    {
        const own::SoapAnswer answer = call("GetExternalIPAddress", {}, "NewExternalIPAddress", deadline);
        const QHostAddress address(QString::fromStdString(answer.value));
        bool ok = false;
        const std::uint32_t value = address.toIPv4Address(&ok);
        return answer.ok && ok && own::isPublic(value) ? value : 0;
    }

    own::SoapAnswer call(const char* action,
                         const std::vector<std::pair<std::string, std::string>>& arguments,
                         const char* element, const Deadline& deadline)
    {
        const std::optional<own::HttpAnswer> answer = exchange(
            igd->service.control, own::soapRequest(igd->service, action, arguments), own::kSoapCap, deadline);
        return answer ? own::parseSoap(*answer, element) : own::SoapAnswer{};
    }

    std::optional<Igd> igd;
};

// One NAT-PMP request to the gateway: sent again after 250 ms, then after
// twice as long each time, until kNatPmpMs have passed.
std::optional<own::NatPmpAnswer> natPmp(std::uint32_t gateway, const std::string& request,
                                        std::uint8_t opcode)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::AnyIPv4), 0))
        return std::nullopt;
    const QHostAddress to(gateway);
    const Deadline deadline(kNatPmpMs);
    for (int wait = kNatPmpFirstMs; deadline.left() > 0; wait *= 2) {
        socket.writeDatagram(request.data(), static_cast<qint64>(request.size()), to, own::kNatPmpPort);
        const Deadline retry(std::min(wait, deadline.left()));
        while (retry.left() > 0 && socket.waitForReadyRead(retry.left())) {
            while (socket.hasPendingDatagrams()) {
                unsigned char datagram[64];
                QHostAddress sender;
                quint16 port = 0;
                const qint64 length =
                    socket.readDatagram(reinterpret_cast<char*>(datagram), sizeof datagram, &sender, &port);
                bool ok = false;
                if (length < 0 || sender.toIPv4Address(&ok) != gateway || !ok || port != own::kNatPmpPort)
                    continue;
                if (std::optional<own::NatPmpAnswer> answer =
                        own::parseNatPmp(datagram, static_cast<std::size_t>(length), opcode))
                    return answer;
            }
        }
    }
    return std::nullopt;
}

class OwnRouter : public Router
{
public:
    std::optional<Mapping> map(std::uint16_t internalPort, std::uint32_t lease,
                               const Mapping* renewing) override
    {
        const std::optional<std::uint32_t> gateway = own::defaultGateway();
        const std::uint32_t local = gateway ? localAddressToward(*gateway) : 0;
        if (local == 0)
            return std::nullopt;
        const std::uint16_t wanted = renewing ? renewing->port : internalPort;
        const Deadline deadline(kUpnpMs);
        // A renewal asks the router that made it, found again only when it stopped answering.
        if (renewing && renewing->via == Via::NatPmp) {
            if (std::optional<Mapping> made = natPmpMap(*gateway, internalPort, wanted, lease))
                return made;
        } else if (renewing && upnp.found()) {
            if (std::optional<Mapping> made = upnp.add(internalPort, wanted, lease, deadline))
                return made;
        }
        if (upnp.discover(*gateway, local, deadline)) {
            if (std::optional<Mapping> made = upnp.add(internalPort, wanted, lease, deadline))
                return made;
        }
        return natPmpMap(*gateway, internalPort, wanted, lease);
    }

    void unmap(const Mapping& mapping) override
    {
        if (mapping.via == Via::Upnp) {
            upnp.remove(mapping, Deadline(kRemoveMs));
            return;
        }
        if (const std::optional<std::uint32_t> gateway = own::defaultGateway())
            natPmp(*gateway, own::natPmpMapRequest(mapping.internalPort, 0, 0), own::kOpMapUdp);
    }

private:
    static std::optional<Mapping> natPmpMap(std::uint32_t gateway, std::uint16_t internalPort,
                                            std::uint16_t externalPort, std::uint32_t lease)
    {
        const std::optional<own::NatPmpAnswer> address =
            natPmp(gateway, own::natPmpAddressRequest(), own::kOpAddress);
        if (!address || address->result != 0 || !own::isPublic(address->address))
            return std::nullopt;
        const std::optional<own::NatPmpAnswer> answer =
            natPmp(gateway, own::natPmpMapRequest(internalPort, externalPort, lease), own::kOpMapUdp);
        if (!answer || answer->result != 0 || answer->internalPort != internalPort ||
            answer->externalPort == 0)
            return std::nullopt;
        Mapping made;
        made.via = Via::NatPmp;
        made.address = address->address;
        made.port = answer->externalPort;
        made.internalPort = internalPort;
        made.leaseSeconds = answer->lifetime;
        return made;
    }

    Upnp upnp;
};

} // namespace

std::unique_ptr<Router> ownRouter()
{
    return std::make_unique<OwnRouter>();
}

} // namespace portmap
