#pragma once

// The checks and what they share: each check has a stable name, a level and a one-line description, and
// runs against the host through a Context, which gives it a folder of its own inside the scratch folder,
// helpers that set up what it needs, and what the whole run has seen (records, refusals, anchors).
// Everything runs on the one thread that runs the checks.
#include "Records.h"
#include "Wire.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace wl::hostcheck {

enum class Level { required, recommended, informational };
enum class Status { pass, fail, blocked, skipped, info };

const char* levelName(Level level);
const char* statusName(Status status);

// A check stops at its first departure from what the extension relies on.
struct Departure {
    std::string sent, got, expected;
};
// What a check needs could not be set up: it tells nothing about the check's own rule.
struct Unready {
    std::string why, sent, got;
};

class Context;

struct Check {
    enum class Needs { file, host, scratch, disk, extension }; // file: the connection file alone
    std::string name;
    Level level;
    std::string description;
    Needs needs;
    std::function<void(Context&)> run;
};

// Every check, in the order they run.
const std::vector<Check>& allChecks();

struct Result {
    const Check* check = nullptr;
    Status status = Status::pass;
    std::string sent, got, expected, note;
    double seconds = 0;
};

struct Listing {
    Exchange exchange;
    std::vector<boost::json::object> items;
    std::optional<std::int64_t> anchor;
    const boost::json::object* find(const std::string& identifier) const;
};

struct Changes {
    Exchange exchange;
    std::map<std::string, boost::json::object> updates;
    std::set<std::string> deletions;
    std::optional<std::int64_t> anchor;
    std::optional<std::string> epoch;
};

// The real extension, loaded as the system loads it, driven for the end-to-end checks.
class ExtensionPass;

struct Settings {
    std::filesystem::path connectionFile;
    std::optional<std::filesystem::path> root;       // the host's folder on this machine, when given
    std::filesystem::path work;                      // wl-hostcheck's own temporary folder, outside the root
    std::optional<std::string> extensionUnavailable; // why the end-to-end pass cannot run, when it cannot
};

class Context {
public:
    Context(Client& host, Settings settings);
    ~Context();

    Client& host;
    const Settings settings;

    void begin(const Check& check);
    const Check& current() const { return *current_; }

    // The running check's own folder inside the scratch folder, made on first use.
    const std::string& area();
    std::string at(const std::string& relative) { return area() + "/" + relative; }
    // The disk path of an identifier inside the scratch folder (with --root only).
    std::filesystem::path disk(const std::string& identifier) const;

    void note(const std::string& text);
    std::string takeNote();

    // Set-up helpers: Unready when the host does not do what they ask.
    boost::json::object folder(const std::string& identifier);
    boost::json::object upload(const std::string& identifier, const std::string& bytes,
                               const std::string& base = "");
    // The record at `identifier`, or none for a 404.
    std::optional<boost::json::object> lookup(const std::string& identifier);
    std::string download(const std::string& identifier);
    std::int64_t anchor();
    Listing list(const std::string& container);
    Changes changes(std::int64_t since);
    Exchange removeFile(const std::string& identifier, const std::string& base);
    Exchange removeRecursively(const std::string& identifier, std::int64_t anchor);

    // Departures.
    [[noreturn]] static void depart(const Exchange& exchange, std::string expected);
    [[noreturn]] static void depart(std::string sent, std::string got, std::string expected);
    static void expect(bool holds, const Exchange& exchange, std::string expected) {
        if (!holds)
            depart(exchange, std::move(expected));
    }

    // What the whole run has seen.
    struct Seen {
        std::string sent, got, problem;
    };
    std::map<Aspect, std::vector<Seen>> shape;
    std::size_t recordsSeen = 0;
    struct Refused {
        std::string method, path;
        long status;
        std::string kind;
        bool envelope;
        std::string sent, got;
    };
    std::vector<Refused> refusals;
    struct Revision {
        std::string sent;
        std::int64_t revision;
    };
    std::vector<Revision> revisions; // "anchor" of every /v1/anchor and /v1/changes answer, in order
    std::vector<std::pair<std::string, std::string>> epochs; // (what was sent, the epoch answered)
    std::vector<std::string> epochless;                      // "/v1/anchor" answers without an epoch

    ExtensionPass& extension();

private:
    void observe(const Exchange& exchange);
    void shapeOf(const boost::json::value& record, const Exchange& exchange);

    const Check* current_ = nullptr;
    std::string area_;
    std::string note_;
    std::unique_ptr<ExtensionPass> extension_;
};

// The "item" of a 200 answer to a write, when it is a JSON object.
std::optional<boost::json::object> answeredItem(const Exchange& exchange);

// Bytes of `size` from a generator seeded by `seed`: different seeds give different bytes.
std::string pattern(std::size_t size, unsigned seed);

// The checks of each area, appended in run order.
void addFrameChecks(std::vector<Check>& checks);
void addReadChecks(std::vector<Check>& checks);
void addWriteChecks(std::vector<Check>& checks);
void addChangeChecks(std::vector<Check>& checks);
void addDiskChecks(std::vector<Check>& checks);
void addExtensionChecks(std::vector<Check>& checks);
void addSummaryChecks(std::vector<Check>& checks);

} // namespace wl::hostcheck
