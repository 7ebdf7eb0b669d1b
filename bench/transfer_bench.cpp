// Large transfers through the extension against the reference host, next to the command-line tools:
//   download: fetchContents (transfer, dense copy, lookup) vs `curl -o` plus a 1 MiB-chunk copy;
//   upload:   the host write client (hash, streamed PUT, answer) vs `openssl dgst -sha256` plus `curl -T`.
// Peak memory is printed for a quarter of the size and for the whole: it must not grow with the file.
//   transfer_bench [--mib N]
#include "Service.h"
#include "Tree.h"
#include "core/FileProviderExtension.h"
#include "foundation/Files.h"
#include "kept/KeptLocal.h"
#include "support/FakeSystem.h"
#include "write/FPHostWrites.h"

#include "BenchSupport.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <unistd.h>
#include <vector>

using bench::Clock;
using bench::seconds;
namespace fs = std::filesystem;

namespace {

void copyInChunks(const fs::path& from, const fs::path& to) {
    std::vector<char> buffer(1 << 20);
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ssize_t n;
    while ((n = ::read(in, buffer.data(), buffer.size())) > 0)
        if (::write(out, buffer.data(), static_cast<std::size_t>(n)) != n)
            break;
    ::close(in);
    ::close(out);
}

int shell(const std::string& command) {
    return std::system(command.c_str());
} // NOLINT(concurrency-mt-unsafe)

} // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 1024;
    for (int i = 1; i + 1 < argc; i += 2)
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::strtoull(argv[i + 1], nullptr, 10);
    fs::path scratch = foundation::temporaryDirectory() / ("transfer-bench-" + foundation::uuidString());
    fs::create_directories(scratch / "root");
    fs::create_directories(scratch / "kept");
    bench::makeFile(scratch / "root" / "quarter.bin", (mib / 4) << 20);
    bench::makeFile(scratch / "root" / "whole.bin", mib << 20);

    refhost::Tree tree({scratch / "root", std::nullopt, std::nullopt});
    refhost::Service service(tree, "bench");
    refhost::HttpServer server([&](refhost::HttpRequest& request) { return service.handle(request); },
                               {0, true});
    std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    foundation::writeAtomically(scratch / "fphost.json",
                                "{\"port\":" + std::to_string(server.port()) + ",\"token\":\"bench\"}");
    wl::HostConfig::testDirectory = scratch;
    wl::KeptLocal::testDirectory = scratch / "kept";
    auto system = std::make_shared<support::FakeSystem>(scratch / "system");
    fileprovider::installSystem(system);
    auto extension = std::make_shared<wl::FileProviderExtension>(fileprovider::Domain("bench", "Bench"));

    auto download = [&](const std::string& name) {
        std::promise<std::optional<fs::path>> done;
        auto start = Clock::now();
        extension->fetchContents(
            fileprovider::ItemIdentifier(name), std::nullopt, {},
            [&](std::optional<fs::path> file, fileprovider::ItemRef, foundation::ErrorRef error) {
                if (error)
                    std::fprintf(stderr, "download failed: %s\n", error->localizedDescription().c_str());
                done.set_value(file);
            });
        auto file = done.get_future().get();
        double elapsed = seconds(start);
        std::error_code ec;
        if (file)
            fs::remove(*file, ec);
        return elapsed;
    };
    bench::resetPeakRSS();
    download("quarter.bin");
    long downloadPeakQuarter = bench::peakRSSKiB();
    bench::resetPeakRSS();
    double ours = download("whole.bin");
    long downloadPeakWhole = bench::peakRSSKiB();
    auto start = Clock::now();
    shell("curl -s --noproxy '*' -H 'X-FP-Token: bench' -o '" + (scratch / "curl.bin").string() + "' '" +
          base + "/v1/content?path=whole.bin'");
    copyInChunks(scratch / "curl.bin", scratch / "copy.bin");
    double theirs = seconds(start);
    fs::remove(scratch / "curl.bin");
    fs::remove(scratch / "copy.bin");
    double size = static_cast<double>(mib);
    std::printf("download of %llu MiB, end to end\n", static_cast<unsigned long long>(mib));
    std::printf("  extension            %7.2f s (%6.0f MiB/s)\n", ours, size / ours);
    std::printf("  curl -o + chunk copy %7.2f s (%6.0f MiB/s)\n", theirs, size / theirs);
    std::printf("  ratio                %7.2fx (target <= 1.2x)\n", ours / theirs);
    std::printf("  peak RSS             %7ld KiB for %llu MiB, %ld KiB for %llu MiB\n", downloadPeakQuarter,
                static_cast<unsigned long long>(mib / 4), downloadPeakWhole,
                static_cast<unsigned long long>(mib));

    wl::FPHostWrites writes(*wl::HostConfig::load());
    auto upload = [&](const std::string& name) {
        std::promise<void> done;
        auto begin = Clock::now();
        writes.putContent("up-" + name, "", scratch / "root" / name, [&](wl::FPWriteResult result) {
            if (auto* failed = result.as<wl::FPWriteResult::Failure>())
                std::fprintf(stderr, "upload failed: %s\n", failed->error->localizedDescription().c_str());
            done.set_value();
        });
        done.get_future().wait();
        return seconds(begin);
    };
    bench::resetPeakRSS();
    upload("quarter.bin");
    long uploadPeakQuarter = bench::peakRSSKiB();
    bench::resetPeakRSS();
    double uploaded = upload("whole.bin");
    long uploadPeakWhole = bench::peakRSSKiB();
    start = Clock::now();
    std::string file = (scratch / "root" / "whole.bin").string();
    std::string digestFile = (scratch / "digest").string();
    shell("openssl dgst -sha256 -r '" + file + "' | cut -d' ' -f1 > '" + digestFile + "'");
    std::string digest = foundation::readFile(digestFile).value_or("");
    digest.erase(digest.find_last_not_of(" \n") + 1);
    shell("curl -s --noproxy '*' -o /dev/null -H 'X-FP-Token: bench' -H 'Expect:' -H 'X-FP-SHA256: " +
          digest + "' -T '" + file + "' '" + base + "/v1/content?base=&path=up-curl.bin'");
    double tools = seconds(start);
    std::printf("upload of %llu MiB, end to end (hash, streamed PUT, answer)\n",
                static_cast<unsigned long long>(mib));
    std::printf("  host write client    %7.2f s (%6.0f MiB/s)\n", uploaded, size / uploaded);
    std::printf("  openssl + curl -T    %7.2f s (%6.0f MiB/s)\n", tools, size / tools);
    std::printf("  ratio                %7.2fx (target <= 1.1x)\n", uploaded / tools);
    std::printf("  peak RSS             %7ld KiB for %llu MiB, %ld KiB for %llu MiB\n", uploadPeakQuarter,
                static_cast<unsigned long long>(mib / 4), uploadPeakWhole,
                static_cast<unsigned long long>(mib));
    std::printf("  (the host runs in this process: peak RSS includes its buffers)\n");

    server.stop();
    extension.reset();
    foundation::URLSession::shared().callbackQueue().drain();
    fileprovider::installSystem(nullptr);
    fs::remove_all(scratch);
    return 0;
}
