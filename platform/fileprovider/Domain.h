#pragma once

#include "Identifiers.h"

#include <string>

namespace fileprovider {

// A domain as the system knows it. `userEnabled` is the system's record of the user's switch.
class Domain {
public:
    Domain(DomainIdentifier identifier, std::string displayName, bool userEnabled = true)
        : identifier_(std::move(identifier)), displayName_(std::move(displayName)),
          userEnabled_(userEnabled) {}

    const DomainIdentifier& identifier() const { return identifier_; }
    const std::string& displayName() const { return displayName_; }
    bool userEnabled() const { return userEnabled_; }

private:
    DomainIdentifier identifier_;
    std::string displayName_;
    bool userEnabled_;
};

// What the system says of the caller behind a request; the extension may ignore it.
struct Request {
    bool isSystemRequest = true;
    bool isFileViewerRequest = false;
};

} // namespace fileprovider
