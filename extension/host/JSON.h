#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wl {

// A decoded JSON object. It shares ownership of the whole parsed document (and of the arena it was
// parsed into), so records taken from a large answer cost no copy and keep the answer alive.
using JSONObjectRef = std::shared_ptr<const boost::json::object>;

// None when there are no bytes, when they are not JSON, or when the top level is not an object.
JSONObjectRef decodeJSON(const std::optional<std::string>& bytes);
JSONObjectRef decodeJSON(std::string_view bytes);
inline JSONObjectRef decodeJSON(const std::string& bytes) {
    return decodeJSON(std::string_view(bytes));
}
inline JSONObjectRef decodeJSON(const char* bytes) {
    return decodeJSON(std::string_view(bytes));
}
// The object `member` of `owner`, sharing the owner's document.
JSONObjectRef shareObject(const JSONObjectRef& owner, const boost::json::object& member);

// Lenient readers: a missing member or one of another type gives none. An integral number is a JSON
// integer, or a float with a whole value, within signed 64 bits; a boolean is never a number.
std::optional<std::string_view> jsonString(const boost::json::object& object, std::string_view key);
std::optional<std::int64_t> jsonIntegral(const boost::json::value& value);
std::optional<std::int64_t> jsonIntegral(const boost::json::object& object, std::string_view key);
std::optional<double> jsonNumber(const boost::json::object& object, std::string_view key);
std::optional<bool> jsonBool(const boost::json::object& object, std::string_view key);
const boost::json::object* jsonObject(const boost::json::object& object, std::string_view key);
// None unless the member is an array whose every element is an object (or a string).
std::optional<std::vector<const boost::json::object*>> jsonArrayOfObjects(const boost::json::object& object,
                                                                          std::string_view key);
std::optional<std::vector<std::string>> jsonArrayOfStrings(const boost::json::object& object,
                                                           std::string_view key);

} // namespace wl
