#include "http_routes.h"

namespace quillon::xfs {

namespace {

// The path without its query and without one trailing slash.
std::string_view PathOf(std::string_view target) {
    target = target.substr(0, target.find('?'));
    if (target.size() > 1 && target.back() == '/')
        target.remove_suffix(1);
    return target;
}

} // namespace

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
    a.sBody = "not found\n";
    return a;
}

} // namespace quillon::xfs
