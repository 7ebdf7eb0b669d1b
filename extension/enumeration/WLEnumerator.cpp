#include "WLEnumerator.h"

#include "item/WLItem.h"
#include "kept/KeptLocal.h"

namespace wl {

using fileprovider::ChangeObserver;
using fileprovider::ItemIdentifier;
using foundation::ErrorRef;
using foundation::ResponseRef;

namespace {

std::shared_ptr<const boost::json::object> emptyObject() {
    return std::make_shared<const boost::json::object>();
}

// The items of a batch of records, checked against one snapshot of the kept-local store.
std::vector<fileprovider::ItemRef> itemsOf(const JSONObjectRef& answer,
                                           const std::vector<const boost::json::object*>& records) {
    std::vector<fileprovider::ItemRef> items;
    items.reserve(records.size());
    auto kept = KeptLocal::snapshot();
    for (const auto* record : records)
        items.push_back(WLItem::make(shareObject(answer, *record), kept));
    return items;
}

} // namespace

WLEnumerator::WLEnumerator(ItemIdentifier container, HostConfig cfg)
    : container(std::move(container)), cfg(std::move(cfg)),
      isWorkingSet(this->container.rawValue() == ItemIdentifier::workingSet().rawValue()) {}

void WLEnumerator::enumerateItems(std::shared_ptr<fileprovider::EnumerationObserver> observer,
                                  fileprovider::Page) {
    auto request = isWorkingSet ? cfg.request("/v1/all")
                                : cfg.request("/v1/enumerate", {{"container", hostID(container)}});
    auto self = shared_from_this();
    foundation::URLSession::shared()
        .dataTask(std::move(request),
                  [self, observer = std::move(observer)](std::optional<std::string> data,
                                                         ResponseRef response, ErrorRef error) {
                      long status = statusOf(response);
                      JSONObjectRef answer = error || status != 200 ? nullptr : decodeJSON(data);
                      auto records = answer ? jsonArrayOfObjects(*answer, "items") : std::nullopt;
                      if (!records) {
                          observer->finishEnumeratingWithError(
                              hostAnswerError(status, data, error, enumerationFailed));
                          return;
                      }
                      observer->didEnumerateItems(itemsOf(answer, *records));
                      observer->finishEnumeratingUpToPage(std::nullopt);
                      if (auto anchor = jsonIntegral(*answer, "anchor")) {
                          if (self->isWorkingSet)
                              DeliveredRevs::recordWorkingSet(*anchor);
                          else
                              DeliveredRevs::recordContainer(hostID(self->container), *anchor);
                      }
                  })
        ->resume();
}

void WLEnumerator::currentSyncAnchor(
    std::function<void(std::optional<fileprovider::SyncAnchor>)> completion) {
    foundation::URLSession::shared()
        .dataTask(
            cfg.request("/v1/anchor"),
            [completion = std::move(completion)](std::optional<std::string> data, ResponseRef, ErrorRef) {
                // Status and transport error are not looked at: whatever object came back is read.
                JSONObjectRef answer = decodeJSON(data);
                std::int64_t revision = answer ? jsonIntegral(*answer, "anchor").value_or(0) : 0;
                std::optional<std::string> epoch;
                if (answer)
                    if (auto text = jsonString(*answer, "epoch"))
                        epoch = std::string(*text);
                completion(syncAnchor(revision, KeptLocal::generation(), epoch));
            })
        ->resume();
}

void WLEnumerator::enumerateChanges(std::shared_ptr<ChangeObserver> observer,
                                    fileprovider::SyncAnchor anchor) {
    AnchorFields fields = readSyncAnchor(anchor);
    auto self = shared_from_this();
    foundation::URLSession::shared()
        .dataTask(cfg.request("/v1/changes", {{"anchor", fields.revisionText}}),
                  [self, observer = std::move(observer), fields](std::optional<std::string> data,
                                                                 ResponseRef response, ErrorRef error) {
                      long status = statusOf(response);
                      JSONObjectRef answer = error || status != 200 ? nullptr : decodeJSON(data);
                      if (!answer) {
                          observer->finishEnumeratingWithError(
                              hostAnswerError(status, data, error, enumerationFailed));
                          return;
                      }
                      std::optional<std::string> epoch;
                      if (auto text = jsonString(*answer, "epoch")) {
                          epoch = std::string(*text);
                          if (fields.epoch != epoch) {
                              observer->finishEnumeratingWithError(foundation::Error::make(
                                  foundation::NSFileProviderErrorDomain, fileprovider::syncAnchorExpired));
                              return;
                          }
                      }
                      auto updates = jsonArrayOfObjects(*answer, "updates");
                      if (updates && !updates->empty())
                          observer->didUpdateItems(itemsOf(answer, *updates));
                      auto deletions = jsonArrayOfStrings(*answer, "deletions");
                      if (deletions && !deletions->empty()) {
                          std::vector<ItemIdentifier> identifiers;
                          identifiers.reserve(deletions->size());
                          for (const auto& id : *deletions)
                              identifiers.push_back(itemIdentifier(id));
                          observer->didDeleteItemsWithIdentifiers(std::move(identifiers));
                      }
                      std::int64_t serverRev = jsonIntegral(*answer, "anchor").value_or(0);
                      std::int64_t fromRev = parseRevision(fields.revisionText);
                      self->publishPendingLocalChanges(observer, fromRev, serverRev, epoch, 4);
                  })
        ->resume();
}

void WLEnumerator::finish(const std::shared_ptr<ChangeObserver>& observer, std::int64_t fromRev,
                          std::int64_t serverRev, const std::optional<std::string>& epoch,
                          std::int64_t generation, bool moreComing) {
    observer->finishEnumeratingChangesUpToSyncAnchor(syncAnchor(serverRev, generation, epoch), moreComing);
    if (isWorkingSet)
        DeliveredRevs::recordWorkingSetChanges(fromRev, serverRev);
}

void WLEnumerator::publishPendingLocalChanges(std::shared_ptr<ChangeObserver> observer, std::int64_t fromRev,
                                              std::int64_t serverRev, std::optional<std::string> epoch,
                                              int roundsLeft) {
    auto pending = KeptLocal::peekPending();
    if (pending.ids.empty()) {
        finish(observer, fromRev, serverRev, epoch, pending.gen, false);
        return;
    }
    passOver(std::move(pending.ids), std::move(observer), fromRev, serverRev, std::move(epoch), roundsLeft);
}

void WLEnumerator::passOver(std::vector<std::string> ids, std::shared_ptr<ChangeObserver> observer,
                            std::int64_t fromRev, std::int64_t serverRev, std::optional<std::string> epoch,
                            int roundsLeft) {
    auto self = shared_from_this();
    LocalItemFetch::run(
        cfg, std::move(ids),
        [self, observer, fromRev, serverRev, epoch, roundsLeft](LocalItemFetch::Rows rows) {
            std::vector<fileprovider::ItemRef> updates;
            std::map<std::string, bool> published;
            for (auto& [id, record] : rows) {
                if (!record->contains("identifier")) {
                    published[id] = false; // the host does not have it
                    continue;
                }
                auto item = WLItem::make(record);
                bool keptNow = KeptLocal::contains(item->itemIdentifier());
                if (item->isFolder())
                    published[id] =
                        keptNow; // a folder is never local: clear it as it stands, or it stays for ever
                else if (item->localOnThisMac() == keptNow)
                    published[id] = item->localOnThisMac();
                updates.push_back(std::move(item));
            }
            if (!updates.empty())
                observer->didUpdateItems(std::move(updates));
            KeptLocal::clearPending(published);
            auto pending = KeptLocal::peekPending();
            if (pending.ids.empty())
                self->finish(observer, fromRev, serverRev, epoch, pending.gen, false);
            else if (roundsLeft > 1)
                self->passOver(std::move(pending.ids), observer, fromRev, serverRev, epoch, roundsLeft - 1);
            else
                self->finish(observer, fromRev, serverRev, epoch, std::max<std::int64_t>(pending.gen - 1, 0),
                             true);
        });
}

LocalItemFetch::LocalItemFetch(HostConfig cfg, std::vector<std::string> left, std::function<void(Rows)> done)
    : cfg_(std::move(cfg)), left_(std::move(left)), done_(std::move(done)) {}

void LocalItemFetch::run(HostConfig cfg, std::vector<std::string> ids, std::function<void(Rows)> done) {
    std::make_shared<LocalItemFetch>(std::move(cfg), std::move(ids), std::move(done))->step();
}

void LocalItemFetch::step() {
    if (next_ == left_.size()) {
        done_(std::move(rows_));
        return;
    }
    std::string id = left_[next_++];
    auto self = shared_from_this();
    foundation::URLSession::shared()
        .dataTask(cfg_.request("/v1/item", {{"id", id}}),
                  [self, id](std::optional<std::string> data, ResponseRef response, ErrorRef error) {
                      long status = statusOf(response);
                      if (!error && status == 404) {
                          self->rows_.emplace_back(id, emptyObject());
                      } else if (!error && status == 200) {
                          if (auto record = decodeJSON(data); record && record->contains("identifier"))
                              self->rows_.emplace_back(id, std::move(record));
                      }
                      self->step();
                  })
        ->resume();
}

} // namespace wl
