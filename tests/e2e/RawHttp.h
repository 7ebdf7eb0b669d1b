#pragma once

// HTTP/1.1 over a plain loopback socket, one connection per exchange, for tests that must control the
// connection itself: fresh connections, idle ones, slow ones.
#include <chrono>
#include <string>
#include <string_view>

namespace e2e {

// A connected socket to 127.0.0.1:port (or `fd`, made beforehand, connected), or -1.
int connectLoopback(int port, int fd = -1);
bool sendAll(int fd, std::string_view bytes);

// What the peer sends until it closes; `closed` is false when `limit` passed first.
struct Received {
    std::string bytes;
    bool closed = false;
};
Received readUntilClosed(int fd, std::chrono::milliseconds limit = std::chrono::seconds(10));

// One request on a fresh connection (it should ask for "Connection: close"); status 0 when no answer.
struct RawAnswer {
    int status = 0;
    std::string body;
};
RawAnswer exchangeOnce(int port, const std::string& request);

// The SHA-256 of `bytes` as 64 lower-case hex digits, as the host wants it in "X-FP-SHA256".
std::string sha256Hex(const std::string& bytes);
// Every byte but the unreserved ones as upper-case %XX, as query keys and values travel.
std::string percentEncode(const std::string& text);

// A request with the host's token header and, for a body, its length.
std::string request(const std::string& method, const std::string& target, const std::string& token,
                    const std::string& body = {}, const std::string& extraHeaders = {});

} // namespace e2e
