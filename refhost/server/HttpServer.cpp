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
#include <system_error>
#include <unistd.h>

namespace refhost {

namespace {

using Clock = std::chrono::steady_clock;

bool sendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false; // also a send time-out (SO_SNDTIMEO): the peer stopped reading
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

const char* reason(int status) {
    switch (status) {
    case 100:
        return "Continue";
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
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 507:
        return "Insufficient Storage";
    default:
        return "Status";
    }
}

int millisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1 << 30));
}

// Reads from a connection through a buffer, so that keep-alive requests can follow each other. Every
// wait has a deadline; a missed one reads as the end of the connection.
class Connection {
public:
    Connection(int fd, std::chrono::milliseconds ioTimeout) : fd_(fd), ioTimeout_(ioTimeout) {}

    // The next request head, the server's refusal of it, or incomplete when the peer closed or the
    // deadline passed first.
    HeadParse head(const HeadLimits& limits, Clock::time_point deadline) {
        std::size_t searched = 0;
        for (;;) {
            // Parse only once the blank line is there (or the limit is reached): a head sent one byte at
            // a time costs one search per byte, not one parse.
            auto end = buffer_.find("\r\n\r\n", searched);
            if (end != std::string::npos || buffer_.size() >= limits.maxBytes) {
                HeadParse parsed = parseRequestHead(buffer_, limits);
                if (parsed.state == HeadParse::State::complete)
                    buffer_.erase(0, parsed.consumed);
                if (parsed.state != HeadParse::State::incomplete)
                    return parsed;
            }
            searched = buffer_.size() < 3 ? 0 : buffer_.size() - 3;
            if (!fill(deadline))
                return {};
        }
    }
    // Up to `size` bytes, from the buffer first; 0 when the peer closed or stalled.
    std::int64_t some(char* out, std::size_t size) {
        if (buffer_.empty() && !fill(Clock::now() + ioTimeout_))
            return 0;
        std::size_t n = std::min(size, buffer_.size());
        std::memcpy(out, buffer_.data(), n);
        buffer_.erase(0, n);
        return static_cast<std::int64_t>(n);
    }
    bool line(std::string& out, std::size_t limit) {
        for (;;) {
            auto end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                out = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return true;
            }
            if (buffer_.size() > limit || !fill(Clock::now() + ioTimeout_))
                return false;
        }
    }

private:
    bool fill(Clock::time_point deadline) {
        char chunk[65536];
        for (;;) {
            pollfd entry{fd_, POLLIN, 0};
            int ready = ::poll(&entry, 1, millisecondsUntil(deadline));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
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
    std::chrono::milliseconds ioTimeout_;
    std::string buffer_;
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
    static constexpr std::size_t chunkLineLimit = 4096;

    bool nextChunk() {
        std::string line;
        if (started_ && (!connection_.line(line, chunkLineLimit) || !line.empty())) // the CRLF after a chunk
            return fail();
        started_ = true;
        if (!connection_.line(line, chunkLineLimit))
            return fail();
        auto size = parseSize(std::string_view(line).substr(0, line.find(';')), 16);
        if (!size)
            return fail();
        if (*size == 0) {
            // Trailer fields, bounded like a head, then the blank line.
            for (std::size_t fields = 0;; ++fields) {
                if (fields > 100 || !connection_.line(line, chunkLineLimit))
                    return fail();
                if (line.empty())
                    break;
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

HttpResponse refusal(int status, const std::string& code) {
    return HttpResponse::json(status, R"({"error":"bad_request","code":")" + code + "\"}");
}

} // namespace

std::optional<std::string> HttpRequest::header(const std::string& name) const {
    for (const auto& [field, value] : headers)
        if (field.size() == name.size() && ::strncasecmp(field.c_str(), name.c_str(), name.size()) == 0)
            return value;
    return std::nullopt;
}

HttpServer::HttpServer(Handler handler, Options options)
    : handler_(std::move(handler)), options_(std::move(options)) {
    options_.maxConnections = std::max<std::size_t>(options_.maxConnections, 1);
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(options_.port));
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 128) != 0) {
        std::string why = std::strerror(errno);
        ::close(listenFd_);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(options_.port) + ": " + why);
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
    {
        std::lock_guard lock(mutex_);
        if (stopping_.exchange(true))
            return;
    }
    slotFreed_.notify_all();
    ::shutdown(listenFd_, SHUT_RDWR);
    acceptThread_.join();
    ::close(listenFd_);
    std::map<std::uint64_t, Worker> workers;
    {
        std::lock_guard lock(mutex_);
        for (auto& [id, worker] : workers_)
            ::shutdown(worker.fd, SHUT_RDWR);
        workers.swap(workers_);
        finished_.clear();
    }
    for (auto& [id, worker] : workers)
        worker.thread.join();
}

void HttpServer::reapFinished() {
    std::vector<std::thread> done;
    {
        std::lock_guard lock(mutex_);
        for (std::uint64_t id : finished_) {
            auto it = workers_.find(id);
            done.push_back(std::move(it->second.thread));
            workers_.erase(it);
        }
        finished_.clear();
    }
    for (auto& thread : done)
        thread.join(); // it has said it is done: only its return is left
}

