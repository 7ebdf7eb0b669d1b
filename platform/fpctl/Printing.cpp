#include "Printing.h"

#include <openssl/evp.h>
#include <utf8proc.h>

namespace fpctl {

namespace json = boost::json;

bool isText(const std::string& bytes) {
    const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
    auto left = static_cast<utf8proc_ssize_t>(bytes.size());
    while (left > 0) {
        utf8proc_int32_t codepoint;
        utf8proc_ssize_t n = utf8proc_iterate(p, left, &codepoint);
        if (n <= 0)
            return false;
        p += n;
        left -= n;
    }
    return true;
}

std::string base64(const std::string& bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::optional<std::string> unbase64(const std::string& text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::string out(text.size() / 4 * 3 + 1, '\0');
    int n =
        EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    std::size_t padding =
        text.empty() ? 0 : (text.back() == '=') + (text.size() > 1 && text[text.size() - 2] == '=');
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

json::value bytesJSON(const std::string& bytes) {
    if (isText(bytes))
        return json::value(bytes);
    return json::object{{"base64", base64(bytes)}};
}

json::value anchorJSON(const std::string& bytes) {
    if (isText(bytes))
        return json::value(bytes);
    return json::object{{"anchorBase64", base64(bytes)}};
}

json::object itemJSON(const fileprovider::Item& item) {
    auto type = item.contentType();
    auto size = item.documentSize();
    auto modified = item.contentModificationDate();
    auto created = item.creationDate();
    auto version = item.itemVersion();
    json::value decorations = nullptr;
    if (auto given = item.decorations()) {
        json::array list;
        for (const auto& d : *given)
            list.emplace_back(d);
        decorations = std::move(list);
    }
    return {{"itemIdentifier", bytesJSON(item.itemIdentifier().rawValue())},
            {"parentItemIdentifier", bytesJSON(item.parentItemIdentifier().rawValue())},
            {"filename", bytesJSON(item.filename())},
            {"contentType", type ? json::value(type->identifier()) : json::value(nullptr)},
            {"documentSize", size ? json::value(*size) : json::value(nullptr)},
            {"contentModificationDate",
             modified ? json::value(modified->timeIntervalSince1970) : json::value(nullptr)},
            {"creationDate", created ? json::value(created->timeIntervalSince1970) : json::value(nullptr)},
            {"capabilities", item.capabilities().rawValue},
            {"itemVersion",
             {{"contentVersion", bytesJSON(version.contentVersion)},
              {"metadataVersion", bytesJSON(version.metadataVersion)}}},
            {"contentPolicy", static_cast<std::int64_t>(item.contentPolicy())},
            {"isMostRecentVersionDownloaded", item.isMostRecentVersionDownloaded()},
            {"isUploaded", item.isUploaded()},
            {"isUploading", item.isUploading()},
            {"decorations", std::move(decorations)}};
}

json::array itemsJSON(const std::vector<fileprovider::ItemRef>& items) {
    json::array out;
    out.reserve(items.size());
    for (const auto& item : items)
        out.push_back(itemJSON(*item));
    return out;
}

json::value errorJSON(const foundation::ErrorRef& error) {
    if (!error)
        return nullptr;
    json::object info;
    for (const auto& [key, value] : error->userInfo()) {
        if (const auto* text = std::get_if<std::string>(&value))
            info[key] = bytesJSON(*text);
        else if (const auto* nested = std::get_if<foundation::ErrorRef>(&value))
            info[key] = errorJSON(*nested);
        else
            info[key] = std::get<foundation::FileURL>(value).path.string();
    }
    return json::object{{"domain", error->domain()}, {"code", error->code()}, {"userInfo", std::move(info)}};
}

json::object progressJSON(const foundation::Progress& progress) {
    return {{"total", progress.totalUnitCount()}, {"completed", progress.completedUnitCount()}};
}

json::value unansweredJSON() {
    return json::object{
        {"domain", "fpctl"},
        {"code", -1},
        {"userInfo", {{"NSLocalizedDescription", "the extension did not call back in time"}}}};
}

} // namespace fpctl
