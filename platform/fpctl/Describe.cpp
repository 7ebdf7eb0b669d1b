// The text fpctl shows people: the same facts as the JSON output, aligned and readable.
#include "Arguments.h"
#include "Errors.h"
#include "Fpctl.h"
#include "Terminal.h"

#include <algorithm>
#include <ctime>
#include <iomanip>
#include <sstream>

namespace fpctl {

namespace json = boost::json;

namespace {

constexpr int labelWidth = 14;
// The widest a name column gets when the text does not go to a terminal.
constexpr int nameColumnsOffTerminal = 60;

// The system's identifiers as people type them.
std::string shortName(const std::string& identifier) {
    for (const char* name : {"/", "@working-set", "@trash"})
        if (expandShortName(name) == identifier)
            return name;
    return identifier;
}

std::string plain(const json::value& value) {
    if (value.is_string())
        return escapeForTerminal(value.get_string());
    if (value.is_null())
        return "-";
    if (value.is_object() && value.get_object().contains("base64"))
        return "base64:" + std::string(value.get_object().at("base64").as_string());
    if (value.is_object() && value.get_object().contains("anchorBase64"))
        return "base64:" + std::string(value.get_object().at("anchorBase64").as_string());
    return json::serialize(value);
}

std::string identifier(const json::value& value) {
    return value.is_string() ? escapeForTerminal(shortName(std::string(value.get_string()))) : plain(value);
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

std::string size(const json::value& value) {
    if (!value.is_number())
        return "";
    double bytes = value.to_number<double>();
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    std::ostringstream out;
    if (unit == 0)
        out << static_cast<long long>(bytes) << " B";
    else
        out << std::fixed << std::setprecision(1) << bytes << " " << units[unit];
    return out.str();
}

void line(std::ostringstream& out, const std::string& label, const std::string& value) {
    out << "  " << std::left << std::setw(labelWidth) << label << value << "\n";
}

// An error, then the errors under it: its code's name, domain and code, description and other details.
void errorLines(std::ostringstream& out, const json::value& error, const std::string& label) {
    if (!error.is_object())
        return;
    const auto& e = error.get_object();
    std::string domain(e.at("domain").as_string());
    std::int64_t code = e.at("code").as_int64();
    auto name = errorName(domain, code);
    std::string text = (name ? *name + " (" : "(") + domain + " " + std::to_string(code) + ")";
    const auto& info = e.at("userInfo").as_object();
    if (auto* description = info.if_contains("NSLocalizedDescription"))
        text += ": " + plain(*description);
    for (const auto& [key, value] : info)
        if (key != "NSLocalizedDescription" && key != "NSUnderlyingError")
            text += " [" + std::string(key) + "=" + plain(value) + "]";
    line(out, label, text);
    if (auto* underlying = info.if_contains("NSUnderlyingError"))
        errorLines(out, *underlying, "because");
}

void errorAndHint(std::ostringstream& out, const json::object& output) {
    if (auto* error = output.if_contains("error"); error && !error->is_null())
        errorLines(out, *error, "error");
    if (auto* hint = output.if_contains("hint"))
        line(out, "hint", plain(*hint));
}

bool isLocal(const json::object& item) {
    return item.at("decorations").is_array();
}

void itemBlock(std::ostringstream& out, const json::value& value) {
    if (!value.is_object())
        return;
    const auto& item = value.get_object();
    line(out, "identifier", identifier(item.at("itemIdentifier")));
    line(out, "parent", identifier(item.at("parentItemIdentifier")));
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

// The rows of a listing or a change batch: what happened, the identifier, kind, size and whether it is
// on this Mac. Identifiers share one column as wide as the widest, cut in the middle where it would not
// fit.
class Rows {
public:
    void item(const char* verb, const json::object& item) {
        bool folder = plain(item.at("contentType")) == "public.folder";
        rows_.push_back({verb, identifier(item.at("itemIdentifier")), folder ? "folder" : "file",
                         size(item.at("documentSize")), isLocal(item) ? "on this Mac" : ""});
    }
    void deleted(const json::value& id) { rows_.push_back({"deleted", identifier(id), "", "", ""}); }

    void print(std::ostringstream& out, int columns) {
        if (rows_.empty())
            return;
        int widest = 0, sizeWidth = 0;
        for (const auto& row : rows_) {
            widest = std::max(widest, displayWidth(row.name));
            sizeWidth = std::max(sizeWidth, static_cast<int>(row.size.size()));
        }
        // What the other columns take: indent, verb, kind, size and the local mark, with their gaps.
        int others = 2 + 9 + 2 + 6 + 2 + sizeWidth + 2 + 11;
        int room = columns > 0 ? std::max(20, columns - others) : nameColumnsOffTerminal;
        int nameWidth = std::min(widest, room);
        for (const auto& row : rows_) {
            std::string text = "  " + fitColumns(row.verb, 9) + fitColumns(row.name, nameWidth) + "  " +
                               fitColumns(row.kind, 6) + "  " +
                               std::string(static_cast<std::size_t>(sizeWidth) - row.size.size(), ' ') +
                               row.size + "  " + row.local;
            text.erase(text.find_last_not_of(' ') + 1);
            out << text << "\n";
        }
        rows_.clear();
    }

private:
    struct Row {
        std::string verb, name, kind, size, local;
    };
    std::vector<Row> rows_;
};

void calls(std::ostringstream& out, const json::value& value, int columns) {
    if (!value.is_array())
        return;
    Rows rows;
    for (const auto& entry : value.get_array()) {
        const auto& call = entry.as_array();
        std::string name(call.at(0).as_string());
        if (name == "didEnumerateItems" || name == "didUpdateItems") {
            for (const auto& item : call.at(1).as_array())
                rows.item(name == "didEnumerateItems" ? "item" : "updated", item.as_object());
            continue;
        }
        if (name == "didDeleteItemsWithIdentifiers") {
            for (const auto& id : call.at(1).as_array())
                rows.deleted(id);
            continue;
        }
        rows.print(out, columns);
        if (name == "finishEnumeratingUpToPage")
            line(out, "complete",
                 call.at(1).is_null() ? "no further page" : "next page " + plain(call.at(1)));
        else if (name == "finishEnumeratingChangesUpToSyncAnchor")
            line(out, "new anchor", plain(call.at(1)) + (call.at(2).as_bool() ? " (more coming)" : ""));
        else if (name == "finishEnumeratingWithError")
            errorLines(out, call.at(1), "error");
    }
    rows.print(out, columns);
}

} // namespace

std::string describe(const json::object& output, int columns) {
    std::ostringstream out;
    std::string op(output.at("op").as_string());
    if (op == "watch") {
        // Rounds of a watch follow each other: one heading when it starts, then the changes as they come.
        if (!output.contains("calls") && output.contains("anchor"))
            out << "watch " << identifier(output.at("container")) << "\n"
                << "  " << std::left << std::setw(labelWidth) << "anchor"
                << (output.at("anchor").is_null() ? "none yet (is the host running?)"
                                                  : plain(output.at("anchor")))
                << "\n";
        calls(out, output.if_contains("calls") ? output.at("calls") : json::value(), columns);
        errorAndHint(out, output);
        for (const auto& signal : output.at("signals").as_array())
            line(out, "signalled", identifier(signal));
        return out.str();
    }
    out << op << "\n";
    if (op == "info") {
        line(out, "extension", plain(output.at("extension")));
        line(out, "bundle", plain(output.at("bundleIdentifier")));
        for (const auto& [group, path] : output.at("containers").as_object())
            line(out, "app group", escapeForTerminal(group) + " -> " + plain(path));
        const auto& domain = output.at("domain").as_object();
        line(out, "domain", plain(domain.at("identifier")) + " (" + plain(domain.at("displayName")) + ")");
    } else if (op == "list" || op == "changes") {
        calls(out, output.at("calls"), columns);
        errorAndHint(out, output);
    } else if (op == "anchor") {
        line(out, "anchor",
             output.contains("anchor") ? plain(output.at("anchor"))
                                       : "base64:" + plain(output.at("anchorBase64")));
        errorAndHint(out, output);
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
        if (auto* base = output.if_contains("baseVersion"); base && base->is_object())
            line(out, "base",
                 "content " + plain(base->at("contentVersion")) + ", metadata " +
                     plain(base->at("metadataVersion")));
        errorAndHint(out, output);
        if (auto* progress = output.if_contains("progress"))
            line(out, "progress", plain(progress->at("completed")) + " of " + plain(progress->at("total")));
    }
    for (const auto& signal : output.at("signals").as_array())
        line(out, "signalled", identifier(signal));
    return out.str();
}

} // namespace fpctl
