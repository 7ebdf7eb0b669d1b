#pragma once

#include "foundation/Error.h"

#include <boost/json/object.hpp>
#include <string>

namespace wl {

// Host refusals as File Provider errors: the kind of refusal decides the code; the host's own words
// travel in the userInfo under both keys, always present, "" when not sent.
class FPHostErrorMap {
public:
    FPHostErrorMap() = delete;

    static constexpr const char* kindKey = "WLHostErrorKind";
    static constexpr const char* codeKey = "WLHostRefusalCode";

    static foundation::ErrorRef error(long status, const boost::json::object* body);
    // A request refused before it was sent.
    static foundation::ErrorRef local(const std::string& code);
};

} // namespace wl
