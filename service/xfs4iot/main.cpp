// quillon-xfs4iot: the card reader of the library's configuration served to
// XFS4IoT applications over WebSocket (docs/xfs4iot.md).
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "command_line.h"
#include "hooks.h"
#include "host.h"
#include "http_routes.h"
#include "ini.h"
#include "log.h"
#include "metrics.h"
#include "metrics_file.h"
#include "server.h"
#include "service.h"

#ifndef QUILLON_VERSION
#define QUILLON_VERSION "unknown"
#endif

using namespace quillon::xfs;

namespace {

int Setting(const std::string& sConfig, const char* pKey, int iDefault, int iMin, int iMax) {
    return std::clamp(IniInt(sConfig, "XFS4IoT", pKey, iDefault), iMin, iMax);
}

bool bPlainName(const std::string& s) {
    return !s.empty() && s.size() <= 32 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isalnum(c); });
}

struct tOptions {
    std::string sConfig;
    tServerOptions server;
    std::string sMetricsFile;
    int iMetricsInterval = 15;
    bool bPageActions = false;
    bool bInstall = false, bUninstall = false;
};

void vDeclare(CLI::App& app, tOptions& o) {
    tServerOptions& opt = o.server;
    app.add_option("--config", o.sConfig, "the library's configuration file (QUILLON_CONFIG)");
    app.add_option("--port", opt.iPort,
                   "TCP port (default: the first free of 5846-5856; 0: any, see the log)")
        ->check(CLI::Range(0, 65535));
    app.add_option("--address", opt.sAddress, "address to listen on (default 127.0.0.1)");
    app.add_option("--service-name", opt.sServiceName,
                   "the service's name in its path (default CardReader1)");
    app.add_option("--tls-cert", opt.sTlsCert, "PEM certificate chain: serve wss");
    app.add_option("--tls-key", opt.sTlsKey, "PEM private key of the certificate");
    app.add_option("--metrics-file", o.sMetricsFile,
                   "also write the metrics to this file, atomically (node_exporter textfile)");
    app.add_option("--metrics-interval", o.iMetricsInterval,
                   "seconds between writes of --metrics-file (default 15)")
        ->check(CLI::Range(1, 3600));
    app.add_flag("--allow-page-actions", o.bPageActions,
                 "the technician's page may eject and reset the card to the exit");
    app.add_flag("--install-service", o.bInstall,
                 "Windows: register the service (QuillonXfs4IoT, automatic start) to run with "
                 "these options; --config defaults to QUILLON_CONFIG, else Quillon.ini, and "
                 "one that does not exist yet is made from FILE.sample (the installer's)");
    app.add_flag("--uninstall-service", o.bUninstall, "Windows: stop and remove the service")
        ->excludes("--install-service");
    app.set_version_flag("--version", QUILLON_VERSION);
}

