#include "FPWriter.h"

#include "FPHostErrorMap.h"
#include "foundation/Files.h"
#include "item/WLItem.h"
#include "kept/KeptLocal.h"

#include <fcntl.h>
#include <unistd.h>

namespace wl {

namespace fs = std::filesystem;
using fileprovider::ItemRef;
using fileprovider::ProgressRef;
using foundation::Error;
using foundation::ErrorRef;
using foundation::Progress;

const FPKeptCalls FPKeptCalls::store{
    [](const std::string& id) { KeptLocal::remember(fileprovider::ItemIdentifier(id)); },
    [](const std::string& from, const std::string& to) { KeptLocal::moved(from, to); },
    [](const std::string& id) { KeptLocal::forget(id); },
};

const std::string FPWriter::packageRefusedLine =
    "Wyvernloft can't sync this file. Finder shows it as one file, but it's a folder of files inside, and "
    "Wyvernloft doesn't sync those. It's saved on this Mac only. To sync it, save a copy in another format, "
    "such as PDF.";

const ErrorRef& FPWriter::packageRefused() {
    static const ErrorRef error = Error::make(foundation::NSFileProviderErrorDomain, -2005,
                                              {{foundation::NSLocalizedDescriptionKey, packageRefusedLine},
                                               {FPHostErrorMap::kindKey, std::string("refused")},
                                               {FPHostErrorMap::codeKey, std::string("package")}});
    return error;
}

const ErrorRef& FPWriter::cannotSync() {
    static const ErrorRef error = Error::make(foundation::NSFileProviderErrorDomain, -2005);
    return error;
}

const ErrorRef& FPWriter::rejected() {
    static const ErrorRef error = Error::make(foundation::NSFileProviderErrorDomain, -1006);
    return error;
}

FPWriter::FPWriter(std::shared_ptr<FPHostWriting> host, std::function<void()> signalWorkingSet,
                   std::function<std::optional<std::int64_t>(const std::string&)> deliveredRev,
                   FPKeptCalls kept, IsFolder isFolder, Existing existing)
    : host(std::move(host)), signalWorkingSet(std::move(signalWorkingSet)),
      deliveredRev(std::move(deliveredRev)), kept(std::move(kept)), isFolderOf(std::move(isFolder)),
      lookUp(std::move(existing)) {}

FPWriter::Existing FPWriter::defaultExisting() {
    return [](const std::string&, std::function<void(FPExisting)> answer) {
        answer(FPExisting::unknown(Error::make(wlErrorDomain, itemLookupFailed)));
    };
}

FPExisting FPWriter::existing(long status, const std::optional<std::string>& data, const ErrorRef& error) {
    if (error)
        return FPExisting::unknown(error);
    if (status == 404)
        return FPExisting::absent();
    if (status == 200)
        if (auto record = decodeJSON(data); record && record->contains("identifier"))
            return FPExisting::found(WLItem::make(std::move(record)));
    return FPExisting::unknown(Error::make(wlErrorDomain, status));
}

std::string FPWriter::childPath(const fileprovider::ItemIdentifier& parent, const std::string& filename) {
    std::string name = precomposed(filename);
    if (parent == fileprovider::ItemIdentifier::rootContainer())
        return name;
    return hostID(parent) + "/" + name;
}

bool FPWriter::isPackage(const fileprovider::Item& item) {
    auto type = item.contentType();
    return type && type->conformsTo(foundation::UTType::package());
}

bool FPWriter::isFolder(const fileprovider::Item& item) {
    auto type = item.contentType();
    return type && type->conformsTo(foundation::UTType::folder());
}

std::optional<fs::path> FPWriter::emptyFile() {
    fs::path path = foundation::temporaryDirectory() / ("wl-empty-" + foundation::uuidString());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return std::nullopt;
    ::close(fd);
    return path;
}

std::string FPWriter::base(const fileprovider::ItemVersion& version) {
    return isValidUTF8(version.contentVersion) ? version.contentVersion : std::string();
}

ErrorRef FPWriter::retryableAfterMove(const ErrorRef& error) {
    if (error && error->is(foundation::NSFileProviderErrorDomain, -2005)) {
        const std::string* kind = error->stringValue(FPHostErrorMap::kindKey);
        if (kind && *kind == "failed")
            return Error::make(foundation::NSFileProviderErrorDomain, -1004, error->userInfo());
    }
    return error;
}

void FPWriter::finish(const FPWriteResult& result, bool remember, const Completion& completion) {
    if (const auto* failed = result.as<FPWriteResult::Failure>()) {
        completion(nullptr, failed->error);
        return;
    }
    const auto* item = result.as<FPWriteResult::Item>();
    if (!item) {
        completion(nullptr, cannotSync());
        return;
    }
    if (remember)
        if (auto id = jsonString(*item->record, "identifier"); id && !id->empty())
            kept.remember(std::string(*id));
    if (item->conflictCopy)
        signalWorkingSet();
    completion(WLItem::make(item->record), nullptr);
}

ProgressRef FPWriter::create(const ItemRef& itemTemplate, const std::optional<fs::path>& contents,
                             bool mayAlreadyExist, Completion completion) {
    std::string path = childPath(itemTemplate->parentItemIdentifier(), itemTemplate->filename());
    if (isPackage(*itemTemplate)) {
        completion(nullptr, packageRefused());
        return Progress::make();
    }
    if (!mayAlreadyExist)
        return createNew(itemTemplate, path, contents, std::move(completion));
    auto progress = Progress::make(1);
    auto self = shared_from_this();
    lookUp(precomposed(path), [self, itemTemplate, path, contents, progress,
                               completion = std::move(completion)](FPExisting found) {
        switch (found.kind) {
        case FPExisting::Kind::found:
            completion(found.item, nullptr); // nothing is uploaded, even when contents were given
            return;
        case FPExisting::Kind::unknown:
            completion(nullptr, Error::make(foundation::NSFileProviderErrorDomain, -1004,
                                            {{foundation::NSUnderlyingErrorKey, found.error}}));
            return;
        case FPExisting::Kind::absent:
            if (!contents && !isFolder(*itemTemplate)) {
                completion(nullptr, Error::make(foundation::NSFileProviderErrorDomain, -1005));
                return;
            }
            progress->addChild(self->createNew(itemTemplate, path, contents, completion), 1);
        }
    });
    return progress;
}

ProgressRef FPWriter::createNew(const ItemRef& itemTemplate, const std::string& path,
                                const std::optional<fs::path>& contents, Completion completion) {
    auto self = shared_from_this();
    if (isFolder(*itemTemplate))
        return host->makeFolder(path, [self, completion = std::move(completion)](FPWriteResult result) {
            self->finish(result, false, completion);
        });
    std::optional<fs::path> temporary = contents ? std::nullopt : emptyFile();
    std::optional<fs::path> file = contents ? contents : temporary;
    if (!file) {
        completion(nullptr, cannotSync());
        return Progress::make();
    }
    return host->putContent(path, "", *file,
                            [self, temporary, completion = std::move(completion)](FPWriteResult result) {
                                if (temporary) {
                                    std::error_code ec;
                                    fs::remove(*temporary, ec); // a failure to delete is ignored
                                }
                                self->finish(result, true, completion);
                            });
}

ProgressRef FPWriter::upload(const std::string& path, const std::string& base, bool afterMove,
                             const fs::path& contents, Completion completion) {
    auto self = shared_from_this();
    return host->putContent(
        path, base, contents, [self, afterMove, completion = std::move(completion)](FPWriteResult result) {
            if (const auto* failed = result.as<FPWriteResult::Failure>(); failed && afterMove) {
                completion(nullptr, retryableAfterMove(failed->error));
                return;
            }
            self->finish(result, true, completion);
        });
}

ProgressRef FPWriter::modify(const ItemRef& item, const fileprovider::ItemVersion& baseVersion,
                             fileprovider::ItemFields changedFields, const std::optional<fs::path>& contents,
                             Completion completion) {
    using fileprovider::ItemFields;
    std::string id = hostID(item->itemIdentifier());
    std::string revision = base(baseVersion);
    bool content = changedFields.contains(ItemFields::contents);
    bool name = changedFields.contains(ItemFields::filename);
    bool parent = changedFields.contains(ItemFields::parentItemIdentifier);

    bool move = name || parent;
    bool withUpload = content && move;
    if (!content && !move) {
        completion(item, nullptr); // only other fields: no host call
        return Progress::make();
    }
    if (content && isPackage(*item)) {
        completion(nullptr, packageRefused());
        return Progress::make();
    }
    if (!move) {
        if (!contents) {
            completion(nullptr, cannotSync());
            return Progress::make();
        }
        return upload(id, revision, false, *contents, std::move(completion));
    }

    std::string dst = childPath(item->parentItemIdentifier(), item->filename());
    auto progress = Progress::make(2);
    auto self = shared_from_this();
    // The follow-up upload, to the new path, as a child of this call's progress.
    auto followUp = [self, progress, dst, contents](const std::string& uploadBase, bool afterMove,
                                                    Completion done) {
        if (!contents) {
            progress->addChild(Progress::make(), 1);
            done(nullptr, cannotSync());
            return;
        }
        progress->addChild(self->upload(dst, uploadBase, afterMove, *contents, std::move(done)), 1);
    };
    auto moved = host->move(id, dst,
                            [self, id, dst, revision, withUpload, followUp,
                             completion = std::move(completion)](FPWriteResult result) {
                                if (const auto* done = result.as<FPWriteResult::Item>()) {
                                    self->kept.moved(id, dst);
                                    if (withUpload) {
                                        followUp(revision, true, completion);
                                        return;
                                    }
                                    if (done->conflictCopy)
                                        self->signalWorkingSet();
                                    completion(WLItem::make(done->record), nullptr);
                                } else if (const auto* needs = result.as<FPWriteResult::NeedsContent>()) {
                                    followUp(needs->base, false, completion);
                                } else if (const auto* gone = result.as<FPWriteResult::Gone>()) {
                                    // The move happened before (a retry): accept it when the destination
                                    // holds this very file.
                                    const auto& record = gone->dst;
                                    bool recognised =
                                        record && jsonBool(*record, "isDir") != true &&
                                        jsonString(*record, "contentVersion").value_or("") == revision &&
                                        !revision.empty();
                                    if (!recognised) {
                                        completion(nullptr, cannotSync());
                                        return;
                                    }
                                    self->kept.moved(id, dst);
                                    if (withUpload)
                                        followUp(revision, true, completion);
                                    else
                                        completion(WLItem::make(record), nullptr);
                                } else if (const auto* failed = result.as<FPWriteResult::Failure>()) {
                                    completion(nullptr, failed->error);
                                } else {
                                    completion(nullptr, cannotSync());
                                }
                            });
    progress->addChild(moved, 1);
    return progress;
}

ProgressRef FPWriter::deleteItem(const fileprovider::ItemIdentifier& identifier,
                                 const fileprovider::ItemVersion& baseVersion, bool recursive,
                                 DeleteCompletion completion) {
    std::string path = hostID(identifier);
    std::string revision = base(baseVersion);
    if (recursive) {
        auto rev = deliveredRev(path);
        if (!rev) {
            completion(cannotSync());
            return Progress::make();
        }
        return send(path, true, std::nullopt, true, std::to_string(*rev), std::move(completion));
    }
    if (!revision.empty())
        return send(path, false, revision, false, std::nullopt, std::move(completion));
    auto progress = Progress::make(1);
    auto self = shared_from_this();
    isFolderOf(path, [self, path, progress, completion = std::move(completion)](std::optional<bool> folder,
                                                                                ErrorRef error) {
        if (!folder) {
            completion(error ? error : cannotSync());
        } else if (*folder) {
            progress->addChild(self->send(path, true, std::nullopt, false, std::nullopt, completion), 1);
        } else {
            self->signalWorkingSet(); // the system should learn the file's base before it deletes it
            completion(rejected());
        }
    });
    return progress;
}

ProgressRef FPWriter::send(const std::string& path, bool isDir, const std::optional<std::string>& base,
                           bool recursive, const std::optional<std::string>& anchor,
                           DeleteCompletion completion) {
    auto self = shared_from_this();
    return host->deleteItem(path, isDir, base, recursive, anchor,
                            [self, path, completion = std::move(completion)](FPWriteResult result) {
                                if (const auto* failed = result.as<FPWriteResult::Failure>()) {
                                    completion(failed->error);
                                } else if (result.as<FPWriteResult::Changed>()) {
                                    self->signalWorkingSet();
                                    completion(rejected());
                                } else if (result.as<FPWriteResult::Deleted>()) {
                                    self->kept.forget(path);
                                    completion(nullptr);
                                } else {
                                    completion(cannotSync());
                                }
                            });
}

} // namespace wl
