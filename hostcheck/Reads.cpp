// Item lookup and listings: what the system shows.
#include "Checks.h"

#include <set>

namespace wl::hostcheck {

namespace json = boost::json;

namespace {

void expectRecordAt(Context& ctx, const std::string& identifier, const std::string& parent,
                    const std::string& name, bool folder) {
    Exchange got = ctx.host.get("/v1/item", {{"id", identifier}});
    auto record = got.object();
    std::string expected = "200 with a record whose \"identifier\" is \"" + identifier +
                           "\", \"parentIdentifier\" \"" + parent + "\", \"name\" \"" + name + "\"" +
                           (folder ? ", a folder" : "");
    ctx.expect(got.status == 200 && record && text(*record, "identifier") == identifier &&
                   text(*record, "parentIdentifier") == parent && text(*record, "name") == name &&
                   isDir(*record) == folder,
               got, expected);
}

void expectNotFound(Context& ctx, const Exchange& got) {
    ctx.expect(got.status == 404, got,
               "404: the extension reports \"no such item\" and the system removes it");
}

void listsExactly(Context& ctx, const std::string& container, const std::set<std::string>& names) {
    Listing listing = ctx.list(container);
    std::set<std::string> expected, found;
    for (const auto& name : names)
        expected.insert(std::string(container).append("/").append(name));
    for (const auto& item : listing.items) {
        found.insert(text(item, "identifier"));
        ctx.expect(text(item, "parentIdentifier") == container, listing.exchange,
                   "every item's \"parentIdentifier\" is \"" + container + "\"");
    }
    std::string want;
    for (const auto& id : expected)
        want += (want.empty() ? "" : ", ") + json::serialize(json::value(id));
    ctx.expect(found == expected, listing.exchange, "200 with exactly the children [" + want + "]");
}

} // namespace

void addReadChecks(std::vector<Check>& checks) {
    checks.push_back(
        {"item.root", Level::required,
         "the root is looked up as \"NSFileProviderRootContainerItemIdentifier\" and is a folder",
         Check::Needs::host, [](Context& ctx) {
             Exchange got = ctx.host.get("/v1/item", {{"id", rootIdentifier}});
             auto record = got.object();
             ctx.expect(got.status == 200 && record && text(*record, "identifier") == rootIdentifier &&
                            isDir(*record),
                        got, "200 with the root's record: that identifier, \"isDir\" true");
         }});
    checks.push_back({"item.path", Level::required,
                      "an item is found by its path, with spaces and reserved characters in its names",
                      Check::Needs::scratch, [](Context& ctx) {
                          std::string folder = ctx.at("sub folder");
                          ctx.folder(folder);
                          expectRecordAt(ctx, folder, ctx.area(), "sub folder", true);
                          for (const char* name :
                               {"a b.txt", "x&y=z+1%20#?.txt", "Gr\u00fc\u00dfe \u00df.txt",
                                "\u65e5\u672c\u8a9e.txt", "semi;colon,comma'quote.txt"}) {
                              ctx.upload(folder + "/" + name, name);
                              expectRecordAt(ctx, folder + "/" + name, folder, name, false);
                          }
                      }});
    checks.push_back(
        {"item.nfd", Level::recommended,
         "a name sent decomposed (NFD) is answered composed (NFC) and found by its composed path",
         Check::Needs::scratch, [](Context& ctx) {
             std::string nfc = "Caf\u00e9 d\u00e9j\u00e0.txt";
             std::string sent = ctx.at(decomposed(nfc).value());
             Exchange put = ctx.host.put(sent, "", "nfd");
             if (put.status != 200) {
                 ctx.note("the host refuses decomposed names (" + put.gotText() + ")");
                 return;
             }
             auto answer = put.object();
             const json::value* item = answer ? answer->if_contains("item") : nullptr;
             ctx.expect(item && item->is_object() && text(item->get_object(), "identifier") == ctx.at(nfc),
                        put, "the record's \"identifier\" in composed form: \"" + ctx.at(nfc) + "\"");
             expectRecordAt(ctx, ctx.at(nfc), ctx.area(), nfc, false);
         }});
    checks.push_back(
        {"item.unknown", Level::required,
         "an unknown identifier is answered 404 (the writer's existence probe relies on it)",
         Check::Needs::host, [](Context& ctx) {
             for (const char* name : {"/no such item.txt", "/no such folder/deeper.txt"})
                 expectNotFound(ctx, ctx.host.get("/v1/item", {{"id", ctx.host.scratch() + name}}));
         }});
    checks.push_back({"list.root", Level::required,
                      "the root is listed with \"container\" \"NSFileProviderRootContainerItemIdentifier\"",
                      Check::Needs::scratch, [](Context& ctx) {
                          Listing listing = ctx.list(rootIdentifier);
                          const json::object* scratch = listing.find(ctx.host.scratch());
                          ctx.expect(scratch && isDir(*scratch) &&
                                         text(*scratch, "parentIdentifier") == rootIdentifier,
                                     listing.exchange,
                                     "200 with \"items\" holding the scratch folder's record, a folder whose "
                                     "\"parentIdentifier\" is the root's");
                      }});
    checks.push_back({"list.folder", Level::required,
                      "a folder lists exactly its children, an empty folder an empty \"items\"",
                      Check::Needs::scratch, [](Context& ctx) {
                          ctx.upload(ctx.at("a.txt"), "a");
                          ctx.upload(ctx.at("b.txt"), "b");
                          ctx.folder(ctx.at("c"));
                          ctx.upload(ctx.at("c/d.txt"), "d");
                          ctx.folder(ctx.at("e"));
                          listsExactly(ctx, ctx.area(), {"a.txt", "b.txt", "c", "e"});
                          listsExactly(ctx, ctx.at("c"), {"d.txt"});
                          listsExactly(ctx, ctx.at("e"), {});
                      }});
    checks.push_back({"list.working-set", Level::required,
                      "the working set (\"/v1/all\") lists every item below the root once",
                      Check::Needs::scratch, [](Context& ctx) {
                          ctx.folder(ctx.at("deep"));
                          ctx.folder(ctx.at("deep/er"));
                          ctx.upload(ctx.at("deep/er/file.txt"), "f");
                          Exchange got = ctx.host.get("/v1/all");
                          auto body = got.object();
                          const json::value* items = body ? body->if_contains("items") : nullptr;
                          ctx.expect(got.status == 200 && items && items->is_array(), got,
                                     "200 with an \"items\" array");
                          std::multiset<std::string> found;
                          for (const auto& item : items->get_array()) {
                              ctx.expect(item.is_object(), got, "every element of \"items\" a JSON object");
                              found.insert(text(item.get_object(), "identifier"));
                          }
                          for (const char* name : {"", "/deep", "/deep/er", "/deep/er/file.txt"}) {
                              std::string id = ctx.area() + name;
                              ctx.expect(found.count(id) == 1, got, "\"items\" holding \"" + id + "\" once");
                          }
                      }});
    checks.push_back({"list.anchor", Level::required,
                      "listings carry an integral \"anchor\", no later than the host's anchor after them",
                      Check::Needs::scratch, [](Context& ctx) {
                          ctx.upload(ctx.at("file.txt"), "f");
                          std::vector<Listing> listings{ctx.list(rootIdentifier), ctx.list(ctx.area())};
                          Listing all;
                          all.exchange = ctx.host.get("/v1/all");
                          auto body = all.exchange.object();
                          all.anchor = body ? integral(*body, "anchor") : std::nullopt;
                          listings.push_back(all);
                          std::int64_t after = ctx.anchor();
                          for (const auto& listing : listings)
                              ctx.expect(
                                  listing.anchor && *listing.anchor <= after, listing.exchange,
                                  "an integral \"anchor\" no greater than the host's anchor after it (" +
                                      std::to_string(after) + ")");
                      }});
    checks.push_back(
        {"list.unknown", Level::recommended, "listing a container that does not exist is answered 404",
         Check::Needs::host, [](Context& ctx) {
             expectNotFound(
                 ctx, ctx.host.get("/v1/enumerate", {{"container", ctx.host.scratch() + "/no such folder"}}));
         }});
    checks.push_back({"content.unknown", Level::recommended, "downloading an unknown path is answered 404",
                      Check::Needs::host, [](Context& ctx) {
                          expectNotFound(ctx, ctx.host.get("/v1/content",
                                                           {{"path", ctx.host.scratch() + "/no such file"}}));
                      }});
}

} // namespace wl::hostcheck
