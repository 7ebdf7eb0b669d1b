#include "Files.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <unistd.h>
#include <uuid/uuid.h>

namespace foundation {

namespace fs = std::filesystem;

namespace {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name); // NOLINT(concurrency-mt-unsafe): nothing here sets the environment
    if (value == nullptr || *value == '\0')
        return std::nullopt;
    return std::string(value);
}

fs::path homeDirectory() {
    return environment("HOME").value_or("/");
}

ErrorRef posixError(std::int64_t cocoaCode, const fs::path& path) {
    return Error::make(NSCocoaErrorDomain, cocoaCode,
                       {{NSURLErrorKey, FileURL{path}}, {NSLocalizedDescriptionKey, std::strerror(errno)}});
}

std::mutex bundleMutex;
std::optional<std::string> bundleIdentifier;

} // namespace

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<fs::path> appGroupContainer(const std::string& group) {
    if (group.empty() || group == "." || group == ".." || group.find('/') != std::string::npos ||
        group.find('\0') != std::string::npos)
        return std::nullopt;
    fs::path root;
    if (auto dir = environment("FP_APP_GROUPS_DIR"))
        root = *dir;
    else
        root = fs::path(environment("XDG_DATA_HOME").value_or((homeDirectory() / ".local/share").string())) /
               "fileprovider" / "app-groups";
    fs::path container = root / group;
    std::error_code ec;
    fs::create_directories(container, ec);
    if (!fs::is_directory(container, ec))
        return std::nullopt;
    return container;
}

fs::path fileProviderStateDirectory() {
    if (auto dir = environment("FP_STATE_DIR"))
        return *dir;
    if (auto state = environment("XDG_STATE_HOME"))
        return fs::path(*state) / "fileprovider";
    return homeDirectory() / ".local/state/fileprovider";
}

fs::path temporaryDirectory() {
    std::error_code ec;
    if (auto dir = environment("TMPDIR"); dir && fs::is_directory(*dir, ec))
        return *dir;
    return "/tmp";
}

std::optional<std::string> mainBundleIdentifier() {
    std::lock_guard lock(bundleMutex);
    return bundleIdentifier;
}

void setMainBundleIdentifier(std::optional<std::string> identifier) {
    std::lock_guard lock(bundleMutex);
    bundleIdentifier = std::move(identifier);
}

std::optional<std::string> readFile(const fs::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    std::array<char, 65536> buffer{};
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (n == 0)
            break;
        bytes.append(buffer.data(), static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

std::optional<TemporaryFile> createTemporaryFile(const fs::path& directory, const std::string& prefix) {
    std::string pattern = (directory / (prefix + "XXXXXX")).string();
    int fd = ::mkostemp(pattern.data(), O_CLOEXEC); // O_EXCL and mode 0600
    if (fd < 0)
        return std::nullopt;
    return TemporaryFile{fd, fs::path(pattern)};
}

ErrorRef writeAtomically(const fs::path& path, std::string_view bytes, std::uint64_t* writtenInode) {
    fs::path directory = path.parent_path().empty() ? fs::path(".") : path.parent_path();
    std::string prefix = ".";
    prefix += path.filename().string();
    prefix += '.';
    auto temporary = createTemporaryFile(directory, prefix);
    if (!temporary)
        return posixError(NSFileWriteUnknownError, path);
    bool written = writeAll(temporary->fd, bytes) && ::fsync(temporary->fd) == 0;
    struct stat info {};
    if (written && writtenInode && ::fstat(temporary->fd, &info) == 0)
        *writtenInode = info.st_ino;
    int savedErrno = errno;
    if (::close(temporary->fd) != 0 && written) {
        written = false;
        savedErrno = errno;
    }
    if (!written || ::rename(temporary->path.c_str(), path.c_str()) != 0) {
        if (written)
            savedErrno = errno;
        ::unlink(temporary->path.c_str());
        errno = savedErrno;
        return posixError(NSFileWriteUnknownError, path);
    }
    // The rename is durable only once the directory entry is.
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return nullptr;
}

std::string uuidString() {
    uuid_t uuid;
    uuid_generate_random(uuid);
    std::array<char, 37> text{};
    uuid_unparse_upper(uuid, text.data());
    return std::string(text.data());
}

InputStream::~InputStream() {
    close();
}

void InputStream::open() {
    if (status_ != Status::notOpen)
        return;
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    status_ = fd_ < 0 ? Status::error : Status::open;
}

std::int64_t InputStream::read(char* buffer, std::size_t maxLength) {
    if (status_ != Status::open && status_ != Status::reading)
        return status_ == Status::atEnd ? 0 : -1;
    for (;;) {
        ssize_t n = ::read(fd_, buffer, maxLength);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            status_ = Status::error;
            return -1;
        }
        status_ = n == 0 ? Status::atEnd : Status::open;
        return n;
    }
}

void InputStream::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    if (status_ != Status::notOpen && status_ != Status::error)
        status_ = Status::closed;
}

} // namespace foundation
