// Anchors and the change log: how the system follows the host.
#include "Checks.h"
#include "Mapping.h"

namespace wl::hostcheck {

namespace json = boost::json;

namespace {

// What a change enumeration since the anchor taken before a write must report.
struct Expected {
    Changes changes;                            // since the anchor taken before the write
    std::map<std::string, std::string> updated; // identifier -> content version ("" for any)
    std::vector<std::string> deleted;
};

struct Operation {
    const char* name;
    const char* description;
    std::function<Expected(Context&)> act; // sets up what it needs, takes the anchor, then writes
};

std::string version(const json::object& record) {
    return text(record, "contentVersion");
}

void expectReported(Context& ctx, const Operation& operation) {
    // The operation's set-up happens before the anchor: only the write itself is asked for.
    Expected expected = operation.act(ctx);
    const Changes& changes = expected.changes;
    for (const auto& [id, wanted] : expected.updated) {
        auto it = changes.updates.find(id);
        std::string what = "\"updates\" holding the record of \"" + id + "\"" +
                           (wanted.empty() ? "" : " at content version \"" + wanted + "\"");
        ctx.expect(it != changes.updates.end() && (wanted.empty() || version(it->second) == wanted) &&
                       !changes.deletions.count(id),
                   changes.exchange, what + ", and not in \"deletions\"");
    }
    for (const auto& id : expected.deleted)
        ctx.expect(changes.deletions.count(id) && !changes.updates.count(id), changes.exchange,
                   "\"deletions\" holding \"" + id + "\" (a tombstone), and no update of it");
}

std::vector<Operation> operations() {
    return {
        {"changes.create", "an uploaded file appears in \"updates\" since the anchor taken before it",
         [](Context& ctx) {
             std::int64_t anchor = ctx.anchor();
             auto record = ctx.upload(ctx.at("new.txt"), "new");
             return Expected{ctx.changes(anchor), {{ctx.at("new.txt"), version(record)}}, {}};
         }},
        {"changes.edit", "an edited file appears in \"updates\" with its new content version",
         [](Context& ctx) {
             std::string id = ctx.at("edited.txt");
             auto first = ctx.upload(id, "first");
             std::int64_t anchor = ctx.anchor();
             auto second = ctx.upload(id, "second", version(first));
             return Expected{ctx.changes(anchor), {{id, version(second)}}, {}};
         }},
        {"changes.folder", "new folders appear in \"updates\"",
         [](Context& ctx) {
             std::int64_t anchor = ctx.anchor();
             ctx.folder(ctx.at("made"));
             ctx.folder(ctx.at("made/inner"));
             return Expected{ctx.changes(anchor), {{ctx.at("made"), ""}, {ctx.at("made/inner"), ""}}, {}};
         }},
        {"changes.rename",
         "a rename appears as the old identifier in \"deletions\" and the new one in \"updates\"",
         [](Context& ctx) {
             auto record = ctx.upload(ctx.at("old name.txt"), "renamed");
             std::int64_t anchor = ctx.anchor();
             Exchange moved = ctx.host.move(ctx.at("old name.txt"), ctx.at("new name.txt"));
             if (!answeredItem(moved))
                 throw Unready{"could not rename", moved.sentText(), moved.gotText()};
             return Expected{
                 ctx.changes(anchor), {{ctx.at("new name.txt"), version(record)}}, {ctx.at("old name.txt")}};
         }},
        {"changes.move-folder",
         "a folder move reports the folder and everything below it, deleted at the old path and new at the "
         "new",
         [](Context& ctx) {
             ctx.folder(ctx.at("F"));
             ctx.folder(ctx.at("F/g"));
             ctx.upload(ctx.at("F/1.txt"), "1");
             ctx.upload(ctx.at("F/g/2.txt"), "2");
             std::int64_t anchor = ctx.anchor();
             Exchange moved = ctx.host.move(ctx.at("F"), ctx.at("G"));
             if (!answeredItem(moved))
                 throw Unready{"could not move a folder", moved.sentText(), moved.gotText()};
             Expected out{ctx.changes(anchor), {}, {}};
             for (const char* below : {"", "/g", "/1.txt", "/g/2.txt"}) {
                 out.updated[ctx.at("G") + below] = "";
                 out.deleted.push_back(ctx.at("F") + below);
             }
             return out;
         }},
        {"changes.delete", "a deleted file appears in \"deletions\"",
         [](Context& ctx) {
             auto record = ctx.upload(ctx.at("gone.txt"), "gone");
             std::int64_t anchor = ctx.anchor();
             Exchange removed = ctx.removeFile(ctx.at("gone.txt"), version(record));
             if (removed.status != 200)
                 throw Unready{"could not delete a file", removed.sentText(), removed.gotText()};
             return Expected{ctx.changes(anchor), {}, {ctx.at("gone.txt")}};
         }},
        {"changes.delete-folder",
         "a recursive delete reports the folder and everything below it in \"deletions\"",
         [](Context& ctx) {
             ctx.folder(ctx.at("F"));
             ctx.upload(ctx.at("F/a.txt"), "a");
             Listing listing = ctx.list(ctx.at("F"));
             std::int64_t anchor = ctx.anchor();
             Exchange removed = ctx.removeRecursively(ctx.at("F"), listing.anchor.value_or(anchor));
             if (removed.status != 200)
                 throw Unready{"could not delete a folder", removed.sentText(), removed.gotText()};
             return Expected{ctx.changes(anchor), {}, {ctx.at("F"), ctx.at("F/a.txt")}};
         }},
    };
}

void anchorCurrent(Context& ctx) {
    Exchange got = ctx.host.get("/v1/anchor");
    auto body = got.object();
    ctx.expect(got.status == 200 && body && integral(*body, "anchor"), got,
               "200 with an integral \"anchor\"");
    const json::value* epoch = body->if_contains("epoch");
    ctx.expect(!epoch || epoch->is_string(), got, "\"epoch\", when present, a string");
    if (!epoch)
        ctx.note("the host sends no epoch: the extension cannot tell a new history from the old one");
}

void shape(Context& ctx) {
    ctx.upload(ctx.at("something.txt"), "x");
    Exchange got = ctx.host.get("/v1/changes", {{"anchor", "0"}});
    auto body = got.object();
    ctx.expect(got.status == 200 && body, got, "200 with a JSON object");
    const json::value* updates = body->if_contains("updates");
    bool records = !updates || (updates->is_array() &&
                                std::all_of(updates->get_array().begin(), updates->get_array().end(),
                                            [](const json::value& v) { return v.is_object(); }));
    ctx.expect(records, got, "\"updates\" an array of records (anything else is skipped whole)");
    const json::value* deletions = body->if_contains("deletions");
    bool names = !deletions || (deletions->is_array() &&
                                std::all_of(deletions->get_array().begin(), deletions->get_array().end(),
                                            [](const json::value& v) { return v.is_string(); }));
    ctx.expect(names, got, "\"deletions\" an array of identifiers (anything else is skipped whole)");
    ctx.expect(integral(*body, "anchor").has_value(), got,
               "an integral \"anchor\" (without it the next enumeration starts again from 0)");
    const json::value* epoch = body->if_contains("epoch");
    ctx.expect(!epoch || epoch->is_string(), got, "\"epoch\", when present, a string");
}

void incremental(Context& ctx) {
    std::int64_t anchor = ctx.anchor();
    std::string id = ctx.at("once.txt");
    ctx.upload(id, "once");
    Changes first = ctx.changes(anchor);
    if (!first.updates.count(id) || !first.anchor)
        throw Unready{"the upload is not in the changes since the anchor before it",
                      first.exchange.sentText(), first.exchange.gotText()};
    Changes again = ctx.changes(*first.anchor);
    ctx.expect(!again.updates.count(id), again.exchange,
               "nothing about \"" + id + "\": it was reported up to anchor " + std::to_string(*first.anchor));
}

// An answer to an anchor of no history of this host: its revision and epoch may be any that make the
// extension start afresh, so they take no part in the run's record of revisions and epochs.
Exchange outsideHistory(Context& ctx, const std::string& anchor) {
    Exchange got = ctx.host.get("/v1/changes", {{"anchor", anchor}});
    std::string sent = got.sentText();
    std::erase_if(ctx.revisions, [&](const Context::Revision& r) { return r.sent == sent; });
    std::erase_if(ctx.epochs, [&](const auto& epoch) { return epoch.first == sent; });
    return got;
}

void anchorAhead(Context& ctx) {
    std::int64_t now = ctx.anchor();
    Exchange got = outsideHistory(ctx, std::to_string(now + 1000000));
    Exchange current = ctx.host.get("/v1/anchor");
    auto body = current.object();
    if (!body || !body->if_contains("epoch")) {
        ctx.note("the host sends no epoch, so an anchor of another history cannot be told apart");
        return;
    }
    auto answer = got.object();
    const json::value* epoch = answer ? answer->if_contains("epoch") : nullptr;
    ctx.expect(got.status == 200 && epoch && epoch->is_string(), got,
               "200 with the host's \"epoch\": an anchor ahead of this history is from another one, and the "
               "epoch is how the extension sees that (it reports -1002, and the system enumerates afresh); "
               "any other answer stalls change tracking");
}

void badAnchor(Context& ctx) {
    for (const char* anchor : {"", "not a number"}) {
        Exchange got = outsideHistory(ctx, anchor);
        ctx.note(std::string("anchor \"") + anchor + "\": " + std::to_string(got.status) +
                 (got.status == 200 ? " (changes since the start of the history)"
                                    : " -> " + consequence("GET", "/v1/changes", got.status, "")));
    }
}

} // namespace

void addChangeChecks(std::vector<Check>& checks) {
    checks.push_back({"anchor.current", Level::required, "\"/v1/anchor\" answers an integral \"anchor\"",
                      Check::Needs::host, anchorCurrent});
    checks.push_back({"changes.shape", Level::required,
                      "\"/v1/changes\" answers \"updates\", \"deletions\" and an integral \"anchor\"",
                      Check::Needs::scratch, shape});
    for (const auto& operation : operations())
        checks.push_back({operation.name, Level::required, operation.description, Check::Needs::scratch,
                          [operation](Context& ctx) { expectReported(ctx, operation); }});
    checks.push_back({"changes.incremental", Level::recommended,
                      "a change reported up to an anchor is not reported again since that anchor",
                      Check::Needs::scratch, incremental});
    checks.push_back(
        {"changes.anchor-ahead", Level::required,
         "an anchor ahead of the history is answered 200 with the epoch, so a new history is seen",
         Check::Needs::host, anchorAhead});
    checks.push_back(
        {"changes.bad-anchor", Level::informational,
         "what an anchor that is not a number is answered (sent when the system's anchor is unreadable)",
         Check::Needs::host, badAnchor});
}

} // namespace wl::hostcheck
