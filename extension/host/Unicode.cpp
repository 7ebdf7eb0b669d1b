#include "Unicode.h"

#include <cstdlib>
#include <memory>
#include <utf8proc.h>

namespace wl {

namespace {

bool isASCII(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

} // namespace

bool isValidUTF8(std::string_view text) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto remaining = static_cast<utf8proc_ssize_t>(text.size());
    while (remaining > 0) {
        utf8proc_int32_t codepoint;
        utf8proc_ssize_t n = utf8proc_iterate(bytes, remaining, &codepoint);
        if (n <= 0)
            return false;
        bytes += n;
        remaining -= n;
    }
    return true;
}

std::string precomposed(std::string_view text) {
    if (isASCII(text)) // already composed; the common case, and the hot one
        return std::string(text);
    utf8proc_uint8_t* composed = nullptr;
    utf8proc_ssize_t length = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(text.data()), static_cast<utf8proc_ssize_t>(text.size()),
        &composed, static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_COMPOSE));
    if (length < 0)
        return std::string(text);
    std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(composed, &std::free);
    return std::string(reinterpret_cast<const char*>(composed), static_cast<std::size_t>(length));
}

std::size_t graphemeOffset(std::string_view text, std::size_t count) {
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    auto size = static_cast<utf8proc_ssize_t>(text.size());
    utf8proc_ssize_t position = 0;
    utf8proc_int32_t previous = -1;
    utf8proc_int32_t state = 0;
    std::size_t clusters = 0;
    while (position < size) {
        utf8proc_int32_t codepoint;
        utf8proc_ssize_t n = utf8proc_iterate(bytes + position, size - position, &codepoint);
        if (n <= 0) { // an invalid byte counts as a character of its own
            codepoint = -1;
            n = 1;
        }
        bool breaks =
            previous < 0 || codepoint < 0 || utf8proc_grapheme_break_stateful(previous, codepoint, &state);
        if (breaks) {
            if (clusters == count)
                return static_cast<std::size_t>(position);
            ++clusters;
        }
        previous = codepoint < 0 ? -1 : codepoint;
        position += n;
    }
    return text.size();
}

std::size_t graphemeCount(std::string_view text) {
    std::size_t count = 0;
    for (std::size_t offset = 0; offset < text.size(); ++count)
        offset += graphemeOffset(text.substr(offset), 1);
    return count;
}

} // namespace wl
