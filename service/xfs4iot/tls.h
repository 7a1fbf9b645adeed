// The service's TLS (wss): a server context from a certificate chain and
// its key, and TLS byte streams over accepted sockets. The build links one
// of tls_openssl.cpp (OpenSSL) and tls_none.cpp (a build without a TLS
// stack: Windows, where Debian ships no OpenSSL for MinGW, refuses
// --tls-cert). Included by server.cpp only.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "byte_stream.h"

namespace quillon::xfs {

class ITls {
public:
    virtual ~ITls() = default;
    // A TLS server stream over a socket just accepted; its handshake is
    // vHandshake. A peer that does not answer the close within closeTimeout
    // is cut off.
    virtual std::unique_ptr<OByteStream::IImpl> pStream(tcp::socket socket,
                                                        std::chrono::milliseconds closeTimeout) = 0;
};

// nullptr with the reason when the files make no server context, or when
// this build serves no TLS at all.
std::unique_ptr<ITls> TlsServer(const std::string& sCertFile, const std::string& sKeyFile,
                                std::string& sError);

} // namespace quillon::xfs
