#include "json.h"

#include <cstdio>

namespace idcctl {

namespace {
const Json kNull;
const std::string kEmpty;
} // namespace

Json& Json::Push(Json v) {
    if (m_type == Type::Array)
        m_items.push_back(std::move(v));
    return *this;
}

Json& Json::Set(const std::string& key, Json v) {
    if (m_type != Type::Object)
        return *this;
    for (auto& m : m_members) {
        if (m.first == key) {
            m.second = std::move(v);
            return *this;
        }
    }
    m_members.emplace_back(key, std::move(v));
    return *this;
}

const Json& Json::operator[](const std::string& key) const {
    for (const auto& m : m_members)
        if (m.first == key)
            return m.second;
    return kNull;
}

const Json& Json::operator[](size_t index) const {
    return index < m_items.size() ? m_items[index] : kNull;
}

bool Json::Has(const std::string& key) const {
    for (const auto& m : m_members)
        if (m.first == key)
            return true;
    return false;
}

size_t Json::Size() const {
    if (m_type == Type::Array)
        return m_items.size();
    if (m_type == Type::Object)
        return m_members.size();
    return 0;
}

const std::string& Json::AsString() const {
    return m_type == Type::String ? m_s : kEmpty;
}

std::string JsonQuote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string Json::Dump(int indent) const {
    std::string out;
    Write(out, indent, 0);
    return out;
}

void Json::Write(std::string& out, int indent, int depth) const {
    auto newline = [&](int d) {
        if (indent < 0)
            return;
        out += '\n';
        out.append(static_cast<size_t>(indent * d), ' ');
    };
    switch (m_type) {
    case Type::Null:
        out += "null";
        break;
    case Type::Bool:
        out += m_b ? "true" : "false";
        break;
    case Type::Int:
        out += std::to_string(m_i);
        break;
    case Type::String:
        out += JsonQuote(m_s);
        break;
    case Type::Array: {
        bool flat = true;
        for (const auto& v : m_items)
            flat = flat && v.m_type != Type::Array && v.m_type != Type::Object;
        out += '[';
        for (size_t i = 0; i < m_items.size(); ++i) {
            if (i)
                out += (flat && indent >= 0) ? ", " : ",";
            if (!flat)
                newline(depth + 1);
            m_items[i].Write(out, indent, depth + 1);
        }
        if (!flat && !m_items.empty())
            newline(depth);
        out += ']';
        break;
    }
    case Type::Object:
        out += '{';
        for (size_t i = 0; i < m_members.size(); ++i) {
            if (i)
                out += ',';
            newline(depth + 1);
            out += JsonQuote(m_members[i].first);
            out += indent >= 0 ? ": " : ":";
            m_members[i].second.Write(out, indent, depth + 1);
        }
        if (!m_members.empty())
            newline(depth);
        out += '}';
        break;
    }
}

} // namespace idcctl
