// A small JSON value for idcctl's --json output: null, bool, integer,
// string, array and object (members keep their insertion order).
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace idcctl {

class Json {
public:
    enum class Type { Null, Bool, Int, String, Array, Object };

    Json() = default;
    Json(std::nullptr_t) {}
    Json(bool b) : m_type(Type::Bool), m_b(b) {}
    template <typename T,
              std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    Json(T v) : m_type(Type::Int), m_i(static_cast<int64_t>(v)) {}
    Json(const char* s) : m_type(Type::String), m_s(s ? s : "") {}
    Json(std::string s) : m_type(Type::String), m_s(std::move(s)) {}

    static Json Array() { return Json(Type::Array); }
    static Json Object() { return Json(Type::Object); }

    Type eType() const { return m_type; }
    bool IsNull() const { return m_type == Type::Null; }

    // Array: append. Object: set (replacing a member of the same name).
    Json& Push(Json v);
    Json& Set(const std::string& key, Json v);

    // Reading (for tests and callers): a missing member or index, or a value
    // of another type, reads as null / false / 0 / "".
    const Json& operator[](const std::string& key) const;
    const Json& operator[](size_t index) const;
    bool Has(const std::string& key) const;
    size_t Size() const;
    bool AsBool() const { return m_type == Type::Bool && m_b; }
    int64_t AsInt() const { return m_type == Type::Int ? m_i : 0; }
    const std::string& AsString() const;

    // indent < 0: one line; otherwise pretty-printed with that many spaces.
    // Arrays of plain values stay on one line.
    std::string Dump(int indent = -1) const;

private:
    explicit Json(Type t) : m_type(t) {}
    void Write(std::string& out, int indent, int depth) const;

    Type m_type = Type::Null;
    bool m_b = false;
    int64_t m_i = 0;
    std::string m_s;
    std::vector<Json> m_items;
    std::vector<std::pair<std::string, Json>> m_members;
};

// The text as a JSON string literal, quotes included. Bytes outside ASCII are
// written as \u00XX (read as Latin-1), so the output is always valid UTF-8.
std::string JsonQuote(const std::string& s);

} // namespace idcctl
