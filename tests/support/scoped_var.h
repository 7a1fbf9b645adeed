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
        if (pValue)
            setenv(pName, pValue, 1);
        else
            unsetenv(pName);
    }
    ScopedVar(const char* pName, const std::string& value) : ScopedVar(pName, value.c_str()) {}
    ~ScopedVar() {
        if (m_had)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }
    ScopedVar(const ScopedVar&) = delete;
    ScopedVar& operator=(const ScopedVar&) = delete;

private:
    std::string m_name, m_old;
    bool m_had = false;
};
