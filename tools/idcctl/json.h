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
    Json(bool b) : type_(Type::Bool), b_(b) {}
    template <typename T,
              std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    Json(T v) : type_(Type::Int), i_(static_cast<int64_t>(v)) {}
    Json(const char* s) : type_(Type::String), s_(s ? s : "") {}
    Json(std::string s) : type_(Type::String), s_(std::move(s)) {}

    static Json array() { return Json(Type::Array); }
    static Json object() { return Json(Type::Object); }

    Type type() const { return type_; }
    bool is_null() const { return type_ == Type::Null; }

    // Array: append. Object: set (replacing a member of the same name).
    Json& push(Json v);
    Json& set(const std::string& key, Json v);

    // Reading (for tests and callers): a missing member or index, or a value
    // of another type, reads as null / false / 0 / "".
    const Json& operator[](const std::string& key) const;
    const Json& operator[](size_t index) const;
    bool has(const std::string& key) const;
    size_t size() const;
    bool as_bool() const { return type_ == Type::Bool && b_; }
    int64_t as_int() const { return type_ == Type::Int ? i_ : 0; }
    const std::string& as_string() const;

    // indent < 0: one line; otherwise pretty-printed with that many spaces.
    // Arrays of plain values stay on one line.
    std::string dump(int indent = -1) const;

private:
    explicit Json(Type t) : type_(t) {}
    void write(std::string& out, int indent, int depth) const;

    Type type_ = Type::Null;
    bool b_ = false;
    int64_t i_ = 0;
    std::string s_;
    std::vector<Json> items_;
    std::vector<std::pair<std::string, Json>> members_;
};

// The text as a JSON string literal, quotes included. Bytes outside ASCII are
// written as \u00XX (read as Latin-1), so the output is always valid UTF-8.
std::string json_quote(const std::string& s);

} // namespace idcctl
