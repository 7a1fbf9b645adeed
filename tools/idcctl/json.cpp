#include "json.h"

#include <cstdio>

namespace idcctl {

namespace {
const Json kNull;
const std::string kEmpty;
} // namespace

Json& Json::push(Json v) {
    if (type_ == Type::Array)
        items_.push_back(std::move(v));
    return *this;
}

Json& Json::set(const std::string& key, Json v) {
    if (type_ != Type::Object)
        return *this;
    for (auto& m : members_) {
        if (m.first == key) {
            m.second = std::move(v);
            return *this;
        }
    }
    members_.emplace_back(key, std::move(v));
    return *this;
}

const Json& Json::operator[](const std::string& key) const {
    for (const auto& m : members_)
        if (m.first == key)
            return m.second;
    return kNull;
}

const Json& Json::operator[](size_t index) const {
    return index < items_.size() ? items_[index] : kNull;
}

bool Json::has(const std::string& key) const {
    for (const auto& m : members_)
        if (m.first == key)
            return true;
    return false;
}

size_t Json::size() const {
    if (type_ == Type::Array)
        return items_.size();
    if (type_ == Type::Object)
        return members_.size();
    return 0;
}

const std::string& Json::as_string() const {
    return type_ == Type::String ? s_ : kEmpty;
}

std::string json_quote(const std::string& s) {
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

std::string Json::dump(int indent) const {
    std::string out;
    write(out, indent, 0);
    return out;
}

void Json::write(std::string& out, int indent, int depth) const {
    auto newline = [&](int d) {
        if (indent < 0)
            return;
        out += '\n';
        out.append(static_cast<size_t>(indent * d), ' ');
    };
    switch (type_) {
    case Type::Null:
        out += "null";
        break;
    case Type::Bool:
        out += b_ ? "true" : "false";
        break;
    case Type::Int:
        out += std::to_string(i_);
        break;
    case Type::String:
        out += json_quote(s_);
        break;
    case Type::Array: {
        bool flat = true;
        for (const auto& v : items_)
            flat = flat && v.type_ != Type::Array && v.type_ != Type::Object;
        out += '[';
        for (size_t i = 0; i < items_.size(); ++i) {
            if (i)
                out += (flat && indent >= 0) ? ", " : ",";
            if (!flat)
                newline(depth + 1);
            items_[i].write(out, indent, depth + 1);
        }
        if (!flat && !items_.empty())
            newline(depth);
        out += ']';
        break;
    }
    case Type::Object:
        out += '{';
        for (size_t i = 0; i < members_.size(); ++i) {
            if (i)
                out += ',';
            newline(depth + 1);
            out += json_quote(members_[i].first);
            out += indent >= 0 ? ": " : ":";
            members_[i].second.write(out, indent, depth + 1);
        }
        if (!members_.empty())
            newline(depth);
        out += '}';
        break;
    }
}

} // namespace idcctl
