#pragma once

// The end-to-end pass: the real extension, loaded as the system loads it and driven as fpctl drives it,
// lists, fetches, creates, edits, renames and deletes inside the scratch folder and enumerates the
// changes, so that a host implementer sees what the system would see. Runs on the checks' thread; the
// extension's completions arrive on the URL session's queue and are waited for.
#include "Checks.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace fpctl {
class Session;
}

namespace wl::hostcheck {

class ExtensionPass {
public:
    explicit ExtensionPass(Context& ctx);
    ~ExtensionPass();

    // Gives the extension a connection file and stores of its own under `work`, so that the pass never
    // touches the real ones. Sets the environment, so it must run before any thread starts. The reason
    // when the extension's manifest cannot be read.
    static std::optional<std::string> prepare(const std::filesystem::path& work,
                                              const std::filesystem::path& connectionFile);

    // Runs the whole pass on first use, then throws what the step named found (nothing when it passed).
    void report(const std::string& step);

private:
    struct Outcome {
        std::optional<Departure> departure;
        std::optional<Unready> unready;
    };
    boost::json::object run(const boost::json::object& command);
    void runAll();
    template <typename F> void step(const std::string& name, F&& body);

    Context& ctx_;
    std::unique_ptr<fpctl::Session> session_;
    std::map<std::string, Outcome> outcomes_;
    bool ran_ = false;
};

} // namespace wl::hostcheck
