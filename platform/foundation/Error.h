#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <variant>

namespace foundation {

class Error;

// Errors are immutable and shared: a constant error made once keeps its identity wherever it travels.
using ErrorRef = std::shared_ptr<const Error>;

// A file location as a userInfo value (the OS's NSURL under "NSURL").
struct FileURL {
    std::filesystem::path path;
    bool operator==(const FileURL&) const = default;
};

using UserInfoValue = std::variant<std::string, ErrorRef, FileURL>;
using UserInfo = std::map<std::string, UserInfoValue>;

inline constexpr const char* NSCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr const char* NSFileProviderErrorDomain = "NSFileProviderErrorDomain";

inline constexpr const char* NSUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* NSLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* NSURLErrorKey = "NSURL";

// Codes of NSURLErrorDomain that the URL session gives.
enum URLErrorCode : std::int64_t {
    NSURLErrorUnknown = -1,
    NSURLErrorCancelled = -999,
    NSURLErrorBadURL = -1000,
    NSURLErrorTimedOut = -1001,
    NSURLErrorUnsupportedURL = -1002,
    NSURLErrorCannotFindHost = -1003,
    NSURLErrorCannotConnectToHost = -1004,
    NSURLErrorNetworkConnectionLost = -1005,
    NSURLErrorRequestBodyStreamExhausted = -1021,
    NSURLErrorCannotCreateFile = -3000,
    NSURLErrorCannotWriteToFile = -3003,
};

// Codes of NSCocoaErrorDomain in use.
enum CocoaErrorCode : std::int64_t {
    NSFileReadUnknownError = 256,
    NSFileWriteNoPermissionError = 513,
    NSFileWriteUnknownError = 512,
};

class Error {
public:
    Error(std::string domain, std::int64_t code, UserInfo userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

    static ErrorRef make(std::string domain, std::int64_t code, UserInfo userInfo = {}) {
        return std::make_shared<const Error>(std::move(domain), code, std::move(userInfo));
    }

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const UserInfo& userInfo() const { return userInfo_; }

    // The string under `key`, or nullptr when absent or of another kind.
    const std::string* stringValue(const std::string& key) const;
    // The nested error under "NSUnderlyingError", or null.
    ErrorRef underlyingError() const;

    bool is(const std::string& domain, std::int64_t code) const { return domain_ == domain && code_ == code; }

    // The "NSLocalizedDescription" string when present, else a generic sentence naming domain and code.
    std::string localizedDescription() const;

private:
    std::string domain_;
    std::int64_t code_;
    UserInfo userInfo_;
};

// The one thrown form of an error: the enumerator factory is the only system entry point that throws.
class ThrownError : public std::exception {
public:
    explicit ThrownError(ErrorRef error) : error_(std::move(error)) {}
    const ErrorRef& error() const { return error_; }
    const char* what() const noexcept override { return "foundation::ThrownError"; }

private:
    ErrorRef error_;
};

} // namespace foundation
