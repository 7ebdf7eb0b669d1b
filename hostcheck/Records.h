#pragma once

// The host record as the extension reads it: what in a record would make the extension show the wrong
// item, or none, told apart by how much it matters.
#include <boost/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace wl::hostcheck {

enum class Aspect {
    identity, // "identifier", "parentIdentifier", "name": where the item is and what it is called
    kind,     // "isDir"
    versions, // "contentVersion" of files: the base of every upload and delete
    details,  // "size", "mtime", "writable", "metadataVersion"
};

struct Problem {
    Aspect aspect;
    std::string text;
};

std::vector<Problem> recordProblems(const boost::json::value& record);

// The composed (NFC) form; none for bytes that are not UTF-8.
std::optional<std::string> composed(const std::string& text);
std::optional<std::string> decomposed(const std::string& text);

// Readers with the extension's defaults for members that are absent or of another type.
std::string text(const boost::json::object& object, const char* key);
bool isDir(const boost::json::object& record);
std::optional<std::int64_t> integral(const boost::json::object& object, const char* key);

} // namespace wl::hostcheck
