#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace wl {

// The canonically composed form (NFC) of UTF-8 text; text that is not valid UTF-8 comes back unchanged.
std::string precomposed(std::string_view text);
// The number of user-perceived characters (extended grapheme clusters) of UTF-8 text.
std::size_t graphemeCount(std::string_view text);
// The UTF-8 byte offset after the first `count` grapheme clusters (the whole length when there are fewer).
std::size_t graphemeOffset(std::string_view text, std::size_t count);
bool isValidUTF8(std::string_view text);

} // namespace wl
