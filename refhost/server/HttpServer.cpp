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

namespace refhost {

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
    case 410:
        return "Gone";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    case 507:
        return "Insufficient Storage";
    default:
        return "Status";
    }
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::optional<std::uint64_t> parseSize(const std::string& text, int base) {
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int digit = std::isdigit(static_cast<unsigned char>(c))                  ? c - '0'
                    : base == 16 && std::isxdigit(static_cast<unsigned char>(c)) ? std::tolower(c) - 'a' + 10
                                                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return value;
}

// Reads from a connection through a buffer, so that keep-alive requests can follow each other.
class Connection {
public:
    explicit Connection(int fd) : fd_(fd) {}

    bool line(std::string& out) {
        for (;;) {
            auto end = buffer_.find("\r\n", scanned_);
            if (end != std::string::npos) {
                out = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                scanned_ = 0;
                return true;
            }
            scanned_ = buffer_.empty() ? 0 : buffer_.size() - 1;
            if (buffer_.size() > 65536 || !fill())
                return false;
        }
    }
    // Up to `size` bytes, from the buffer first; 0 when the peer closed.
    std::int64_t some(char* out, std::size_t size) {
        if (buffer_.empty() && !fill())
            return 0;
        std::size_t n = std::min(size, buffer_.size());
        std::memcpy(out, buffer_.data(), n);
        buffer_.erase(0, n);
        scanned_ = 0;
        return static_cast<std::int64_t>(n);
    }

private:
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

    int fd_;
    std::string buffer_;
    std::size_t scanned_ = 0;
};

// The body of one request, by Content-Length or chunked.
class ConnectionBody : public BodyReader {
public:
    ConnectionBody(Connection& connection, bool chunked, std::uint64_t length)
        : connection_(connection), chunked_(chunked), remaining_(length) {}

    std::int64_t read(char* buffer, std::size_t size) override {
        if (broken_)
            return -1;
        if (done_)
            return 0;
        if (chunked_ && remaining_ == 0 && !nextChunk())
            return broken_ ? -1 : 0;
        if (!chunked_ && remaining_ == 0) {
            done_ = true;
            return 0;
        }
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size, remaining_));
        std::int64_t n = connection_.some(buffer, want);
        if (n <= 0) {
            broken_ = true;
            return -1;
        }
        remaining_ -= static_cast<std::uint64_t>(n);
        return n;
    }
    // Reads what the handler left, so that the next request on the connection can be parsed.
    bool drain() {
        char scratch[65536];
        for (;;) {
            std::int64_t n = read(scratch, sizeof scratch);
            if (n == 0)
                return true;
            if (n < 0)
                return false;
        }
    }

private:
    bool nextChunk() {
        std::string line;
        if (started_ && (!connection_.line(line) || !line.empty())) // the CRLF after a chunk
            return fail();
        started_ = true;
        if (!connection_.line(line))
            return fail();
        auto size = parseSize(line.substr(0, line.find(';')), 16);
        if (!size)
            return fail();
        if (*size == 0) {
            while (connection_.line(line) && !line.empty()) {
            }
            done_ = true;
            return false;
        }
        remaining_ = *size;
        return true;
    }
    bool fail() {
        broken_ = true;
        return false;
    }

    Connection& connection_;
    bool chunked_;
    std::uint64_t remaining_;
    bool started_ = false;
    bool done_ = false;
    bool broken_ = false;
};

bool readHead(Connection& connection, HttpRequest& request) {
    std::string line;
    if (!connection.line(line))
        return false;
    auto firstSpace = line.find(' ');
    auto secondSpace = firstSpace == std::string::npos ? std::string::npos : line.find(' ', firstSpace + 1);
    if (secondSpace == std::string::npos)
        return false;
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    auto question = request.target.find('?');
    request.path = request.target.substr(0, question);
    request.rawQuery = question == std::string::npos ? "" : request.target.substr(question + 1);
    for (;;) {
        if (!connection.line(line))
            return false;
        if (line.empty())
            return true;
        auto colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(" \t"));
        request.headers.emplace_back(line.substr(0, colon), value);
    }
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
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
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
    if (rawQuery.empty())
        return result;
    std::size_t start = 0;
    for (;;) {
        auto end = rawQuery.find('&', start);
        std::string part = rawQuery.substr(start, end == std::string::npos ? std::string::npos : end - start);
        auto equals = part.find('=');
        result[percentDecode(part.substr(0, equals))] =
            equals == std::string::npos ? "" : percentDecode(part.substr(equals + 1));
        if (end == std::string::npos)
            return result;
        start = end + 1;
    }
}

HttpServer::HttpServer(Handler handler, Options options) : handler_(std::move(handler)), options_(options) {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(options.port));
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 128) != 0) {
        std::string why = std::strerror(errno);
        ::close(listenFd_);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options.port) + ": " + why);
    }
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

HttpServer::~HttpServer() {
    stop();
}

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
    Connection connection(fd);
    for (;;) {
        HttpRequest request;
        if (!readHead(connection, request) || stopping_)
            break;
        bool chunked = lower(request.header("Transfer-Encoding").value_or("")) == "chunked";
        auto declared = request.header("Content-Length");
        auto length = declared ? parseSize(*declared, 10) : std::optional<std::uint64_t>(0);
        if (!length && !chunked)
            break; // a malformed length: the stream cannot be framed
        ConnectionBody body(connection, chunked, length.value_or(0));
        if (options_.streamBodies) {
            request.bodyStream = &body;
        } else {
            char buffer[65536];
            std::int64_t n;
            while ((n = body.read(buffer, sizeof buffer)) > 0)
                request.body.append(buffer, static_cast<std::size_t>(n));
            if (n < 0)
                break;
        }
        HttpResponse response = handler_(request);
        request.bodyStream = nullptr;
        if (response.action == HttpResponse::Action::close || !body.drain())
            break;
        std::uint64_t total = response.streamLength ? *response.streamLength : response.body.size();
        std::string head =
            "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers)
            head.append(name).append(": ").append(value).append("\r\n");
        head += "Content-Length: " + std::to_string(total) + "\r\n\r\n";
        if (!sendAll(fd, head.data(), head.size()))
            break;
        bool broken = response.action == HttpResponse::Action::closeMidBody;
        std::uint64_t limit = broken ? std::min(response.breakAfter, total) : total;
        bool sent = true;
        if (response.streamLength) {
            std::vector<char> buffer(1 << 20);
            std::uint64_t done = 0;
            while (sent && done < limit) {
                std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit - done));
                std::size_t n = response.stream(buffer.data(), want);
                sent = n > 0 && sendAll(fd, buffer.data(), n);
                done += n;
            }
        } else {
            sent = sendAll(fd, response.body.data(), static_cast<std::size_t>(limit));
        }
        if (!sent || broken || lower(request.header("Connection").value_or("")) == "close")
            break;
    }
    std::lock_guard lock(mutex_);
    std::erase(connections_, fd);
    ::close(fd);
}

} // namespace refhost
