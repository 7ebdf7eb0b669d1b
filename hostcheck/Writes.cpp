// Uploads, folders, moves and deletes: what the extension writes back.
#include "Checks.h"
#include "Mapping.h"

namespace wl::hostcheck {

namespace json = boost::json;

namespace {

std::string jsonText(const std::string& text) {
    return json::serialize(json::value(text));
}

std::string refusalText(const Exchange& exchange) {
    return std::to_string(exchange.status) + (exchange.kind() ? " \"" + *exchange.kind() + "\"" : "");
}

bool deleted(const Exchange& exchange) {
    auto body = exchange.object();
    const json::value* flag = body ? body->if_contains("deleted") : nullptr;
    return exchange.status == 200 && flag && flag->is_bool() && flag->get_bool();
}

void expectRefused(Context& ctx, const Exchange& exchange, long status, const std::string& kind) {
    ctx.expect(exchange.status == status && exchange.kind() == kind, exchange,
               std::to_string(status) + " " + jsonText(kind) + ", and nothing changed");
}

// The content at `identifier` is still `bytes` at `version`, after `exchange` tried to change it.
void unchanged(Context& ctx, const Exchange& exchange, const std::string& identifier,
               const std::string& bytes, const std::string& version, const std::string& expected) {
    auto record = ctx.lookup(identifier);
    if (!record)
        ctx.depart(exchange.sentText(), exchange.gotText() + "; then " + identifier + " was gone", expected);
    std::string now = ctx.download(identifier);
    if (now != bytes || text(*record, "contentVersion") != version)
        ctx.depart(exchange.sentText(),
                   exchange.gotText() + "; then " + identifier + " held " + std::to_string(now.size()) +
                       " other bytes at version " + jsonText(text(*record, "contentVersion")),
                   expected);
}

void absent(Context& ctx, const Exchange& exchange, const std::string& identifier,
            const std::string& expected) {
    if (ctx.lookup(identifier))
        ctx.depart(exchange.sentText(), exchange.gotText() + "; then " + identifier + " existed", expected);
}

void present(Context& ctx, const Exchange& exchange, const std::string& identifier,
             const std::string& expected) {
    if (!ctx.lookup(identifier))
        ctx.depart(exchange.sentText(), exchange.gotText() + "; then " + identifier + " was gone", expected);
}

json::object expectItem(Context& ctx, const Exchange& exchange, const std::string& identifier, bool folder) {
    auto item = answeredItem(exchange);
    ctx.expect(item && text(*item, "identifier") == identifier && isDir(*item) == folder, exchange,
               "200 with \"item\": the record of " + std::string(folder ? "the folder " : "the file ") +
                   jsonText(identifier));
    return *item;
}

void roundTrip(Context& ctx) {
    unsigned seed = 1;
    for (std::size_t size :
         {std::size_t{0}, std::size_t{1}, (std::size_t{1} << 20) + 1, (std::size_t{3} << 20) + 17}) {
        std::string id = ctx.at(std::to_string(size) + " bytes.bin");
        std::string bytes = pattern(size, seed++);
        Exchange put = ctx.host.put(id, "", bytes);
        json::object item = expectItem(ctx, put, id, false);
        ctx.expect(integral(item, "size") == static_cast<std::int64_t>(size), put,
                   "the record's \"size\" " + std::to_string(size));
        Exchange got = ctx.host.get("/v1/content", {{"path", id}});
        ctx.expect(got.status == 200 && got.body == bytes, got,
                   "200 with the " + std::to_string(size) + " bytes uploaded");
    }
}

void replace(Context& ctx) {
    std::string id = ctx.at("replaced.txt");
    std::string version = text(ctx.upload(id, "first"), "contentVersion");
    std::vector<std::string> seen{version};
    for (const char* next : {"second, longer", "second, LONGER"}) {
        Exchange put = ctx.host.put(id, version, next);
        json::object item = expectItem(ctx, put, id, false);
        auto body = put.object();
        ctx.expect(!body->contains("conflictCopy"), put, "no \"conflictCopy\": the base was current");
        version = text(item, "contentVersion");
        for (const auto& old : seen)
            ctx.expect(version != old, put, "a \"contentVersion\" never given before for these contents");
        seen.push_back(version);
        Exchange got = ctx.host.get("/v1/content", {{"path", id}});
        ctx.expect(got.body == next, got, "200 with the new contents");
    }
}

void digest(Context& ctx) {
    std::string fresh = ctx.at("never taken.bin");
    Exchange put = ctx.host.put(fresh, "", pattern(4096, 7), {}, sha256Hex("other bytes"));
    const std::string expected = "400 \"incomplete\" (the extension sends it again), nothing left behind";
    expectRefused(ctx, put, 400, "incomplete");
    absent(ctx, put, fresh, expected);
    std::string kept = ctx.at("kept.txt");
    std::string version = text(ctx.upload(kept, "kept"), "contentVersion");
    put = ctx.host.put(kept, version, "replaced", {}, sha256Hex("something else"));
    expectRefused(ctx, put, 400, "incomplete");
    unchanged(ctx, put, kept, "kept", version, expected);
}

void shortBody(Context& ctx) {
    const std::string expected =
        "not taken (400 \"incomplete\", or the connection closed), nothing left behind";
    std::string fresh = ctx.at("never whole.bin");
    Exchange put = ctx.host.shortPut(fresh, "", pattern(1000, 3), 5000);
    ctx.expect(put.status < 200 || put.status > 299, put, expected);
    absent(ctx, put, fresh, expected);
    std::string kept = ctx.at("kept.txt");
    std::string version = text(ctx.upload(kept, "kept"), "contentVersion");
    put = ctx.host.shortPut(kept, version, pattern(1000, 4), 5000);
    ctx.expect(put.status < 200 || put.status > 299, put, expected);
    unchanged(ctx, put, kept, "kept", version, expected);
}

void staleBase(Context& ctx) {
    std::string id = ctx.at("edited twice.txt");
    std::string v1 = text(ctx.upload(id, "version 1"), "contentVersion");
    ctx.upload(id, "version 2", v1);
    Exchange put = ctx.host.put(id, v1, "version 3, made against version 1");
    const std::string expected =
        "version 2 kept: the upload refused, or accepted with \"conflictCopy\" holding version 2";
    auto item = answeredItem(put);
    if (!item) {
        unchanged(ctx, put, id, "version 2", text(*ctx.lookup(id), "contentVersion"), expected);
        ctx.note("an upload against an old base is refused with " + refusalText(put));
        return;
    }
    if (text(*item, "identifier") != id) { // the upload went beside the file
        if (ctx.download(id) != "version 2")
            ctx.depart(put.sentText(), put.gotText() + "; then " + id + " no longer held version 2",
                       expected);
        return;
    }
    auto body = put.object();
    const json::value* copy = body->if_contains("conflictCopy");
    if (!copy || !copy->is_object())
        ctx.depart(put, expected + "; the answer announces no conflict copy");
    std::string copyId = text(copy->get_object(), "identifier");
    Exchange got = ctx.host.get("/v1/content", {{"path", copyId}});
    ctx.expect(got.status == 200 && got.body == "version 2", got, "the conflict copy holds version 2");
    ctx.note("an upload against an old base is taken, with a conflict copy");
}

void createCollision(Context& ctx) {
    std::string id = ctx.at("taken.txt");
    std::string version = text(ctx.upload(id, "original"), "contentVersion");
    Exchange put = ctx.host.put(id, "", "a new file of the same name");
    const std::string expected = "409 \"collision\" (the system picks another name), the file untouched";
    unchanged(ctx, put, id, "original", version, expected);
    expectRefused(ctx, put, 409, "collision");
    Listing listing = ctx.list(ctx.area());
    ctx.expect(listing.items.size() == 1, listing.exchange, "one item in the folder: nothing made beside it");
}

void folderCreate(Context& ctx) {
    std::string id = ctx.at("new folder");
    expectItem(ctx, ctx.host.folder(id), id, true);
    auto record = ctx.lookup(id);
    if (!record || !isDir(*record))
        ctx.depart("GET /v1/item?id=" + queryEncode(id), record ? json::serialize(*record) : "404",
                   "200 with the folder's record");
    Listing listing = ctx.list(ctx.area());
    ctx.expect(listing.find(id) != nullptr, listing.exchange, "the new folder listed in its parent");
    expectItem(ctx, ctx.host.folder(id + "/inner"), id + "/inner", true);
}

void folderCollision(Context& ctx) {
    std::string folder = ctx.at("twice");
    ctx.folder(folder);
    expectRefused(ctx, ctx.host.folder(folder), 409, "collision");
    std::string file = ctx.at("file.txt");
    std::string version = text(ctx.upload(file, "a file"), "contentVersion");
    Exchange made = ctx.host.folder(file);
    unchanged(ctx, made, file, "a file", version, "409 \"collision\", the file untouched");
    expectRefused(ctx, made, 409, "collision");
}

// Moves `from` to `to` and checks that the item, with its contents, is at `to` only.
void movedFile(Context& ctx, const std::string& from, const std::string& to) {
    std::string bytes = "moving " + from;
    std::string version = text(ctx.upload(from, bytes), "contentVersion");
    Exchange moved = ctx.host.move(from, to);
    expectItem(ctx, moved, to, false);
    const std::string expected = "the file at the new path only, with its contents and content version";
    absent(ctx, moved, from, expected);
    unchanged(ctx, moved, to, bytes, version, expected);
}

struct Sibling {
    const char* name;
    bool folder;
};

// Names that sort between "F" and "F/" (space, "-", ".", "(" are below "/"): an index walked in key
// order from "F" meets them before the items below F.
const std::vector<Sibling> siblings = {
    {"F 2.txt", false}, {"F.txt", false}, {"F (old)", true}, {"F-1", true}};

// A folder of its own for the n-th case, holding the sibling when there is one.
std::string caseFolder(Context& ctx, int n, const Sibling& sibling) {
    std::string base = ctx.at("case " + std::to_string(n));
    ctx.folder(base);
    if (sibling.name && sibling.folder)
        ctx.folder(base + "/" + sibling.name);
    else if (sibling.name)
        ctx.upload(base + "/" + sibling.name, "sibling");
    return base;
}

void folderMove(Context& ctx, const std::vector<Sibling>& cases) {
    int n = 0;
    for (Sibling sibling : cases) {
        std::string base = caseFolder(ctx, ++n, sibling);
        std::string from = base + "/F", to = base + "/G";
        ctx.folder(from);
        ctx.folder(from + "/g");
        std::map<std::string, std::string> versions;
        for (const char* file : {"/1.txt", "/g/2.txt"})
            versions[file] = text(ctx.upload(from + file, file), "contentVersion");
        Exchange moved = ctx.host.move(from, to);
        expectItem(ctx, moved, to, true);
        std::string beside = sibling.name ? std::string(" beside ") + jsonText(sibling.name) : "";
        for (const char* old : {"", "/g", "/1.txt", "/g/2.txt"})
            absent(ctx, moved, from + old, "nothing left at the old path" + beside);
        for (const auto& [file, version] : versions)
            unchanged(ctx, moved, to + file, file, version,
                      "everything below the folder at the new path, with its content version" + beside);
        Exchange all = ctx.host.get("/v1/all");
        auto body = all.object();
        if (const json::value* items = body ? body->if_contains("items") : nullptr;
            items && items->is_array())
            for (const auto& item : items->get_array()) {
                std::string id = item.is_object() ? text(item.get_object(), "identifier") : "";
                ctx.expect(id != from && id.rfind(from + "/", 0) != 0, all,
                           "no item left under the old path" + beside + ", but " + jsonText(id) +
                               " is listed");
            }
    }
}

void moveThenUpload(Context& ctx) {
    std::string from = ctx.at("draft.txt"), to = ctx.at("final.txt");
    std::string version = text(ctx.upload(from, "draft"), "contentVersion");
    Exchange moved = ctx.host.move(from, to);
    expectItem(ctx, moved, to, false);
    Exchange put = ctx.host.put(to, version, "final, edited with the rename");
    expectItem(ctx, put, to, false);
    ctx.expect(!put.object()->contains("conflictCopy"), put,
               "no \"conflictCopy\": a move keeps the content version, so the base is current");
    Exchange got = ctx.host.get("/v1/content", {{"path", to}});
    ctx.expect(got.body == "final, edited with the rename", got, "the edited contents at the new path");
}

void moveCollision(Context& ctx) {
    std::string a = ctx.at("a.txt"), b = ctx.at("b.txt");
    std::string va = text(ctx.upload(a, "a"), "contentVersion");
    std::string vb = text(ctx.upload(b, "b"), "contentVersion");
    Exchange moved = ctx.host.move(a, b);
    const std::string expected = "409 \"collision\", both files untouched";
    unchanged(ctx, moved, b, "b", vb, expected);
    unchanged(ctx, moved, a, "a", va, expected);
    expectRefused(ctx, moved, 409, "collision");
}

void moveGone(Context& ctx) {
    Exchange never = ctx.host.move(ctx.at("never was.txt"), ctx.at("nor is.txt"));
    ctx.note("a move of an item that is not there: " + refusalText(never) + " -> " +
             consequence("POST", "/v1/move", never.status, never.kind().value_or("")));
    std::string from = ctx.at("moved once.txt"), to = ctx.at("moved here.txt");
    ctx.upload(from, "once");
    ctx.host.move(from, to);
    Exchange again = ctx.host.move(from, to);
    auto body = again.object();
    const json::value* item = body ? body->if_contains("item") : nullptr;
    ctx.note("the same move sent again: " + refusalText(again) +
             (item && item->is_object() ? " with the destination's record" : "") + " -> " +
             consequence("POST", "/v1/move", again.status, again.kind().value_or("")));
}

void deleteFile(Context& ctx) {
    std::string id = ctx.at("doomed.txt");
    std::string version = text(ctx.upload(id, "doomed"), "contentVersion");
    Exchange removed = ctx.removeFile(id, version);
    ctx.expect(deleted(removed), removed, "200 {\"deleted\": true}");
    absent(ctx, removed, id, "the file gone");
    Listing listing = ctx.list(ctx.area());
    ctx.expect(!listing.find(id), listing.exchange, "the deleted file no longer listed");
}

void deleteFileChanged(Context& ctx) {
    std::string id = ctx.at("edited elsewhere.txt");
    std::string v1 = text(ctx.upload(id, "seen"), "contentVersion");
    std::string v2 = text(ctx.upload(id, "edited since", v1), "contentVersion");
    Exchange removed = ctx.removeFile(id, v1);
    const std::string expected = "409 \"changed\", the newer contents kept";
    unchanged(ctx, removed, id, "edited since", v2, expected);
    expectRefused(ctx, removed, 409, "changed");
}

void deleteFolder(Context& ctx) {
    std::string id = ctx.at("empty");
    ctx.folder(id);
    Exchange removed = ctx.host.remove({{"path", id}, {"dir", "1"}});
    ctx.expect(deleted(removed), removed, "200 {\"deleted\": true}");
    absent(ctx, removed, id, "the folder gone");
}

void deleteFolderNotEmpty(Context& ctx) {
    std::string id = ctx.at("full");
    ctx.folder(id);
    ctx.upload(id + "/inside.txt", "inside");
    Exchange removed = ctx.host.remove({{"path", id}, {"dir", "1"}});
    const std::string expected = "refused (409 \"not_empty\" becomes -1007), the folder and its file kept";
    ctx.expect(!deleted(removed), removed, expected);
    present(ctx, removed, id + "/inside.txt", expected);
    ctx.note("a delete of a folder that is not empty: " + refusalText(removed) + " -> " +
             consequence("DELETE", "/v1/item", removed.status, removed.kind().value_or("")));
}

std::int64_t listingAnchor(Context& ctx, const std::string& folder) {
    Listing listing = ctx.list(folder);
    if (!listing.anchor)
        throw Unready{"the listing of " + folder + " has no \"anchor\"", listing.exchange.sentText(),
                      listing.exchange.gotText()};
    return *listing.anchor;
}

void deleteRecursive(Context& ctx) {
    std::string id = ctx.at("tree");
    ctx.folder(id);
    ctx.folder(id + "/sub");
    ctx.upload(id + "/a.txt", "a");
    ctx.upload(id + "/sub/b.txt", "b");
    Exchange removed = ctx.removeRecursively(id, listingAnchor(ctx, id));
    ctx.expect(deleted(removed), removed, "200 {\"deleted\": true} for the anchor of a fresh listing");
    for (const char* below : {"", "/a.txt", "/sub", "/sub/b.txt"})
        absent(ctx, removed, id + below, "the folder and everything below it gone");
}

// A change made below a folder after it was listed; returns what must survive the recursive delete.
struct LateChange {
    const char* what;
    std::function<std::string(Context&, const std::string& folder)> make;
};

std::string addFile(Context& ctx, const std::string& path) {
    ctx.upload(path, "added after the listing");
    return path;
}

const std::vector<LateChange> lateChanges = {
    {"a file added inside", [](Context& c, const std::string& f) { return addFile(c, f + "/new.txt"); }},
    {"a file added in a subfolder",
     [](Context& c, const std::string& f) { return addFile(c, f + "/sub/new.txt"); }},
    {"a file inside edited",
     [](Context& c, const std::string& f) {
         auto record = c.lookup(f + "/seen.txt");
         c.upload(f + "/seen.txt", "edited", record ? text(*record, "contentVersion") : "");
         return f + "/seen.txt";
     }},
    {"a file inside renamed",
     [](Context& c, const std::string& f) {
         c.host.move(f + "/seen.txt", f + "/renamed.txt");
         return f + "/renamed.txt";
     }},
};

void deleteRecursiveChanged(Context& ctx, const std::vector<LateChange>& changes,
                            const std::vector<Sibling>& beside) {
    int n = 0;
    for (const auto& late : changes)
        for (const auto& sibling : beside) {
            std::string folder = caseFolder(ctx, ++n, sibling) + "/F";
            ctx.folder(folder);
            ctx.folder(folder + "/sub");
            ctx.upload(folder + "/seen.txt", "seen");
            std::int64_t anchor = listingAnchor(ctx, folder);
            std::string survivor = late.make(ctx, folder);
            Exchange removed = ctx.removeRecursively(folder, anchor);
            std::string expected = std::string("409 \"changed\" after ") + late.what +
                                   (sibling.name ? std::string(" beside ") + jsonText(sibling.name) : "") +
                                   ", and nothing removed";
            present(ctx, removed, survivor, expected);
            expectRefused(ctx, removed, 409, "changed");
        }
}

void deleteRepeat(Context& ctx) {
    std::string id = ctx.at("deleted twice.txt");
    std::string version = text(ctx.upload(id, "x"), "contentVersion");
    ctx.removeFile(id, version);
    Exchange again = ctx.removeFile(id, version);
    ctx.note("a delete of a file already gone: " + refusalText(again) + " -> " +
             (deleted(again) ? std::string("done")
                             : consequence("DELETE", "/v1/item", again.status, again.kind().value_or(""))));
}

} // namespace

std::optional<json::object> answeredItem(const Exchange& exchange) {
    auto body = exchange.object();
    if (exchange.status != 200 || !body)
        return std::nullopt;
    const json::value* item = body->if_contains("item");
    if (!item || !item->is_object())
        return std::nullopt;
    return item->get_object();
}

void addWriteChecks(std::vector<Check>& checks) {
    using N = Check::Needs;
    auto add = [&](const char* name, Level level, const char* description, void (*run)(Context&)) {
        checks.push_back({name, level, description, N::scratch, run});
    };
    add("content.roundtrip", Level::required,
        "uploads of 0 B, 1 B, 1 MiB + 1 and 3 MiB are answered with their record and downloaded byte for "
        "byte",
        roundTrip);
    add("content.replace", Level::required,
        "an upload against the current content version replaces the file and gives a new content version",
        replace);
    add("content.digest", Level::required,
        "an upload that does not match its \"X-FP-SHA256\" is answered 400 \"incomplete\" and leaves nothing",
        digest);
    add("content.short-body", Level::required,
        "a body shorter than its \"Content-Length\" is not taken and leaves nothing", shortBody);
    add("content.stale-base", Level::required,
        "an upload against an older content version never loses the newer one unannounced", staleBase);
    add("content.create-collision", Level::required,
        "an upload with an empty base onto an existing name is refused with 409 \"collision\"",
        createCollision);
    add("folder.create", Level::required, "a folder is made with its record answered, then found and listed",
        folderCreate);
    add("folder.collision", Level::recommended,
        "making a folder where an item exists is refused with 409 \"collision\"", folderCollision);
    add("move.rename", Level::required,
        "a rename moves the file, its contents and content version, to the new name",
        [](Context& ctx) { movedFile(ctx, ctx.at("before.txt"), ctx.at("after.txt")); });
    add("move.reparent", Level::required, "a move into another folder takes the file with it",
        [](Context& ctx) {
            ctx.folder(ctx.at("x"));
            ctx.folder(ctx.at("y"));
            movedFile(ctx, ctx.at("x/a.txt"), ctx.at("y/a.txt"));
        });
    add("move.folder", Level::required, "a folder moves with everything below it and leaves nothing behind",
        [](Context& ctx) {
            folderMove(ctx, {{nullptr, false}});
        });
    add("move.folder-sibling", Level::required,
        "so does a folder beside names that sort between it and what it holds, like \"F 2.txt\" or \"F.txt\"",
        [](Context& ctx) { folderMove(ctx, siblings); });
    add("move.then-upload", Level::required,
        "after a rename, an upload against the content version from before it is no conflict",
        moveThenUpload);
    add("move.collision", Level::recommended,
        "a move onto an existing name is refused with 409 \"collision\"", moveCollision);
    add("move.gone", Level::informational, "what a move of an item that is no longer there is answered",
        moveGone);
    add("delete.file", Level::required, "a file deleted with its content version is gone", deleteFile);
    add("delete.file-changed", Level::required,
        "a delete against an older content version is refused with 409 \"changed\"", deleteFileChanged);
    add("delete.folder", Level::required, "an empty folder is deleted with \"dir\" 1", deleteFolder);
    add("delete.folder-not-empty", Level::required,
        "a delete of a folder that is not empty, without \"recursive\", removes nothing",
        deleteFolderNotEmpty);
    add("delete.recursive", Level::required,
        "a recursive delete with the anchor of a fresh listing removes the folder and all below it",
        deleteRecursive);
    add("delete.recursive-changed", Level::required,
        "a recursive delete is refused with 409 \"changed\" when anything below changed after its anchor",
        [](Context& ctx) {
            deleteRecursiveChanged(ctx, lateChanges, {{nullptr, false}});
        });
    add("delete.recursive-sibling", Level::required,
        "so is one of a folder beside names that sort between it and what it holds, like \"F.txt\" or \"F "
        "2\"",
        [](Context& ctx) { deleteRecursiveChanged(ctx, {lateChanges.front()}, siblings); });
    add("delete.repeat", Level::informational, "what a delete of a file already gone is answered",
        deleteRepeat);
}

} // namespace wl::hostcheck
