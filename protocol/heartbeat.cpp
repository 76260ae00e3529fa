#include "protocol/heartbeat.h"

namespace heartbeat {
namespace {

const std::uint8_t* skipBlanks(const std::uint8_t* p, const std::uint8_t* end)
{
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
        ++p;
    return p;
}

bool expect(const std::uint8_t*& p, const std::uint8_t* end, const char* token)
{
    p = skipBlanks(p, end);
    for (; *token; ++token, ++p)
        if (p >= end || *p != static_cast<std::uint8_t>(*token))
            return false;
    return true;
}

} // namespace

bool parse(const std::uint8_t* data, std::size_t length, ClientKey* key, int* layer)
{
    *layer = 0;
    if (data == nullptr)
        return false;
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + length;
    if (!expect(p, end, "{") || !expect(p, end, "\"client_id\"") || !expect(p, end, ":") ||
        !expect(p, end, "\""))
        return false;
    if (static_cast<std::size_t>(end - p) < kClientKeyHexLength + 1)
        return false;
    if (!parseClientKey(reinterpret_cast<const char*>(p), kClientKeyHexLength, key))
        return false;
    p += kClientKeyHexLength;
    if (!expect(p, end, "\""))
        return false;
    const std::uint8_t* const close = p;
    if (!expect(p, end, "}")) {
        p = close;
        if (!expect(p, end, ",") || !expect(p, end, "\"layer\"") || !expect(p, end, ":"))
            return false;
        p = skipBlanks(p, end);
        if (p == end || (*p != '2' && *p != '3'))
            return false;
        *layer = *p++ - '0';
        if (!expect(p, end, "}"))
            return false;
    }
    return skipBlanks(p, end) == end;
}

} // namespace heartbeat
