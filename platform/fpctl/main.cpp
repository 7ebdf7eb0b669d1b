// fpctl: the system's command-line front end. It loads an extension module as the system does and
// makes the system's calls for one domain, printing what the system receives.
#include "Fpctl.h"

#include <iostream>
#include <map>
#include <set>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

const char* usage =
    "usage: fpctl [--extension PATH] [--domain ID] [--display-name NAME] [--json] COMMAND [ARGS...]\n"
    "       fpctl [options] --script      (one JSON command per line on standard input)\n"
    "commands:\n"
    "  info\n"
    "  item ID\n"
    "  enumerator ID\n"
    "  ls ID [--page P]\n"
    "  anchor ID\n"
    "  changes ID ANCHOR | changes ID --anchor-base64 B\n"
    "  fetch ID [--out FILE]\n"
    "  fetch-partial ID OFFSET LENGTH [--alignment N]\n"
    "  create PARENT NAME [--type UTI] [--contents FILE] [--may-exist]\n"
    "  modify ID --parent P --name N [--type UTI] [--contents FILE] [--base-content V] [--base-metadata V]\n"
    "         --fields NAME[,NAME...]\n"
    "  delete ID [--base-content V] [--base-metadata V] [--recursive]\n"
    "  materialized-changed [--page ID[,ID...]]... [--fail-on-page N]\n";

struct UsageError : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

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

// The script form of a command given as arguments.
json::object command(const std::vector<std::string>& words) {
    if (words.empty())
        throw UsageError("no command");
    const std::string& name = words[0];
    std::vector<std::string> positional;
    std::map<std::string, std::vector<std::string>> options;
    static const std::set<std::string> flags = {"--may-exist", "--recursive"};
    for (std::size_t i = 1; i < words.size(); ++i) {
        if (words[i].rfind("--", 0) == 0) {
            if (flags.count(words[i])) {
                options[words[i]].push_back("");
            } else if (i + 1 < words.size()) {
                options[words[i]].push_back(words[i + 1]);
                ++i;
            } else {
                throw UsageError(words[i] + " needs a value");
            }
        } else {
            positional.push_back(words[i]);
        }
    }
    auto option = [&](const char* key) -> std::optional<std::string> {
        auto it = options.find(key);
        return it == options.end() ? std::nullopt : std::optional(it->second.back());
    };
    auto need = [&](std::size_t count) {
        if (positional.size() != count)
            throw UsageError(name + " takes " + std::to_string(count) + " argument(s)");
    };
    auto version = [&] {
        return json::object{{"contentVersion", option("--base-content").value_or("")},
                            {"metadataVersion", option("--base-metadata").value_or("")}};
    };
    auto number = [&](const std::string& text) -> std::int64_t {
        try {
            std::size_t used = 0;
            std::int64_t value = std::stoll(text, &used);
            if (used != text.size())
                throw UsageError("not a number: " + text);
            return value;
        } catch (const std::logic_error&) {
            throw UsageError("not a number: " + text);
        }
    };
    if (name == "info") {
        need(0);
        return {{"op", "info"}};
    }
    if (name == "item") {
        need(1);
        return {{"op", "item"}, {"id", positional[0]}};
    }
    if (name == "enumerator") {
        need(1);
        return {{"op", "enumerator"}, {"container", positional[0]}};
    }
    if (name == "ls") {
        need(1);
        json::object c{{"op", "list"}, {"container", positional[0]}};
        if (auto page = option("--page"))
            c["page"] = *page;
        return c;
    }
    if (name == "anchor") {
        need(1);
        return {{"op", "anchor"}, {"container", positional[0]}};
    }
    if (name == "changes") {
        if (auto encoded = option("--anchor-base64")) {
            need(1);
            return {{"op", "changes"}, {"container", positional[0]}, {"anchorBase64", *encoded}};
        }
        need(2);
        return {{"op", "changes"}, {"container", positional[0]}, {"anchor", positional[1]}};
    }
    if (name == "fetch") {
        need(1);
        json::object c{{"op", "fetch"}, {"id", positional[0]}};
        if (auto out = option("--out"))
            c["out"] = *out;
        return c;
    }
    if (name == "fetch-partial") {
        need(3);
        return {{"op", "fetchPartial"},
                {"id", positional[0]},
                {"offset", number(positional[1])},
                {"length", number(positional[2])},
                {"alignment", number(option("--alignment").value_or("1"))}};
    }
    if (name == "create") {
        need(2);
        auto contents = option("--contents");
        return {{"op", "create"},
                {"parent", positional[0]},
                {"filename", positional[1]},
                {"contentType", option("--type").value_or("public.data")},
                {"contents", contents ? json::value(*contents) : json::value(nullptr)},
                {"mayAlreadyExist", options.count("--may-exist") > 0}};
    }
    if (name == "modify") {
        need(1);
        auto parent = option("--parent");
        auto filename = option("--name");
        auto fields = option("--fields");
        if (!parent || !filename || !fields)
            throw UsageError("modify needs --parent, --name and --fields");
        json::object item{
            {"itemIdentifier", positional[0]}, {"parentItemIdentifier", *parent}, {"filename", *filename}};
        if (auto type = option("--type"))
            item["contentType"] = *type;
        auto contents = option("--contents");
        return {{"op", "modify"},
                {"item", std::move(item)},
                {"baseVersion", version()},
                {"changedFields", list(*fields)},
                {"contents", contents ? json::value(*contents) : json::value(nullptr)}};
    }
    if (name == "delete") {
        need(1);
        return {{"op", "delete"},
                {"id", positional[0]},
                {"baseVersion", version()},
                {"recursive", options.count("--recursive") > 0}};
    }
    if (name == "materialized-changed") {
        need(0);
        json::array pages;
        for (const auto& page : options["--page"])
            pages.push_back(list(page));
        json::object c{{"op", "materializedChanged"}, {"pages", std::move(pages)}};
        if (auto fail = option("--fail-on-page"))
            c["failOnPage"] = number(*fail);
        return c;
    }
    throw UsageError("unknown command " + name);
}

