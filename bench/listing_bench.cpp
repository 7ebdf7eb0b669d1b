// A folder of many files served by the reference host: how long the host takes to answer its listing,
// and the extension's listing end to end (request, parse, items, observer call) next to a raw libcurl
// transfer of the same answer plus a Boost.JSON parse of it.
//   listing_bench [--files N]
#include "Service.h"
#include "Tree.h"
#include "enumeration/WLEnumerator.h"
#include "foundation/Files.h"
#include "kept/KeptLocal.h"

#include <boost/json.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <future>
#include <unistd.h>

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

double millis(Clock::time_point since) {
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// The lowest of a few runs: the figure least disturbed by the machine.
template <typename Run> double best(int runs, Run run) {
    double lowest = 1e300;
    for (int i = 0; i < runs; ++i)
        lowest = std::min(lowest, run());
    return lowest;
}

class CountingObserver : public fileprovider::EnumerationObserver {
public:
    void didEnumerateItems(std::vector<fileprovider::ItemRef> items) override { count += items.size(); }
    void finishEnumeratingUpToPage(std::optional<fileprovider::Page>) override { done.set_value(); }
    void finishEnumeratingWithError(foundation::ErrorRef error) override {
        std::fprintf(stderr, "listing failed: %s\n", error->localizedDescription().c_str());
        done.set_value();
    }
    std::size_t count = 0;
    std::promise<void> done;
};

} // namespace

int main(int argc, char** argv) {
    int files = 100000;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--files") == 0)
            files = std::atoi(argv[i + 1]);

    fs::path scratch = foundation::temporaryDirectory() / ("listing-bench-" + foundation::uuidString());
    fs::create_directories(scratch / "root" / "Big");
    fs::create_directories(scratch / "kept");
    for (int i = 0; i < files; ++i) {
        std::string name = (scratch / "root" / "Big" / ("file-" + std::to_string(i) + ".txt")).string();
        ::close(::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }

    refhost::Tree tree({scratch / "root", std::nullopt, std::nullopt});
    refhost::Service service(tree, "bench");
    refhost::HttpServer server([&](refhost::HttpRequest& request) { return service.handle(request); },
                               {0, true});
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/v1/enumerate?container=Big";

    CURL* easy = curl_easy_init();
    curl_slist* headers = curl_slist_append(nullptr, "X-FP-Token: bench");
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, collect);
    std::string body;
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
    std::size_t parsedItems = 0;
    double raw = best(5, [&] {
        body.clear();
        auto start = Clock::now();
        curl_easy_perform(easy);
        auto answer = boost::json::parse(body);
        parsedItems = answer.as_object().at("items").as_array().size();
        return millis(start);
    });
    double transfer = best(5, [&] {
        body.clear();
        auto start = Clock::now();
        curl_easy_perform(easy);
        return millis(start);
    });

    foundation::writeAtomically(scratch / "fphost.json",
                                "{\"port\":" + std::to_string(server.port()) + ",\"token\":\"bench\"}");
    wl::HostConfig::testDirectory = scratch;
    wl::KeptLocal::testDirectory = scratch / "kept";
    auto enumerator =
        std::make_shared<wl::WLEnumerator>(fileprovider::ItemIdentifier("Big"), *wl::HostConfig::load());
    std::size_t listedItems = 0;
    double extension = best(5, [&] {
        auto observer = std::make_shared<CountingObserver>();
        auto start = Clock::now();
        enumerator->enumerateItems(observer, fileprovider::Page::initialPageSortedByName());
        observer->done.get_future().wait();
        listedItems = observer->count;
        return millis(start);
    });

    std::printf("listing of a folder of %d files from the reference host (best of 5)\n", files);
    std::printf("  host answer, transfer only   %8.1f ms (%zu bytes; target: well under 1000 ms)\n", transfer,
                body.size());
    std::printf("  libcurl + Boost.JSON parse   %8.1f ms (%zu items)\n", raw, parsedItems);
    std::printf("  extension end to end         %8.1f ms (%zu items)\n", extension, listedItems);
    std::printf("  ratio                        %8.2fx (target <= 2x, empty kept-local store)\n",
                extension / raw);

    curl_slist_free_all(headers);
    curl_easy_cleanup(easy);
    server.stop();
    fs::remove_all(scratch);
    return 0;
}
