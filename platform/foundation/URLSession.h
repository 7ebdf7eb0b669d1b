#pragma once

#include "Dispatch.h"
#include "Error.h"
#include "Files.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace foundation {

using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

// Header names compare case-insensitively, as HTTP has them.
std::optional<std::string> headerValue(const HTTPHeaders& headers, const std::string& name);

struct URLRequest {
    enum class CachePolicy { useProtocolCachePolicy = 0, reloadIgnoringLocalCacheData = 1 };

    explicit URLRequest(std::string url = {}) : url(std::move(url)) {}

    // Replaces every header of that name.
    void setValue(const std::string& value, const std::string& field);
    std::optional<std::string> value(const std::string& field) const { return headerValue(headers, field); }

    std::string url;
    std::string httpMethod = "GET";
    HTTPHeaders headers;
    std::optional<std::string> httpBody;
    // Streamed body: exactly "Content-Length" bytes are sent when that header is set (the task fails if the
    // stream ends early or errs), else the stream is sent chunked to its end.
    std::shared_ptr<InputStream> httpBodyStream;
    // An idle time-out, in seconds: the connection must be made, and bytes must move, within it.
    double timeoutInterval = 60.0;
    CachePolicy cachePolicy = CachePolicy::useProtocolCachePolicy;
};

struct HTTPURLResponse {
    std::string url;
    long statusCode = 0;
    HTTPHeaders headers;
    std::optional<std::string> value(const std::string& field) const { return headerValue(headers, field); }
};
using ResponseRef = std::shared_ptr<const HTTPURLResponse>;

class URLSessionTask {
public:
    enum class State { suspended = 0, running = 1, completed = 3 };
    virtual ~URLSessionTask() = default;
    // Starts a suspended task; does nothing otherwise.
    virtual void resume() = 0;
    // Completes an unfinished task promptly with NSURLErrorDomain -999; does nothing to a finished one.
    virtual void cancel() = 0;
    virtual State state() const = 0;
};

// URL loading over libcurl's multi interface. One network thread per session owns every transfer; each
// completion runs once, on the session's serial callback queue (never on the network thread), in the
// order the transfers finish. A failed task (also one that breaks mid-body) gives an error and neither
// bytes, response nor file. Connections are kept alive and reused; no proxy is used and redirects are not
// followed.
class URLSession {
public:
    // data or none, the response (none on failure), the transport error (null on success)
    using DataCompletion =
        std::function<void(std::optional<std::string> data, ResponseRef response, ErrorRef error)>;
    // The file holding the body exists while the completion runs and is deleted when it returns.
    using DownloadCompletion = std::function<void(std::optional<std::filesystem::path> location,
                                                  ResponseRef response, ErrorRef error)>;

    explicit URLSession(const std::string& label = "URLSession");
    ~URLSession(); // cancels what is still running; its completions run before this returns
    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

    // Lives for the process.
    static URLSession& shared();

    std::shared_ptr<URLSessionTask> dataTask(URLRequest request, DataCompletion completion);
    std::shared_ptr<URLSessionTask> downloadTask(URLRequest request, DownloadCompletion completion);

    DispatchQueue& callbackQueue();

    struct Engine;

private:
    std::shared_ptr<Engine> engine_;
};

} // namespace foundation
