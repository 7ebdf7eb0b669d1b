#include "DomainCommand.h"

#include "fileprovider/fileprovider.h"
#include "foundation/Dispatch.h"
#include "foundation/ProcessInfo.h"

#include <memory>
#include <mutex>
#include <ostream>

namespace domaintool {

using fileprovider::Domain;
using fileprovider::ItemIdentifier;
using fileprovider::Manager;
using foundation::ErrorRef;

namespace {

const char* usageText =
    "usage: wl-fpdomain add|remove|wipe|signal|refresh|status|visible [identifier] [displayName]\n";

// What the completion handlers share with the waiting main thread; it outlives an abandoned wait.
struct Call {
    explicit Call(std::ostream& out) : out(out) {}

    // Prints one line of data unless the main thread has stopped waiting.
    void print(const std::string& text) {
        std::lock_guard lock(mutex);
        if (!abandoned)
            out << text << std::flush;
    }
    // Stores the error and signals the semaphore: the signal orders the store before the main read.
    void finish(ErrorRef error) {
        {
            std::lock_guard lock(mutex);
            callError = std::move(error);
        }
        semaphore.signal();
    }

    std::ostream& out;
    std::mutex mutex;
    bool abandoned = false;
    ErrorRef callError;
    foundation::DispatchSemaphore semaphore{0};
};

} // namespace

int runDomainCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                     Limits limits) {
    if (args.size() < 2) {
        err << usageText << std::flush;
        return 1;
    }
    const std::string& cmd = args[1];
    const std::string identifier = args.size() >= 3 ? args[2] : defaultDomainIdentifier;
    const std::string displayName = args.size() >= 4 ? args[3] : defaultDisplayName;
    const Domain domain(identifier, displayName);
    auto call = std::make_shared<Call>(out);
    auto store = [call](ErrorRef error) { call->finish(std::move(error)); };
    auto managerOrFail = [&]() -> std::shared_ptr<Manager> {
        auto manager = Manager::forDomain(domain);
        if (!manager)
            err << "wl-fpdomain: no manager for domain " << identifier << "\n" << std::flush;
        return manager;
    };

    if (cmd == "add") {
        Manager::addDomain(domain, store);
    } else if (cmd == "remove") {
        if (!foundation::isOperatingSystemAtLeast(12, 0)) {
            err << "wl-fpdomain: remove: this macOS cannot keep edits not yet uploaded; nothing removed\n"
                << std::flush;
            return 3;
        }
        Manager::removeDomain(domain, fileprovider::RemoveDomainMode::preserveDirtyUserData,
                              [call](std::optional<std::filesystem::path> url, ErrorRef error) {
                                  if (url)
                                      call->print(url->string() + "\n");
                                  call->finish(std::move(error));
                              });
    } else if (cmd == "wipe") {
        Manager::removeDomain(domain, store);
    } else if (cmd == "status") {
        Manager::getDomains([call, identifier](std::vector<Domain> domains, ErrorRef error) {
            if (!error) {
                const Domain* match = nullptr;
                for (const auto& d : domains)
                    if (d.identifier() == identifier) {
                        match = &d;
                        break;
                    }
                std::string enabled = "null";
                if (match && foundation::isOperatingSystemAtLeast(15, 0))
                    enabled = match->userEnabled() ? "true" : "false";
                call->print(std::string("{\"registered\": ") + (match ? "true" : "false") +
                            ", \"userEnabled\": " + enabled + "}\n");
            }
            call->finish(std::move(error));
        });
    } else if (cmd == "visible") {
        auto manager = managerOrFail();
        if (!manager)
            return 2;
        manager->getUserVisibleURL(ItemIdentifier::rootContainer(),
                                   [call](std::optional<std::filesystem::path> url, ErrorRef error) {
                                       if (url)
                                           call->print(url->string() + "\n");
                                       else if (!error)
                                           error =
                                               foundation::Error::make(foundation::NSFileProviderErrorDomain,
                                                                       fileprovider::noSuchItem);
                                       call->finish(std::move(error));
                                   });
    } else if (cmd == "signal") {
        auto manager = managerOrFail();
        if (!manager)
            return 2;
        manager->signalEnumerator(ItemIdentifier::workingSet(), store);
    } else if (cmd == "refresh") {
        auto manager = managerOrFail();
        if (!manager)
            return 2;
        auto resolved =
            foundation::Error::make(foundation::NSFileProviderErrorDomain, fileprovider::serverUnreachable);
        manager->signalErrorResolved(resolved, [call, manager](ErrorRef first) {
            manager->signalEnumerator(ItemIdentifier::workingSet(), [call, first](ErrorRef second) {
                call->finish(first ? first : second);
            });
        });
    } else {
        err << usageText << std::flush;
        return 1;
    }

    bool removing = cmd == "remove" || cmd == "wipe";
    bool completed = call->semaphore.wait(removing ? limits.removal : limits.call);
    std::lock_guard lock(call->mutex);
    if (!completed) {
        call->abandoned = true;
        if (removing)
            err << "wl-fpdomain: " << cmd << " still running; macOS finishes it\n" << std::flush;
        else
            err << "wl-fpdomain: " << cmd << " timed out\n" << std::flush;
        return removing ? 4 : 2;
    }
    if (call->callError) {
        err << "wl-fpdomain: " << cmd << " failed: " << call->callError->localizedDescription() << "\n"
            << std::flush;
        return 2;
    }
    return 0;
}

} // namespace domaintool
