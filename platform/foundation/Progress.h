#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace foundation {

// A thread-safe progress tree with the OS's semantics: a child added with a pending unit count adds those
// units to its parent when it finishes (completed >= total, total > 0), and contributes its fraction while
// it runs. Cancelling a parent cancels its children; each cancellation handler runs at most once, on the
// thread that cancels (or at once on the thread that sets it, when the progress is already cancelled).
// No lock is held while a handler runs or while a parent or child is told.
class Progress : public std::enable_shared_from_this<Progress> {
    struct Token {};

public:
    explicit Progress(Token, std::int64_t totalUnitCount) : totalUnitCount_(totalUnitCount) {}

    static std::shared_ptr<Progress> make(std::int64_t totalUnitCount = 0);

    std::int64_t totalUnitCount() const;
    void setTotalUnitCount(std::int64_t count);
    std::int64_t completedUnitCount() const;
    void setCompletedUnitCount(std::int64_t count);
    double fractionCompleted() const;
    bool isFinished() const;

    void addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount);
    std::size_t childCountForTesting() const;

    void cancel();
    bool isCancelled() const;
    void setCancellationHandler(std::function<void()> handler);

private:
    struct Child {
        std::shared_ptr<Progress> progress;
        std::int64_t pending;
    };

    static bool finished(std::int64_t completed, std::int64_t total) {
        return total > 0 && completed >= total;
    }
    template <typename Change> void update(Change change);
    void addCompletedUnits(std::int64_t units);
    void childDidFinish(const Progress* child);

    mutable std::mutex mutex_;
    std::int64_t totalUnitCount_;
    std::int64_t completedUnitCount_ = 0;
    bool cancelled_ = false;
    bool reportedFinished_ = false;
    std::function<void()> cancellationHandler_;
    std::vector<Child> children_;
    std::weak_ptr<Progress> parent_;
};

} // namespace foundation
