#include "Progress.h"

#include <algorithm>

namespace foundation {

std::shared_ptr<Progress> Progress::make(std::int64_t totalUnitCount) {
    return std::make_shared<Progress>(Token{}, totalUnitCount);
}

std::int64_t Progress::totalUnitCount() const {
    std::lock_guard lock(mutex_);
    return totalUnitCount_;
}

std::int64_t Progress::completedUnitCount() const {
    std::lock_guard lock(mutex_);
    return completedUnitCount_;
}

bool Progress::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished(completedUnitCount_, totalUnitCount_);
}

void Progress::setTotalUnitCount(std::int64_t count) {
    update([count](std::int64_t& total, std::int64_t&) { total = count; });
}

void Progress::setCompletedUnitCount(std::int64_t count) {
    update([count](std::int64_t&, std::int64_t& completed) { completed = count; });
}

void Progress::addCompletedUnits(std::int64_t units) {
    update([units](std::int64_t&, std::int64_t& completed) { completed += units; });
}

template <typename Change> void Progress::update(Change change) {
    std::shared_ptr<Progress> parent;
    {
        std::lock_guard lock(mutex_);
        change(totalUnitCount_, completedUnitCount_);
        if (reportedFinished_ || !finished(completedUnitCount_, totalUnitCount_))
            return;
        reportedFinished_ = true;
        parent = parent_.lock();
    }
    if (parent)
        parent->childDidFinish(this);
}

void Progress::childDidFinish(const Progress* child) {
    std::int64_t pending = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(children_.begin(), children_.end(),
                               [child](const Child& c) { return c.progress.get() == child; });
        if (it == children_.end())
            return;
        pending = it->pending;
        children_.erase(it);
    }
    addCompletedUnits(pending);
}

double Progress::fractionCompleted() const {
    std::vector<Child> children;
    std::int64_t total;
    std::int64_t completed;
    {
        std::lock_guard lock(mutex_);
        children = children_;
        total = totalUnitCount_;
        completed = completedUnitCount_;
    }
    if (total <= 0)
        return 0.0;
    double units = static_cast<double>(completed);
    for (const auto& child : children)
        units += child.progress->fractionCompleted() * static_cast<double>(child.pending);
    return std::min(1.0, units / static_cast<double>(total));
}

void Progress::addChild(const std::shared_ptr<Progress>& child, std::int64_t pendingUnitCount) {
    bool childFinished;
    {
        std::lock_guard childLock(child->mutex_);
        child->parent_ = weak_from_this();
        childFinished = child->reportedFinished_;
    }
    bool cancelled;
    {
        std::lock_guard lock(mutex_);
        cancelled = cancelled_;
        if (!childFinished)
            children_.push_back({child, pendingUnitCount});
    }
    if (childFinished)
        addCompletedUnits(pendingUnitCount);
    if (cancelled)
        child->cancel();
}

std::size_t Progress::childCountForTesting() const {
    std::lock_guard lock(mutex_);
    return children_.size();
}

void Progress::cancel() {
    std::function<void()> handler;
    std::vector<Child> children;
    {
        std::lock_guard lock(mutex_);
        if (cancelled_)
            return;
        cancelled_ = true;
        handler = std::move(cancellationHandler_);
        cancellationHandler_ = nullptr;
        children = children_;
    }
    if (handler)
        handler();
    for (const auto& child : children)
        child.progress->cancel();
}

bool Progress::isCancelled() const {
    std::lock_guard lock(mutex_);
    return cancelled_;
}

void Progress::setCancellationHandler(std::function<void()> handler) {
    {
        std::lock_guard lock(mutex_);
        if (!cancelled_) {
            cancellationHandler_ = std::move(handler);
            return;
        }
    }
    if (handler)
        handler();
}

} // namespace foundation
