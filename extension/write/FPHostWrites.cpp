#include "FPHostWrites.h"

#include "FPHostErrorMap.h"

#include <boost/json.hpp>
#include <memory>
#include <openssl/evp.h>
#include <vector>

namespace wl {

namespace fs = std::filesystem;
using fileprovider::ProgressRef;
using foundation::ErrorRef;
using foundation::Progress;

namespace {

constexpr std::size_t hashChunk = 1 << 20;

FPWriteResult failure(ErrorRef error) {
    return {FPWriteResult::Failure{std::move(error)}};
}

FPWriteResult failure(long status, const boost::json::object& body) {
    return failure(FPHostErrorMap::error(status, &body));
}

FPWriteResult offline() {
    return failure(503, boost::json::object{{"error", "offline"}});
}

// The reduction of the content and folder answers, and the fallback of moves.
FPWriteResult itemResult(long status, const JSONObjectRef& body) {
    if (status != 200)
        return failure(FPHostErrorMap::error(status, body.get()));
    const boost::json::object* record = body ? jsonObject(*body, "item") : nullptr;
    if (!record)
        return failure(500, boost::json::object{{"error", "failed"}});
    const boost::json::object* copy = jsonObject(*body, "conflictCopy");
    return {FPWriteResult::Item{shareObject(body, *record), copy ? shareObject(body, *copy) : nullptr,
                                jsonBool(*body, "localOnly").value_or(false)}};
}

FPWriteResult moveResult(long status, const JSONObjectRef& body) {
    auto kind = body ? jsonString(*body, "error") : std::nullopt;
    if (status == 409 && kind == "needs_content") {
        if (auto base = jsonString(*body, "base"))
            return {FPWriteResult::NeedsContent{std::string(*base)}};
        return failure(FPHostErrorMap::error(409, body.get()));
    }
    if (status == 409 && kind == "gone") {
        const boost::json::object* dst = jsonObject(*body, "item");
        return {FPWriteResult::Gone{dst ? shareObject(body, *dst) : nullptr}};
    }
    return itemResult(status, body);
}

FPWriteResult deleteResult(long status, const JSONObjectRef& body) {
    if (status == 409) {
        if (body && jsonString(*body, "error") == "changed") {
            const boost::json::object* current = jsonObject(*body, "item");
            return {FPWriteResult::Changed{current ? shareObject(body, *current) : nullptr}};
        }
        return failure(FPHostErrorMap::error(409, body.get()));
    }
    if (status == 200) {
        if (body && jsonBool(*body, "deleted") == true)
            return {FPWriteResult::Deleted{jsonBool(*body, "localOnly").value_or(false)}};
        return failure(500, boost::json::object{{"error", "failed"}});
    }
    return failure(FPHostErrorMap::error(status, body.get()));
}

ErrorRef unreadable(const fs::path& file) {
    return foundation::Error::make(foundation::NSCocoaErrorDomain, foundation::NSFileReadUnknownError,
                                   {{foundation::NSURLErrorKey, foundation::FileURL{file}}});
}

} // namespace

std::optional<std::pair<std::string, std::int64_t>> FPHostWrites::sha256(const fs::path& file) {
    foundation::InputStream stream(file);
    stream.open();
    if (stream.streamStatus() == foundation::InputStream::Status::error)
        return std::nullopt;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(hashChunk);
    std::int64_t count = 0;
    for (;;) {
        std::int64_t n = stream.read(buffer.data(), buffer.size());
        if (n < 0)
            return std::nullopt; // the stream closes with it
        if (n == 0)
            break;
        EVP_DigestUpdate(digest.get(), buffer.data(), static_cast<std::size_t>(n));
        count += n;
    }
    if (stream.streamStatus() == foundation::InputStream::Status::error)
        return std::nullopt;
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(digest.get(), hash, &size);
    static constexpr char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < size; ++i) {
        text += hex[hash[i] >> 4];
        text += hex[hash[i] & 15];
    }
    return std::make_pair(text, count);
}

