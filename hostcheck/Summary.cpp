// Checks over everything the run has seen: records, refusals, revisions and epochs. Each makes a few
// exchanges of its own first, so that it also tells something when run alone.
#include "Checks.h"
#include "Mapping.h"

#include <set>

namespace wl::hostcheck {

namespace json = boost::json;

namespace {

// A file and a folder of the check's own, looked up, listed and enumerated as changes.
void exerciseRecords(Context& ctx) {
    std::int64_t anchor = ctx.anchor();
    ctx.folder(ctx.at("folder"));
    ctx.upload(ctx.at("folder/file.txt"), "file");
    auto folder = ctx.lookup(ctx.at("folder"));
    auto file = ctx.lookup(ctx.at("folder/file.txt"));
    ctx.lookup(rootIdentifier);
    ctx.list(ctx.area());
    ctx.list(ctx.at("folder"));
    ctx.changes(anchor);
    if (ctx.current().name == "record.kind") {
        if (!folder || !isDir(*folder))
            ctx.depart("GET /v1/item?id=" + queryEncode(ctx.at("folder")),
                       folder ? json::serialize(*folder) : "404", "a folder's record with \"isDir\" true");
        if (!file || isDir(*file))
            ctx.depart("GET /v1/item?id=" + queryEncode(ctx.at("folder/file.txt")),
                       file ? json::serialize(*file) : "404", "a file's record with \"isDir\" false");
    }
}

void recordsWithout(Context& ctx, Aspect aspect, const char* expected) {
    exerciseRecords(ctx);
    const auto& seen = ctx.shape[aspect];
    if (seen.empty())
        return;
    const auto& first = seen.front();
    ctx.depart(first.sent, first.problem + ", in " + first.got,
               std::string(expected) + " (" + std::to_string(seen.size()) +
                   (seen.size() >= 20 ? " or more" : "") + " such records in this run)");
}

void envelope(Context& ctx) {
    ctx.host.get("/v1/item", {{"id", ctx.host.scratch() + "/no such item"}});
    ctx.host.get("/v1/item", {{"id", rootIdentifier}}, Auth::none());
    ctx.host.folder(ctx.area());
    for (const auto& refused : ctx.refusals)
        if (!refused.envelope)
            ctx.depart(
                refused.sent, refused.got,
                "a JSON object with a string \"error\" naming the kind of refusal (and a string \"code\" "
                "when there is one): writes are mapped by the kind");
}

void monotonic(Context& ctx) {
    std::int64_t before = ctx.anchor();
    std::string id = ctx.at("file.txt");
    auto record = ctx.upload(id, "1");
    std::int64_t middle = ctx.anchor();
    ctx.upload(id, "2", text(record, "contentVersion"));
    std::int64_t after = ctx.anchor();
    if (!(before < middle && middle < after))
        ctx.depart("GET /v1/anchor around two uploads",
                   std::to_string(before) + ", " + std::to_string(middle) + ", " + std::to_string(after),
                   "a greater anchor after each write");
    Changes changes = ctx.changes(before);
    ctx.expect(changes.anchor && *changes.anchor >= after, changes.exchange,
               "an \"anchor\" of at least " + std::to_string(after) + ", the revision the changes lead to");
    for (std::size_t i = 1; i < ctx.revisions.size(); ++i)
        if (ctx.revisions[i].revision < ctx.revisions[i - 1].revision)
            ctx.depart(ctx.revisions[i].sent,
                       "\"anchor\" " + std::to_string(ctx.revisions[i].revision) + " after " +
                           std::to_string(ctx.revisions[i - 1].revision) + " (" + ctx.revisions[i - 1].sent +
                           ")",
                       "revisions that only grow");
}

void epochStable(Context& ctx) {
    ctx.changes(ctx.anchor());
    if (ctx.epochs.empty()) {
        ctx.note("the host sends no epoch");
        return;
    }
    const auto& [firstSent, first] = ctx.epochs.front();
    for (const auto& [sent, epoch] : ctx.epochs) {
        if (epoch.find('#') != std::string::npos)
            ctx.depart(sent, "the epoch \"" + epoch + "\"",
                       "an epoch without \"#\" (the sync anchor is split at \"#\")");
        if (epoch != first)
            ctx.depart(
                sent,
                "the epoch \"" + epoch + "\", after \"" +
                    std::string(first).append("\" (").append(firstSent) + ")",
                "one epoch for the whole history: a change of epoch makes every anchor expire (-1002)");
    }
    if (!ctx.epochless.empty())
        ctx.depart(
            ctx.epochless.front(), "no \"epoch\", while \"/v1/changes\" sends \"" + first + "\"",
            "the epoch in \"/v1/anchor\" too: the anchor made without it never matches (-1002 every time)");
}

void kinds(Context& ctx) {
    std::set<std::string> lines;
    std::set<std::string> used;
    for (const auto& refused : ctx.refusals) {
        used.insert(refused.kind);
        lines.insert(std::to_string(refused.status) +
                     (refused.kind.empty() ? "" : " \"" + refused.kind + "\"") + " to " + refused.method +
                     " " + refused.path + " -> " +
                     consequence(refused.method, refused.path, refused.status, refused.kind));
    }
    for (const auto& line : lines)
        ctx.note(line);
    std::string unused;
    for (const char* kind : {"read_only", "paused", "quota", "offline", "incomplete", "not_empty",
                             "collision", "changed", "needs_content", "gone"})
        if (!used.count(kind))
            unused += (unused.empty() ? "" : ", ") + std::string(kind);
    if (!unused.empty())
        ctx.note("kinds the extension knows that this run did not see: " + unused);
}

} // namespace

void addSummaryChecks(std::vector<Check>& checks) {
    using N = Check::Needs;
    checks.push_back(
        {"record.identity", Level::required,
         "\"identifier\" is the item's path, \"parentIdentifier\" its folder, \"name\" its last name, "
         "composed (NFC)",
         N::scratch, [](Context& ctx) {
             recordsWithout(ctx, Aspect::identity, "records whose identifier is their path");
         }});
    checks.push_back({"record.kind", Level::required, "\"isDir\" is a boolean that tells folders from files",
                      N::scratch,
                      [](Context& ctx) { recordsWithout(ctx, Aspect::kind, "\"isDir\" true or false"); }});
    checks.push_back({"record.versions", Level::required,
                      "every file's record has a non-empty \"contentVersion\"", N::scratch, [](Context& ctx) {
                          recordsWithout(ctx, Aspect::versions, "a non-empty string \"contentVersion\"");
                      }});
    checks.push_back({"record.details", Level::recommended,
                      "\"size\" is a whole byte count, \"mtime\" seconds since 1970, \"writable\" a boolean, "
                      "\"metadataVersion\" a string",
                      N::scratch, [](Context& ctx) {
                          recordsWithout(ctx, Aspect::details, "members of the types the extension reads");
                      }});
    checks.push_back(
        {"changes.monotonic", Level::required,
         "every write makes the anchor grow, and no answer's anchor is lower than an earlier one", N::scratch,
         monotonic});
    checks.push_back({"changes.epoch", Level::required,
                      "one epoch, without \"#\", in every \"/v1/anchor\" and \"/v1/changes\" answer", N::host,
                      epochStable});
    checks.push_back({"refusal.envelope", Level::recommended,
                      "every refusal is a JSON object with a string \"error\" (and a string \"code\")",
                      N::scratch, envelope});
    checks.push_back({"refusals.kinds", Level::informational,
                      "the refusals the host answered in this run, and the error the system gets for each",
                      N::host, kinds});
}

} // namespace wl::hostcheck
