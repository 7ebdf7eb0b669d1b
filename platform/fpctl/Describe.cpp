// The text fpctl shows people: the same facts as the JSON output, aligned and readable.
#include "Fpctl.h"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace fpctl {

namespace json = boost::json;

namespace {

std::string plain(const json::value& value) {
    if (value.is_string())
        return std::string(value.get_string());
    if (value.is_null())
        return "-";
    if (value.is_object() && value.get_object().contains("base64"))
        return "base64:" + std::string(value.get_object().at("base64").as_string());
    if (value.is_object() && value.get_object().contains("anchorBase64"))
        return "base64:" + std::string(value.get_object().at("anchorBase64").as_string());
    return json::serialize(value);
}

std::string date(const json::value& value) {
    if (!value.is_number())
        return "-";
    std::time_t seconds = static_cast<std::time_t>(value.to_number<double>());
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::ostringstream out;
    out << std::put_time(&utc, "%Y-%m-%d %H:%M:%S UTC");
    return out.str();
}

void line(std::ostringstream& out, const std::string& label, const std::string& value) {
    out << "  " << std::left << std::setw(14) << label << value << "\n";
}

std::string errorText(const json::value& error) {
    if (error.is_null())
        return "";
    const auto& e = error.get_object();
    std::string text =
        std::string(e.at("domain").as_string()) + " " + std::to_string(e.at("code").as_int64());
    const auto& info = e.at("userInfo").as_object();
    if (auto* description = info.if_contains("NSLocalizedDescription"))
        text += ": " + plain(*description);
    if (auto* underlying = info.if_contains("NSUnderlyingError"); underlying && underlying->is_object())
        text += " (underlying " + errorText(*underlying) + ")";
    for (const auto& [key, value] : info)
        if (key != "NSLocalizedDescription" && key != "NSUnderlyingError")
            text += " [" + std::string(key) + "=" + plain(value) + "]";
    return text;
}

bool isLocal(const json::object& item) {
    return item.at("decorations").is_array();
}

void itemBlock(std::ostringstream& out, const json::value& value) {
    if (!value.is_object())
        return;
    const auto& item = value.get_object();
    line(out, "identifier", plain(item.at("itemIdentifier")));
    line(out, "parent", plain(item.at("parentItemIdentifier")));
    line(out, "name", plain(item.at("filename")));
    line(out, "type", plain(item.at("contentType")));
    if (!item.at("documentSize").is_null())
        line(out, "size", plain(item.at("documentSize")) + " bytes");
    line(out, "modified", date(item.at("contentModificationDate")));
    line(out, "capabilities", plain(item.at("capabilities")));
    const auto& version = item.at("itemVersion").as_object();
    line(out, "version",
         "content " + plain(version.at("contentVersion")) + ", metadata " +
             plain(version.at("metadataVersion")));
    line(out, "on this Mac",
         isLocal(item) ? "yes (" + plain(item.at("decorations").as_array().at(0)) + ")" : "no");
}

void errorLine(std::ostringstream& out, const json::object& output) {
    if (auto* error = output.if_contains("error"); error && !error->is_null())
        line(out, "error", errorText(*error));
}

void itemsTable(std::ostringstream& out, const json::array& items, const char* verb) {
    for (const auto& value : items) {
        const auto& item = value.as_object();
        bool folder = plain(item.at("contentType")) == "public.folder";
        std::string size = item.at("documentSize").is_null() ? "" : plain(item.at("documentSize")) + " B";
        out << "  " << std::left << std::setw(10) << verb << std::setw(32) << plain(item.at("itemIdentifier"))
            << std::setw(8) << (folder ? "folder" : "file") << std::setw(12) << size
            << (isLocal(item) ? "on this Mac" : "") << "\n";
    }
}

} // namespace

std::string describe(const json::object& output) {
    std::ostringstream out;
    std::string op(output.at("op").as_string());
    out << op << "\n";
    if (op == "info") {
        line(out, "extension", plain(output.at("extension")));
        line(out, "bundle", plain(output.at("bundleIdentifier")));
        for (const auto& [group, path] : output.at("containers").as_object())
            line(out, "app group", std::string(group) + " -> " + plain(path));
        const auto& domain = output.at("domain").as_object();
        line(out, "domain", plain(domain.at("identifier")) + " (" + plain(domain.at("displayName")) + ")");
    } else if (op == "list" || op == "changes") {
        for (const auto& value : output.at("calls").as_array()) {
            const auto& call = value.as_array();
            std::string name(call.at(0).as_string());
            if (name == "didEnumerateItems")
                itemsTable(out, call.at(1).as_array(), "item");
            else if (name == "didUpdateItems")
                itemsTable(out, call.at(1).as_array(), "updated");
            else if (name == "didDeleteItemsWithIdentifiers")
                for (const auto& id : call.at(1).as_array())
                    line(out, "deleted", plain(id));
            else if (name == "finishEnumeratingUpToPage")
                line(out, "complete",
                     call.at(1).is_null() ? "no further page" : "next page " + plain(call.at(1)));
            else if (name == "finishEnumeratingChangesUpToSyncAnchor")
                line(out, "new anchor", plain(call.at(1)) + (call.at(2).as_bool() ? " (more coming)" : ""));
            else if (name == "finishEnumeratingWithError")
                line(out, "error", errorText(call.at(1)));
        }
        errorLine(out, output);
    } else if (op == "anchor") {
        line(out, "anchor",
             output.contains("anchor") ? plain(output.at("anchor"))
                                       : "base64:" + plain(output.at("anchorBase64")));
        errorLine(out, output);
    } else if (op == "materializedChanged") {
        line(out, "completed", output.at("completed").as_bool() ? "yes" : "no");
    } else {
        if (auto* file = output.if_contains("file"))
            line(out, "file", plain(*file));
        if (auto* range = output.if_contains("range"))
            line(out, "range",
                 plain(range->as_array().at(0)) + " + " + plain(range->as_array().at(1)) + ", flags " +
                     plain(output.at("flags")));
        if (auto* item = output.if_contains("item"))
            itemBlock(out, *item);
        errorLine(out, output);
        if (auto* progress = output.if_contains("progress"))
            line(out, "progress", plain(progress->at("completed")) + " of " + plain(progress->at("total")));
    }
    for (const auto& signal : output.at("signals").as_array())
        line(out, "signalled", plain(signal));
    return out.str();
}

} // namespace fpctl
