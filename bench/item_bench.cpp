// Building file items from a parsed listing, with kept-local sets of several sizes: the store check per
// item must cost a stat and a hash lookup, not a parse.
#include "foundation/Files.h"
#include "item/WLItem.h"
#include "kept/KeptLocal.h"

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

int main() {
    constexpr int files = 100000;
    std::string scratch =
        (foundation::temporaryDirectory() / ("item-bench-" + foundation::uuidString())).string();
    std::filesystem::create_directories(scratch);
    wl::KeptLocal::testDirectory = scratch;

    boost::json::array items;
    for (int i = 0; i < files; ++i)
        items.push_back(boost::json::object{{"identifier", "Docs/file-" + std::to_string(i) + ".txt"},
                                            {"parentIdentifier", "Docs"},
                                            {"name", "file-" + std::to_string(i) + ".txt"},
                                            {"size", i},
                                            {"mtime", 1700000000.5},
                                            {"contentVersion", "c" + std::to_string(i)},
                                            {"metadataVersion", "m1"}});
    auto answer =
        wl::decodeJSON(boost::json::serialize(boost::json::object{{"items", items}, {"anchor", 1}}));
    auto records = *wl::jsonArrayOfObjects(*answer, "items");
    std::vector<fileprovider::ItemIdentifier> identifiers;
    for (const auto* record : records)
        identifiers.emplace_back(std::string(*wl::jsonString(*record, "identifier")));

    std::printf("%d file items from parsed records\n", files);
    std::size_t hits = 0; // returned, so that the checks are not optimised away
    for (int kept : {0, 10000, 100000}) {
        boost::json::array ids;
        for (int i = 0; i < kept; ++i)
            ids.emplace_back("Docs/file-" + std::to_string(i) + ".txt");
        foundation::writeAtomically(std::filesystem::path(scratch) / "fp-kept.json",
                                    boost::json::serialize(boost::json::object{{"ids", ids}, {"gen", 1}}));
        wl::KeptLocal::resetForTesting();
        (void)wl::KeptLocal::generation(); // the one parse, outside the timing

        // A listing: one snapshot (one stat) for the whole batch.
        auto begin = Clock::now();
        std::size_t local = 0;
        auto snapshot = wl::KeptLocal::snapshot();
        for (const auto* record : records)
            local += wl::WLItem(wl::shareObject(answer, *record), snapshot).localOnThisMac() ? 1 : 0;
        double itemNs = std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / files;

        begin = Clock::now();
        auto checked = wl::KeptLocal::snapshot();
        for (const auto& id : identifiers)
            hits += checked.contains(id) ? 1 : 0;
        double checkNs = std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / files;

        begin = Clock::now();
        for (const auto& id : identifiers)
            hits += wl::KeptLocal::contains(id) ? 1 : 0;
        double singleNs = std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / files;
        std::printf("  kept %6d: %5.0f ns per item built; store check %4.0f ns per item in a listing "
                    "(target <= 1000), %5.0f ns alone (a stat each); %zu local\n",
                    kept, itemNs, checkNs, singleNs, local);
    }
    std::filesystem::remove_all(scratch);
    return hits == SIZE_MAX ? 1 : 0;
}
