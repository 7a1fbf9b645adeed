// Sets an environment variable for the scope, restoring the old value.
#pragma once

#include <cstdlib>
#include <string>

class ScopedVar {
public:
    // A null value removes the variable for the scope.
    ScopedVar(const char* pName, const char* pValue) : m_name(pName) {
        if (const char* old = std::getenv(pName))
            m_old = old, m_had = true;
        vSet(pName, pValue);
    }
    ScopedVar(const char* pName, const std::string& value) : ScopedVar(pName, value.c_str()) {}
    ~ScopedVar() { vSet(m_name.c_str(), m_had ? m_old.c_str() : nullptr); }
    ScopedVar(const ScopedVar&) = delete;
    ScopedVar& operator=(const ScopedVar&) = delete;

private:
    static void vSet(const char* pName, const char* pValue) {
#if defined(_WIN32)
        _putenv_s(pName, pValue ? pValue : "");
#else
        if (pValue)
            setenv(pName, pValue, 1);
        else
            unsetenv(pName);
#endif
    }
    std::string m_name, m_old;
    bool m_had = false;
};
