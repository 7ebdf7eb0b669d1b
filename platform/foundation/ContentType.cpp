#include "ContentType.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <vector>

namespace foundation {

namespace {

// identifier -> the types it conforms to directly
const std::map<std::string, std::vector<std::string>>& parents() {
    static const std::map<std::string, std::vector<std::string>> table = {
        {"public.item", {}},
        {"public.content", {}},
        {"public.data", {"public.item"}},
        {"public.directory", {"public.item"}},
        {"public.folder", {"public.directory"}},
        {"public.volume", {"public.folder"}},
        {"com.apple.package", {"public.directory"}},
        {"com.apple.bundle", {"public.directory"}},
        {"com.apple.application", {"public.data"}},
        {"com.apple.application-bundle", {"com.apple.application", "com.apple.bundle", "com.apple.package"}},
        {"com.apple.rtfd", {"com.apple.package", "public.composite-content"}},
        {"com.apple.iwork.pages.sffpages", {"com.apple.package", "public.composite-content"}},
        {"com.apple.iwork.keynote.sffkey", {"com.apple.package", "public.presentation"}},
        {"com.apple.iwork.numbers.sffnumbers", {"com.apple.package", "public.spreadsheet"}},
        {"com.apple.photos.library", {"com.apple.package"}},
        {"public.composite-content", {"public.content"}},
        {"public.presentation", {"public.composite-content"}},
        {"public.spreadsheet", {"public.content"}},
        {"public.text", {"public.data", "public.content"}},
        {"public.plain-text", {"public.text"}},
        {"public.json", {"public.text"}},
        {"public.html", {"public.text"}},
        {"public.image", {"public.data", "public.content"}},
        {"public.jpeg", {"public.image"}},
        {"public.png", {"public.image"}},
        {"com.adobe.pdf", {"public.data", "public.composite-content"}},
        {"public.archive", {"public.data"}},
        {"public.zip-archive", {"public.archive"}},
    };
    return table;
}

} // namespace

std::optional<UTType> UTType::forFilenameExtension(const std::string& extension) {
    static const std::map<std::string, std::string> byExtension = {
        {"app", "com.apple.application-bundle"},
        {"rtfd", "com.apple.rtfd"},
        {"pages", "com.apple.iwork.pages.sffpages"},
        {"key", "com.apple.iwork.keynote.sffkey"},
        {"numbers", "com.apple.iwork.numbers.sffnumbers"},
        {"photoslibrary", "com.apple.photos.library"},
        {"bundle", "com.apple.bundle"},
        {"txt", "public.plain-text"},
        {"text", "public.plain-text"},
        {"json", "public.json"},
        {"html", "public.html"},
        {"htm", "public.html"},
        {"jpg", "public.jpeg"},
        {"jpeg", "public.jpeg"},
        {"png", "public.png"},
        {"pdf", "com.adobe.pdf"},
        {"zip", "public.zip-archive"},
    };
    std::string lower = extension;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto it = byExtension.find(lower);
    if (it == byExtension.end())
        return std::nullopt;
    return UTType(it->second);
}

bool UTType::conformsTo(const UTType& other) const {
    if (identifier_ == other.identifier_)
        return true;
    auto it = parents().find(identifier_);
    if (it == parents().end())
        return false;
    return std::any_of(it->second.begin(), it->second.end(),
                       [&](const std::string& parent) { return UTType(parent).conformsTo(other); });
}

} // namespace foundation
