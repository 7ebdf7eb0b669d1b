#include "Beneath.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

namespace refhost {

void Fd::reset() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

namespace {

long openat2(int directory, const char* path, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    int tries = 0;
    do // EAGAIN: a rename raced the lookup; the kernel asks for another try
        fd = ::syscall(SYS_openat2, directory, path, &how, sizeof how);
    while (fd < 0 && (errno == EAGAIN || errno == EINTR) && ++tries < 16);
    return fd;
}

int walk(int directory, std::string_view relative, int flags, mode_t mode) {
    if (!relative.empty() && relative.front() == '/') {
        errno = EXDEV;
        return -1;
    }
    Fd current;
    int at = directory;
    for (;;) {
        auto slash = relative.find('/');
        std::string name(relative.substr(0, slash));
        if (name == "..") {
            errno = EXDEV;
            return -1;
        }
        if (name.empty())
            name = ".";
        if (slash == std::string_view::npos)
            return ::openat(at, name.c_str(), flags, mode);
        // O_PATH with O_NOFOLLOW would open a link itself; O_DIRECTORY refuses it (ENOTDIR).
        int next = ::openat(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return -1;
        current = Fd(next);
        at = next;
        relative.remove_prefix(slash + 1);
    }
}

} // namespace

bool kernelResolvesBeneath() {
    static const bool available = [] {
        long fd = openat2(AT_FDCWD, ".", O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
        if (fd >= 0)
            ::close(static_cast<int>(fd));
        return fd >= 0 || (errno != ENOSYS && errno != EPERM && errno != EINVAL && errno != E2BIG);
    }();
    return available;
}

int openBeneath(int directory, std::string_view relative, int flags, mode_t mode, Resolution how) {
    flags |= O_NOFOLLOW | O_CLOEXEC;
    if (how == Resolution::automatic)
        how = kernelResolvesBeneath() ? Resolution::kernel : Resolution::walk;
    if (how == Resolution::walk)
        return walk(directory, relative, flags, mode);
    std::string path(relative.empty() ? std::string_view(".") : relative);
    return static_cast<int>(openat2(directory, path.c_str(), flags, mode));
}

} // namespace refhost
