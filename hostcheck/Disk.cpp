// What only the disk shows (with --root): edits by other programs, symbolic links out of the root, and
// entries the host does not list. Every change on disk stays inside the check's folder, except the
// targets of the links, which live in wl-hostcheck's own temporary folder.
#include "Checks.h"
#include "Mapping.h"

#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace wl::hostcheck {

namespace json = boost::json;
namespace fs = std::filesystem;

namespace {

// How long a host may take to notice a change made on disk.
constexpr std::chrono::milliseconds noticeLimit{3000};

void writeDisk(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out.flush())
        throw Unready{"could not write " + path.string(), "", ""};
}

// Asks for the changes since `anchor` until `seen` holds or the limit passes; the last answer.
Changes waitFor(Context& ctx, std::int64_t anchor, const std::function<bool(const Changes&)>& seen) {
    auto deadline = std::chrono::steady_clock::now() + noticeLimit;
    for (;;) {
        Changes changes = ctx.changes(anchor);
        if (seen(changes) || std::chrono::steady_clock::now() > deadline)
            return changes;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Removes what a check made on disk behind the host's back, so that the scratch folder can be deleted.
struct Leftovers {
    std::vector<fs::path> paths;
    ~Leftovers() {
        std::error_code ec;
        for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
            fs::permissions(*it, fs::perms::owner_all, fs::perm_options::add, ec);
            fs::remove(*it, ec);
        }
    }
};

std::string onDisk(const std::string& what, std::int64_t anchor) {
    return "on disk: " + what + "; then GET /v1/changes?anchor=" + std::to_string(anchor) + " for up to 3 s";
}

void externalEdit(Context& ctx) {
    std::string id = ctx.at("outside.txt"), renamed = ctx.at("renamed.txt");
    std::int64_t anchor = ctx.anchor();
    writeDisk(ctx.disk(id), "made elsewhere");
    Changes changes = waitFor(ctx, anchor, [&](const Changes& c) { return c.updates.count(id) > 0; });
    auto record = changes.updates.find(id);
    if (record == changes.updates.end() || integral(record->second, "size") != 14)
        ctx.depart(onDisk("a new file of 14 bytes", anchor), changes.exchange.gotText(),
                   "\"updates\" holding \"" + id + "\" with \"size\" 14");
    std::string version = text(record->second, "contentVersion");
    ctx.expect(ctx.download(id) == "made elsewhere", changes.exchange, "the file's bytes downloaded");

    anchor = ctx.anchor();
    std::ofstream(ctx.disk(id), std::ios::binary | std::ios::app) << ", and grown";
    changes = waitFor(ctx, anchor, [&](const Changes& c) {
        auto it = c.updates.find(id);
        return it != c.updates.end() && text(it->second, "contentVersion") != version;
    });
    record = changes.updates.find(id);
    if (record == changes.updates.end() || text(record->second, "contentVersion") == version)
        ctx.depart(onDisk("the file appended to", anchor), changes.exchange.gotText(),
                   "\"updates\" holding \"" + id + "\" with a new \"contentVersion\"");

    anchor = ctx.anchor();
    fs::rename(ctx.disk(id), ctx.disk(renamed));
    changes = waitFor(ctx, anchor,
                      [&](const Changes& c) { return c.deletions.count(id) && c.updates.count(renamed); });
    if (!changes.deletions.count(id) || !changes.updates.count(renamed))
        ctx.depart(onDisk("the file renamed", anchor), changes.exchange.gotText(),
                   "\"deletions\" holding \"" + id + "\" and \"updates\" \"" + renamed + "\"");

    anchor = ctx.anchor();
    fs::remove(ctx.disk(renamed));
    changes = waitFor(ctx, anchor, [&](const Changes& c) { return c.deletions.count(renamed) > 0; });
    if (!changes.deletions.count(renamed))
        ctx.depart(onDisk("the file deleted", anchor), changes.exchange.gotText(),
                   "\"deletions\" holding \"" + renamed + "\"");

    anchor = ctx.anchor();
    std::string folder = ctx.at("made here");
    fs::create_directory(ctx.disk(folder));
    writeDisk(ctx.disk(folder + "/inside.txt"), "inside");
    changes = waitFor(ctx, anchor, [&](const Changes& c) {
        return c.updates.count(folder) && c.updates.count(folder + "/inside.txt");
    });
    if (!changes.updates.count(folder) || !changes.updates.count(folder + "/inside.txt"))
        ctx.depart(onDisk("a folder made with a file inside", anchor), changes.exchange.gotText(),
                   "\"updates\" holding the folder and its file");
}

void sameSizeEdit(Context& ctx) {
    std::string id = ctx.at("same size.txt");
    fs::path path = ctx.disk(id);
    std::int64_t anchor = ctx.anchor();
    writeDisk(path, "AAAAAAAA");
    Changes changes = waitFor(ctx, anchor, [&](const Changes& c) { return c.updates.count(id) > 0; });
    if (!changes.updates.count(id))
        throw Unready{"the host did not notice a new file", changes.exchange.sentText(),
                      changes.exchange.gotText()};
    struct stat before {};
    ::stat(path.c_str(), &before);
    const timespec times[2] = {before.st_atim, before.st_mtim};

    struct Edit {
        const char* what;
        const char* bytes;
        std::function<void(const char*)> make;
    };
    std::vector<Edit> edits = {
        {"replaced by a file of the same size and modification time (as cp -p or rsync -t do)", "BBBBBBBB",
         [&](const char* bytes) {
             fs::path temporary = ctx.disk(ctx.at(".same size.tmp"));
             writeDisk(temporary, bytes);
             ::utimensat(AT_FDCWD, temporary.c_str(), times, 0);
             fs::rename(temporary, path);
         }},
        {"rewritten in place with as many bytes, its modification time put back", "CCCCCCCC",
         [&](const char* bytes) {
             int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
             if (fd < 0 || ::pwrite(fd, bytes, 8, 0) != 8 || ::futimens(fd, times) != 0) {
                 if (fd >= 0)
                     ::close(fd);
                 throw Unready{"could not rewrite " + path.string(), "", ""};
             }
             ::close(fd);
         }},
    };
    for (const auto& edit : edits) {
        std::string version = text(*ctx.lookup(id), "contentVersion");
        anchor = ctx.anchor();
        edit.make(edit.bytes);
        changes = waitFor(ctx, anchor, [&](const Changes& c) {
            auto it = c.updates.find(id);
            return it != c.updates.end() && text(it->second, "contentVersion") != version;
        });
        auto record = changes.updates.find(id);
        if (record == changes.updates.end() || text(record->second, "contentVersion") == version)
            ctx.depart(
                onDisk(std::string("the file ") + edit.what, anchor), changes.exchange.gotText(),
                "\"updates\" holding \"" + id +
                    "\" with a new \"contentVersion\": an unseen edit is overwritten by the next upload "
                    "against the old base, with no conflict copy");
        ctx.expect(ctx.download(id) == edit.bytes, changes.exchange, "the edited bytes downloaded");
    }
}

// Names, kinds and bytes of everything below `top`, links not followed.
std::map<std::string, std::string> snapshot(const fs::path& top) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(top, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::string relative = fs::relative(it->path(), top, ec).string();
        auto status = it->symlink_status(ec);
        if (fs::is_regular_file(status))
            out[relative] = "file " + foundation::readFile(it->path()).value_or("<unreadable>");
        else
            out[relative] = fs::is_directory(status) ? "folder" : "other";
    }
    return out;
}

