#include "FileProviderExtension.h"

#include "item/WLItem.h"
#include "kept/KeptLocal.h"

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace wl {

namespace fs = std::filesystem;
using foundation::ErrorRef;
using foundation::Progress;

namespace {

constexpr std::size_t copyChunk = 1 << 20;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_); // errors of closing are ignored
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The transfer deletes its file when its completion returns, and the hand-over comes after a further
// exchange: a file that must outlive the completion is moved to a name of our own first.
std::optional<fs::path> keepDownload(const fs::path& download) {
    fs::path kept = download.parent_path() / ("wl-download-" + foundation::uuidString());
    std::error_code ec;
    fs::rename(download, kept, ec);
    if (ec)
        return std::nullopt;
    return kept;
}

} // namespace

std::optional<fs::path> FileProviderExtension::copyDenseOntoProviderVolume(const fs::path& source) const {
    auto manager = fileprovider::Manager::forDomain(domain_);
    if (!manager)
        return std::nullopt;
    ErrorRef error;
    auto directory = manager->temporaryDirectoryURL(&error);
    if (!directory || error)
        return std::nullopt;
    std::error_code ec;
    fs::create_directories(*directory, ec);
    if (ec)
        return std::nullopt;
    fs::path target = *directory / foundation::uuidString();
    FileDescriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0 || out.get() < 0)
        return std::nullopt;
    std::vector<char> buffer(copyChunk);
    for (;;) {
        ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return target;
        if (!foundation::writeAll(out.get(), std::string_view(buffer.data(), static_cast<std::size_t>(n))))
            return std::nullopt;
    }
}

fileprovider::ProgressRef
FileProviderExtension::fetchWholeFile(const fileprovider::ItemIdentifier& identifier,
                                      const fileprovider::Request&, FetchCompletion completion) {
    auto progress = Progress::make(100);
    if (!cfg_) {
        completion(std::nullopt, nullptr, noHostConnectionError());
        return progress;
    }
    auto self = shared_from_this();
    foundation::URLSession::shared()
        .downloadTask(
            cfg_->request("/v1/content", {{"path", identifier.rawValue()}}),
            [self, identifier, progress, completion = std::move(completion)](
                std::optional<fs::path> location, foundation::ResponseRef response, ErrorRef error) mutable {
                long status = statusOf(response);
                if (!location || status != 200) {
                    progress->setCompletedUnitCount(100);
                    completion(std::nullopt, nullptr,
                               hostAnswerError(status, std::nullopt, error, contentDownloadFailed));
                    return;
                }
                std::optional<fs::path> content = self->copyDenseOntoProviderVolume(*location);
                bool ownFallback = false;
                if (!content) {
                    content = keepDownload(*location);
                    ownFallback = content.has_value();
                }
                KeptLocal::remember(identifier);
                auto lookupProgress = Progress::make(1);
                self->lookUp(identifier, lookupProgress,
                             [progress, content, ownFallback, completion = std::move(completion)](
                                 fileprovider::ItemRef item, ErrorRef lookupError) {
                                 progress->setCompletedUnitCount(100);
                                 if (item && content) {
                                     completion(content, std::move(item), nullptr);
                                     return;
                                 }
                                 if (ownFallback) {
                                     std::error_code ec;
                                     fs::remove(*content, ec); // never handed over: ours to clean up
                                 }
                                 if (!lookupError) // no file could be kept at all
                                     lookupError =
                                         foundation::Error::make(wlErrorDomain, contentDownloadFailed);
                                 completion(std::nullopt, nullptr, std::move(lookupError));
                             });
            })
        ->resume();
    return progress;
}

fileprovider::ProgressRef
FileProviderExtension::fetchContents(const fileprovider::ItemIdentifier& identifier,
                                     const std::optional<fileprovider::ItemVersion>&,
                                     const fileprovider::Request& request, FetchCompletion completion) {
    std::weak_ptr<FileProviderExtension> weak = weak_from_this();
    return fetchWholeFile(identifier, request,
                          [weak, completion = std::move(completion)](
                              std::optional<fs::path> file, fileprovider::ItemRef item, ErrorRef error) {
                              bool delivered = file && item;
                              completion(std::move(file), std::move(item), std::move(error));
                              if (auto self = weak.lock(); self && delivered)
                                  self->refreshWorkingSet();
                          });
}

fileprovider::ProgressRef FileProviderExtension::fetchPartialContents(
    const fileprovider::ItemIdentifier& identifier, const std::optional<fileprovider::ItemVersion>&,
    const fileprovider::Request& request, fileprovider::Range, std::size_t,
    fileprovider::FetchContentsOptions, PartialCompletion completion) {
    std::weak_ptr<FileProviderExtension> weak = weak_from_this();
    return fetchWholeFile(identifier, request,
                          [weak, completion = std::move(completion)](
                              std::optional<fs::path> file, fileprovider::ItemRef item, ErrorRef error) {
                              if (!file || !item) {
                                  completion(std::nullopt, nullptr, fileprovider::Range{0, 0},
                                             fileprovider::MaterializationFlags{}, std::move(error));
                                  return;
                              }
                              std::error_code ec;
                              auto size = fs::file_size(*file, ec);
                              std::int64_t length = ec ? 0 : static_cast<std::int64_t>(size);
                              completion(std::move(file), std::move(item), fileprovider::Range{0, length},
                                         fileprovider::MaterializationFlags::knownSparseRanges, nullptr);
                              if (auto self = weak.lock())
                                  self->refreshWorkingSet();
                          });
}

void FileProviderExtension::refreshWorkingSet() {
    foundation::DispatchQueue::main().async([domain = domain_] {
        if (auto manager = fileprovider::Manager::forDomain(domain))
            manager->signalEnumerator(fileprovider::ItemIdentifier::workingSet(), [](ErrorRef) {});
    });
}

} // namespace wl
