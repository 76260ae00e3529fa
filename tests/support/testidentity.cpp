// The Windows build of the client's tests has no OpenSSL: no key pair is made,
// so its fake lobby cannot seal and the sealed cases say so and skip (wine's
// Schannel could not serve one anyway: it speaks TLS only as a client).
#include "server/lobby/tlskeys.h"

namespace tls {

QByteArray makeIdentityPem()
{
    return {};
}

bool keyMatches(const QByteArray&, const QByteArray&)
{
    return false;
}

} // namespace tls
