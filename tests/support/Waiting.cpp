#include "Waiting.h"

#include "foundation/Files.h"

#include <stdexcept>

namespace support {

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (foundation::temporaryDirectory() / "wl-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary directory");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) // NOLINT(concurrency-mt-unsafe)
        previous_ = old;
    if (value)
        ::setenv(name_.c_str(), value->c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    else
        ::unsetenv(name_.c_str()); // NOLINT(concurrency-mt-unsafe)
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_)
        ::setenv(name_.c_str(), previous_->c_str(), 1); // NOLINT(concurrency-mt-unsafe)
    else
        ::unsetenv(name_.c_str()); // NOLINT(concurrency-mt-unsafe)
}

} // namespace support
