#include "Dispatch.h"

#include <future>

namespace foundation {

namespace {
thread_local const std::string* currentQueueLabel = nullptr;
}

DispatchQueue::DispatchQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

DispatchQueue::~DispatchQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

DispatchQueue& DispatchQueue::main() {
    // Never destroyed: blocks may still be submitted while the process exits.
    static auto* queue = new DispatchQueue("main");
    return *queue;
}

void DispatchQueue::async(std::function<void()> block) {
    {
        std::lock_guard lock(mutex_);
        blocks_.push_back(std::move(block));
    }
    wake_.notify_one();
}

void DispatchQueue::sync(const std::function<void()>& block) {
    std::promise<void> done;
    async([&] {
        block();
        done.set_value();
    });
    done.get_future().wait();
}

std::string DispatchQueue::currentLabel() {
    return currentQueueLabel ? *currentQueueLabel : std::string();
}

void DispatchQueue::run() {
    currentQueueLabel = &label_;
    for (;;) {
        std::function<void()> block;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
            if (blocks_.empty())
                return;
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        block();
    }
}

} // namespace foundation
