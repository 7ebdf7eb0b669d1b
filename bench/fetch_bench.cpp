// The obvious path for a large file, as a person runs it: `fpctl fetch ID --out FILE` next to `curl -o
// FILE` of the same file from the same wl-refhost, in alternating rounds. Prints each one's median and
// range and the ratio of the medians (target: fpctl within 1.5x of curl). A third figure, fpctl fetch
// without --out (the file left where the extension handed it over), shows what putting it in place
// costs on top.
//   fetch_bench [--mib N] [--rounds N]      (default 2048 MiB, 5 rounds)
#include "BenchSupport.h"
#include "Processes.h"
#include "foundation/Files.h"

#include <algorithm>
#include <boost/json.hpp>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Figures {
    std::vector<double> seconds;
    void add(double s) { seconds.push_back(s); }
    double median() const {
        auto sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        std::size_t n = sorted.size();
        return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double low() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double high() const { return *std::max_element(seconds.begin(), seconds.end()); }
};

} // namespace

int main(int argc, char** argv) {
    std::uint64_t mib = 2048;
    int rounds = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--mib") == 0)
            mib = std::strtoull(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    fs::path scratch = foundation::temporaryDirectory() / ("fetch-bench-" + foundation::uuidString());
    fs::create_directories(scratch / "root");
    bench::makeFile(scratch / "root" / "big.bin", mib << 20);
    std::map<std::string, std::string> environment{{"FP_APP_GROUPS_DIR", (scratch / "groups").string()},
                                                   {"FP_STATE_DIR", (scratch / "state").string()}};
    Figures fpctl, curl, handedOver;
    {
        e2e::RefHost host(scratch / "root", environment, {"--token", "bench"});
        auto connection = boost::json::parse(
            *foundation::readFile(scratch / "groups" / "WLH3V8N4PC.org.wyvernloft.shared" / "fphost.json"));
        std::string url = "http://127.0.0.1:" + std::to_string(connection.at("port").as_int64()) +
                          "/v1/content?path=big.bin";
        fs::path out = scratch / "out.bin";
        auto timed = [&](Figures& figures, const std::string& program,
                         const std::vector<std::string>& arguments, bool placed = true) {
            std::error_code ec;
            fs::remove(out, ec);
            ::sync(); // the last round's writes are not this round's to flush
            auto start = bench::Clock::now();
            auto result = e2e::run(program, arguments, "", environment);
            double elapsed = bench::seconds(start);
            if (result.exitCode != 0 || (placed && fs::file_size(out, ec) != (mib << 20))) {
                std::fprintf(stderr, "%s failed (%d): %s%s\n", program.c_str(), result.exitCode,
                             result.out.c_str(), result.err.c_str());
                return false;
            }
            figures.add(elapsed);
            return true;
        };
        auto runFpctl = [&] {
            return timed(fpctl, WL_FPCTL_PATH,
                         {"--extension", WL_MODULE_PATH, "fetch", "big.bin", "--out", out.string()});
        };
        auto runCurl = [&] {
            return timed(curl, "/usr/bin/curl",
                         {"-s", "--noproxy", "*", "-H", "X-FP-Token: bench", "-o", out.string(), url});
        };
        auto runHandedOver = [&] {
            return timed(handedOver, WL_FPCTL_PATH, {"--extension", WL_MODULE_PATH, "fetch", "big.bin"},
                         false);
        };
        for (int round = 0; round < rounds; ++round) {
            bool ok = round % 2 == 0 ? runFpctl() && runCurl() && runHandedOver()
                                     : runCurl() && runFpctl() && runHandedOver();
            if (!ok) {
                fs::remove_all(scratch);
                return 1;
            }
        }
    }
    fs::remove_all(scratch);
    auto show = [&](const char* name, const Figures& f) {
        std::printf("  %-30s median %6.2f s (%5.0f MiB/s), range %.2f-%.2f s\n", name, f.median(),
                    static_cast<double>(mib) / f.median(), f.low(), f.high());
    };
    std::printf("fetch of %llu MiB from wl-refhost, %d alternating rounds, whole commands\n",
                static_cast<unsigned long long>(mib), rounds);
    show("fpctl fetch --out", fpctl);
    show("curl -o", curl);
    show("fpctl fetch (no --out)", handedOver);
    std::printf("  ratio of medians               %6.2fx (target <= 1.5x)\n", fpctl.median() / curl.median());
    return 0;
}
