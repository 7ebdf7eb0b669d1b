#include "FileProviderExtension.h"

#include "enumeration/WLEnumerator.h"
#include "item/WLItem.h"

namespace wl {

using foundation::ErrorRef;
using foundation::Progress;

FileProviderExtension::FileProviderExtension(fileprovider::Domain domain)
    : domain_(std::move(domain)), cfg_(HostConfig::load()) {}

ErrorRef FileProviderExtension::noHostConnectionError() {
    return foundation::Error::make(wlErrorDomain, noHostConnection);
}

fileprovider::ProgressRef FileProviderExtension::item(const fileprovider::ItemIdentifier& identifier,
                                                      const fileprovider::Request&,
                                                      ItemCompletion completion) {
    auto progress = Progress::make(1);
    if (!cfg_) {
        completion(nullptr, noHostConnectionError());
        return progress;
    }
    lookUp(identifier, progress, std::move(completion));
    return progress;
}

void FileProviderExtension::lookUp(const fileprovider::ItemIdentifier& identifier,
                                   const fileprovider::ProgressRef& progress,
                                   ItemCompletion completion) const {
    auto request = cfg_->request("/v1/item", {{"id", hostID(identifier)}});
    foundation::URLSession::shared()
        .dataTask(std::move(request),
                  [completion = std::move(completion), progress](
                      std::optional<std::string> data, foundation::ResponseRef response, ErrorRef error) {
                      long status = statusOf(response);
                      JSONObjectRef record = error || status != 200 ? nullptr : decodeJSON(data);
                      if (record && record->contains("identifier"))
                          completion(WLItem::make(std::move(record)), nullptr);
                      else
                          completion(nullptr, hostAnswerError(status, data, error, itemLookupFailed));
                      progress->setCompletedUnitCount(1);
                  })
        ->resume();
}

std::shared_ptr<fileprovider::Enumerator>
FileProviderExtension::enumerator(const fileprovider::ItemIdentifier& container,
                                  const fileprovider::Request&) {
    if (!cfg_)
        throw foundation::ThrownError(noHostConnectionError());
    return std::make_shared<WLEnumerator>(container, *cfg_);
}

} // namespace wl
