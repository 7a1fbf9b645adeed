// A build without a TLS stack (Windows): wss is refused at start, and with
// it any address but a loopback one.
#include "tls.h"

namespace quillon::xfs {

std::unique_ptr<ITls> TlsServer(const std::string&, const std::string&, std::string& sError) {
    sError = "--tls-cert: this build of quillon-xfs4iot serves no TLS (wss); keep --address "
             "127.0.0.1 and let the applications on this machine connect over ws";
    return nullptr;
}

} // namespace quillon::xfs