void symlinkOut(Context& ctx) {
    fs::path outside = ctx.settings.work / "outside the root";
    std::error_code ec;
    fs::remove_all(outside, ec);
    fs::create_directories(outside / "sub");
    const std::string secret = "a secret that lives outside the host's root";
    writeDisk(outside / "secret.txt", secret);
    writeDisk(outside / "sub" / "deep.txt", "deep");
    std::string area = ctx.area();
    Leftovers made;
    for (const auto& [name, target] : {std::pair<const char*, fs::path>{"link-file", outside / "secret.txt"},
                                       std::pair<const char*, fs::path>{"link-dir", outside}}) {
        fs::create_symlink(target, ctx.disk(area + "/" + name));
        made.paths.push_back(ctx.disk(area + "/" + name));
    }
    const auto before = snapshot(outside);
    const std::string expected =
        "the link neither served nor written through: nothing outside the root read, "
        "written, moved or removed";

    Listing listing = ctx.list(area);
    for (const char* name : {"/link-file", "/link-dir"})
        ctx.expect(!listing.find(area + name), listing.exchange, "no record for a link to outside the root");
    for (const char* id : {"/link-file", "/link-dir/secret.txt"}) {
        Exchange item = ctx.host.get("/v1/item", {{"id", area + id}});
        ctx.expect(item.status != 200, item, expected);
        Exchange content = ctx.host.get("/v1/content", {{"path", area + id}});
        ctx.expect(content.body.find(secret) == std::string::npos, content, expected);
    }
    Exchange inside = ctx.host.get("/v1/enumerate", {{"container", area + "/link-dir"}});
    ctx.expect(inside.body.find("secret.txt") == std::string::npos, inside, expected);

    std::int64_t anchor = ctx.anchor();
    std::vector<std::function<Exchange()>> writes = {
        [&] { return ctx.host.put(area + "/link-dir/planted.txt", "", "planted"); },
        [&] { return ctx.host.put(area + "/link-dir/secret.txt", "", "overwritten"); },
        [&] { return ctx.host.put(area + "/link-file", "", "overwritten through the link"); },
        [&] { return ctx.host.folder(area + "/link-dir/planted folder"); },
        [&] { return ctx.host.move(area + "/link-dir/secret.txt", area + "/taken.txt"); },
        [&] { return ctx.host.move(area + "/link-dir/sub", area + "/taken folder"); },
        [&] { return ctx.removeFile(area + "/link-dir/secret.txt", "1"); },
        [&] { return ctx.removeRecursively(area + "/link-dir/sub", anchor); },
        [&] { return ctx.removeRecursively(area + "/link-dir", anchor); },
    };
    for (const auto& write : writes) {
        Exchange sent = write();
        if (snapshot(outside) != before)
            ctx.depart(sent.sentText(), sent.gotText() + "; then the folder outside the root had changed",
                       expected);
    }
}

