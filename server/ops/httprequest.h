// The request head of the operator's HTTP endpoint: just enough HTTP/1.1 to
// read a GET. Pure, so the fuzz target drives exactly this.
#pragma once

#include <QByteArray>

namespace http {

// A head larger than this is refused unread: the endpoint serves a few fixed paths.
constexpr int kMaxRequestBytes = 4096;

enum class Parse { Incomplete, Done, Bad, TooLarge };

struct Request
{
    QByteArray method;
    QByteArray path; // without the query
};

// Reads the head from the start of `data` (what arrived so far).
Parse parseRequest(const QByteArray& data, Request* out);

} // namespace http
