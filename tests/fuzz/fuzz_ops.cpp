// The operator-facing readers: the first byte picks one, the rest is its input.
//   'h'  an HTTP request head as it arrived on the metrics port
//   else a settings file given with --config
// A head read in full names a method and a path from the root; a settings file either
// gives settings or an error that names its file.
#include "server/ops/httprequest.h"
#include "server/options.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, static_cast<qsizetype>(size - 1));
    if (data[0] == 'h') {
        http::Request request;
        if (http::parseRequest(input, &request) == http::Parse::Done &&
            (request.method.isEmpty() || !request.path.startsWith('/')))
            std::abort();
        return 0;
    }
    const ServerOptions options = parseServerOptions({"s", "--config", "f.conf"}, input, true);
    const QString& error = options.text;
    if (options.outcome == ServerOptions::Outcome::Error && !error.startsWith(QLatin1String("f.conf:")) &&
        !error.startsWith(QLatin1String("--")))
        std::abort();
    return 0;
}
