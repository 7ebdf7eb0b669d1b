#pragma once

// The host write client: uploads, folder creation, moves and deletions, every answer reduced to one
// FPWriteResult. Each call returns its progress at once and completes exactly once: on the URL
// session's callback queue, or on the caller's thread before returning when it fails locally (an
// unreadable file, a missing base or anchor).
#include "fileprovider/Extension.h"
#include "host/HostConfig.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>

namespace wl {

struct FPWriteResult {
    struct Item {
        JSONObjectRef record;
        JSONObjectRef conflictCopy; // null when the host made none
        bool localOnly = false;
    };
    struct Deleted {
        bool localOnly = false;
    };
    struct NeedsContent {
        std::string base;
    };
    struct Changed {
        JSONObjectRef serverItem;
    };
    struct Gone {
        JSONObjectRef dst;
    };
    struct Failure {
        foundation::ErrorRef error;
    };

    std::variant<Item, Deleted, NeedsContent, Changed, Gone, Failure> value;

    template <typename Case> const Case* as() const { return std::get_if<Case>(&value); }
};

class FPHostWriting {
public:
    using Completion = std::function<void(FPWriteResult)>;
    virtual ~FPHostWriting() = default;

    // base: the content revision the upload replaces, "" for a new file (sent either way).
    virtual fileprovider::ProgressRef putContent(const std::string& path, const std::string& base,
                                                 const std::filesystem::path& file,
                                                 Completion completion) = 0;
    virtual fileprovider::ProgressRef makeFolder(const std::string& path, Completion completion) = 0;
    virtual fileprovider::ProgressRef move(const std::string& from, const std::string& to,
                                           Completion completion) = 0;
    // The host's DELETE ("delete" is a keyword here).
    virtual fileprovider::ProgressRef deleteItem(const std::string& path, bool isDir,
                                                 const std::optional<std::string>& base, bool recursive,
                                                 const std::optional<std::string>& anchor,
                                                 Completion completion) = 0;
};

class FPHostWrites : public FPHostWriting {
public:
    explicit FPHostWrites(HostConfig cfg, foundation::URLSession& session = foundation::URLSession::shared())
        : cfg(std::move(cfg)), session(session) {}

    static constexpr int putAttempts = 3;

    fileprovider::ProgressRef putContent(const std::string& path, const std::string& base,
                                         const std::filesystem::path& file, Completion completion) override;
    fileprovider::ProgressRef makeFolder(const std::string& path, Completion completion) override;
    fileprovider::ProgressRef move(const std::string& from, const std::string& to,
                                   Completion completion) override;
    fileprovider::ProgressRef deleteItem(const std::string& path, bool isDir,
                                         const std::optional<std::string>& base, bool recursive,
                                         const std::optional<std::string>& anchor,
                                         Completion completion) override;

    // The lower-case hex SHA-256 of a file and its byte count, read in 1 MiB chunks; none when the file
    // cannot be read to its end.
    static std::optional<std::pair<std::string, std::int64_t>> sha256(const std::filesystem::path& file);

    const HostConfig cfg;
    foundation::URLSession& session;

private:
    using Reduction = std::function<FPWriteResult(long status, const JSONObjectRef& body)>;
    void attemptPut(std::string path, std::string base, std::filesystem::path file, int attempt,
                    fileprovider::ProgressRef progress, Completion completion);
    fileprovider::ProgressRef send(foundation::URLRequest request, Completion completion,
                                   Reduction reduction);
};

} // namespace wl
