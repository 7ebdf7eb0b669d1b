#pragma once

#include "foundation/Dispatch.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>

namespace support {

inline constexpr std::chrono::seconds defaultWait{10};

// Records the calls of a completion: how many there were (a correct completion runs exactly once), the
// arguments of the last one and the label of the queue it ran on. Tests wait on it instead of sleeping.
template <typename... Args> class Recorder {
public:
    using Values = std::tuple<std::decay_t<Args>...>;

    std::function<void(Args...)> callback() {
        return [this](Args... args) {
            std::lock_guard lock(mutex_);
            values_.emplace(std::forward<Args>(args)...);
            queueLabel_ = foundation::DispatchQueue::currentLabel();
            ++calls_;
            changed_.notify_all();
        };
    }

    bool wait(std::chrono::milliseconds timeout = defaultWait) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return calls_ > 0; });
    }
    int calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    Values values() const {
        std::lock_guard lock(mutex_);
        return *values_;
    }
    template <std::size_t I> auto get() const { return std::get<I>(values()); }
    std::string queueLabel() const {
        std::lock_guard lock(mutex_);
        return queueLabel_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Values> values_;
    std::string queueLabel_;
    int calls_ = 0;
};

// A fresh directory under the temporary directory, removed with everything in it at the end.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets an environment variable for a scope and restores it after. Set only while no other thread reads
// the environment (test set-up).
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::optional<std::string>& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace support
