#include "Extension.h"

namespace fileprovider {

namespace {

foundation::ErrorRef unsupported() {
    static const foundation::ErrorRef error =
        foundation::Error::make(foundation::NSCocoaErrorDomain, NSFeatureUnsupportedError);
    return error;
}

} // namespace

std::shared_ptr<Enumerator> ReplicatedExtension::enumerator(const ItemIdentifier&, const Request&) {
    throw foundation::ThrownError(unsupported());
}

ProgressRef ReplicatedExtension::fetchContents(const ItemIdentifier&, const std::optional<ItemVersion>&,
                                               const Request&, FetchCompletion completion) {
    completion(std::nullopt, nullptr, unsupported());
    return foundation::Progress::make();
}

ProgressRef ReplicatedExtension::createItem(ItemRef, ItemFields, std::optional<std::filesystem::path>,
                                            CreateItemOptions, const Request&, WriteCompletion completion) {
    completion(nullptr, {}, false, unsupported());
    return foundation::Progress::make();
}

ProgressRef ReplicatedExtension::modifyItem(ItemRef, const ItemVersion&, ItemFields,
                                            std::optional<std::filesystem::path>, ModifyItemOptions,
                                            const Request&, WriteCompletion completion) {
    completion(nullptr, {}, false, unsupported());
    return foundation::Progress::make();
}

ProgressRef ReplicatedExtension::deleteItem(const ItemIdentifier&, const ItemVersion&, DeleteItemOptions,
                                            const Request&, DeleteCompletion completion) {
    completion(unsupported());
    return foundation::Progress::make();
}

ProgressRef PartialContentFetching::fetchPartialContents(const ItemIdentifier&,
                                                         const std::optional<ItemVersion>&, const Request&,
                                                         Range, std::size_t, FetchContentsOptions,
                                                         PartialCompletion completion) {
    completion(std::nullopt, nullptr, {}, {}, unsupported());
    return foundation::Progress::make();
}

} // namespace fileprovider
