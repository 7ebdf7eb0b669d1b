#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace refhost {

// Writes JSON text straight into a string: records of large listings are written without building a
// document first.
class JsonWriter {
public:
    static std::string quoted(std::string_view text) {
        std::string out;
        appendQuoted(out, text);
        return out;
    }

    JsonWriter& beginObject() {
        out_ += '{';
        first_ = true;
        return *this;
    }
    JsonWriter& endObject() {
        out_ += '}';
        first_ = false;
        return *this;
    }
    JsonWriter& key(std::string_view name) {
        if (!first_)
            out_ += ',';
        first_ = false;
        appendQuoted(out_, name);
        out_ += ':';
        return *this;
    }
    JsonWriter& string(std::string_view text) {
        appendQuoted(out_, text);
        return *this;
    }
    JsonWriter& boolean(bool value) {
        out_ += value ? "true" : "false";
        return *this;
    }
    JsonWriter& integer(std::int64_t value) {
        out_ += std::to_string(value);
        return *this;
    }
    JsonWriter& number(double value) {
        char text[32];
        std::snprintf(text, sizeof text, "%.6f", value);
        out_ += text;
        return *this;
    }
    JsonWriter& raw(std::string_view json) {
        out_ += json;
        return *this;
    }
    std::string take() { return std::move(out_); }

private:
    static void appendQuoted(std::string& out, std::string_view text) {
        static constexpr char hex[] = "0123456789abcdef";
        out += '"';
        for (char c : text) {
            auto u = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += c;
            } else if (u < 0x20) {
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 15];
            } else {
                out += c;
            }
        }
        out += '"';
    }

    std::string out_;
    bool first_ = true;
};

} // namespace refhost
