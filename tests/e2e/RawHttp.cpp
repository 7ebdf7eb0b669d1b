#include "RawHttp.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace e2e {

int connectLoopback(int port, int fd) {
    if (fd < 0)
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

Received readUntilClosed(int fd, std::chrono::milliseconds limit) {
    Received out;
    auto deadline = std::chrono::steady_clock::now() + limit;
    char buffer[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return out;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            out.closed = true;
            return out;
        }
        out.bytes.append(buffer, static_cast<std::size_t>(n));
    }
}

RawAnswer exchangeOnce(int port, const std::string& text) {
    int fd = connectLoopback(port);
    if (fd < 0)
        return {};
    sendAll(fd, text);
    auto received = readUntilClosed(fd);
    ::close(fd);
    RawAnswer answer;
    const std::string& bytes = received.bytes;
    auto end = bytes.find("\r\n\r\n");
    if (bytes.rfind("HTTP/1.1 ", 0) != 0 || end == std::string::npos)
        return answer;
    answer.status = std::stoi(bytes.substr(9, 3));
    answer.body = bytes.substr(end + 4);
    return answer;
}

std::string sha256Hex(const std::string& bytes) {
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_Digest(bytes.data(), bytes.size(), hash, &size, EVP_sha256(), nullptr);
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", hash[i]);
        hex += two;
    }
    return hex;
}

std::string percentEncode(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char three[4];
            std::snprintf(three, sizeof three, "%%%02X", c);
            out += three;
        }
    }
    return out;
}

std::string request(const std::string& method, const std::string& target, const std::string& token,
                    const std::string& body, const std::string& extraHeaders) {
    return method + " " + target +
           " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nX-FP-Token: " + token +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

} // namespace e2e
