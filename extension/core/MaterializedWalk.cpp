#include "MaterializedWalk.h"

namespace wl {

MaterializedWalk::MaterializedWalk(std::shared_ptr<fileprovider::Enumerator> enumerator, Done done)
    : enumerator_(std::move(enumerator)), done_(std::move(done)) {}

void MaterializedWalk::start() {
    running_ = shared_from_this();
    enumerator_->enumerateItems(shared_from_this(), fileprovider::Page::initialPageSortedByName());
}

void MaterializedWalk::didEnumerateItems(std::vector<fileprovider::ItemRef> items) {
    for (const auto& item : items)
        ids_.insert(item->itemIdentifier().rawValue());
}

void MaterializedWalk::finishEnumeratingUpToPage(std::optional<fileprovider::Page> nextPage) {
    if (nextPage && !nextPage->bytes.empty() && !finished_) {
        enumerator_->enumerateItems(shared_from_this(), *nextPage);
        return;
    }
    end(ids_);
}

void MaterializedWalk::finishEnumeratingWithError(foundation::ErrorRef) {
    end(std::nullopt);
}

void MaterializedWalk::end(std::optional<std::set<std::string>> result) {
    if (finished_)
        return;
    finished_ = true;
    auto keepAlive = std::move(running_); // released when this call returns
    done_(std::move(result));
}

} // namespace wl
