// URL session figures next to plain libcurl and the curl program, against one loopback server:
// sequential small GETs on a kept-alive connection, and a large download to disk with peak memory.
//   urlsession_bench [--requests N] [--mib N]
#include "foundation/URLSession.h"
#include "server/HttpServer.h"

#include "BenchSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <fstream>
#include <future>
#include <string>

using namespace foundation;
using bench::Clock;
using bench::seconds;

namespace {

refhost::HttpResponse answer(refhost::HttpRequest& request) {
    if (request.path == "/small")
        return refhost::HttpResponse(200, R"({"ok":true})");
    std::uint64_t size = std::stoull(request.query().at("bytes"));
    refhost::HttpResponse big;
    big.streamLength = size;
    big.stream = [](char* buffer, std::size_t n) {
        std::memset(buffer, 'x', n);
        return n;
    };
    return big;
}

double sessionGets(const std::string& url, int count) {
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::promise<void> done;
        URLSession::shared()
            .dataTask(URLRequest(url),
                      [&](std::optional<std::string> data, ResponseRef, ErrorRef error) {
                          if (error || !data)
                              std::fprintf(stderr, "request failed\n");
                          done.set_value();
                      })
            ->resume();
        done.get_future().wait();
    }
    return count / seconds(start);
}

size_t discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

double curlGets(const std::string& url, int count) {
    CURL* easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, discard);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, "*");
    auto start = Clock::now();
    for (int i = 0; i < count; ++i)
        curl_easy_perform(easy);
    double rate = count / seconds(start);
    curl_easy_cleanup(easy);
    return rate;
}

// The curl program fetching `count` URLs one after the other in one process.
double curlProgramGets(const std::string& url, int count) {
    std::string config = (temporaryDirectory() / ("bench-curl-" + uuidString() + ".conf")).string();
    {
        std::ofstream file(config);
        for (int i = 0; i < count; ++i)
            file << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
    }
    std::string command =
        "curl -s --no-progress-meter --noproxy '*' --parallel --parallel-max 1 -K '" + config + "'";
    auto start = Clock::now();
    int status = std::system(command.c_str()); // NOLINT(concurrency-mt-unsafe)
    double rate = count / seconds(start);
    std::filesystem::remove(config);
    if (status != 0)
        std::fprintf(stderr, "curl program failed\n");
    return rate;
}

double sessionDownload(const std::string& url, std::uint64_t bytes) {
    auto start = Clock::now();
    std::promise<void> done;
    URLSession::shared()
        .downloadTask(URLRequest(url),
                      [&](std::optional<std::filesystem::path> location, ResponseRef, ErrorRef error) {
                          if (error || !location || std::filesystem::file_size(*location) != bytes)
                              std::fprintf(stderr, "download failed\n");
                          done.set_value();
                      })
        ->resume();
    done.get_future().wait();
    return bytes / seconds(start) / (1 << 20);
}

double curlProgramDownload(const std::string& url, std::uint64_t bytes) {
    std::string target = (temporaryDirectory() / ("bench-curl-" + uuidString())).string();
    std::string command = "curl -s --noproxy '*' -o '" + target + "' '" + url + "'";
    auto start = Clock::now();
    int status = std::system(command.c_str()); // NOLINT(concurrency-mt-unsafe)
    double rate = bytes / seconds(start) / (1 << 20);
    std::error_code ec;
    if (status != 0 || std::filesystem::file_size(target, ec) != bytes)
        std::fprintf(stderr, "curl download failed\n");
    std::filesystem::remove(target, ec);
    return rate;
}

} // namespace

int main(int argc, char** argv) {
    int requests = 1000;
    std::uint64_t mib = 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--requests") == 0)
            requests = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::strtoull(argv[i + 1], nullptr, 10);
    }
    refhost::HttpServer server(answer);
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());

    sessionGets(base + "/small", 20); // warm both paths
    curlGets(base + "/small", 20);
    double ours = sessionGets(base + "/small", requests);
    double theirs = curlGets(base + "/small", requests);
    double program = curlProgramGets(base + "/small", requests);
    std::printf("small GETs, %d sequential, one kept-alive connection\n", requests);
    std::printf("  URLSession   %10.0f req/s\n  libcurl loop %10.0f req/s (%.2fx)\n"
                "  curl program %10.0f req/s (%.2fx; target <= 1.5x)\n",
                ours, theirs, theirs / ours, program, program / ours);

    std::uint64_t quarter = mib / 4 << 20, whole = mib << 20;
    bench::resetPeakRSS();
    sessionDownload(base + "/big?bytes=" + std::to_string(quarter), quarter);
    long peakQuarter = bench::peakRSSKiB();
    bench::resetPeakRSS();
    double downloadRate = sessionDownload(base + "/big?bytes=" + std::to_string(whole), whole);
    long peakWhole = bench::peakRSSKiB();
    double curlRate = curlProgramDownload(base + "/big?bytes=" + std::to_string(whole), whole);
    std::printf("download of %llu MiB to disk\n", static_cast<unsigned long long>(mib));
    std::printf(
        "  URLSession   %10.0f MiB/s\n  curl -o      %10.0f MiB/s\n  ratio        %10.2fx (target <= 1.2x)\n",
        downloadRate, curlRate, curlRate / downloadRate);
    std::printf("  peak RSS     %10ld KiB after %llu MiB, %ld KiB after %llu MiB\n", peakQuarter,
                static_cast<unsigned long long>(mib / 4), peakWhole, static_cast<unsigned long long>(mib));
    server.stop();
    return 0;
}