std::string kindOf(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0)
        return "gone";
    if (S_ISFIFO(info.st_mode))
        return "fifo";
    if (S_ISLNK(info.st_mode))
        return "link to " + fs::read_symlink(path).string();
    return S_ISDIR(info.st_mode) ? "folder" : "file";
}

void unlistedKept(Context& ctx) {
    std::string u = ctx.area();
    ctx.upload(u + "/target.txt", "the link's target");
    ctx.upload(u + "/real.txt", "a file the host lists");
    Leftovers made;
    fs::path fifo = ctx.disk(u + "/fifo"), link = ctx.disk(u + "/link");
    if (::mkfifo(fifo.c_str(), 0644) != 0)
        throw Unready{"could not make a FIFO at " + fifo.string(), "", ""};
    made.paths.push_back(fifo);
    fs::create_symlink("target.txt", link);
    made.paths.push_back(link);
    ctx.list(u); // the host has seen the folder as it is now
    const std::map<fs::path, std::string> kept{{fifo, "fifo"}, {link, "link to target.txt"}};
    std::vector<std::function<Exchange()>> writes = {
        [&] { return ctx.host.put(u + "/fifo", "", "replacing a FIFO"); },
        [&] { return ctx.host.put(u + "/link", "", "replacing a link"); },
        [&] { return ctx.host.folder(u + "/fifo"); },
        [&] { return ctx.host.move(u + "/real.txt", u + "/link"); },
        [&] { return ctx.host.move(u + "/real.txt", u + "/fifo"); },
        [&] { return ctx.removeFile(u + "/fifo", "1"); },
        [&] {
            return ctx.host.remove({{"path", u + "/link"}, {"dir", "1"}});
        },
        [&] {
            Listing listing = ctx.list(u);
            return ctx.removeRecursively(u, listing.anchor.value_or(0));
        },
    };
    for (const auto& write : writes) {
        Exchange sent = write();
        for (const auto& [path, kind] : kept)
            if (kindOf(path) != kind)
                ctx.depart(
                    sent.sentText(),
                    sent.gotText() + "; then " + path.filename().string() + " was " + kindOf(path),
                    "what the host does not list is never replaced or removed (409 \"collision\" for a "
                    "creation or move onto it, 409 \"changed\" for a recursive delete above it)");
    }
}

