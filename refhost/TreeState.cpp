// The index saved between runs: written whole at a clean stop, marked unclean while the host runs.
#include "Tree.h"
#include "TreeDetail.h"
#include "foundation/Files.h"

#include <algorithm>
#include <boost/json.hpp>

namespace refhost {

namespace fs = std::filesystem;
namespace json = boost::json;
using namespace detail;

namespace {

constexpr const char* stateFileName = "refhost-state.json";

} // namespace

void Tree::loadState() {
    epoch_ = foundation::uuidString().substr(0, 8);
    std::transform(epoch_.begin(), epoch_.end(), epoch_.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (!options_.stateDirectory)
        return;
    auto bytes = foundation::readFile(*options_.stateDirectory / stateFileName);
    if (!bytes)
        return;
    json::error_code ec;
    json::value document = json::parse(*bytes, ec);
    if (ec || !document.is_object())
        return;
    const json::object& state = document.get_object();
    // The revision keeps growing across every start, so that versions never repeat.
    if (auto* rev = state.if_contains("revision"); rev && rev->is_int64())
        revision_ = rev->get_int64();
    auto* clean = state.if_contains("clean");
    auto* epoch = state.if_contains("epoch");
    auto* root = state.if_contains("root");
    auto* nodes = state.if_contains("nodes");
    if (!clean || !clean->is_bool() || !clean->get_bool() || !epoch || !epoch->is_string() || !root ||
        !root->is_string() || root->get_string() != options_.root.string() || !nodes || !nodes->is_array())
        return; // a new history: anchors of the old one must fail
    epoch_ = std::string(epoch->get_string());
    if (auto* floor = state.if_contains("floor"); floor && floor->is_int64())
        floor_ = floor->get_int64();
    for (const auto& entry : nodes->get_array()) {
        const json::array* row = entry.if_array();
        // Rows of 11 come from before the change time was kept: it is then learnt, not compared.
        if (!row || (row->size() != 11 && row->size() != 12))
            continue;
        try {
            Node node;
            std::string key(row->at(0).as_string());
            node.diskName = std::string(row->at(1).as_string());
            node.isDir = row->at(2).as_bool();
            node.size = row->at(3).as_int64();
            node.mtimeNs = row->at(4).as_int64();
            node.inode = static_cast<ino_t>(row->at(5).as_int64());
            node.writable = row->at(6).as_bool();
            node.contentRev = row->at(7).as_int64();
            node.metadataRev = row->at(8).as_int64();
            node.changedRev = row->at(9).as_int64();
            node.deleted = row->at(10).as_bool();
            if (row->size() == 12)
                node.ctimeNs = row->at(11).as_int64();
            nodes_[key] = node;
            if (!node.deleted && !key.empty())
                children_[parentOf(key)].insert(nameOf(key));
        } catch (const std::exception&) {
            continue; // a damaged row: that item is found again by the scan
        }
    }
}

std::optional<std::string> Tree::saveStateLocked(bool clean) {
    if (!options_.stateDirectory)
        return std::nullopt;
    json::array nodes;
    nodes.reserve(nodes_.size());
    for (const auto& [key, node] : nodes_)
        nodes.push_back(json::array{key, node.diskName, node.isDir, node.size, node.mtimeNs,
                                    static_cast<std::int64_t>(node.inode), node.writable, node.contentRev,
                                    node.metadataRev, node.changedRev, node.deleted, node.ctimeNs});
    json::object state{{"epoch", epoch_}, {"revision", revision_},
                       {"clean", clean},  {"root", options_.root.string()},
                       {"floor", floor_}, {"nodes", std::move(nodes)}};
    std::error_code ec;
    fs::create_directories(*options_.stateDirectory, ec);
    if (ec)
        return "cannot make " + options_.stateDirectory->string() + ": " + ec.message();
    if (auto error =
            foundation::writeAtomically(*options_.stateDirectory / stateFileName, json::serialize(state)))
        return "cannot write " + (*options_.stateDirectory / stateFileName).string() + ": " +
               error->localizedDescription();
    return std::nullopt;
}

std::optional<std::string> Tree::saveClean() {
    std::lock_guard lock(mutex_);
    syncLocked();
    return saveStateLocked(true);
}

} // namespace refhost
