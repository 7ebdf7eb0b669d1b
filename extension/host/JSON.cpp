#include "JSON.h"

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>

#include <cmath>

namespace wl {

namespace json = boost::json;

JSONObjectRef decodeJSON(std::string_view bytes) {
    // Large answers parse about twice as fast into an arena; the storage pointer keeps it alive as long
    // as any value of the document lives.
    json::storage_ptr storage = json::make_shared_resource<json::monotonic_resource>();
    json::error_code ec;
    auto document = std::make_shared<json::value>(json::parse(bytes, ec, storage));
    if (ec || !document->is_object())
        return nullptr;
    return JSONObjectRef(document, &document->get_object());
}

JSONObjectRef decodeJSON(const std::optional<std::string>& bytes) {
    if (!bytes)
        return nullptr;
    return decodeJSON(std::string_view(*bytes));
}

JSONObjectRef shareObject(const JSONObjectRef& owner, const json::object& member) {
    return {owner, &member};
}

std::optional<std::string_view> jsonString(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    if (!value || !value->is_string())
        return std::nullopt;
    return std::string_view(value->get_string());
}

std::optional<std::int64_t> jsonIntegral(const json::value& value) {
    if (value.is_int64())
        return value.get_int64();
    if (value.is_uint64()) {
        if (value.get_uint64() > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        return static_cast<std::int64_t>(value.get_uint64());
    }
    if (value.is_double()) {
        double d = value.get_double();
        // 2^63 itself is out of range; every double below it in magnitude converts exactly.
        if (!std::isfinite(d) || d != std::trunc(d) || d < -9223372036854775808.0 ||
            d >= 9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(d);
    }
    return std::nullopt;
}

std::optional<std::int64_t> jsonIntegral(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    return value ? jsonIntegral(*value) : std::nullopt;
}

std::optional<double> jsonNumber(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    if (!value || !value->is_number())
        return std::nullopt;
    return value->to_number<double>();
}

std::optional<bool> jsonBool(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    if (!value || !value->is_bool())
        return std::nullopt;
    return value->get_bool();
}

const json::object* jsonObject(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    return value ? value->if_object() : nullptr;
}

std::optional<std::vector<const json::object*>> jsonArrayOfObjects(const json::object& object,
                                                                   std::string_view key) {
    const json::value* value = object.if_contains(key);
    if (!value || !value->is_array())
        return std::nullopt;
    std::vector<const json::object*> result;
    result.reserve(value->get_array().size());
    for (const auto& element : value->get_array()) {
        if (!element.is_object())
            return std::nullopt;
        result.push_back(&element.get_object());
    }
    return result;
}

std::optional<std::vector<std::string>> jsonArrayOfStrings(const json::object& object, std::string_view key) {
    const json::value* value = object.if_contains(key);
    if (!value || !value->is_array())
        return std::nullopt;
    std::vector<std::string> result;
    result.reserve(value->get_array().size());
    for (const auto& element : value->get_array()) {
        if (!element.is_string())
            return std::nullopt;
        result.emplace_back(element.get_string());
    }
    return result;
}

} // namespace wl