void nfdName(Context& ctx) {
    std::string nfc = "Caf\u00e9 cr\u00e8me.txt";
    std::int64_t anchor = ctx.anchor();
    writeDisk(ctx.disk(ctx.area()) / decomposed(nfc).value(), "decomposed on disk");
    std::string id = ctx.at(nfc), nfd = ctx.at(decomposed(nfc).value());
    Changes changes =
        waitFor(ctx, anchor, [&](const Changes& c) { return c.updates.count(id) || c.updates.count(nfd); });
    ctx.expect(changes.updates.count(id) == 1, changes.exchange,
               "\"updates\" holding the composed identifier \"" + id + "\"");
    Exchange got = ctx.host.get("/v1/content", {{"path", id}});
    ctx.expect(got.status == 200 && got.body == "decomposed on disk", got,
               "the file found by its composed path");
}

void readOnly(Context& ctx) {
    std::string id = ctx.at("read only.txt");
    std::string version = text(ctx.upload(id, "read only"), "contentVersion");
    Leftovers made;
    std::int64_t anchor = ctx.anchor();
    fs::permissions(ctx.disk(id), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    made.paths.push_back(ctx.disk(id));
    Changes changes = waitFor(ctx, anchor, [&](const Changes& c) { return c.updates.count(id) > 0; });
    auto record = ctx.lookup(id);
    const json::value* writable = record ? record->if_contains("writable") : nullptr;
    ctx.note("a file of mode 0444 has \"writable\" " + (writable ? json::serialize(*writable) : "absent") +
             (changes.updates.count(id) ? ", reported as a change" : ", not reported as a change"));
    Exchange put = ctx.host.put(id, version, "written anyway");
    ctx.note("an upload to it: " + std::to_string(put.status) +
             (put.kind() ? " \"" + *put.kind() + "\"" : "") +
             (put.status == 200
                  ? " (written)"
                  : " -> " + consequence("PUT", "/v1/content", put.status, put.kind().value_or(""))));
}

} // namespace

void addDiskChecks(std::vector<Check>& checks) {
    using N = Check::Needs;
    checks.push_back(
        {"disk.external-edit", Level::required,
         "files made, appended to, renamed and deleted by another program appear in the change log", N::disk,
         externalEdit});
    checks.push_back({"disk.same-size-edit", Level::required,
                      "an edit by another program that keeps the size and modification time is seen", N::disk,
                      sameSizeEdit});
    checks.push_back(
        {"disk.symlink-out", Level::required,
         "a symbolic link to outside the root is never served, written, moved or deleted through", N::disk,
         symlinkOut});
    checks.push_back({"disk.unlisted-kept", Level::required,
                      "an entry the host does not list (a link, a FIFO) is never replaced or removed",
                      N::disk, unlistedKept});
    checks.push_back({"disk.nfd-name", Level::recommended,
                      "a file named in decomposed form (NFD) on disk is served under its composed identifier",
                      N::disk, nfdName});
    checks.push_back({"disk.read-only", Level::informational,
                      "how a file without write permission is shown and what an upload to it is answered",
                      N::disk, readOnly});
}

} // namespace wl::hostcheck
