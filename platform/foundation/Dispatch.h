#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>

namespace foundation {

// A serial queue with a thread of its own: blocks run one at a time, in submission order, on that thread.
class DispatchQueue {
public:
    explicit DispatchQueue(std::string label);
    ~DispatchQueue(); // runs what was submitted, then joins; never destroy a queue from its own blocks
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    // The stand-in for the main queue: a process-wide serial queue that lives for the process.
    static DispatchQueue& main();

    void async(std::function<void()> block);
    // Runs `block` on the queue and waits for it; must not be called from the queue itself.
    void sync(const std::function<void()>& block);
    // Waits until everything submitted before the call has run.
    void drain() {
        sync([] {});
    }

    bool isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }
    // The label of the queue running the calling thread, or "" off every queue.
    static std::string currentLabel();
    const std::string& label() const { return label_; }

private:
    void run();

    std::string label_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> blocks_;
    bool stopping_ = false;
    std::thread thread_;
};

// A counting semaphore with a timed wait.
class DispatchSemaphore {
public:
    explicit DispatchSemaphore(std::ptrdiff_t value = 0) : semaphore_(value) {}
    void signal() { semaphore_.release(); }
    void wait() { semaphore_.acquire(); }
    // True when the semaphore was taken before the timeout ran out.
    template <typename Rep, typename Period> bool wait(std::chrono::duration<Rep, Period> timeout) {
        return semaphore_.try_acquire_for(timeout);
    }

private:
    std::counting_semaphore<> semaphore_;
};

} // namespace foundation
