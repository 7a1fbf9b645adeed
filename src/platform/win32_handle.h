// OWinHandle: owns one Win32 kernel handle and closes it on reset and
// destruction. Both null and INVALID_HANDLE_VALUE mean "no handle" (Win32
// calls return one or the other on failure). For the Win32 backend files only.
#pragma once

#include <windows.h>

namespace quillon {

class OWinHandle {
public:
    OWinHandle() = default;
    explicit OWinHandle(HANDLE h) : m_h(h) {}
    ~OWinHandle() { vReset(); }
    OWinHandle(const OWinHandle&) = delete;
    OWinHandle& operator=(const OWinHandle&) = delete;
    OWinHandle(OWinHandle&& other) noexcept : m_h(other.hRelease()) {}
    OWinHandle& operator=(OWinHandle&& other) noexcept {
        if (this != &other)
            vReset(other.hRelease());
        return *this;
    }

    HANDLE hGet() const { return m_h; }
    bool bValid() const { return bValidHandle(m_h); }
    HANDLE hRelease() {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    void vReset(HANDLE h = nullptr) {
        if (bValid())
            ::CloseHandle(m_h);
        m_h = h;
    }

    static bool bValidHandle(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_h = nullptr;
};

} // namespace quillon
