#include "http_routes.h"

#include "metrics.h"

namespace quillon::xfs {

namespace {

// The path without its query and without one trailing slash.
std::string_view PathOf(std::string_view target) {
    target = target.substr(0, target.find('?'));
    if (target.size() > 1 && target.back() == '/')
        target.remove_suffix(1);
    return target;
}

void Replace(std::string& s, const std::string& sWhat, const std::string& sWith) {
    for (size_t i = s.find(sWhat); i != std::string::npos; i = s.find(sWhat, i + sWith.size()))
        s.replace(i, sWhat.size(), sWith);
}

// The page's action buttons: present only when the service allows them.
constexpr const char* kActionButtons = R"(<button data-action="status">Status</button>)"
                                       R"(<button data-action="eject">Eject</button>)"
                                       R"(<button data-action="reset">Reset to exit</button>)";

} // namespace

OHttpRoutes::OHttpRoutes(std::string sServiceName, const OMetrics* pMetrics, bool bPageActions)
    : m_sServiceName(std::move(sServiceName)), m_pMetrics(pMetrics), m_sPage(kTechnicianPage) {
    Replace(m_sPage, "{{service}}", m_sServiceName);
    Replace(m_sPage, "<!--{{actions}}-->", bPageActions ? kActionButtons : "");
}

Route OHttpRoutes::eWebSocket(std::string_view target) const {
    const std::string_view path = PathOf(target);
    const std::string publisher = kPublisherPath;
    if (path == publisher)
        return Route::Publisher;
    if (path == publisher + "/" + m_sServiceName)
        return Route::Service;
    return Route::None;
}

tHttpAnswer OHttpRoutes::tAnswer(std::string_view method, std::string_view target) const {
    tHttpAnswer a;
    if (method != "GET" && method != "HEAD") {
        a.iStatus = 405;
        a.sBody = "only GET\n";
        return a;
    }
    if (eWebSocket(target) != Route::None) {
        a.iStatus = 426;
        a.sBody = "this is a WebSocket endpoint\n";
        return a;
    }
    const std::string_view path = PathOf(target);
    if (m_pMetrics && (path == "/metrics" || path == "/" || path == "/status.json")) {
        a.iStatus = 200;
        a.headers.push_back({"Cache-Control", "no-store"});
        if (path == "/metrics") {
            a.sContentType = "text/plain; version=0.0.4; charset=utf-8";
            a.sBody = m_pMetrics->sText();
        } else if (path == "/status.json") {
            a.sContentType = "application/json";
            a.sBody = m_pMetrics->sPageJson();
        } else {
            // Nothing from elsewhere, and never inside another site's frame.
            a.sContentType = "text/html; charset=utf-8";
            a.sBody = m_sPage;
            a.headers.push_back({"Content-Security-Policy",
                                 "default-src 'none'; style-src 'unsafe-inline'; script-src "
                                 "'unsafe-inline'; connect-src 'self'; img-src 'self' data:; "
                                 "frame-ancestors 'none'"});
            a.headers.push_back({"X-Frame-Options", "DENY"});
        }
        return a;
    }
    a.sBody = "not found\n";
    return a;
}

} // namespace quillon::xfs
