#include "ExtensionPass.h"
#include "HostCheck.h"

#include "foundation/Files.h"
#include "system/ExtensionLoader.h"

#include <chrono>
#include <fnmatch.h>
#include <ostream>
#include <unistd.h>

namespace wl::hostcheck {

namespace fs = std::filesystem;
namespace json = boost::json;

const char* usage =
    "usage: wl-hostcheck [--group ID | --connection FILE] [--root DIR] [--scratch NAME] [--only PATTERN]\n"
    "                    [--json] [--keep]\n"
    "       wl-hostcheck --list\n"
    "Checks the host application found through the connection file against what the File Provider\n"
    "extension relies on, and prints each check with what was sent, what came back and what was expected.\n"
    "  --group ID         the app group whose container holds fphost.json (default: the extension's)\n"
    "  --connection FILE  the connection file itself\n"
    "  --root DIR         the folder the host serves, on this machine: also check what only the disk shows\n"
    "  --scratch NAME     the scratch folder to make at the host's root (default: a new hidden name)\n"
    "  --only PATTERN     run only the checks whose names match (globs, separated by commas)\n"
    "  --json             one JSON document on standard output instead of the table\n"
    "  --keep             leave the scratch folder in place at the end\n"
    "  --list             list the checks and exit\n"
    "It writes, moves and deletes nothing outside the scratch folder, which it makes (it must not exist)\n"
    "and removes at the end; with --root, it changes the disk only inside it, and keeps the targets of its\n"
    "symbolic-link probes in a temporary folder of its own. Exit status: 0 when every required check\n"
    "passed, 1 when one did not, 2 when the run could not start.\n";

Options parseOptions(const std::vector<std::string>& arguments) {
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= arguments.size())
                throw UsageError(option + " needs a value");
            return arguments[++i];
        };
        if (option == "--json")
            options.json = true;
        else if (option == "--keep")
            options.keep = true;
        else if (option == "--list")
            options.list = true;
        else if (option == "--help" || option == "-h")
            options.help = true;
        else if (option == "--group")
            options.group = value();
        else if (option == "--connection")
            options.connection = value();
        else if (option == "--root")
            options.root = value();
        else if (option == "--scratch")
            options.scratch = value();
        else if (option == "--only") {
            std::string patterns = value();
            std::size_t start = 0;
            while (start <= patterns.size()) {
                auto comma = patterns.find(',', start);
                std::string pattern =
                    patterns.substr(start, comma == std::string::npos ? comma : comma - start);
                if (!pattern.empty())
                    options.only.push_back(pattern);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else
            throw UsageError("unknown option " + option);
    }
    if (options.group && options.connection)
        throw UsageError("--group and --connection cannot go together");
    if (options.scratch && (options.scratch->empty() || options.scratch->find('/') != std::string::npos ||
                            *options.scratch == "." || *options.scratch == ".." ||
                            options.scratch->find('\0') != std::string::npos))
        throw UsageError("--scratch must be one name, without \"/\"");
    return options;
}

