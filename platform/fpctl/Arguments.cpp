#include "Arguments.h"

#include "fileprovider/fileprovider.h"

#include <cctype>
#include <set>

namespace fpctl {

namespace json = boost::json;

const char* const usageText =
    "usage: fpctl [OPTIONS] COMMAND [ARGS...]\n"
    "       fpctl [OPTIONS] --script       one JSON command per line on standard input\n"
    "\n"
    "fpctl plays the system for one File Provider domain: it loads the extension module, makes the\n"
    "system's calls and prints what the system receives.\n"
    "\n"
    "options:\n"
    "  --extension PATH     the extension module (default: the installed one, or the build tree's)\n"
    "  --domain ID          the domain (default: org.wyvernloft.FileProvider.domain, as wl-fpdomain)\n"
    "  --display-name NAME  its display name (default: Wyvernloft)\n"
    "  --json               print each outcome as one JSON object (no progress bar)\n"
    "  --script             read commands from standard input; outcomes are JSON\n"
    "  --help, --version\n"
    "  --                   ends the options, here and after a command\n"
    "\n"
    "identifiers: / is the root container, @working-set the working set, @trash the trash; any other\n"
    "ID is an item's identifier, its path below the root (Docs/a.txt). The system's full identifiers\n"
    "work too. Scripts take identifiers exactly as given.\n"
    "\n"
    "commands:\n"
    "  info                                   the module, its manifest and the domain\n"
    "  item ID                                look an item up\n"
    "  enumerator ID                          ask for the container's enumerator\n"
    "  ls ID [--page P]                       list a container\n"
    "  anchor ID                              the container's current sync anchor\n"
    "  changes ID ANCHOR | changes ID --anchor-base64 B\n"
    "                                         the changes since ANCHOR\n"
    "  watch ID [--interval SECONDS]          follow the changes until interrupted (default every 2 s)\n"
    "  fetch ID [--out FILE [--force]]        download; --out moves the file to FILE (never over an\n"
    "                                         existing file without --force)\n"
    "  fetch-partial ID OFFSET LENGTH [--alignment N]\n"
    "  create PARENT NAME [--type UTI] [--contents FILE] [--may-exist]\n"
    "  modify ID --fields NAME[,NAME...] [--parent P] [--name N] [--type UTI] [--contents FILE]\n"
    "         [--base-content V] [--base-metadata V]\n"
    "  delete ID [--base-content V] [--base-metadata V] [--recursive]\n"
    "  materialized-changed [--page ID[,ID...]]... [--fail-on-page N]\n"
    "modify and delete send the item's current version as their base unless a base is given (an empty\n"
    "one too); modify takes the parent and name it is not given from the current item. Fields:\n"
    "  contents filename parentItemIdentifier lastUsedDate tagData favoriteRank creationDate\n"
    "  contentModificationDate fileSystemFlags extendedAttributes typeAndCreator\n"
    "\n"
    "scripts: one JSON object per line, {\"op\": OP, ...}; each prints one JSON line with \"op\",\n"
    "\"signals\" and the outcome:\n"
    "  {\"op\":\"info\"}  {\"op\":\"item\",\"id\":ID}  {\"op\":\"enumerator\",\"container\":ID}\n"
    "  {\"op\":\"list\",\"container\":ID,\"page\":P}  {\"op\":\"anchor\",\"container\":ID}\n"
    "  {\"op\":\"changes\",\"container\":ID,\"anchor\":A | \"anchorBase64\":B}\n"
    "  {\"op\":\"fetch\",\"id\":ID,\"out\":FILE,\"force\":false}\n"
    "  {\"op\":\"fetchPartial\",\"id\":ID,\"offset\":N,\"length\":N,\"alignment\":N}\n"
    "  {\"op\":\"create\",\"parent\":ID,\"filename\":NAME,\"contentType\":UTI,\"contents\":FILE,\n"
    "   \"mayAlreadyExist\":false}\n"
    "  {\"op\":\"modify\",\"item\":{\"itemIdentifier\":ID,\"parentItemIdentifier\":P,\"filename\":N,\n"
    "   \"contentType\":UTI},\"baseVersion\":{\"contentVersion\":V,\"metadataVersion\":V},\n"
    "   \"changedFields\":[NAME...],\"contents\":FILE}\n"
    "  {\"op\":\"delete\",\"id\":ID,\"baseVersion\":{...},\"recursive\":false}\n"
    "  {\"op\":\"materializedChanged\",\"pages\":[[ID...]...],\"failOnPage\":N}\n"
    "\n"
    "exit status: 0 done; 1 the extension reported an error (in argument form; a script's outcomes are\n"
    "its results) or fpctl could not run; 2 a usage error, also a script line that is not a command.\n";

namespace {

// Splits "a,b,c"; an empty text is an empty list.
json::array list(const std::string& text) {
    json::array out;
    std::size_t start = 0;
    while (start < text.size()) {
        auto comma = text.find(',', start);
        out.emplace_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

std::int64_t number(const std::string& text) {
    try {
        std::size_t used = 0;
        std::int64_t value = std::stoll(text, &used);
        if (used == text.size())
            return value;
    } catch (const std::logic_error&) {
    }
    throw UsageError("not a number: " + text);
}

double seconds(const std::string& text) {
    try {
        std::size_t used = 0;
        double value = std::stod(text, &used);
        if (used == text.size() && value > 0 && value <= 86400)
            return value;
    } catch (const std::logic_error&) {
    }
    throw UsageError("not a number of seconds: " + text);
}

// A command's shape: how many positional words, and which options take a value or none.
struct Shape {
    std::size_t fewest, most;
    std::set<std::string> valued;
    std::set<std::string> flags;
};

const std::map<std::string, Shape>& shapes() {
    static const std::map<std::string, Shape> all = {
        {"info", {0, 0, {}, {}}},
        {"item", {1, 1, {}, {}}},
        {"enumerator", {1, 1, {}, {}}},
        {"ls", {1, 1, {"--page"}, {}}},
        {"anchor", {1, 1, {}, {}}},
        {"changes", {1, 2, {"--anchor-base64"}, {}}},
        {"watch", {1, 1, {"--interval"}, {}}},
        {"fetch", {1, 1, {"--out"}, {"--force"}}},
        {"fetch-partial", {3, 3, {"--alignment"}, {}}},
        {"create", {2, 2, {"--type", "--contents"}, {"--may-exist"}}},
        {"modify",
         {1,
          1,
          {"--parent", "--name", "--type", "--contents", "--fields", "--base-content", "--base-metadata"},
          {}}},
        {"delete", {1, 1, {"--base-content", "--base-metadata"}, {"--recursive"}}},
        {"materialized-changed", {0, 0, {"--page", "--fail-on-page"}, {}}},
    };
    return all;
}

} // namespace

std::string expandShortName(const std::string& word) {
    if (word == "/")
        return fileprovider::ItemIdentifier::rootContainer().rawValue();
    if (word == "@working-set")
        return fileprovider::ItemIdentifier::workingSet().rawValue();
    if (word == "@trash")
        return fileprovider::ItemIdentifier::trashContainer().rawValue();
    return word;
}

// The registry keeps a domain under a folder of its identifier's name: the same rule keeps fpctl's
// temporary folder inside the state directory.
bool isValidDomainIdentifier(const std::string& identifier) {
    return !identifier.empty() && identifier != "." && identifier != ".." &&
           identifier.find('/') == std::string::npos && identifier.find('\0') == std::string::npos;
}

bool isSystemVersion(const std::string& text) {
    std::size_t parts = 0, at = 0;
    while (at <= text.size()) {
        std::size_t end = text.find('.', at);
        if (end == std::string::npos)
            end = text.size();
        if (end == at || end - at > 9)
            return false;
        for (std::size_t i = at; i < end; ++i)
            if (!std::isdigit(static_cast<unsigned char>(text[i])))
                return false;
        ++parts;
        at = end + 1;
    }
    return parts >= 1 && parts <= 3;
}

const std::map<std::string, std::uint64_t>& itemFieldNames() {
    using F = fileprovider::ItemFields;
    static const std::map<std::string, std::uint64_t> names = {
        {"contents", F::contents.rawValue},
        {"filename", F::filename.rawValue},
        {"parentItemIdentifier", F::parentItemIdentifier.rawValue},
        {"lastUsedDate", F::lastUsedDate.rawValue},
        {"tagData", F::tagData.rawValue},
        {"favoriteRank", F::favoriteRank.rawValue},
        {"creationDate", F::creationDate.rawValue},
        {"contentModificationDate", F::contentModificationDate.rawValue},
        {"fileSystemFlags", F::fileSystemFlags.rawValue},
        {"extendedAttributes", F::extendedAttributes.rawValue},
        {"typeAndCreator", F::typeAndCreator.rawValue},
    };
    return names;
}

std::string itemFieldList() {
    std::string out;
    for (const auto& [name, bit] : itemFieldNames())
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

json::object parseCommand(const std::vector<std::string>& words) {
    if (words.empty())
        throw UsageError("no command");
    const std::string& name = words[0];
    auto shape = shapes().find(name);
    if (shape == shapes().end())
        throw UsageError("unknown command " + name);
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;
    bool optionsEnded = false;
    for (std::size_t i = 1; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded || word.rfind("--", 0) != 0) {
            positional.push_back(word);
        } else if (word == "--") {
            optionsEnded = true;
        } else if (shape->second.flags.count(word)) {
            options[word].emplace_back();
        } else if (!shape->second.valued.count(word)) {
            throw UsageError(std::string(name).append(" has no option ").append(word));
        } else if (i + 1 < words.size()) {
            options[word].push_back(words[++i]);
        } else {
            throw UsageError(word + " needs a value");
        }
    }
    if (positional.size() < shape->second.fewest || positional.size() > shape->second.most)
        throw UsageError(
            name + " takes " +
            (shape->second.fewest == shape->second.most
                 ? std::to_string(shape->second.fewest)
                 : std::to_string(shape->second.fewest) + " or " + std::to_string(shape->second.most)) +
            " argument(s)");
    auto option = [&](const char* key) -> std::optional<std::string> {
        auto it = options.find(key);
        return it == options.end() ? std::nullopt : std::optional(it->second.back());
    };
    auto has = [&](const char* key) { return options.count(key) > 0; };
    auto id = [&](std::size_t index) { return expandShortName(positional.at(index)); };
    auto contents = [&] {
        return has("--contents") ? json::value(*option("--contents")) : json::value(nullptr);
    };
    // No base at all: the session sends the item's current version. Either part given: that base, as given.
    auto base = [&](json::object& command) {
        if (has("--base-content") || has("--base-metadata"))
            command["baseVersion"] = {{"contentVersion", option("--base-content").value_or("")},
                                      {"metadataVersion", option("--base-metadata").value_or("")}};
    };

    if (name == "info")
        return {{"op", "info"}};
    if (name == "item")
        return {{"op", "item"}, {"id", id(0)}};
    if (name == "enumerator")
        return {{"op", "enumerator"}, {"container", id(0)}};
    if (name == "anchor")
        return {{"op", "anchor"}, {"container", id(0)}};
    if (name == "ls") {
        json::object c{{"op", "list"}, {"container", id(0)}};
        if (auto page = option("--page"))
            c["page"] = *page;
        return c;
    }
    if (name == "changes") {
        auto encoded = option("--anchor-base64");
        if (encoded.has_value() == (positional.size() == 2))
            throw UsageError("changes takes an ANCHOR or --anchor-base64, one of them");
        if (encoded)
            return {{"op", "changes"}, {"container", id(0)}, {"anchorBase64", *encoded}};
        return {{"op", "changes"}, {"container", id(0)}, {"anchor", positional[1]}};
    }
    if (name == "watch")
        return {
            {"op", "watch"}, {"container", id(0)}, {"interval", seconds(option("--interval").value_or("2"))}};
    if (name == "fetch") {
        json::object c{{"op", "fetch"}, {"id", id(0)}};
        if (auto out = option("--out"))
            c["out"] = *out;
        else if (has("--force"))
            throw UsageError("--force goes with --out");
        if (has("--force"))
            c["force"] = true;
        return c;
    }
    if (name == "fetch-partial")
        return {{"op", "fetchPartial"},
                {"id", id(0)},
                {"offset", number(positional[1])},
                {"length", number(positional[2])},
                {"alignment", number(option("--alignment").value_or("1"))}};
    if (name == "create")
        return {{"op", "create"},
                {"parent", id(0)},
                {"filename", positional[1]},
                {"contentType", option("--type").value_or("public.data")},
                {"contents", contents()},
                {"mayAlreadyExist", has("--may-exist")}};
    if (name == "modify") {
        auto fields = option("--fields");
        if (!fields)
            throw UsageError("modify needs --fields (" + itemFieldList() + ")");
        json::array changed = list(*fields);
        for (const auto& field : changed)
            if (!itemFieldNames().count(std::string(field.as_string())))
                throw UsageError("unknown field \"" + std::string(field.as_string()) +
                                 "\"; the fields are: " + itemFieldList());
        json::object item{{"itemIdentifier", id(0)}};
        if (auto parent = option("--parent"))
            item["parentItemIdentifier"] = expandShortName(*parent);
        if (auto filename = option("--name"))
            item["filename"] = *filename;
        if (auto type = option("--type"))
            item["contentType"] = *type;
        json::object c{{"op", "modify"},
                       {"item", std::move(item)},
                       {"changedFields", std::move(changed)},
                       {"contents", contents()}};
        base(c);
        return c;
    }
    if (name == "delete") {
        json::object c{{"op", "delete"}, {"id", id(0)}, {"recursive", has("--recursive")}};
        base(c);
        return c;
    }
    // materialized-changed
    json::array pages;
    for (const auto& page : options["--page"])
        pages.push_back(list(page));
    json::object c{{"op", "materializedChanged"}, {"pages", std::move(pages)}};
    if (auto fail = option("--fail-on-page"))
        c["failOnPage"] = number(*fail);
    return c;
}

Invocation parseArguments(const std::vector<std::string>& arguments) {
    Invocation invocation;
    std::vector<std::string> words;
    std::size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word == "--extension" || word == "--domain" || word == "--display-name") {
            if (i + 1 >= arguments.size())
                throw UsageError(word + " needs a value");
            const std::string& value = arguments[++i];
            if (word == "--extension")
                invocation.extension = value;
            else if (word == "--domain")
                invocation.domain = value;
            else
                invocation.displayName = value;
        } else if (word == "--json") {
            invocation.json = true;
        } else if (word == "--script") {
            invocation.script = true;
        } else if (word == "--help" || word == "-h") {
            invocation.help = true;
        } else if (word == "--version") {
            invocation.version = true;
        } else if (word == "--") {
            ++i;
            break;
        } else if (word.size() > 1 && word[0] == '-') {
            throw UsageError("unknown option " + word);
        } else {
            break;
        }
    }
    words.assign(arguments.begin() + static_cast<std::ptrdiff_t>(i), arguments.end());
    if (invocation.help || invocation.version)
        return invocation;
    if (!isValidDomainIdentifier(invocation.domain))
        throw UsageError("\"" + invocation.domain +
                         "\" is not a valid domain identifier (one path component)");
    if (invocation.script) {
        if (!words.empty())
            throw UsageError("--script takes its commands from standard input");
        return invocation;
    }
    invocation.command = parseCommand(words);
    return invocation;
}

} // namespace fpctl