void HttpServer::finished(std::uint64_t id, int fd) {
    {
        std::lock_guard lock(mutex_);
        ::close(fd);
        // Once stop() has taken the workers over, it joins this thread itself.
        if (auto it = workers_.find(id); it != workers_.end()) {
            it->second.fd = -1;
            finished_.push_back(id);
        }
    }
    slotFreed_.notify_all();
}

void HttpServer::acceptLoop() {
    const timeval sendTimeout{static_cast<time_t>(options_.ioTimeout.count() / 1000),
                              static_cast<suseconds_t>(options_.ioTimeout.count() % 1000 * 1000)};
    while (!stopping_) {
        reapFinished();
        {
            // At the cap, further clients wait in the listen queue until a connection ends.
            std::unique_lock lock(mutex_);
            slotFreed_.wait(lock, [&] {
                return stopping_ || workers_.size() - finished_.size() < options_.maxConnections;
            });
            if (stopping_)
                break;
        }
        pollfd entry{listenFd_, POLLIN, 0};
        if (::poll(&entry, 1, 200) <= 0)
            continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: the waiting client stays queued; wait for a connection to
                // end (or a while) instead of spinning on a listener that stays readable.
                std::unique_lock lock(mutex_);
                slotFreed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stopping_.load(); });
            }
            continue;
        }
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        std::unique_lock lock(mutex_);
        if (stopping_) {
            ::close(fd);
            break;
        }
        std::uint64_t id = nextWorker_++;
        Worker& worker = workers_[id];
        worker.fd = fd;
        try {
            // The thread cannot finish before this assignment: finishing takes the lock held here.
            worker.thread = std::thread([this, id, fd] {
                serve(fd);
                finished(id, fd);
            });
        } catch (const std::system_error&) {
            // No thread to be had: this client is turned away, the next ones are tried later.
            ::close(fd);
            workers_.erase(id);
            slotFreed_.wait_for(lock, std::chrono::milliseconds(100), [&] { return stopping_.load(); });
        }
    }
}

void HttpServer::serve(int fd) {
    Connection connection(fd, options_.ioTimeout);
    for (;;) {
        HeadParse parsed = connection.head(options_.head, Clock::now() + options_.idleTimeout);
        if (parsed.state == HeadParse::State::incomplete || stopping_)
            break; // closed, or nothing whole within the idle time-out
        auto started = Clock::now();
        AccessRecord record;
        HttpRequest request;
        HttpResponse response;
        bool keepOpen = parsed.state == HeadParse::State::complete;
        std::optional<ConnectionBody> body;
        if (parsed.state == HeadParse::State::refused) {
            response = refusal(parsed.status, parsed.reason);
        } else {
            RequestHead& head = parsed.head;
            record.method = head.method;
            record.target = head.target;
            request.method = std::move(head.method);
            request.target = std::move(head.target);
            request.path = std::move(head.path);
            request.rawQuery = std::move(head.rawQuery);
            request.headers = std::move(head.headers);
            keepOpen = !head.closeAfter;
            body.emplace(connection, head.chunked, head.contentLength);
            bool hasBody = head.chunked || head.contentLength > 0;
            if (hasBody && ::strcasecmp(request.header("Expect").value_or("").c_str(), "100-continue") == 0) {
                static constexpr char goOn[] = "HTTP/1.1 100 Continue\r\n\r\n";
                if (!sendAll(fd, goOn, sizeof goOn - 1))
                    break;
            }
            bool whole = true;
            if (options_.streamBodies) {
                request.bodyStream = &*body;
            } else {
                char buffer[65536];
                std::int64_t n;
                while ((n = body->read(buffer, sizeof buffer)) > 0)
                    request.body.append(buffer, static_cast<std::size_t>(n));
                whole = n == 0;
            }
            if (!whole)
                break;
            response = handler_(request);
            request.bodyStream = nullptr;
            if (response.action == HttpResponse::Action::close || !body->drain()) {
                if (options_.log) {
                    record.elapsed =
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
                    options_.log(record);
                }
                break;
            }
        }

        std::uint64_t total = response.streamLength ? *response.streamLength : response.body.size();
        std::string head =
            "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
        for (const auto& [name, value] : response.headers)
            head.append(name).append(": ").append(value).append("\r\n");
        head += "Content-Length: " + std::to_string(total) + "\r\n";
        if (!keepOpen)
            head += "Connection: close\r\n";
        head += "\r\n";
        bool broken = response.action == HttpResponse::Action::closeMidBody;
        std::uint64_t limit = broken ? std::min(response.breakAfter, total) : total;
        bool sent = sendAll(fd, head.data(), head.size());
        std::uint64_t done = 0;
        if (sent && response.streamLength) {
            std::vector<char> buffer(std::min<std::uint64_t>(limit, 1 << 20));
            while (sent && done < limit) {
                std::size_t want =
                    static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), limit - done));
                std::size_t n = response.stream(buffer.data(), want);
                sent = n > 0 && sendAll(fd, buffer.data(), n);
                done += sent ? n : 0;
            }
        } else if (sent) {
            sent = sendAll(fd, response.body.data(), static_cast<std::size_t>(limit));
            done = sent ? limit : 0;
        }
        if (options_.log) {
            record.status = response.status;
            record.bytesSent = done;
            record.elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
            options_.log(record);
        }
        if (!sent || broken || !keepOpen)
            break;
    }
}

} // namespace refhost
