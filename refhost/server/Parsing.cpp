#include "Parsing.h"

#include <cstdlib>
#include <utf8proc.h>

namespace refhost {

namespace {

bool isTokenChar(unsigned char c) {
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~':
        return true;
    default:
        return false;
    }
}

bool isToken(std::string_view text) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!isTokenChar(static_cast<unsigned char>(c)))
            return false;
    return true;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lowerAscii(a[i]) != lowerAscii(b[i]))
            return false;
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// Whether a comma-separated field value lists `token`, in any case.
bool listsToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        auto comma = value.find(',');
        if (equalsIgnoringCase(trimmed(value.substr(0, comma)), token))
            return true;
        if (comma == std::string_view::npos)
            break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f')
        return (c | 0x20) - 'a' + 10;
    return -1;
}

HeadParse refuse(int status, std::string reason) {
    HeadParse out;
    out.state = HeadParse::State::refused;
    out.status = status;
    out.reason = std::move(reason);
    return out;
}

} // namespace

HeadParse parseRequestHead(std::string_view bytes, const HeadLimits& limits) {
    // Empty lines before a request are tolerated (some clients end a body with one).
    std::size_t skipped = 0;
    while (bytes.substr(skipped, 2) == "\r\n")
        skipped += 2;
    std::string_view rest = bytes.substr(skipped);
    auto end = rest.find("\r\n\r\n");
    if (end == std::string_view::npos) {
        if (rest.size() >= limits.maxBytes)
            return refuse(431, "head_too_large");
        return {};
    }
    if (end + 4 > limits.maxBytes)
        return refuse(431, "head_too_large");
    std::string_view text = rest.substr(0, end + 2); // every line ends with CRLF

    std::vector<std::string_view> lines;
    while (!text.empty()) {
        auto eol = text.find("\r\n");
        std::string_view line = text.substr(0, eol);
        for (char c : line)
            if (c == '\r' || c == '\n' || c == '\0')
                return refuse(400, "malformed");
        lines.push_back(line);
        text.remove_prefix(eol + 2);
    }
    if (lines.size() - 1 > limits.maxFields)
        return refuse(431, "too_many_fields");

    HeadParse out;
    RequestHead& head = out.head;
    std::string_view requestLine = lines.front();
    auto firstSpace = requestLine.find(' ');
    auto secondSpace =
        firstSpace == std::string_view::npos ? std::string_view::npos : requestLine.find(' ', firstSpace + 1);
    if (secondSpace == std::string_view::npos ||
        requestLine.find(' ', secondSpace + 1) != std::string_view::npos)
        return refuse(400, "malformed");
    std::string_view method = requestLine.substr(0, firstSpace);
    std::string_view target = requestLine.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    std::string_view version = requestLine.substr(secondSpace + 1);
    if (!isToken(method) || target.empty() || target.front() != '/')
        return refuse(400, "malformed");
    for (char c : target)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) == 0x7f)
            return refuse(400, "malformed");
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return refuse(400, "version");
    head.method = method;
    head.target = target;
    auto question = target.find('?');
    head.path = target.substr(0, question);
    head.rawQuery = question == std::string_view::npos ? std::string_view() : target.substr(question + 1);

    bool keepAlive = false, close = false, sawLength = false, sawCoding = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string_view line = lines[i];
        auto colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon)))
            return refuse(400, "malformed"); // also folded continuation lines, which begin with a space
        std::string_view name = line.substr(0, colon);
        std::string_view value = trimmed(line.substr(colon + 1));
        for (char c : value)
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
                return refuse(400, "malformed");
        if (equalsIgnoringCase(name, "Content-Length")) {
            auto length = parseSize(value, 10);
            if (!length || (sawLength && *length != head.contentLength))
                return refuse(400, "length");
            head.contentLength = *length;
            sawLength = true;
        } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
            if (sawCoding || !equalsIgnoringCase(value, "chunked"))
                return refuse(501, "transfer_coding");
            head.chunked = sawCoding = true;
        } else if (equalsIgnoringCase(name, "Connection")) {
            close = close || listsToken(value, "close");
            keepAlive = keepAlive || listsToken(value, "keep-alive");
        }
        head.headers.emplace_back(name, value);
    }
    if (sawLength && sawCoding)
        return refuse(400, "length"); // two framings: the one a proxy picks may not be ours
    head.closeAfter = close || (version == "HTTP/1.0" && !keepAlive);
    out.state = HeadParse::State::complete;
    out.consumed = skipped + end + 4;
    return out;
}

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        int high = text[i] == '%' && i + 2 < text.size() ? hexDigit(text[i + 1]) : -1;
        int low = high >= 0 ? hexDigit(text[i + 2]) : -1;
        if (low >= 0) {
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::map<std::string, std::string> parseQuery(std::string_view raw) {
    std::map<std::string, std::string> result;
    while (!raw.empty()) {
        auto amp = raw.find('&');
        std::string_view part = raw.substr(0, amp);
        if (!part.empty()) {
            auto equals = part.find('=');
            result[percentDecode(part.substr(0, equals))] =
                equals == std::string_view::npos ? std::string() : percentDecode(part.substr(equals + 1));
        }
        if (amp == std::string_view::npos)
            break;
        raw.remove_prefix(amp + 1);
    }
    return result;
}

std::optional<std::int64_t> parseRevision(std::string_view text) {
    bool negative = !text.empty() && text.front() == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    if (digits.empty() || digits.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    constexpr std::uint64_t max = static_cast<std::uint64_t>(INT64_MAX);
    if (value > max + (negative ? 1 : 0))
        return std::nullopt;
    if (negative)
        return value == max + 1 ? INT64_MIN : -static_cast<std::int64_t>(value);
    return static_cast<std::int64_t>(value);
}

std::optional<std::uint64_t> parseSize(std::string_view text, int base) {
    if (text.empty() || text.size() > 18 || (base != 10 && base != 16))
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = base == 16 ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::optional<std::string> composed(std::string_view text) {
    utf8proc_uint8_t* result = nullptr;
    utf8proc_ssize_t length = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
        &result, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0)
        return std::nullopt;
    std::string out(reinterpret_cast<const char*>(result), static_cast<std::size_t>(length));
    std::free(result);
    return out;
}

std::optional<std::string> parseIdentifier(std::string_view identifier) {
    if (identifier == rootIdentifier)
        return std::string();
    if (identifier.empty() || identifier.size() > maxIdentifierBytes || identifier.front() == '/' ||
        identifier.back() == '/' || identifier.find('\0') != std::string_view::npos)
        return std::nullopt;
    std::string_view rest = identifier;
    while (true) {
        auto slash = rest.find('/');
        std::string_view segment = rest.substr(0, slash);
        if (segment.empty() || segment == "." || segment == "..")
            return std::nullopt;
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    auto key = composed(identifier);
    // Composition never makes "/" or "." out of other characters, but it can change the length.
    if (!key || key->size() > maxIdentifierBytes)
        return std::nullopt;
    return key;
}

} // namespace refhost