bool selected(const std::string& name, const std::vector<std::string>& patterns) {
    if (patterns.empty())
        return true;
    for (const auto& pattern : patterns)
        if (::fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
            return true;
    return false;
}

namespace {

std::string randomName() {
    std::string uuid = foundation::uuidString();
    std::string out = ".wl-hostcheck-";
    for (char c : uuid.substr(0, 8))
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::optional<std::string> connectionPath(const Options& options, fs::path& file) {
    if (options.connection) {
        file = *options.connection;
        return std::nullopt;
    }
    std::string group;
    if (options.group) {
        group = *options.group;
    } else {
        std::string why;
        auto manifest = fpsystem::readManifest(fpsystem::defaultExtensionModule(), why);
        if (!manifest || manifest->applicationGroups.empty())
            return "cannot tell the extension's app group (" + why +
                   "): name it with --group, or give --connection";
        group = manifest->applicationGroups.front();
    }
    auto container = foundation::appGroupContainer(group);
    if (!container)
        return "no app-group container for " + group;
    file = *container / "fphost.json";
    return std::nullopt;
}

bool isInside(const fs::path& path, const fs::path& top) {
    std::error_code ec;
    fs::path a = fs::weakly_canonical(path, ec), b = fs::weakly_canonical(top, ec);
    auto mismatch = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    return mismatch.first == b.end();
}

// Removes the scratch folder: one recursive delete with the anchor of a fresh listing, else item by
// item, deepest first. What became of it, in words.
std::string removeScratch(Context& ctx) {
    const std::string& scratch = ctx.host.scratch();
    try {
        Listing listing = ctx.list(scratch);
        Exchange removed = ctx.removeRecursively(scratch, listing.anchor.value_or(0));
        if (removed.status == 200 && !ctx.lookup(scratch))
            return "removed";
        Exchange all = ctx.host.get("/v1/all");
        auto body = all.object();
        std::vector<json::object> items;
        if (const json::value* list = body ? body->if_contains("items") : nullptr; list && list->is_array())
            for (const auto& item : list->get_array())
                if (item.is_object() && text(item.get_object(), "identifier").rfind(scratch + "/", 0) == 0)
                    items.push_back(item.get_object());
        std::sort(items.begin(), items.end(), [](const json::object& a, const json::object& b) {
            return text(a, "identifier").size() > text(b, "identifier").size();
        });
        for (const auto& item : items) {
            std::string id = text(item, "identifier");
            if (isDir(item))
                ctx.host.remove({{"path", id}, {"dir", "1"}});
            else
                ctx.removeFile(id, text(item, "contentVersion"));
        }
        ctx.host.remove({{"path", scratch}, {"dir", "1"}});
        if (!ctx.lookup(scratch))
            return "removed";
        return "could not be removed (" + removed.sentText() + " got " + removed.gotText() + ")";
    } catch (const Unready& unready) {
        return "could not be removed (" + unready.sent + " got " + unready.got + ")";
    }
}

} // namespace

int run(const Options& options, std::ostream& out, std::ostream& err) {
    if (options.help) {
        out << usage;
        return 0;
    }
    std::vector<const Check*> checks;
    for (const auto& check : allChecks())
        if (selected(check.name, options.only))
            checks.push_back(&check);
    if (options.list) {
        for (const auto* check : checks)
            out << check->name << "\t" << levelName(check->level) << "\t" << check->description << "\n";
        return 0;
    }
    if (checks.empty()) {
        err << "wl-hostcheck: no check matches --only\n";
        return 2;
    }
    auto needs = [&](Check::Needs what) {
        return std::any_of(checks.begin(), checks.end(), [&](const Check* c) { return c->needs == what; });
    };

    Settings settings;
    if (auto why = connectionPath(options, settings.connectionFile)) {
        err << "wl-hostcheck: " << *why << "\n";
        return 2;
    }
    if (options.root) {
        std::error_code ec;
        if (!fs::is_directory(*options.root, ec)) {
            err << "wl-hostcheck: --root " << options.root->string() << " is not a folder\n";
            return 2;
        }
        settings.root = fs::absolute(*options.root);
    }
    std::string work = (foundation::temporaryDirectory() / "wl-hostcheck-XXXXXX").string();
    if (!::mkdtemp(work.data())) {
        err << "wl-hostcheck: cannot make a temporary folder in " << foundation::temporaryDirectory() << "\n";
        return 2;
    }
    settings.work = work;
    if (settings.root && isInside(settings.work, *settings.root)) {
        err << "wl-hostcheck: the temporary folder " << work << " lies inside the host's root; set TMPDIR\n";
        fs::remove_all(settings.work);
        return 2;
    }
    // Before any thread starts: the pass changes the environment the extension reads.
    if (needs(Check::Needs::extension))
        settings.extensionUnavailable = ExtensionPass::prepare(settings.work, settings.connectionFile);

    Report report;
    report.connectionFile = settings.connectionFile.string();
    report.scratch = options.scratch.value_or(randomName());
    report.cleanup = "not made";
    std::string why;
    auto connection = readConnection(settings.connectionFile, why);
    Client client(connection.value_or(Connection{}), report.scratch);
    report.host = connection ? "127.0.0.1:" + std::to_string(connection->port) : "(unknown)";
    int code = 0;
    {
        Context ctx(client, settings);
        std::optional<Unready> blockedAll, blockedScratch, blockedDisk;
        std::optional<Exchange> unanswered;
        if (!connection) {
            blockedAll = Unready{"no usable connection file", "", ""};
        } else if (Exchange probe = client.get("/v1/anchor"); !probe.answered()) {
            blockedAll = Unready{"the host does not answer", probe.sentText(), probe.gotText()};
            unanswered = probe;
        }
        bool scratchNeeded =
            needs(Check::Needs::scratch) || needs(Check::Needs::disk) || needs(Check::Needs::extension);
        if (!blockedAll && scratchNeeded) {
            Exchange existing = client.get("/v1/item", {{"id", report.scratch}});
            if (existing.status == 200) {
                err << "wl-hostcheck: " << report.scratch
                    << " already exists at the host's root; name another with --scratch\n";
                fs::remove_all(settings.work);
                return 2;
            }
            Exchange made = client.folder(report.scratch);
            bool there = answeredItem(made) || client.get("/v1/item", {{"id", report.scratch}}).status == 200;
            if (there)
                report.cleanup = options.keep ? "kept" : "removed";
            if (!answeredItem(made)) {
                blockedScratch =
                    Unready{"could not make the scratch folder", made.sentText(), made.gotText()};
            } else {
                std::error_code ec;
                if (settings.root && !fs::is_directory(*settings.root / report.scratch, ec))
                    blockedDisk = Unready{"the scratch folder is not in " + settings.root->string() +
                                              ": is --root the folder the host serves?",
                                          "", ""};
            }
        }
        for (const Check* check : checks) {
            Result result;
            result.check = check;
            ctx.begin(*check);
            std::optional<Unready> blocked;
            if (check->needs != Check::Needs::file)
                blocked = blockedAll;
            bool scratchCheck = check->needs != Check::Needs::host && check->needs != Check::Needs::file;
            if (!blocked && scratchCheck)
                blocked = blockedScratch;
            if (!blocked && check->needs == Check::Needs::disk)
                blocked = blockedDisk;
            if (check->needs == Check::Needs::disk && !settings.root) {
                result.status = Status::skipped;
                result.note = "needs --root";
            } else if (check->name == "connection.reachable" && unanswered) {
                result.status = Status::fail;
                result.sent = unanswered->sentText();
                result.got = unanswered->gotText();
                result.expected = "an HTTP answer on 127.0.0.1 at the connection file's port";
            } else if (check->name == "connection.file" && !connection) {
                result.status = Status::fail;
                result.sent = "read " + settings.connectionFile.string();
                result.got = why;
                result.expected = "a JSON object with a whole-number \"port\" and a string \"token\"";
            } else if (blocked) {
                result.status = Status::blocked;
                result.sent = blocked->sent;
                result.got = blocked->got;
                result.expected = blocked->why;
            } else {
                auto started = std::chrono::steady_clock::now();
                try {
                    check->run(ctx);
                    result.status = check->level == Level::informational ? Status::info : Status::pass;
                } catch (const Departure& departure) {
                    result.status = Status::fail;
                    result.sent = departure.sent;
                    result.got = departure.got;
                    result.expected = departure.expected;
                } catch (const Unready& unready) {
                    result.status = Status::blocked;
                    result.sent = unready.sent;
                    result.got = unready.got;
                    result.expected = unready.why;
                } catch (const std::exception& failure) {
                    result.status = Status::blocked;
                    result.expected = std::string("wl-hostcheck stopped the check: ") + failure.what();
                }
                result.note = ctx.takeNote();
                result.seconds =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            }
            report.results.push_back(std::move(result));
        }
        if (report.cleanup == "removed")
            report.cleanup = removeScratch(ctx);
    }
    std::error_code ec;
    fs::remove_all(settings.work, ec);
    if (options.json)
        printJSON(report, out);
    else
        printTable(report, out,
                   ::isatty(STDOUT_FILENO) && !std::getenv("NO_COLOR") &&
                       std::string(std::getenv("TERM") ? std::getenv("TERM") : "dumb") != "dumb");
    code = report.passed() ? 0 : 1;
    return code;
}

} // namespace wl::hostcheck
