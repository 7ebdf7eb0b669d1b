#include "FileProviderExtension.h"

#include "enumeration/WLEnumerator.h"
#include "write/FPWriter.h"

namespace wl {

using fileprovider::ProgressRef;
using foundation::ErrorRef;
using foundation::Progress;

const ErrorRef& FileProviderExtension::noHost() {
    static const ErrorRef error = foundation::Error::make(foundation::NSFileProviderErrorDomain, -1000);
    return error;
}

std::shared_ptr<FPWriter> FileProviderExtension::writer(const fileprovider::Request& request) {
    if (!cfg_)
        return nullptr;
    std::weak_ptr<FileProviderExtension> weak = weak_from_this();
    auto signalWorkingSet = [weak] {
        if (auto self = weak.lock())
            self->refreshWorkingSet();
    };
    auto isFolder = [weak, request](const std::string& identifier,
                                    std::function<void(std::optional<bool>, ErrorRef)> answer) {
        auto self = weak.lock();
        if (!self) {
            answer(std::nullopt, noHost());
            return;
        }
        self->item(fileprovider::ItemIdentifier(identifier), request,
                   [answer = std::move(answer)](fileprovider::ItemRef item, ErrorRef error) {
                       if (!item)
                           answer(std::nullopt, std::move(error));
                       else
                           answer(FPWriter::isFolder(*item), nullptr);
                   });
    };
    auto existing = [weak](const std::string& identifier, std::function<void(FPExisting)> answer) {
        auto self = weak.lock();
        if (!self || !self->cfg_) {
            answer(FPExisting::unknown(noHost()));
            return;
        }
        foundation::URLSession::shared()
            .dataTask(self->cfg_->request("/v1/item", {{"id", identifier}}),
                      [answer = std::move(answer)](std::optional<std::string> data,
                                                   foundation::ResponseRef response, ErrorRef error) {
                          answer(FPWriter::existing(statusOf(response), data, error));
                      })
            ->resume();
    };
    return std::make_shared<FPWriter>(std::make_shared<FPHostWrites>(*cfg_), signalWorkingSet,
                                      &WLEnumerator::deliveredRev, FPKeptCalls::store, isFolder, existing);
}

ProgressRef FileProviderExtension::createItem(fileprovider::ItemRef itemTemplate, fileprovider::ItemFields,
                                              std::optional<std::filesystem::path> contents,
                                              fileprovider::CreateItemOptions options,
                                              const fileprovider::Request& request,
                                              WriteCompletion completion) {
    auto w = writer(request);
    if (!w) {
        completion(nullptr, {}, false, noHost());
        return Progress::make();
    }
    return w->create(itemTemplate, contents,
                     options.contains(fileprovider::CreateItemOptions::mayAlreadyExist),
                     [completion = std::move(completion)](fileprovider::ItemRef item, ErrorRef error) {
                         completion(std::move(item), {}, false, std::move(error));
                     });
}

ProgressRef FileProviderExtension::modifyItem(
    fileprovider::ItemRef item, const fileprovider::ItemVersion& baseVersion,
    fileprovider::ItemFields changedFields, std::optional<std::filesystem::path> contents,
    fileprovider::ModifyItemOptions, const fileprovider::Request& request, WriteCompletion completion) {
    auto w = writer(request);
    if (!w) {
        completion(nullptr, {}, false, noHost());
        return Progress::make();
    }
    return w->modify(item, baseVersion, changedFields, contents,
                     [completion = std::move(completion)](fileprovider::ItemRef result, ErrorRef error) {
                         completion(std::move(result), {}, false, std::move(error));
                     });
}

ProgressRef FileProviderExtension::deleteItem(const fileprovider::ItemIdentifier& identifier,
                                              const fileprovider::ItemVersion& baseVersion,
                                              fileprovider::DeleteItemOptions options,
                                              const fileprovider::Request& request,
                                              DeleteCompletion completion) {
    auto w = writer(request);
    if (!w) {
        completion(noHost());
        return Progress::make();
    }
    return w->deleteItem(identifier, baseVersion,
                         options.contains(fileprovider::DeleteItemOptions::recursive), std::move(completion));
}

} // namespace wl
