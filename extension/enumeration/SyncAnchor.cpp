#include "SyncAnchor.h"

#include "host/Unicode.h"

#include <charconv>
#include <vector>

namespace wl {

fileprovider::SyncAnchor syncAnchor(std::int64_t revision, std::int64_t generation,
                                    const std::optional<std::string>& epoch) {
    std::string text = std::to_string(revision) + "#" + std::to_string(generation);
    if (epoch)
        text += "#" + *epoch;
    return fileprovider::SyncAnchor{std::move(text)};
}

AnchorFields readSyncAnchor(const fileprovider::SyncAnchor& anchor) {
    std::string text = isValidUTF8(anchor.bytes) ? anchor.bytes : "0";
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        auto hash = text.find('#', start);
        fields.push_back(text.substr(start, hash == std::string::npos ? std::string::npos : hash - start));
        if (hash == std::string::npos)
            break;
        start = hash + 1;
    }
    AnchorFields result{fields[0], std::nullopt};
    if (fields.size() >= 3)
        result.epoch = fields[2];
    return result;
}

std::int64_t parseRevision(const std::string& text) {
    std::size_t start = !text.empty() && (text[0] == '+' || text[0] == '-') ? 1 : 0;
    if (start == text.size())
        return 0;
    for (std::size_t i = start; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return 0;
    // from_chars takes the minus sign but not the plus sign.
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size())
        return 0;
    return value;
}

} // namespace wl
