#pragma once

// The writer: which host calls a creation, modification or deletion needs, in which order, against
// which base revision, and what the system is told. It reaches the host only through FPHostWriting and
// everything else through closures, so it has no tie to the extension object. A writer is built for
// one system call and lives until its last completion has run; its completions, and every closure, run
// on the queue the host client or the lookup answers on.
#include "FPHostWrites.h"
#include "fileprovider/fileprovider.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace wl {

// The kept-local store's operations, as the writer calls them.
struct FPKeptCalls {
    std::function<void(const std::string&)> remember;
    std::function<void(const std::string&, const std::string&)> moved;
    std::function<void(const std::string&)> forget;

    // Bound to KeptLocal.
    static const FPKeptCalls store;
};

// What a lookup of an identifier on the host found.
struct FPExisting {
    enum class Kind { found, unknown, absent };
    Kind kind;
    fileprovider::ItemRef item; // found
    foundation::ErrorRef error; // unknown

    static FPExisting found(fileprovider::ItemRef item) { return {Kind::found, std::move(item), nullptr}; }
    static FPExisting unknown(foundation::ErrorRef error) {
        return {Kind::unknown, nullptr, std::move(error)};
    }
    static FPExisting absent() { return {Kind::absent, nullptr, nullptr}; }
};

class FPWriter : public std::enable_shared_from_this<FPWriter> {
public:
    using Completion = std::function<void(fileprovider::ItemRef item, foundation::ErrorRef error)>;
    using DeleteCompletion = std::function<void(foundation::ErrorRef error)>;
    using IsFolder =
        std::function<void(const std::string& identifier,
                           std::function<void(std::optional<bool> folder, foundation::ErrorRef error)>)>;
    using Existing = std::function<void(const std::string& identifier, std::function<void(FPExisting)>)>;

    FPWriter(std::shared_ptr<FPHostWriting> host, std::function<void()> signalWorkingSet,
             std::function<std::optional<std::int64_t>(const std::string&)> deliveredRev, FPKeptCalls kept,
             IsFolder isFolder, Existing existing = defaultExisting());

    fileprovider::ProgressRef create(const fileprovider::ItemRef& itemTemplate,
                                     const std::optional<std::filesystem::path>& contents,
                                     bool mayAlreadyExist, Completion completion);
    fileprovider::ProgressRef modify(const fileprovider::ItemRef& item,
                                     const fileprovider::ItemVersion& baseVersion,
                                     fileprovider::ItemFields changedFields,
                                     const std::optional<std::filesystem::path>& contents,
                                     Completion completion);
    // The system's deletion ("delete" is a keyword here).
    fileprovider::ProgressRef deleteItem(const fileprovider::ItemIdentifier& identifier,
                                         const fileprovider::ItemVersion& baseVersion, bool recursive,
                                         DeleteCompletion completion);

    // The reading of a GET "/v1/item" answer.
    static FPExisting existing(long status, const std::optional<std::string>& data,
                               const foundation::ErrorRef& error);
    // The host identifier of a child: the composed (NFC) name, under the parent's host identifier.
    static std::string childPath(const fileprovider::ItemIdentifier& parent, const std::string& filename);
    static bool isPackage(const fileprovider::Item& item);
    static bool isFolder(const fileprovider::Item& item);
    // A new empty file "wl-empty-<UUID>" in the temporary directory, or none.
    static std::optional<std::filesystem::path> emptyFile();
    // The content version as UTF-8 text; "" when it is not UTF-8.
    static std::string base(const fileprovider::ItemVersion& version);
    // After a completed move, an upload that failed as "failed" is worth retrying: -2005 becomes -1004.
    static foundation::ErrorRef retryableAfterMove(const foundation::ErrorRef& error);

    static const std::string packageRefusedLine;
    static const foundation::ErrorRef& packageRefused();
    static const foundation::ErrorRef& cannotSync();
    static const foundation::ErrorRef& rejected();

    const std::shared_ptr<FPHostWriting> host;
    const std::function<void()> signalWorkingSet;
    const std::function<std::optional<std::int64_t>(const std::string&)> deliveredRev;
    const FPKeptCalls kept;
    const IsFolder isFolderOf;
    const Existing lookUp;

private:
    static Existing defaultExisting();
    fileprovider::ProgressRef createNew(const fileprovider::ItemRef& itemTemplate, const std::string& path,
                                        const std::optional<std::filesystem::path>& contents,
                                        Completion completion);
    void finish(const FPWriteResult& result, bool remember, const Completion& completion);
    fileprovider::ProgressRef upload(const std::string& path, const std::string& base, bool afterMove,
                                     const std::filesystem::path& contents, Completion completion);
    fileprovider::ProgressRef send(const std::string& path, bool isDir,
                                   const std::optional<std::string>& base, bool recursive,
                                   const std::optional<std::string>& anchor, DeleteCompletion completion);
};

} // namespace wl
