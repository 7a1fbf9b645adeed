// OFd: owns one POSIX file descriptor and closes it on reset and destruction.
// For the POSIX backend files only.
#pragma once

#include <unistd.h>

namespace quillon {

class OFd {
public:
    OFd() = default;
    explicit OFd(int iFd) : m_iFd(iFd) {}
    ~OFd() { vReset(); }
    OFd(const OFd&) = delete;
    OFd& operator=(const OFd&) = delete;
    OFd(OFd&& other) noexcept : m_iFd(other.iRelease()) {}
    OFd& operator=(OFd&& other) noexcept {
        if (this != &other)
            vReset(other.iRelease());
        return *this;
    }

    int iGet() const { return m_iFd; }
    bool bValid() const { return m_iFd >= 0; }
    int iRelease() {
        int iFd = m_iFd;
        m_iFd = -1;
        return iFd;
    }
    void vReset(int iFd = -1) {
        if (m_iFd >= 0)
            ::close(m_iFd); // the descriptor is gone after close(), even on EINTR
        m_iFd = iFd;
    }

private:
    int m_iFd = -1;
};

} // namespace quillon
