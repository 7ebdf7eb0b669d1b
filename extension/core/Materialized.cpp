#include "FileProviderExtension.h"
#include "MaterializedWalk.h"

#include "kept/KeptLocal.h"

namespace wl {

void FileProviderExtension::materializedItemsDidChange(std::function<void()> completion) {
    auto manager = fileprovider::Manager::forDomain(domain_);
    if (!manager) {
        completion();
        return;
    }
    // The cut-off comes before the walk, so that items remembered while it runs are not dropped by a
    // result that predates them.
    auto start = foundation::Date::now();
    auto enumerator = manager->enumeratorForMaterializedItems();
    std::weak_ptr<FileProviderExtension> weak = weak_from_this();
    auto walk =
        std::make_shared<MaterializedWalk>(enumerator, [weak, completion = std::move(completion), start,
                                                        manager](std::optional<std::set<std::string>> found) {
            if (auto self = weak.lock())
                self->materializedWalk_.store(nullptr);
            if (!found) {
                completion();
                return;
            }
            bool removed = KeptLocal::replace(*found, start);
            if (!removed && KeptLocal::peekPending().ids.empty()) {
                completion();
                return;
            }
            manager->signalEnumerator(fileprovider::ItemIdentifier::workingSet(),
                                      [completion](foundation::ErrorRef) { completion(); });
        });
    materializedWalk_.store(walk); // an earlier walk is released here, not stopped: it keeps itself alive
    walk->start();
}

} // namespace wl
