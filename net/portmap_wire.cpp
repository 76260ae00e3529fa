// What our own UPnP-IGD and NAT-PMP client sends and how it reads the
// answers. Everything read comes from a LAN device nobody vouches for: each
// parser is linear in its input, which its caller has already capped.
#include "net/portmap_own.h"

#include <cctype>
#include <cstdlib>

namespace portmap::own {
namespace {

constexpr std::string_view kServiceTypes[] = {
    "urn:schemas-upnp-org:service:WANIPConnection:1",
    "urn:schemas-upnp-org:service:WANIPConnection:2",
    "urn:schemas-upnp-org:service:WANPPPConnection:1",
};
constexpr std::size_t kUrlCap = 1024;

bool inNet(std::uint32_t address, std::uint32_t net, int bits)
{
    return (address >> (32 - bits)) == (net >> (32 - bits));
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) !=
            std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// Digits only, at most `maxDigits` of them, no more than `max`.
std::optional<std::uint32_t> number(std::string_view text, std::size_t maxDigits, std::uint32_t max)
{
    if (text.empty() || text.size() > maxDigits)
        return std::nullopt;
    std::uint32_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    return value <= max ? std::optional<std::uint32_t>(value) : std::nullopt;
}

std::optional<std::uint32_t> parseIpv4(std::string_view text)
{
    std::uint32_t address = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        if (dot == std::string_view::npos)
            return std::nullopt;
        const std::optional<std::uint32_t> byte = number(text.substr(0, dot), 3, 255);
        if (!byte)
            return std::nullopt;
        address = address << 8 | *byte;
        text.remove_prefix(part < 3 ? dot + 1 : dot);
    }
    return address;
}

// A path that can stand in a request line as it is.
bool plainPath(std::string_view path)
{
    if (path.empty() || path.front() != '/' || path.size() > kUrlCap)
        return false;
    for (const char c : path)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            return false;
    return true;
}

std::string dotted(std::uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

std::string hostHeader(const Url& url)
{
    return "Host: " + dotted(url.host) + ":" + std::to_string(url.port) + "\r\n";
}

bool nameChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.';
}

// The text of the first element named `name`, with or without a namespace prefix.
std::optional<std::string_view> elementText(std::string_view xml, std::string_view name)
{
    if (name.empty())
        return std::nullopt;
    for (std::size_t at = xml.find(name); at != std::string_view::npos; at = xml.find(name, at)) {
        std::size_t open = at;
        at += name.size();
        if (open > 0 && xml[open - 1] == ':')
            for (--open; open > 0 && nameChar(xml[open - 1]);)
                --open;
        if (open == 0 || xml[open - 1] != '<' || at >= xml.size() ||
            (xml[at] != '>' && !std::isspace(static_cast<unsigned char>(xml[at]))))
            continue;
        const std::size_t close = xml.find('>', at);
        if (close == std::string_view::npos)
            return std::nullopt;
        if (xml[close - 1] == '/')
            return std::string_view();
        const std::size_t end = xml.find('<', close + 1);
        if (end == std::string_view::npos)
            return std::nullopt;
        return trim(xml.substr(close + 1, end - close - 1));
    }
    return std::nullopt;
}

std::uint16_t be16(const unsigned char* at)
{
    return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}

std::uint32_t be32(const unsigned char* at)
{
    return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
}

void putBe(std::string& out, std::uint32_t value, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.push_back(static_cast<char>(value >> shift & 255));
}

} // namespace

bool isLan(std::uint32_t a)
{
    return inNet(a, 0x0A000000, 8) || inNet(a, 0xAC100000, 12) || inNet(a, 0xC0A80000, 16) ||
           inNet(a, 0xA9FE0000, 16);
}

bool isPublic(std::uint32_t a)
{
    return !isLan(a) && !inNet(a, 0, 8) && !inNet(a, 0x64400000, 10) && !inNet(a, 0x7F000000, 8) &&
           !inNet(a, 0xE0000000, 3);
}

std::string natPmpAddressRequest()
{
    return std::string("\0\0", 2);
}

