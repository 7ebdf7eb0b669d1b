#pragma once

// What the host reads from the wire, as pure functions over bytes: the request head, the query string,
// numbers and item identifiers. No I/O and no state, so that any input, however hostile, can be fed to
// them directly; every function is total (it answers every input, never throws for bad input).
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace refhost {

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HeadLimits {
    std::size_t maxBytes = std::size_t{64} * 1024; // request line, fields and the blank line
    std::size_t maxFields = 100;
};

struct RequestHead {
    std::string method;
    std::string target;   // as sent: path and raw query
    std::string path;     // before "?", not decoded
    std::string rawQuery; // after "?", not decoded
    Headers headers;
    bool chunked = false;            // Transfer-Encoding: chunked
    std::uint64_t contentLength = 0; // 0 when not given
    bool closeAfter = false;         // Connection: close, or HTTP/1.0 without keep-alive
};

// The outcome of parsing a head: the head, or the status that refuses it (400 malformed, 431 too large,
// 501 a transfer coding other than chunked), or "incomplete" when the blank line has not arrived yet.
struct HeadParse {
    enum class State { complete, incomplete, refused } state = State::incomplete;
    RequestHead head;
    int status = 0;           // when refused
    std::string reason;       // when refused: a short word for the error envelope's code
    std::size_t consumed = 0; // when complete: the bytes of the head, blank line included
};

// Parses the head at the start of `bytes` (which may hold more: the body and later requests).
HeadParse parseRequestHead(std::string_view bytes, const HeadLimits& limits = {});

// Percent escapes decoded; a "%" not followed by two hexadecimal digits stays as it is.
std::string percentDecode(std::string_view text);

// A query string ("a=1&b=2", without "?") decoded, the last value of a repeated key winning; a part
// without "=" is a key with the empty value.
std::map<std::string, std::string> parseQuery(std::string_view raw);

// A revision as the host writes it: an optional "-" and decimal digits, within 64 bits; none otherwise.
std::optional<std::int64_t> parseRevision(std::string_view text);
// A size in base 10 or 16 (digits only, at most 18 of them: never near overflow); none otherwise.
std::optional<std::uint64_t> parseSize(std::string_view text, int base);

// The longest identifier the host serves or accepts, in bytes: paths stay well inside PATH_MAX on a
// client that places the tree under a folder of its own.
inline constexpr std::size_t maxIdentifierBytes = 3840;

// The root container's literal on the wire.
inline constexpr const char* rootIdentifier = "NSFileProviderRootContainerItemIdentifier";

// A host identifier as an index key: "" for the root, else the path in NFC. None for identifiers the
// host refuses: empty, "." or ".." segments, empty segments, a leading or trailing "/", NUL, bytes that
// are not UTF-8, or longer than maxIdentifierBytes.
std::optional<std::string> parseIdentifier(std::string_view identifier);

// `text` in NFC; none for bytes that are not UTF-8.
std::optional<std::string> composed(std::string_view text);

} // namespace refhost
