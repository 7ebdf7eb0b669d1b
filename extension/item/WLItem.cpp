#include "WLItem.h"

#include "host/HostConfig.h"
#include "kept/KeptLocal.h"

namespace wl {

using fileprovider::ItemCapabilities;

namespace {

const JSONObjectRef& emptyRecord() {
    static const auto* empty = new JSONObjectRef(std::make_shared<const boost::json::object>());
    return *empty;
}

// "isDir": the JSON boolean, or the number 1 (true) or 0 (false); anything else is a file.
bool readIsDir(const boost::json::object& json) {
    if (auto flag = jsonBool(json, "isDir"))
        return *flag;
    return jsonIntegral(json, "isDir") == 1;
}

} // namespace

const std::string WLItem::localDecoration = std::string(wlExtensionBundle) + ".local";

bool WLItem::isJSONTrue(const boost::json::value* value) {
    return value && value->is_bool() && value->get_bool();
}

WLItem::WLItem(JSONObjectRef json)
    : json_(json ? std::move(json) : JSONObjectRef(emptyRecord())), isDir_(readIsDir(*json_)) {
    localOnThisMac_ = !isDir_ && KeptLocal::contains(itemIdentifier());
}

WLItem::WLItem(JSONObjectRef json, const KeptLocal::Snapshot& kept)
    : json_(json ? std::move(json) : JSONObjectRef(emptyRecord())), isDir_(readIsDir(*json_)) {
    localOnThisMac_ = !isDir_ && kept.contains(itemIdentifier());
}

std::optional<std::vector<fileprovider::ItemDecorationIdentifier>> WLItem::decorations() const {
    if (!localOnThisMac_)
        return std::nullopt;
    return std::vector<fileprovider::ItemDecorationIdentifier>{localDecoration};
}

bool WLItem::isMostRecentVersionDownloaded() const {
    return isDir_ || localOnThisMac_;
}

fileprovider::ItemIdentifier WLItem::itemIdentifier() const {
    return wl::itemIdentifier(jsonString(*json_, "identifier").value_or(""));
}

fileprovider::ItemIdentifier WLItem::parentItemIdentifier() const {
    return wl::itemIdentifier(jsonString(*json_, "parentIdentifier").value_or(""));
}

std::string WLItem::filename() const {
    return std::string(jsonString(*json_, "name").value_or(""));
}

std::optional<foundation::UTType> WLItem::contentType() const {
    return isDir_ ? foundation::UTType::folder() : foundation::UTType::data();
}

std::optional<std::int64_t> WLItem::documentSize() const {
    if (isDir_)
        return std::nullopt;
    return jsonIntegral(*json_, "size").value_or(0);
}

std::optional<foundation::Date> WLItem::contentModificationDate() const {
    auto mtime = jsonNumber(*json_, "mtime");
    if (!mtime || !(*mtime > 0))
        return std::nullopt;
    return foundation::Date{*mtime};
}

ItemCapabilities WLItem::capabilities() const {
    const boost::json::value* writable = json_->if_contains("writable");
    bool granted = writable == nullptr || isJSONTrue(writable);
    if (!isDir_)
        return granted ? ItemCapabilities::allowsReading | ItemCapabilities::allowsWriting |
                             ItemCapabilities::allowsReparenting | ItemCapabilities::allowsRenaming |
                             ItemCapabilities::allowsDeleting | ItemCapabilities::allowsEvicting
                       : ItemCapabilities::allowsReading | ItemCapabilities::allowsEvicting;
    if (!granted)
        return ItemCapabilities::allowsReading;
    if (itemIdentifier() == fileprovider::ItemIdentifier::rootContainer())
        return ItemCapabilities::allowsReading | ItemCapabilities::allowsWriting;
    return ItemCapabilities::allowsReading | ItemCapabilities::allowsWriting |
           ItemCapabilities::allowsReparenting | ItemCapabilities::allowsRenaming |
           ItemCapabilities::allowsDeleting;
}

fileprovider::ItemVersion WLItem::itemVersion() const {
    std::string content(jsonString(*json_, "contentVersion").value_or(""));
    std::string metadata(jsonString(*json_, "metadataVersion").value_or("0"));
    if (localOnThisMac_)
        metadata += "#local";
    return {std::move(content), std::move(metadata)};
}

fileprovider::ContentPolicy WLItem::contentPolicy() const {
    return isDir_ ? fileprovider::ContentPolicy::inherited : fileprovider::ContentPolicy::downloadLazily;
}

} // namespace wl