ProgressRef FPHostWrites::putContent(const std::string& path, const std::string& base, const fs::path& file,
                                     Completion completion) {
    auto progress = Progress::make(1);
    attemptPut(path, base, file, 1, progress, std::move(completion));
    return progress;
}

void FPHostWrites::attemptPut(std::string path, std::string base, fs::path file, int attempt,
                              ProgressRef progress, Completion completion) {
    auto digest = sha256(file);
    if (!digest) {
        progress->setCompletedUnitCount(1);
        completion(failure(unreadable(file)));
        return;
    }
    auto request = cfg.request("/v1/content", {{"path", path}, {"base", base}});
    request.httpMethod = "PUT";
    request.setValue(digest->first, "X-FP-SHA256");
    request.setValue(std::to_string(digest->second), "Content-Length");
    request.setValue("application/octet-stream", "Content-Type");
    request.httpBodyStream = foundation::InputStream::withFile(file);
    // The task holds this writer's configuration only by value; the session outlives every task.
    FPHostWrites self(cfg, session);
    auto task = session.dataTask(
        std::move(request),
        [self, path, base, file, attempt, progress, completion = std::move(completion)](
            std::optional<std::string> data, foundation::ResponseRef response, ErrorRef error) mutable {
            long status = statusOf(response);
            JSONObjectRef body = decodeJSON(data);
            bool incomplete = !error && status == 400 && body && jsonString(*body, "error") == "incomplete";
            if (incomplete && attempt < putAttempts && !progress->isCancelled()) {
                self.attemptPut(std::move(path), std::move(base), std::move(file), attempt + 1, progress,
                                std::move(completion));
                return;
            }
            progress->setCompletedUnitCount(1);
            completion(error || status == 0 ? offline() : itemResult(status, body));
        });
    progress->setCancellationHandler([task] { task->cancel(); });
    task->resume();
}

ProgressRef FPHostWrites::send(foundation::URLRequest request, Completion completion, Reduction reduction) {
    auto progress = Progress::make(1);
    auto task = session.dataTask(
        std::move(request),
        [progress, completion = std::move(completion), reduction = std::move(reduction)](
            std::optional<std::string> data, foundation::ResponseRef response, ErrorRef error) {
            progress->setCompletedUnitCount(1);
            long status = statusOf(response);
            completion(error || status == 0 ? offline() : reduction(status, decodeJSON(data)));
        });
    progress->setCancellationHandler([task] { task->cancel(); });
    task->resume();
    return progress;
}

ProgressRef FPHostWrites::makeFolder(const std::string& path, Completion completion) {
    auto request = cfg.request("/v1/folder");
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.httpBody = boost::json::serialize(boost::json::object{{"path", path}});
    return send(std::move(request), std::move(completion), itemResult);
}

ProgressRef FPHostWrites::move(const std::string& from, const std::string& to, Completion completion) {
    auto request = cfg.request("/v1/move");
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.httpBody = boost::json::serialize(boost::json::object{{"from", from}, {"to", to}});
    return send(std::move(request), std::move(completion), moveResult);
}

ProgressRef FPHostWrites::deleteItem(const std::string& path, bool isDir,
                                     const std::optional<std::string>& base, bool recursive,
                                     const std::optional<std::string>& anchor, Completion completion) {
    std::map<std::string, std::string> query{{"path", path}};
    std::optional<std::string> refusal;
    if (isDir) {
        query["dir"] = "1";
        if (recursive) {
            if (anchor && !anchor->empty()) {
                query["recursive"] = "1";
                query["anchor"] = *anchor;
            } else {
                refusal = "anchor_required";
            }
        }
    } else if (base && !base->empty()) {
        query["base"] = *base;
    } else {
        refusal = "base_required";
    }
    if (refusal) {
        completion(failure(FPHostErrorMap::local(*refusal)));
        return Progress::make(1); // never completed: nothing was sent
    }
    auto request = cfg.request("/v1/item", query);
    request.httpMethod = "DELETE";
    return send(std::move(request), std::move(completion), deleteResult);
}

} // namespace wl
