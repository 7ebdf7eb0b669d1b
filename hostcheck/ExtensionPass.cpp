#include "ExtensionPass.h"

#include "foundation/Files.h"
#include "fpctl/Fpctl.h"
#include "system/ExtensionLoader.h"

#include <cstdlib>
#include <fstream>

namespace wl::hostcheck {

namespace json = boost::json;
namespace fs = std::filesystem;

namespace {

constexpr const char* workingSet = "NSFileProviderWorkingSetContainerItemIdentifier";

std::string string(const json::value* value) {
    return value && value->is_string() ? std::string(value->get_string()) : std::string();
}

std::string errorText(const json::value& error) {
    if (!error.is_object())
        return "no error";
    const json::object& e = error.get_object();
    std::string out = "error " + string(e.if_contains("domain")) + " " + json::serialize(e.at("code"));
    if (const json::value* info = e.if_contains("userInfo");
        info && info->is_object() && !info->get_object().empty())
        out += " " + json::serialize(*info);
    return out;
}

// What a call of the system received, in a line.
std::string received(const json::object& output) {
    std::string out;
    if (const json::value* calls = output.if_contains("calls"); calls && calls->is_array()) {
        for (const auto& call : calls->get_array()) {
            const json::array& c = call.get_array();
            out += (out.empty() ? "" : ", ") + string(&c.at(0));
            if (c.size() > 1 && c.at(1).is_array()) {
                std::string ids;
                for (const auto& element : c.at(1).get_array())
                    ids += (ids.empty() ? "" : " ") +
                           json::serialize(element.is_object() ? element.get_object().at("itemIdentifier")
                                                               : element);
                out += "(" + ids + ")";
            } else if (c.size() > 1) {
                out += "(" + (c.at(1).is_object() ? errorText(c.at(1)) : json::serialize(c.at(1))) + ")";
            }
        }
        return out.size() > 600 ? out.substr(0, 600) + "..." : out;
    }
    if (const json::value* item = output.if_contains("item"); item && item->is_object())
        out = "item " + json::serialize(item->get_object().at("itemIdentifier")) + " at content version " +
              json::serialize(item->get_object().at("itemVersion").as_object().at("contentVersion")) + ", ";
    if (const json::value* error = output.if_contains("error"))
        out += errorText(*error);
    return out;
}

// The identifiers delivered by the didEnumerateItems / didUpdateItems / didDeleteItemsWithIdentifiers calls.
std::set<std::string> delivered(const json::object& output, const char* call) {
    std::set<std::string> out;
    const json::value* calls = output.if_contains("calls");
    if (!calls || !calls->is_array())
        return out;
    for (const auto& c : calls->get_array())
        if (string(&c.get_array().at(0)) == call)
            for (const auto& element : c.get_array().at(1).get_array())
                out.insert(string(element.is_object() ? element.get_object().if_contains("itemIdentifier")
                                                      : &element));
    return out;
}

// The anchor of the finishing call of a change enumeration, or none when it ended otherwise.
std::optional<std::string> finishedAt(const json::object& output) {
    const json::value* calls = output.if_contains("calls");
    if (!calls || !calls->is_array() || calls->get_array().empty())
        return std::nullopt;
    const json::array& last = calls->get_array().back().get_array();
    if (string(&last.at(0)) != "finishEnumeratingChangesUpToSyncAnchor" || !last.at(1).is_string())
        return std::nullopt;
    return std::string(last.at(1).get_string());
}

bool listed(const json::object& output) {
    const json::value* calls = output.if_contains("calls");
    return calls && calls->is_array() && !calls->get_array().empty() &&
           string(&calls->get_array().back().get_array().at(0)) == "finishEnumeratingUpToPage";
}

json::object itemOf(const json::object& output) {
    const json::value* item = output.if_contains("item");
    return item && item->is_object() ? item->get_object() : json::object{};
}

bool succeeded(const json::object& output) {
    const json::value* error = output.if_contains("error");
    return !error || error->is_null();
}

json::object baseOf(const json::object& item) {
    const json::value* version = item.if_contains("itemVersion");
    return version && version->is_object() ? version->get_object() : json::object{};
}

json::object modify(const json::object& item, const std::string& parent, const std::string& name,
                    json::array fields, const std::optional<fs::path>& contents) {
    return {{"op", "modify"},
            {"item",
             {{"itemIdentifier", item.at("itemIdentifier")},
              {"parentItemIdentifier", parent},
              {"filename", name},
              {"contentType", item.at("contentType")}}},
            {"baseVersion", baseOf(item)},
            {"changedFields", std::move(fields)},
            {"contents", contents ? json::value(contents->string()) : json::value(nullptr)}};
}

} // namespace

ExtensionPass::ExtensionPass(Context& ctx) : ctx_(ctx) {}
ExtensionPass::~ExtensionPass() = default;

std::optional<std::string> ExtensionPass::prepare(const fs::path& work, const fs::path& connectionFile) {
    std::string why;
    auto manifest = fpsystem::readManifest(fpsystem::defaultExtensionModule(), why);
    if (!manifest)
        return why;
    auto connection = foundation::readFile(connectionFile);
    if (!connection)
        return "cannot read " + connectionFile.string();
    fs::path groups = work / "extension app groups";
    for (const auto& group : manifest->applicationGroups) {
        std::error_code ec;
        fs::create_directories(groups / group, ec);
        if (auto error = foundation::writeAtomically(groups / group / "fphost.json", *connection))
            return error->localizedDescription();
    }
    ::setenv("FP_APP_GROUPS_DIR", groups.c_str(), 1);
    ::setenv("FP_STATE_DIR", (work / "extension state").c_str(), 1);
    return std::nullopt;
}

json::object ExtensionPass::run(const json::object& command) {
    try {
        return session_->run(command);
    } catch (const std::exception& failure) {
        throw Unready{std::string("fpctl could not run the command: ") + failure.what(),
                      json::serialize(command), ""};
    }
}

template <typename F> void ExtensionPass::step(const std::string& name, F&& body) {
    Outcome outcome;
    try {
        body();
    } catch (const Departure& departure) {
        outcome.departure = departure;
    } catch (const Unready& unready) {
        outcome.unready = unready;
    }
    outcomes_[name] = outcome;
}

void ExtensionPass::report(const std::string& name) {
    if (!ran_) {
        ran_ = true;
        try {
            runAll();
        } catch (const Unready& unready) {
            for (const auto& check : allChecks())
                if (check.needs == Check::Needs::extension && !outcomes_.count(check.name))
                    outcomes_[check.name].unready = unready;
        }
    }
    auto it = outcomes_.find(name);
    if (it == outcomes_.end())
        throw Unready{"the end-to-end pass stopped before this step", "", ""};
    if (it->second.departure)
        throw *it->second.departure;
    if (it->second.unready)
        throw *it->second.unready;
}

void ExtensionPass::runAll() {
    auto blockAll = [&](const Unready& why) {
        for (const auto& check : allChecks())
            if (check.needs == Check::Needs::extension)
                outcomes_[check.name].unready = why;
    };
    if (ctx_.settings.extensionUnavailable) {
        blockAll({"the extension cannot run here: " + *ctx_.settings.extensionUnavailable, "", ""});
        return;
    }
    std::string why;
    fs::path module = fpsystem::defaultExtensionModule();
    auto loaded = fpsystem::loadExtension(module, why);
    if (!loaded) {
        blockAll({"cannot load the extension " + module.string() + ": " + why, "", ""});
        return;
    }
    session_ = std::make_unique<fpctl::Session>(
        std::move(loaded), fileprovider::Domain{"org.wyvernloft.hostcheck", "wl-hostcheck"});
    const std::string area = ctx_.host.scratch() + "/e2e";
    fs::path files = ctx_.settings.work / "extension files";
    fs::create_directories(files);
    auto local = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(files / name, std::ios::binary | std::ios::trunc) << bytes;
        return files / name;
    };
    try {
        ctx_.folder(area);
        ctx_.upload(area + "/hello.txt", "hello from the host");
    } catch (const Unready& unready) {
        blockAll(unready);
        return;
    }
    auto passed = [&](const char* name) {
        if (outcomes_[name].departure || outcomes_[name].unready)
            throw Unready{std::string("needs ") + name + " to pass", "", ""};
    };
    auto expect = [](bool holds, const std::string& sent, const json::object& output, std::string expected) {
        if (!holds)
            throw Departure{sent, received(output), std::move(expected)};
    };
    auto onHost = [&](const std::string& id) -> std::optional<std::string> {
        Exchange got = ctx_.host.get("/v1/content", {{"path", id}});
        return got.status == 200 ? std::optional(got.body) : std::nullopt;
    };
    std::string start = string(run({{"op", "anchor"}, {"container", workingSet}}).if_contains("anchor"));

