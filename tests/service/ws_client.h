// A WebSocket client for the service's tests and benchmarks: connect, send
// a frame, take the next message. Blocking; a read gives up after the time
// asked (a guard against a hang, not a pace: tests wait for messages).
#pragma once

#include <memory>
#include <optional>
#include <string>

class OWsClient {
public:
    OWsClient();
    ~OWsClient();
    OWsClient(const OWsClient&) = delete;
    OWsClient& operator=(const OWsClient&) = delete;

    // ws://127.0.0.1:iPort + sPath, as a browser on sOrigin when given;
    // iReceiveBuffer: the socket's receive buffer (0: the system's).
    bool bConnect(int iPort, const std::string& sPath, const std::string& sOrigin = "",
                  int iReceiveBuffer = 0);
    bool bSend(const std::string& sText, bool bBinary = false);
    // The next message; nothing when the connection closed or iMs passed.
    std::optional<std::string> Receive(int iMs = 20000);
    void vClose();

private:
    struct tImpl;
    std::unique_ptr<tImpl> m_p;
};

// A plain TCP connection to 127.0.0.1:iPort: its descriptor, -1 if refused.
int RawConnect(int iPort);
// One plain HTTP GET to 127.0.0.1:iPort on a fresh connection: the whole
// answer (status line, headers, body), read until the service closes.
std::string HttpGet(int iPort, const std::string& sPath);