std::string natPmpMapRequest(std::uint16_t internalPort, std::uint16_t externalPort, std::uint32_t lifetime)
{
    std::string out{'\0', static_cast<char>(kOpMapUdp), '\0', '\0'};
    putBe(out, internalPort, 2);
    putBe(out, externalPort, 2);
    putBe(out, lifetime, 4);
    return out;
}

std::optional<NatPmpAnswer> parseNatPmp(const unsigned char* data, std::size_t length, std::uint8_t opcode)
{
    // Version 0, the request's opcode + 128, a result code and the router's epoch.
    if (length < 8 || data[0] != 0 || data[1] != 128 + opcode)
        return std::nullopt;
    NatPmpAnswer answer;
    answer.result = be16(data + 2);
    if (answer.result != 0) // an error answer may stop after the epoch
        return answer;
    if (opcode == kOpAddress && length >= 12) {
        answer.address = be32(data + 8);
        return answer;
    }
    if (opcode == kOpMapUdp && length >= 16) {
        answer.internalPort = be16(data + 8);
        answer.externalPort = be16(data + 10);
        answer.lifetime = be32(data + 12);
        return answer;
    }
    return std::nullopt;
}

std::optional<Url> parseUrl(std::string_view text)
{
    text = trim(text);
    if (text.size() > kUrlCap || !startsWithNoCase(text, "http://"))
        return std::nullopt;
    text.remove_prefix(7);
    const std::size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    Url url;
    url.path = slash == std::string_view::npos ? "/" : std::string(text.substr(slash));
    const std::size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        const std::optional<std::uint32_t> port = number(authority.substr(colon + 1), 5, 65535);
        if (!port || *port == 0)
            return std::nullopt;
        url.port = static_cast<std::uint16_t>(*port);
        authority = authority.substr(0, colon);
    }
    const std::optional<std::uint32_t> host = parseIpv4(authority);
    if (!host || !plainPath(url.path))
        return std::nullopt;
    url.host = *host;
    return url;
}

std::string ssdpSearch(std::string_view target)
{
    return "M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nST: " + std::string(target) +
           "\r\nMAN: \"ssdp:discover\"\r\nMX: 1\r\n\r\n";
}

std::optional<Url> parseSsdpAnswer(std::string_view datagram, std::uint32_t from)
{
    if (datagram.size() > kDatagramCap ||
        !(startsWithNoCase(datagram, "HTTP/1.1 200") || startsWithNoCase(datagram, "HTTP/1.0 200")))
        return std::nullopt;
    for (std::size_t at = datagram.find('\n'); at != std::string_view::npos;) {
        const std::size_t end = datagram.find('\n', at + 1);
        const std::string_view line =
            datagram.substr(at + 1, end == std::string_view::npos ? end : end - at - 1);
        at = end;
        if (!startsWithNoCase(line, "location:"))
            continue;
        std::optional<Url> url = parseUrl(line.substr(9));
        return url && url->host == from ? url : std::nullopt;
    }
    return std::nullopt;
}