    step("e2e.list", [&] {
        auto root = run({{"op", "list"}, {"container", rootIdentifier}});
        expect(listed(root) && delivered(root, "didEnumerateItems").count(ctx_.host.scratch()),
               "enumerateItems of the root", root, "the scratch folder among the items, then the page's end");
        auto folder = run({{"op", "list"}, {"container", area}});
        expect(listed(folder) && delivered(folder, "didEnumerateItems").count(area + "/hello.txt"),
               "enumerateItems of \"" + area + "\"", folder, "\"" + area + "/hello.txt\" among the items");
    });
    step("e2e.fetch", [&] {
        auto out = run({{"op", "fetch"}, {"id", area + "/hello.txt"}});
        auto file = string(out.if_contains("file"));
        expect(succeeded(out) && !file.empty() && foundation::readFile(file) == "hello from the host",
               "fetchContents of \"" + area + "/hello.txt\"", out, "the file's bytes and its item, no error");
    });
    json::object made, edited, renamed;
    const std::string name = "made by the system.txt", newName = "renamed by the system.txt";
    step("e2e.create", [&] {
        auto out = run({{"op", "create"},
                        {"parent", area},
                        {"filename", name},
                        {"contentType", "public.data"},
                        {"contents", local("made", "made through the extension").string()},
                        {"mayAlreadyExist", false}});
        made = itemOf(out);
        expect(succeeded(out) && string(made.if_contains("itemIdentifier")) == area + "/" + name &&
                   onHost(area + "/" + name) == "made through the extension",
               "createItem \"" + name + "\" in \"" + area + "\" with 26 bytes", out,
               "the new item, no error, and the bytes on the host");
    });
    step("e2e.edit", [&] {
        passed("e2e.create");
        auto out =
            run(modify(made, area, name, {"contents"}, local("edited", "edited through the extension")));
        edited = itemOf(out);
        expect(succeeded(out) && onHost(area + "/" + name) == "edited through the extension" &&
                   ctx_.list(area).items.size() == 2,
               "modifyItem \"" + area + "/" + name + "\" with new contents against its version", out,
               "no error, the new bytes on the host, no conflict copy beside it");
    });
    step("e2e.rename", [&] {
        passed("e2e.edit");
        auto out = run(modify(edited, area, newName, {"filename"}, std::nullopt));
        renamed = itemOf(out);
        expect(succeeded(out) && string(renamed.if_contains("itemIdentifier")) == area + "/" + newName &&
                   !onHost(area + "/" + name) &&
                   onHost(area + "/" + newName) == "edited through the extension",
               "modifyItem \"" + area + "/" + name + "\" renamed to \"" + newName + "\"", out,
               "the item under its new identifier, the file moved on the host");
    });
    std::optional<std::string> afterRename;
    step("e2e.changes", [&] {
        passed("e2e.rename");
        auto out = run({{"op", "changes"}, {"container", workingSet}, {"anchor", start}});
        afterRename = finishedAt(out);
        expect(afterRename && delivered(out, "didUpdateItems").count(area + "/" + newName) &&
                   delivered(out, "didDeleteItemsWithIdentifiers").count(area + "/" + name),
               "enumerateChanges of the working set from " + start, out,
               "the renamed item updated, its old identifier deleted, then the new anchor");
    });
    step("e2e.delete", [&] {
        passed("e2e.rename");
        auto out = run({{"op", "delete"}, {"id", area + "/" + newName}, {"baseVersion", baseOf(renamed)}});
        expect(succeeded(out) && !onHost(area + "/" + newName), "deleteItem \"" + area + "/" + newName + "\"",
               out, "no error, and the file gone from the host");
    });
    if (afterRename && !outcomes_["e2e.delete"].departure && !outcomes_["e2e.delete"].unready)
        step("e2e.changes", [&] {
            auto out = run({{"op", "changes"}, {"container", workingSet}, {"anchor", *afterRename}});
            expect(finishedAt(out) &&
                       delivered(out, "didDeleteItemsWithIdentifiers").count(area + "/" + newName),
                   "enumerateChanges of the working set from " + *afterRename + ", after the delete", out,
                   "the deleted item among the deletions, then the new anchor");
        });
    auto folder = [&](const std::string& folderName) {
        auto out = run({{"op", "create"},
                        {"parent", area},
                        {"filename", folderName},
                        {"contentType", "public.folder"},
                        {"contents", nullptr},
                        {"mayAlreadyExist", false}});
        if (!succeeded(out))
            throw Departure{"createItem folder \"" + folderName + "\"", received(out),
                            "the new folder, no error"};
        return area + "/" + folderName;
    };
    step("e2e.delete-folder", [&] {
        std::string id = folder("folder by the system");
        ctx_.upload(id + "/inside.txt", "inside");
        auto listing = run({{"op", "list"}, {"container", id}});
        auto out = run({{"op", "delete"}, {"id", id}, {"baseVersion", json::object{}}, {"recursive", true}});
        expect(succeeded(out) && !ctx_.lookup(id) && !ctx_.lookup(id + "/inside.txt"),
               "deleteItem \"" + id + "\" recursively, after listing it", out,
               "no error, and the folder with its file gone from the host");
    });
    step("e2e.delete-changed", [&] {
        std::string id = folder("kept by the system");
        run({{"op", "list"}, {"container", id}});
        ctx_.upload(id + "/added after the listing.txt", "late");
        auto out = run({{"op", "delete"}, {"id", id}, {"baseVersion", json::object{}}, {"recursive", true}});
        const json::value* error = out.if_contains("error");
        bool rejected = error && error->is_object() && error->get_object().at("code") == -1006;
        expect(rejected && ctx_.lookup(id + "/added after the listing.txt"),
               "deleteItem \"" + id + "\" recursively, with a file added after the listing", out,
               "NSFileProviderErrorDomain -1006 (deletion rejected), and the late file kept");
    });
}

void addExtensionChecks(std::vector<Check>& checks) {
    struct Step {
        const char* name;
        const char* description;
    };
    for (auto [name, description] :
         {Step{"e2e.list", "through the extension: the root and a folder are listed"},
          Step{"e2e.fetch", "through the extension: a file is downloaded"},
          Step{"e2e.create", "through the extension: a file is created"},
          Step{"e2e.edit", "through the extension: the file's contents are changed"},
          Step{"e2e.rename", "through the extension: the file is renamed"},
          Step{"e2e.changes",
               "through the extension: the working set's changes show the rename and the delete"},
          Step{"e2e.delete", "through the extension: the file is deleted"},
          Step{"e2e.delete-folder", "through the extension: a listed folder is deleted recursively"},
          Step{"e2e.delete-changed",
               "through the extension: a recursive delete after a change below is rejected (-1006)"}}) {
        std::string step = name;
        checks.push_back({name, Level::required, description, Check::Needs::extension,
                          [step](Context& ctx) { ctx.extension().report(step); }});
    }
}

} // namespace wl::hostcheck
