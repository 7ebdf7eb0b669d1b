#pragma once

#include "Error.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

// The app-group container of `group`: $FP_APP_GROUPS_DIR/<group> (default
// $XDG_DATA_HOME/fileprovider/app-groups/<group>), created on demand as the OS does. None for a group that
// is not a single path component, or when the directory cannot be made.
std::optional<std::filesystem::path> appGroupContainer(const std::string& group);

// $FP_STATE_DIR, else $XDG_STATE_HOME/fileprovider, else ~/.local/state/fileprovider. Not created here.
std::filesystem::path fileProviderStateDirectory();

// $TMPDIR when it names a directory, else /tmp.
std::filesystem::path temporaryDirectory();

// The hosting process's bundle identifier; the extension loader sets it from the module's manifest.
std::optional<std::string> mainBundleIdentifier();
void setMainBundleIdentifier(std::optional<std::string> identifier);

// The whole file, or none when it cannot be read.
std::optional<std::string> readFile(const std::filesystem::path& path);

// Writes a temporary file beside `path`, flushes it to disk and renames it over `path`, so that readers
// see the old file or the new one whole. Null on success; on failure the old file is untouched.
// `writtenInode`, when given, receives the inode of the new file, so that a caller can tell its own file
// from one that another process put there afterwards.
ErrorRef writeAtomically(const std::filesystem::path& path, std::string_view bytes,
                         std::uint64_t* writtenInode = nullptr);

// Writes all of `bytes` to `fd`, retrying short writes and interruptions; false when a write fails.
bool writeAll(int fd, std::string_view bytes);

// A new file made exclusively (O_EXCL) with mode 0600 in `directory`, named `prefix` plus random letters.
struct TemporaryFile {
    int fd = -1;
    std::filesystem::path path;
};
std::optional<TemporaryFile> createTemporaryFile(const std::filesystem::path& directory,
                                                 const std::string& prefix);

// A fresh random UUID in the canonical upper-case 8-4-4-4-12 form.
std::string uuidString();

// A byte stream read from a file (NSInputStream over a file URL).
class InputStream {
public:
    enum class Status {
        notOpen = 0,
        opening = 1,
        open = 2,
        reading = 3,
        writing = 4,
        atEnd = 5,
        closed = 6,
        error = 7
    };

    explicit InputStream(std::filesystem::path path) : path_(std::move(path)) {}
    ~InputStream();
    InputStream(const InputStream&) = delete;
    InputStream& operator=(const InputStream&) = delete;

    static std::shared_ptr<InputStream> withFile(const std::filesystem::path& path) {
        return std::make_shared<InputStream>(path);
    }

    void open();
    // Bytes read (0 at the end), or -1 on error; the status then says which.
    std::int64_t read(char* buffer, std::size_t maxLength);
    void close();
    Status streamStatus() const { return status_; }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    int fd_ = -1;
    Status status_ = Status::notOpen;
};

} // namespace foundation