std::optional<HttpAnswer> parseHttp(std::string_view response, bool closed)
{
    const std::size_t headerEnd = response.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos || !startsWithNoCase(response, "HTTP/1.") ||
        response.size() < 12 || response[8] != ' ')
        return std::nullopt;
    const std::optional<std::uint32_t> status = number(response.substr(9, 3), 3, 999);
    if (!status)
        return std::nullopt;
    std::optional<std::size_t> length;
    bool chunked = false;
    for (std::size_t at = response.find("\r\n"); at < headerEnd;) {
        const std::size_t end = response.find("\r\n", at + 2);
        const std::string_view line = response.substr(at + 2, end - at - 2);
        at = end;
        if (startsWithNoCase(line, "content-length:")) {
            const std::optional<std::uint32_t> value = number(trim(line.substr(15)), 9, 1u << 30);
            if (!value)
                return std::nullopt;
            length = *value;
        } else if (startsWithNoCase(line, "transfer-encoding:")) {
            chunked = startsWithNoCase(trim(line.substr(18)), "chunked");
        }
    }
    std::string_view rest = response.substr(headerEnd + 4);
    HttpAnswer answer;
    answer.status = static_cast<int>(*status);
    if (chunked) {
        for (;;) {
            const std::size_t lineEnd = rest.find("\r\n");
            if (lineEnd == std::string_view::npos)
                return std::nullopt;
            std::string_view size = rest.substr(0, lineEnd);
            size = trim(size.substr(0, size.find(';')));
            if (size.empty() || size.size() > 6)
                return std::nullopt;
            std::size_t bytes = 0;
            for (const char c : size) {
                if (!std::isxdigit(static_cast<unsigned char>(c)))
                    return std::nullopt;
                bytes = bytes * 16 + static_cast<std::size_t>(std::isdigit(static_cast<unsigned char>(c))
                                                                  ? c - '0'
                                                                  : std::tolower(c) - 'a' + 10);
            }
            rest.remove_prefix(lineEnd + 2);
            if (bytes == 0)
                return answer;
            if (rest.size() < bytes + 2 || rest.substr(bytes, 2) != "\r\n")
                return std::nullopt;
            answer.body.append(rest.substr(0, bytes));
            rest.remove_prefix(bytes + 2);
        }
    }
    if (length) {
        if (rest.size() < *length)
            return std::nullopt;
        rest = rest.substr(0, *length);
    } else if (!closed) {
        return std::nullopt;
    }
    answer.body = std::string(rest);
    return answer;
}

std::string httpGet(const Url& url)
{
    return "GET " + url.path + " HTTP/1.1\r\n" + hostHeader(url) + "Connection: close\r\n\r\n";
}

std::vector<Service> parseDescription(std::string_view xml, const Url& description)
{
    // A base URL on the same device may name another port for the control URLs.
    Url base = description;
    if (const std::optional<std::string_view> text = elementText(xml, "URLBase")) {
        const std::optional<Url> named = parseUrl(*text);
        if (named && named->host == description.host)
            base.port = named->port;
    }
    std::vector<Service> found;
    for (std::size_t at = xml.find("<service>"); at != std::string_view::npos && found.size() < kMaxServices;
         at = xml.find("<service>", at)) {
        const std::size_t end = xml.find("</service>", at);
        if (end == std::string_view::npos)
            break;
        const std::string_view block = xml.substr(at, end - at);
        at = end;
        const std::optional<std::string_view> type = elementText(block, "serviceType");
        const std::optional<std::string_view> control = elementText(block, "controlURL");
        if (!type || !control)
            continue;
        for (const std::string_view known : kServiceTypes) {
            if (*type != known)
                continue;
            std::optional<Url> url;
            if (startsWithNoCase(*control, "http://")) {
                url = parseUrl(*control);
                if (url && url->host != description.host)
                    url.reset();
            } else {
                url = base;
                url->path = (control->empty() || control->front() != '/' ? "/" : "") + std::string(*control);
                if (!plainPath(url->path))
                    url.reset();
            }
            if (url)
                found.push_back(Service{std::string(known), *url});
        }
    }
    return found;
}

std::string soapRequest(const Service& service, std::string_view action,
                        const std::vector<std::pair<std::string, std::string>>& arguments)
{
    std::string body =
        "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
        "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:" +
        std::string(action) + " xmlns:u=\"" + service.type + "\">";
    for (const auto& [name, value] : arguments)
        body += "<" + name + ">" + value + "</" + name + ">";
    body += "</u:" + std::string(action) + "></s:Body></s:Envelope>\r\n";
    return "POST " + service.control.path + " HTTP/1.1\r\n" + hostHeader(service.control) +
           "Content-Type: text/xml; charset=\"utf-8\"\r\nSOAPAction: \"" + service.type + "#" +
           std::string(action) + "\"\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

SoapAnswer parseSoap(const HttpAnswer& answer, std::string_view element)
{
    SoapAnswer soap;
    if (answer.status == 200) {
        soap.ok = true;
        soap.value = std::string(elementText(answer.body, element).value_or(std::string_view()));
        return soap;
    }
    const std::optional<std::string_view> code = elementText(answer.body, "errorCode");
    soap.errorCode = static_cast<int>(number(code.value_or(std::string_view()), 4, 9999).value_or(0));
    return soap;
}

} // namespace portmap::own
