#include "Records.h"

#include "Wire.h"

#include <cmath>
#include <cstdlib>
#include <utf8proc.h>

namespace wl::hostcheck {

namespace json = boost::json;

namespace {

std::optional<std::string> normalised(const std::string& text, int options) {
    utf8proc_uint8_t* out = nullptr;
    utf8proc_ssize_t length = utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
                                           static_cast<utf8proc_ssize_t>(text.size()), &out,
                                           static_cast<utf8proc_option_t>(options));
    if (length < 0)
        return std::nullopt;
    std::string result(reinterpret_cast<const char*>(out), static_cast<std::size_t>(length));
    std::free(out);
    return result;
}

std::string describe(const json::value* value) {
    if (!value)
        return "absent";
    return "the " + std::string(value->is_string() ? "string " : "value ") + json::serialize(*value);
}

void identity(const json::object& record, std::vector<Problem>& out) {
    auto add = [&](std::string text) { out.push_back({Aspect::identity, std::move(text)}); };
    const json::value* identifier = record.if_contains("identifier");
    if (!identifier || !identifier->is_string() || identifier->get_string().empty()) {
        add("\"identifier\" is " + describe(identifier) + ", not a non-empty string");
        return;
    }
    std::string id(identifier->get_string());
    if (id == rootIdentifier)
        return;
    auto nfc = composed(id);
    if (!nfc)
        add("\"identifier\" is not UTF-8");
    else if (*nfc != id)
        add("\"identifier\" " + json::serialize(json::value(id)) + " is not in composed form (NFC)");
    if (id.front() == '/' || id.back() == '/' || id.find("//") != std::string::npos) {
        add("\"identifier\" " + json::serialize(json::value(id)) + " is not a path of names joined by \"/\"");
        return;
    }
    auto slash = id.rfind('/');
    std::string parent = slash == std::string::npos ? rootIdentifier : id.substr(0, slash);
    std::string name = slash == std::string::npos ? id : id.substr(slash + 1);
    const json::value* given = record.if_contains("parentIdentifier");
    if (!given || !given->is_string() || given->get_string() != parent)
        add("\"parentIdentifier\" is " + describe(given) + ", not \"" + parent +
            "\" (the identifier's folder)");
    const json::value* shown = record.if_contains("name");
    if (!shown || !shown->is_string() || shown->get_string() != name)
        add("\"name\" is " + describe(shown) + ", not \"" + name + "\" (the identifier's last name)");
}

} // namespace

std::optional<std::string> composed(const std::string& text) {
    return normalised(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE);
}

std::optional<std::string> decomposed(const std::string& text) {
    return normalised(text, UTF8PROC_STABLE | UTF8PROC_DECOMPOSE);
}

std::string text(const json::object& object, const char* key) {
    const json::value* value = object.if_contains(key);
    return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

bool isDir(const json::object& record) {
    const json::value* value = record.if_contains("isDir");
    if (!value)
        return false;
    if (value->is_bool())
        return value->get_bool();
    if (value->is_int64())
        return value->get_int64() == 1;
    if (value->is_uint64())
        return value->get_uint64() == 1;
    if (value->is_double())
        return value->get_double() == 1.0;
    return false;
}

std::optional<std::int64_t> integral(const json::object& object, const char* key) {
    const json::value* value = object.if_contains(key);
    if (!value)
        return std::nullopt;
    if (value->is_int64())
        return value->get_int64();
    if (value->is_uint64() && value->get_uint64() <= static_cast<std::uint64_t>(INT64_MAX))
        return static_cast<std::int64_t>(value->get_uint64());
    if (value->is_double() && std::trunc(value->get_double()) == value->get_double() &&
        std::fabs(value->get_double()) < 9.2e18)
        return static_cast<std::int64_t>(value->get_double());
    return std::nullopt;
}

std::vector<Problem> recordProblems(const json::value& value) {
    std::vector<Problem> out;
    if (!value.is_object()) {
        out.push_back(
            {Aspect::identity, "a record that is " + json::serialize(value) + ", not a JSON object"});
        return out;
    }
    const json::object& record = value.get_object();
    identity(record, out);

    const json::value* dir = record.if_contains("isDir");
    bool kindKnown =
        !dir || dir->is_bool() ||
        ((dir->is_int64() || dir->is_uint64() || dir->is_double()) && dir->to_number<double>() >= 0 &&
         dir->to_number<double>() <= 1 && std::trunc(dir->to_number<double>()) == dir->to_number<double>());
    if (!kindKnown)
        out.push_back(
            {Aspect::kind, "\"isDir\" is " + describe(dir) + ", which the extension reads as a file"});
    bool folder = isDir(record);

    if (!folder) {
        const json::value* version = record.if_contains("contentVersion");
        if (!version || !version->is_string() || version->get_string().empty())
            out.push_back({Aspect::versions, "a file's \"contentVersion\" is " + describe(version) +
                                                 ": uploads and deletes would carry no base"});
        auto size = integral(record, "size");
        if (!size || *size < 0)
            out.push_back({Aspect::details, "a file's \"size\" is " + describe(record.if_contains("size")) +
                                                ", not a whole number of bytes"});
    }
    const json::value* mtime = record.if_contains("mtime");
    if (!mtime || !mtime->is_number() || mtime->to_number<double>() <= 0)
        out.push_back(
            {Aspect::details, "\"mtime\" is " + describe(mtime) + ": no modification date is shown"});
    const json::value* writable = record.if_contains("writable");
    if (writable && !writable->is_bool())
        out.push_back({Aspect::details, "\"writable\" is " + describe(writable) +
                                            ": only true grants writing, so the item is read-only"});
    const json::value* metadata = record.if_contains("metadataVersion");
    if (metadata && !metadata->is_string())
        out.push_back({Aspect::details, "\"metadataVersion\" is " + describe(metadata) + ", not a string"});
    return out;
}

} // namespace wl::hostcheck
