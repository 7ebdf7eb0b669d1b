#include "Error.h"

namespace foundation {

const std::string* Error::stringValue(const std::string& key) const {
    auto it = userInfo_.find(key);
    if (it == userInfo_.end())
        return nullptr;
    return std::get_if<std::string>(&it->second);
}

ErrorRef Error::underlyingError() const {
    auto it = userInfo_.find(NSUnderlyingErrorKey);
    if (it == userInfo_.end())
        return nullptr;
    if (const auto* nested = std::get_if<ErrorRef>(&it->second))
        return *nested;
    return nullptr;
}

std::string Error::localizedDescription() const {
    if (const auto* text = stringValue(NSLocalizedDescriptionKey))
        return *text;
    return "The operation couldn't be completed. (" + domain_ + " error " + std::to_string(code_) + ".)";
}

} // namespace foundation