// Serves until stopped (a signal, or the service control manager).
int Run(const tOptions& o) {
    const std::string& sConfig = o.sConfig;
    tServerOptions opt = o.server;
    // The library reads its configuration from here; set before any thread runs.
    bHostSetEnv("QUILLON_CONFIG", sConfig);
    tServiceSettings settings;
    settings.sConfigPath = sConfig;
    settings.sVersion = QUILLON_VERSION;
    settings.iStatusPollMs = Setting(sConfig, "StatusPollMs", 500, 10, 60000);
    settings.iCardPollMs = Setting(sConfig, "CardPollMs", 100, 10, 5000);
    settings.bPageActions = o.bPageActions;
    opt.iIdleTimeoutMs = Setting(sConfig, "IdleTimeoutMs", 30000, 100, 3600000);
    opt.iHandshakeTimeoutMs = Setting(sConfig, "HandshakeTimeoutMs", 10000, 100, 600000);
    opt.iHeaderTimeoutMs = Setting(sConfig, "HeaderTimeoutMs", 5000, 100, 600000);
    opt.iCloseTimeoutMs = Setting(sConfig, "CloseTimeoutMs", 1000, 100, 60000);
    opt.uiMaxUnreadBytes = 1024u * Setting(sConfig, "UnreadLimitKiB", 1024, 128, 65536);
    std::istringstream origins(IniText(sConfig, "XFS4IoT", "AllowedOrigins", ""));
    for (std::string s; origins >> s;)
        if (s != "null")
            opt.allowedOrigins.push_back(s);
        else // every sandboxed frame of any site says "null"
            QLOG_WARN("AllowedOrigins: null is not taken (any site's sandboxed frame sends it)");
    std::istringstream hosts(IniText(sConfig, "XFS4IoT", "AllowedHosts", ""));
    for (std::string s; hosts >> s;)
        opt.allowedHosts.push_back(s);

    OServer server(opt);
    std::string sError;
    if (!server.bListen(sError)) {
        QLOG_ERROR("%s", sError.c_str());
        return 1;
    }
    OMetrics metrics;
    OService service(settings, server, metrics);
    service.vStart();
    std::unique_ptr<OMetricsFile> pFile;
    if (!o.sMetricsFile.empty()) {
        pFile = std::make_unique<OMetricsFile>(o.sMetricsFile, o.iMetricsInterval,
                                               [&metrics] { return metrics.sText(); });
        if (!pFile->bWrite(sError)) {
            QLOG_ERROR("--metrics-file: %s", sError.c_str());
            return 1;
        }
        pFile->vStart();
        QLOG_INFO("metrics written to %s every %d s", o.sMetricsFile.c_str(), o.iMetricsInterval);
    }
    const OHttpRoutes routes(opt.sServiceName, &metrics, o.bPageActions);
    QLOG_EVENT("listening on %s%s (service %s)", server.sBoundAt().c_str(),
               OHttpRoutes::kPublisherPath, opt.sServiceName.c_str());
    HostReady();
    const int iStatus = server.iRun(service, routes);
    if (pFile)
        pFile->vStop(); // the last counts
    QLOG_EVENT("stopped");
    return iStatus;
}

// The installer ships the sample configuration as Quillon.ini.sample: the
// machine's own file is made from it once and never replaced afterwards.
void vSeedConfig(const std::string& sConfig) {
    std::error_code ec;
    if (!std::filesystem::exists(sConfig, ec) && std::filesystem::exists(sConfig + ".sample", ec))
        std::filesystem::copy_file(sConfig + ".sample", sConfig, ec);
}

int Serve(int argc, char** argv) {
    CLI::App app{"XFS4IoT CardReader service over the Quillon library"};
    tOptions o;
    vDeclare(app, o);
    CLI11_PARSE(app, argc, argv);
    if (o.bUninstall)
        return HostUninstallService();
    if (o.sConfig.empty() && o.bInstall) {
        const char* pEnv = std::getenv("QUILLON_CONFIG");
        o.sConfig = pEnv && *pEnv ? pEnv : "Quillon.ini";
    }
    if (o.bInstall)
        vSeedConfig(o.sConfig);
    if (o.sConfig.empty()) {
        QLOG_ERROR("--config is required");
        return 2;
    }
    if (!std::ifstream(o.sConfig)) {
        QLOG_ERROR("cannot read the configuration %s", o.sConfig.c_str());
        return 2;
    }
    if (!bPlainName(o.server.sServiceName)) {
        QLOG_ERROR("--service-name: 1 to 32 letters and digits");
        return 2;
    }
    if (o.bInstall) {
        // The service starts elsewhere than here: the configuration by its full path.
        std::error_code ec;
        const std::filesystem::path config = std::filesystem::absolute(o.sConfig, ec);
        return HostInstallService(ServiceArguments(argc, argv, ec ? o.sConfig : config.string()));
    }
    return Run(o);
}

} // namespace

int main(int argc, char** argv) {
    return HostMain(argc, argv, Serve);
}
