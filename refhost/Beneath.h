#pragma once

// Opening files below a directory descriptor without ever following a symbolic link, so that no path the
// host resolves can lead outside its root, whatever another program swaps in meanwhile.
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace refhost {

// A file descriptor with one owner; closed when the owner goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset();

private:
    int fd_ = -1;
};

enum class Resolution {
    automatic, // the kernel's when it has it, else the walk
    kernel,    // openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS
    walk,      // one component at a time with O_NOFOLLOW
};

// Whether this kernel resolves paths beneath a directory itself (openat2, Linux 5.6 and later).
bool kernelResolvesBeneath();

// Opens `relative` (names joined by "/"; "" or "." for `directory` itself) below `directory` with
// `flags` (O_NOFOLLOW and O_CLOEXEC are always added) and `mode`. No symbolic link is followed, in the
// middle or at the end, and ".." or an absolute path never leaves `directory`. Returns the descriptor,
// or -1 with errno: ELOOP or ENOTDIR where a link stands, EXDEV for a path that would leave, ENOSYS when
// `how` is kernel and the kernel cannot.
int openBeneath(int directory, std::string_view relative, int flags, mode_t mode = 0,
                Resolution how = Resolution::automatic);

} // namespace refhost
