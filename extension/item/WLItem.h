#pragma once

// The one item class: a host record presented to the system. Immutable; every property is read from the
// record (and the local-on-this-machine flag fixed at construction), so an item may be read on any thread.
#include "fileprovider/Item.h"
#include "host/JSON.h"
#include "kept/KeptLocal.h"

#include <memory>
#include <string>

namespace wl {

class WLItem : public fileprovider::Item {
public:
    // The only way to build an item. A file asks the kept-local store, once, whether it is local; items
    // built in a batch ask the batch's snapshot of it.
    explicit WLItem(JSONObjectRef json);
    WLItem(JSONObjectRef json, const KeptLocal::Snapshot& kept);
    static std::shared_ptr<const WLItem> make(JSONObjectRef json) {
        return std::make_shared<const WLItem>(std::move(json));
    }
    static std::shared_ptr<const WLItem> make(JSONObjectRef json, const KeptLocal::Snapshot& kept) {
        return std::make_shared<const WLItem>(std::move(json), kept);
    }

    static const std::string localDecoration;
    // True only for the JSON boolean true.
    static bool isJSONTrue(const boost::json::value* value);

    const boost::json::object& json() const { return *json_; }
    const JSONObjectRef& record() const { return json_; }
    bool localOnThisMac() const { return localOnThisMac_; }
    bool isFolder() const { return isDir_; }

    std::optional<std::vector<fileprovider::ItemDecorationIdentifier>> decorations() const override;
    bool isMostRecentVersionDownloaded() const override;
    bool isUploaded() const override { return true; }
    bool isUploading() const override { return false; }
    fileprovider::ItemIdentifier itemIdentifier() const override;
    fileprovider::ItemIdentifier parentItemIdentifier() const override;
    std::string filename() const override;
    std::optional<foundation::UTType> contentType() const override;
    std::optional<std::int64_t> documentSize() const override;
    std::optional<foundation::Date> contentModificationDate() const override;
    std::optional<foundation::Date> creationDate() const override { return std::nullopt; }
    fileprovider::ItemCapabilities capabilities() const override;
    fileprovider::ItemVersion itemVersion() const override;
    fileprovider::ContentPolicy contentPolicy() const override;

private:
    JSONObjectRef json_;
    bool isDir_;
    bool localOnThisMac_;
};

} // namespace wl
