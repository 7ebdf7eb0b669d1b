#include "HttpServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace support {

namespace {

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

const char* reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 409:
        return "Conflict";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Reads from a connection with a buffer, so that keep-alive requests can follow each other.
class Reader {
public:
    explicit Reader(int fd) : fd_(fd) {}

    bool fill() {
        char chunk[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            buffer_.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
    }
    bool line(std::string& out) {
        for (;;) {
            auto end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                out = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return true;
            }
            if (buffer_.size() > 65536 || !fill())
                return false;
        }
    }
    bool bytes(std::size_t count, std::string& out) {
        while (buffer_.size() < count)
            if (!fill())
                return false;
        out.append(buffer_, 0, count);
        buffer_.erase(0, count);
        return true;
    }

private:
    int fd_;
    std::string buffer_;
};

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool readRequest(Reader& reader, HttpRequest& request) {
    std::string line;
    if (!reader.line(line))
        return false;
    auto firstSpace = line.find(' ');
    auto secondSpace = line.find(' ', firstSpace + 1);
    if (firstSpace == std::string::npos || secondSpace == std::string::npos)
        return false;
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    request.rawQuery = question == std::string::npos ? "" : request.target.substr(question + 1);
    for (;;) {
        if (!reader.line(line))
            return false;
        if (line.empty())
            break;
        auto colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        request.headers.emplace_back(line.substr(0, colon), value);
    }
    if (auto encoding = request.header("Transfer-Encoding"); encoding && lower(*encoding) == "chunked") {
        for (;;) {
            if (!reader.line(line))
                return false;
            std::size_t size = std::stoul(line, nullptr, 16);
            if (size == 0) {
                while (reader.line(line) && !line.empty()) {
                }
                return true;
            }
            std::string crlf;
            if (!reader.bytes(size, request.body) || !reader.bytes(2, crlf))
                return false;
        }
    }
    if (auto length = request.header("Content-Length"))
        return reader.bytes(std::stoull(*length), request.body);
    return true;
}

} // namespace

std::optional<std::string> HttpRequest::header(const std::string& name) const {
    for (const auto& [field, value] : headers)
        if (field.size() == name.size() && ::strncasecmp(field.c_str(), name.c_str(), name.size()) == 0)
            return value;
    return std::nullopt;
}

std::string percentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() + 0 && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::map<std::string, std::string> HttpRequest::query() const {
    std::map<std::string, std::string> result;
    std::size_t start = 0;
    while (start <= rawQuery.size() && !rawQuery.empty()) {
        auto end = rawQuery.find('&', start);
        std::string part = rawQuery.substr(start, end == std::string::npos ? std::string::npos : end - start);
        auto equals = part.find('=');
        result[percentDecode(part.substr(0, equals))] =
            equals == std::string::npos ? "" : percentDecode(part.substr(equals + 1));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return result;
}

HttpServer::HttpServer(Handler handler, int port) : handler_(std::move(handler)) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 128) != 0) {
        ::close(listenFd_);
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1: ") + std::strerror(errno));
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::stop() {
    if (stopping_.exchange(true))
        return;
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (int fd : connections_)
            ::shutdown(fd, SHUT_RDWR);
        threads.swap(threads_);
    }
    for (auto& thread : threads)
        thread.join();
}

void HttpServer::acceptLoop() {
    while (!stopping_) {
        pollfd entry{listenFd_, POLLIN, 0};
        if (::poll(&entry, 1, 200) <= 0)
            continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            break;
        }
        connections_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void HttpServer::serve(int fd) {
    Reader reader(fd);
    for (;;) {
        HttpRequest request;
        bool parsed = false;
        try {
            parsed = readRequest(reader, request);
        } catch (const std::exception&) {
            parsed = false; // a malformed length or chunk size
        }
        if (!parsed || stopping_)
            break;
        HttpResponse response = handler_(request);
        if (response.action == HttpResponse::Action::close)
            break;
        std::uint64_t length = response.streamLength ? *response.streamLength : response.body.size();
        std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers)
            head += name + ": " + value + "\r\n";
        head += "Content-Length: " + std::to_string(length) + "\r\n\r\n";
        if (!sendAll(fd, head.data(), head.size()))
            break;
        bool broken = response.action == HttpResponse::Action::closeMidBody;
        std::uint64_t limit = broken ? std::min(response.breakAfter, length) : length;
        bool sent = true;
        if (response.streamLength) {
            std::vector<char> buffer(1 << 20);
            std::uint64_t done = 0;
            while (sent && done < limit) {
                std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit - done));
                std::size_t n = response.stream(buffer.data(), want);
                if (n == 0)
                    sent = false;
                else
                    sent = sendAll(fd, buffer.data(), n), done += n;
            }
        } else {
            sent = sendAll(fd, response.body.data(), static_cast<std::size_t>(limit));
        }
        auto connection = request.header("Connection");
        if (!sent || broken || (connection && lower(*connection) == "close"))
            break;
    }
    std::lock_guard lock(mutex_);
    std::erase(connections_, fd);
    ::close(fd);
}

} // namespace support
