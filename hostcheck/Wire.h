#pragma once

// The host's wire as wl-hostcheck speaks it: one request at a time over the platform's URL session (the
// transport the extension uses, so that answers are read as it reads them), and a plain socket for the
// one request that session refuses to send: a body shorter than its Content-Length.
#include "foundation/URLSession.h"

#include <boost/json.hpp>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace wl::hostcheck {

inline constexpr const char* rootIdentifier = "NSFileProviderRootContainerItemIdentifier";

struct Connection {
    int port = 0;
    std::string token;
};

// The connection file read as the extension reads it: a JSON object with a whole-number "port" (0 to
// 65535) and a string "token" that can travel as a header value. None, with the reason, otherwise.
std::optional<Connection> readConnection(const std::filesystem::path& file, std::string& why);

// Query keys sorted by bytes, as the extension sends them.
using Query = std::map<std::string, std::string>;

// Every byte but the 66 unreserved characters as "%XX" (upper-case hex).
std::string queryEncode(std::string_view text);
std::string target(const std::string& path, const Query& query);

// One request and what came of it.
struct Exchange {
    std::string method;
    std::string target;
    std::string detail; // what was sent beyond method and target: token, digest, body
    long status = 0;    // 0: no HTTP answer
    std::string transportError;
    foundation::HTTPHeaders headers;
    std::string body;

    bool answered() const { return status != 0; }
    std::string path() const { return target.substr(0, target.find('?')); }
    // The body as a JSON object; none when it is not one.
    std::optional<boost::json::object> object() const;
    // The envelope's "error" when the body is a JSON object with a string there.
    std::optional<std::string> kind() const;
    std::string sentText() const;
    std::string gotText() const;
};

// The token a request carries.
struct Auth {
    enum class Mode { connection, none, given } mode = Mode::connection;
    std::string value; // for Mode::given
    static Auth none() { return {Mode::none, {}}; }
    static Auth given(std::string token) { return {Mode::given, std::move(token)}; }
};

std::string sha256Hex(std::string_view bytes);

// Sends requests to one host, one at a time, and never writes outside `scratch`: every identifier a
// write names must be the scratch folder or lie below it, or the call throws std::logic_error before
// anything is sent. Not thread-safe; the observer runs on the calling thread after each exchange.
class Client {
public:
    Client(Connection connection, std::string scratch);

    const Connection& connection() const { return connection_; }
    const std::string& scratch() const { return scratch_; }
    std::function<void(const Exchange&)> observer;

    Exchange get(const std::string& path, const Query& query = {}, const Auth& auth = {});
    // PUT /v1/content with the digest and length of `bytes` unless `digest` is given.
    Exchange put(const std::string& identifier, const std::string& base, const std::string& bytes,
                 const Auth& auth = {}, std::optional<std::string> digest = std::nullopt);
    Exchange post(const std::string& path, const boost::json::object& body, const Auth& auth = {});
    Exchange folder(const std::string& identifier, const Auth& auth = {});
    Exchange move(const std::string& from, const std::string& to, const Auth& auth = {});
    Exchange remove(const Query& query, const Auth& auth = {});
    // A PUT that declares `declared` bytes, sends `bytes` (fewer), then closes its sending side.
    Exchange shortPut(const std::string& identifier, const std::string& base, const std::string& bytes,
                      std::uint64_t declared);

    // Throws std::logic_error unless `identifier` is the scratch folder or a clean path below it.
    void guard(const std::string& identifier) const;

private:
    Exchange send(foundation::URLRequest request, Exchange exchange, const Auth& auth);
    std::string url(const std::string& target) const;

    Connection connection_;
    std::string scratch_;
    foundation::URLSession session_{"hostcheck"};
};

} // namespace wl::hostcheck
