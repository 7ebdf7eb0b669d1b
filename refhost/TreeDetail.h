#pragma once

// Helpers shared by the parts of Tree: keys, names and file times.
#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace refhost::detail {

inline constexpr const char* uploadPrefix = ".wl-upload-";

inline std::string parentOf(const std::string& key) {
    auto slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

inline std::string nameOf(const std::string& key) {
    auto slash = key.rfind('/');
    return slash == std::string::npos ? key : key.substr(slash + 1);
}

inline std::string join(const std::string& parent, const std::string& name) {
    return parent.empty() ? name : parent + "/" + name;
}

inline bool atOrBelow(const std::string& key, const std::string& top) {
    if (top.empty())
        return true;
    return key == top ||
           (key.size() > top.size() && key.compare(0, top.size(), top) == 0 && key[top.size()] == '/');
}

// The first key after every key below `top` ("/" is followed by "0" in byte order): the keys below top
// are exactly [top + "/", subtreeEnd(top)), whatever names sort between top and top + "/".
inline std::string subtreeEnd(const std::string& top) {
    return top + "0";
}

inline std::int64_t nanoseconds(const timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// Bytes safe to print on a terminal: controls and bytes of broken UTF-8 as \xNN.
std::string printable(const std::string& bytes);

} // namespace refhost::detail
