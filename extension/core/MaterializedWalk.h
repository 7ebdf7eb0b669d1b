#pragma once

#include "fileprovider/Enumeration.h"

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace wl {

// Walks the system's enumerator of materialized items page by page and calls `done` once: with the
// identifiers found, or with none when the walk failed. The observer calls, and so `done`, run on the
// enumerator's threads; the walk relies on them coming one at a time. A started walk keeps itself alive
// until its enumerator ends it.
class MaterializedWalk : public fileprovider::EnumerationObserver,
                         public std::enable_shared_from_this<MaterializedWalk> {
public:
    using Done = std::function<void(std::optional<std::set<std::string>>)>;

    MaterializedWalk(std::shared_ptr<fileprovider::Enumerator> enumerator, Done done);

    void start();

    void didEnumerateItems(std::vector<fileprovider::ItemRef> items) override;
    void finishEnumeratingUpToPage(std::optional<fileprovider::Page> nextPage) override;
    void finishEnumeratingWithError(foundation::ErrorRef error) override;

private:
    void end(std::optional<std::set<std::string>> result);

    const std::shared_ptr<fileprovider::Enumerator> enumerator_;
    const Done done_;
    std::set<std::string> ids_;
    bool finished_ = false;
    std::shared_ptr<MaterializedWalk> running_; // itself, from start() until the end
};

} // namespace wl