void print(const fpctl::Output& output, bool asJSON) {
    if (asJSON)
        std::cout << json::serialize(output.json) << std::endl;
    else
        std::cout << output.text << std::flush;
}

} // namespace

int main(int argc, char** argv) {
    std::optional<fs::path> extension;
    std::string domain = "default";
    std::optional<std::string> displayName;
    bool asJSON = false, script = false;
    std::vector<std::string> words;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string word = argv[i];
            bool global = words.empty();
            if (global && (word == "--extension" || word == "--domain" || word == "--display-name")) {
                if (i + 1 >= argc)
                    throw UsageError(word + " needs a value");
                std::string value = argv[++i];
                if (word == "--extension")
                    extension = value;
                else if (word == "--domain")
                    domain = value;
                else
                    displayName = value;
            } else if (global && word == "--json") {
                asJSON = true;
            } else if (global && word == "--script") {
                script = true;
            } else if (global && (word == "--help" || word == "-h")) {
                std::cout << usage;
                return 0;
            } else {
                words.push_back(word);
            }
        }
        if (script && !words.empty())
            throw UsageError("--script takes its commands from standard input");
        std::optional<json::object> single;
        if (!script)
            single = command(words); // a usage error comes before anything is loaded
        std::string why;
        auto loaded = fpsystem::loadExtension(extension.value_or(fpsystem::defaultExtensionModule()), why);
        if (!loaded) {
            std::cerr << "fpctl: " << why << "\n";
            return 1;
        }
        fpctl::Session session(std::move(loaded), fileprovider::Domain(domain, displayName.value_or(domain)));
        if (single) {
            print(session.run(*single), asJSON);
            return 0;
        }
        std::string line;
        int number = 0;
        while (std::getline(std::cin, line)) {
            ++number;
            if (line.find_first_not_of(" \t\r") == std::string::npos)
                continue;
            json::error_code ec;
            json::value parsed = json::parse(line, ec);
            if (ec || !parsed.is_object()) {
                std::cerr << "fpctl: line " << number << ": not a JSON object\n";
                return 2;
            }
            try {
                print(session.run(parsed.get_object()), true);
            } catch (const std::invalid_argument& bad) {
                std::cerr << "fpctl: line " << number << ": " << bad.what() << "\n";
                return 2;
            }
        }
        return 0;
    } catch (const std::invalid_argument& bad) {
        std::cerr << "fpctl: " << bad.what() << "\n" << usage;
        return 2;
    } catch (const std::exception& failure) {
        std::cerr << "fpctl: " << failure.what() << "\n";
        return 1;
    }
}
