// wss through OpenSSL (Boost.Asio's ssl::stream): TLS 1.2 and later, the
// certificate chain and key in PEM files.
#include <algorithm>
#include <string>

#include <boost/asio/ssl.hpp>

#include "tls.h"

namespace quillon::xfs {

namespace ssl = net::ssl;

namespace {

class OTlsImpl : public OByteStream::IImpl {
public:
    // closeTimeout: how long a peer has to answer the close (close_notify).
    OTlsImpl(tcp::socket s, ssl::context& ctx, std::chrono::milliseconds closeTimeout)
        : m_tls(std::move(s), ctx), m_closeTimeout(closeTimeout) {}
    void vReadSome(net::mutable_buffer b, Done done) override {
        m_tls.async_read_some(b, std::move(done));
    }
    // TLS writes one buffer a time: the pieces go into one record.
    void vWriteSome(const tGather& b, bool, Done done) override {
        m_record.clear();
        for (const net::const_buffer& piece : b) {
            const size_t n = std::min(piece.size(), kMaxRecord - m_record.size());
            m_record.append(static_cast<const char*>(piece.data()), n);
        }
        m_tls.async_write_some(net::buffer(m_record), std::move(done));
    }
    void vHandshake(Step done) override {
        m_tls.async_handshake(ssl::stream_base::server, std::move(done));
    }
    // A peer that keeps TCP open and never answers the close is cut off
    // after the deadline: no socket is held without a timer.
    void vShutdown(Step done) override {
        auto pTimer = std::make_shared<net::steady_timer>(m_tls.get_executor(), m_closeTimeout);
        auto pOver = std::make_shared<bool>(false);
        pTimer->async_wait([this, pOver](ErrorCode ec) {
            if (!ec && !*pOver) { // the shutdown below is pending: this is alive
                ErrorCode ignored;
                m_tls.lowest_layer().close(ignored);
            }
        });
        m_tls.async_shutdown([this, done, pTimer, pOver](ErrorCode) {
            *pOver = true;
            pTimer->cancel();
            ErrorCode ec;
            m_tls.lowest_layer().close(ec);
            done({});
        });
    }
    tcp::socket& Socket() override { return m_tls.next_layer(); }

private:
    static constexpr size_t kMaxRecord = 16 * 1024;
    ssl::stream<tcp::socket> m_tls;
    std::string m_record; // what the write under way sends
    std::chrono::milliseconds m_closeTimeout;
};

class OOpenSslServer : public ITls {
public:
    ssl::context m_context{ssl::context::tls_server};
    std::unique_ptr<OByteStream::IImpl> pStream(tcp::socket socket,
                                                std::chrono::milliseconds closeTimeout) override {
        return std::make_unique<OTlsImpl>(std::move(socket), m_context, closeTimeout);
    }
};

} // namespace

std::unique_ptr<ITls> TlsServer(const std::string& sCertFile, const std::string& sKeyFile,
                                std::string& sError) {
    auto p = std::make_unique<OOpenSslServer>();
    p->m_context.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                             ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                             ssl::context::no_tlsv1_1);
    ErrorCode ec;
    p->m_context.use_certificate_chain_file(sCertFile, ec);
    if (!ec)
        p->m_context.use_private_key_file(sKeyFile, ssl::context::pem, ec);
    if (ec) {
        sError = "TLS certificate or key: " + ec.message();
        return nullptr;
    }
    return p;
}

} // namespace quillon::xfs
