#pragma once

// fpctl plays the system for one domain: it loads the extension module as the system does, creates the
// extension object, makes the system's calls and reports what the system receives. One Session runs any
// number of commands against one extension object.
#include "Terminal.h"
#include "fileprovider/fileprovider.h"
#include "system/ExtensionLoader.h"

#include <atomic>
#include <boost/json.hpp>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fpctl {

// The system side that fpctl plays for its domain: the manager calls the extension makes are answered
// here; signals are recorded for the command that is running. Every completion runs on the caller's
// thread, before the call returns.
class PlayedSystem : public fileprovider::System {
public:
    explicit PlayedSystem(fileprovider::Domain domain);

    std::vector<std::string> takeSignals();
    // Signals recorded so far, and a wait until there are more than `seen` (false when `limit` passed).
    std::uint64_t signalCount();
    bool waitForSignal(std::uint64_t seen, std::chrono::milliseconds limit);
    // Pages the materialized-items enumerator serves next, and the page (from 0) that fails instead.
    void setMaterializedPages(std::vector<std::vector<std::string>> pages,
                              std::optional<std::size_t> failOnPage);
    std::filesystem::path domainDirectory() const;

    void addDomain(const fileprovider::Domain& domain, fileprovider::ErrorCompletion completion) override;
    void removeDomain(const fileprovider::Domain& domain, fileprovider::RemoveDomainMode mode,
                      fileprovider::URLCompletion completion) override;
    void getDomains(fileprovider::DomainsCompletion completion) override;
    bool hasManager(const fileprovider::Domain& domain) override;
    void signalEnumerator(const fileprovider::Domain& domain, const fileprovider::ItemIdentifier& container,
                          fileprovider::ErrorCompletion completion) override;
    void signalErrorResolved(const fileprovider::Domain& domain, foundation::ErrorRef error,
                             fileprovider::ErrorCompletion completion) override;
    void getUserVisibleURL(const fileprovider::Domain& domain, const fileprovider::ItemIdentifier& item,
                           fileprovider::URLCompletion completion) override;
    std::optional<std::filesystem::path> temporaryDirectory(const fileprovider::Domain& domain,
                                                            foundation::ErrorRef* error) override;
    std::shared_ptr<fileprovider::Enumerator>
    enumeratorForMaterializedItems(const fileprovider::Domain& domain) override;

private:
    fileprovider::Domain domain_;
    std::mutex mutex_;
    std::condition_variable signalled_;
    std::vector<std::string> signals_;
    std::uint64_t signalCount_ = 0;
    std::vector<std::vector<std::string>> pages_;
    std::optional<std::size_t> failOnPage_;
};

class Session {
public:
    Session(std::unique_ptr<fpsystem::LoadedExtension> loaded, fileprovider::Domain domain);
    ~Session();

    // Runs one command in script form ({"op": ...}) and gives its outcome, always with "op" and "signals".
    // Throws std::invalid_argument for a malformed command.
    boost::json::object run(const boost::json::object& command);

    // Follows a container's changes as the system does (anchor, changes, new anchor, ...) until `stop` is
    // set: after each signal, and every "interval" seconds. Each round that brings something is passed to
    // `emit` as it ends. False when the container has no enumerator.
    bool watch(const boost::json::object& command,
               const std::function<void(const boost::json::object&)>& emit, const std::atomic<bool>& stop);

    // Shows the progress of downloads and uploads while they run; null shows nothing.
    void setProgressDisplay(std::shared_ptr<ProgressDisplay> display) { display_ = std::move(display); }

private:
    boost::json::object info(const boost::json::object& command);
    boost::json::object item(const boost::json::object& command);
    boost::json::object enumerator(const boost::json::object& command);
    boost::json::object list(const boost::json::object& command);
    boost::json::object anchor(const boost::json::object& command);
    boost::json::object changes(const boost::json::object& command);
    boost::json::object fetch(const boost::json::object& command);
    boost::json::object fetchPartial(const boost::json::object& command);
    boost::json::object create(const boost::json::object& command);
    boost::json::object modify(const boost::json::object& command);
    boost::json::object remove(const boost::json::object& command);
    boost::json::object materializedChanged(const boost::json::object& command);
    // Runs a create or modify call and reports what its completion received; `label` names an upload.
    boost::json::object reportWrite(
        const std::function<fileprovider::ProgressRef(fileprovider::ReplicatedExtension::WriteCompletion)>&
            call,
        const std::optional<std::string>& label);
    std::shared_ptr<fileprovider::Enumerator> enumeratorFor(const std::string& container,
                                                            foundation::ErrorRef& error);
    // The item as the extension has it now, or the error of looking it up.
    std::pair<fileprovider::ItemRef, foundation::ErrorRef> lookUp(const fileprovider::ItemIdentifier& id);
    std::optional<fileprovider::SyncAnchor> currentAnchor(fileprovider::Enumerator& enumerator,
                                                          const std::function<bool()>& tick = {});
    // A tick for a wait: redraws the progress display, when there is one.
    std::function<bool()> progressTick(const std::string& label, const fileprovider::ProgressRef& progress);
    void finishProgress();
    boost::json::object finished(boost::json::object output, bool recursive = false);

    std::unique_ptr<fpsystem::LoadedExtension> loaded_;
    fileprovider::Domain domain_;
    std::shared_ptr<PlayedSystem> system_;
    std::shared_ptr<fileprovider::ReplicatedExtension> extension_;
    std::vector<std::filesystem::path> fetched_; // files the extension handed over stay until the end
    std::shared_ptr<ProgressDisplay> display_;
};

// The text form of an output object, for people; `columns` is the terminal's width, 0 when the text does
// not go to a terminal.
std::string describe(const boost::json::object& output, int columns);

} // namespace fpctl
