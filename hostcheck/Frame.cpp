// The request frame: the connection file and the token.
#include "Checks.h"

#include <sys/stat.h>

namespace wl::hostcheck {

namespace json = boost::json;

namespace {

// One request of every endpoint, made against the running check's folder; `untouched` holds when a
// write that should have been refused left no mark.
struct Probe {
    std::function<Exchange(Context&, const Auth&)> send;
    std::function<bool(Context&)> untouched = [](Context&) { return true; };
};

struct Fixture {
    std::string file;
    std::string version;
};

Fixture prepare(Context& ctx) {
    std::string file = ctx.at("probe.txt");
    auto record = ctx.upload(file, "probe");
    return {file, text(record, "contentVersion")};
}

std::vector<Probe> probes(Context& ctx, const Fixture& fixture, bool everyEndpoint) {
    std::string fresh = ctx.at("made without the token.txt");
    std::string folder = ctx.at("made without the token");
    std::string moved = ctx.at("moved without the token.txt");
    auto absent = [](const std::string& id) { return [id](Context& c) { return !c.lookup(id); }; };
    auto present = [](const std::string& id) {
        return [id](Context& c) { return c.lookup(id).has_value(); };
    };
    std::vector<Probe> out;
    out.push_back({[](Context& c, const Auth& a) {
        return c.host.get("/v1/item", {{"id", rootIdentifier}}, a);
    }});
    out.push_back(
        {[fresh](Context& c, const Auth& a) { return c.host.put(fresh, "", "x", a); }, absent(fresh)});
    out.push_back({[fixture](Context& c, const Auth& a) {
                       return c.host.remove({{"path", fixture.file}, {"base", fixture.version}}, a);
                   },
                   present(fixture.file)});
    if (!everyEndpoint)
        return out;
    for (const char* path : {"/v1/all", "/v1/anchor"})
        out.push_back({[path](Context& c, const Auth& a) { return c.host.get(path, {}, a); }});
    out.push_back({[](Context& c, const Auth& a) {
        return c.host.get("/v1/enumerate", {{"container", rootIdentifier}}, a);
    }});
    out.push_back({[](Context& c, const Auth& a) {
        return c.host.get("/v1/changes", {{"anchor", "0"}}, a);
    }});
    out.push_back({[fixture](Context& c, const Auth& a) {
        return c.host.get("/v1/content", {{"path", fixture.file}}, a);
    }});
    out.push_back({[folder](Context& c, const Auth& a) { return c.host.folder(folder, a); }, absent(folder)});
    out.push_back(
        {[fixture, moved](Context& c, const Auth& a) { return c.host.move(fixture.file, moved, a); },
         present(fixture.file)});
    return out;
}

void refusedEverywhere(Context& ctx, const Fixture& fixture, const Auth& auth, bool everyEndpoint) {
    for (const auto& probe : probes(ctx, fixture, everyEndpoint)) {
        Exchange sent = probe.send(ctx, auth);
        ctx.expect(sent.status == 401, sent, "401, and nothing done");
        if (!probe.untouched(ctx))
            ctx.depart(sent.sentText(), sent.gotText() + ", but the request was carried out",
                       "401, and nothing done");
    }
}

// Tokens that differ from the real one in the ways a careless comparison lets through.
std::vector<std::string> wrongTokens(const std::string& token) {
    std::vector<std::string> out;
    if (!token.empty()) {
        std::string flipped = token;
        flipped.back() = flipped.back() == 'x' ? 'y' : 'x';
        out.push_back(flipped);
        out.push_back(token.substr(0, token.size() - 1));
        out.emplace_back();
    }
    out.push_back(token + "0");
    return out;
}

} // namespace

void addFrameChecks(std::vector<Check>& checks) {
    checks.push_back({"connection.file", Level::required,
                      "the connection file holds a whole-number \"port\" and a string \"token\"",
                      Check::Needs::file,
                      [](Context&) {}}); // read before any check runs: the runner reports it
    checks.push_back({"connection.private", Level::recommended,
                      "the connection file can be read by its owner only (it holds the token)",
                      Check::Needs::file, [](Context& ctx) {
                          struct stat info {};
                          if (::stat(ctx.settings.connectionFile.c_str(), &info) != 0)
                              ctx.depart("stat " + ctx.settings.connectionFile.string(), "no such file",
                                         "a file of mode 0600");
                          if ((info.st_mode & 077) != 0) {
                              char mode[8];
                              std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777);
                              ctx.depart("stat " + ctx.settings.connectionFile.string(),
                                         std::string("mode ") + mode + ": others may read the token",
                                         "no permission for group or others (0600)");
                          }
                      }});
    checks.push_back({"connection.reachable", Level::required,
                      "the host answers HTTP on 127.0.0.1 at the connection file's port", Check::Needs::host,
                      [](Context& ctx) {
                          Exchange got = ctx.host.get("/v1/anchor");
                          ctx.expect(got.answered(), got, "an HTTP answer");
                      }});
    checks.push_back({"token.missing", Level::required,
                      "every endpoint refuses a request without \"X-FP-Token\" with 401, and does nothing",
                      Check::Needs::scratch,
                      [](Context& ctx) { refusedEverywhere(ctx, prepare(ctx), Auth::none(), true); }});
    checks.push_back({"token.wrong", Level::required,
                      "a wrong token is refused with 401: one character changed, a prefix, a longer one, the "
                      "empty one",
                      Check::Needs::scratch, [](Context& ctx) {
                          Fixture fixture = prepare(ctx);
                          for (const auto& token : wrongTokens(ctx.host.connection().token))
                              refusedEverywhere(ctx, fixture, Auth::given(token), false);
                      }});
}

} // namespace wl::hostcheck
