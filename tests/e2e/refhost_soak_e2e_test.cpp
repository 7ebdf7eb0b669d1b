// wl-refhost under load and under attack, as one long-running host: many fresh connections with idle
// and slow clients beside them, and a folder swapped for a symbolic link while clients read, write and
// delete through it. Short by default; WL_SOAK=full runs the full counts (or WL_SOAK_WRITES,
// WL_SOAK_READS, WL_SWAP_ROUNDS set them).
#include "Processes.h"
#include "RawHttp.h"
#include "foundation/Files.h"
#include "support/Waiting.h"

#include <atomic>
#include <boost/json.hpp>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
namespace json = boost::json;

namespace {

constexpr const char* group = "WLH3V8N4PC.org.wyvernloft.shared";
constexpr const char* token = "soak-token";

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

std::size_t count(const char* variable, std::size_t brief, std::size_t full) {
    if (const char* value = std::getenv(variable))
        return std::stoul(value);
    const char* soak = std::getenv("WL_SOAK");
    if (soak && std::string(soak) == "full")
        return full;
    return sanitized ? brief / 3 : brief;
}

// A host process's threads and resident memory, from /proc.
struct Footprint {
    long threads = 0;
    double rssMiB = 0;
};
Footprint footprint(pid_t pid) {
    Footprint out;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0)
            out.threads = std::stol(line.substr(8));
        if (line.rfind("VmRSS:", 0) == 0)
            out.rssMiB = std::stod(line.substr(6)) / 1024;
    }
    return out;
}

class HostUnderLoad : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(folder());
        environment = {{"FP_APP_GROUPS_DIR", (dir.path() / "groups").string()}};
        // A small quarantine, so that the resident size shows the host's own memory under ASan.
        std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        environment["ASAN_OPTIONS"] = asan + (asan.empty() ? "" : ":") + "quarantine_size_mb=16";
    }
    void start(std::vector<std::string> extra = {}) {
        extra.insert(extra.end(), {"--token", token});
        host = std::make_unique<e2e::RefHost>(folder(), environment, extra);
        auto connection = json::parse(*foundation::readFile(dir.path() / "groups" / group / "fphost.json"));
        port = static_cast<int>(connection.at("port").as_int64());
    }
    fs::path folder() const { return dir.path() / "folder"; }

    e2e::RawAnswer put(const std::string& path, const std::string& base, const std::string& bytes) {
        return e2e::exchangeOnce(
            port,
            e2e::request("PUT",
                         "/v1/content?base=" + e2e::percentEncode(base) + "&path=" + e2e::percentEncode(path),
                         token, bytes, "X-FP-SHA256: " + e2e::sha256Hex(bytes) + "\r\n"));
    }
    e2e::RawAnswer get(const std::string& target) {
        return e2e::exchangeOnce(port, e2e::request("GET", target, token));
    }
    static std::string contentVersion(const std::string& answer) {
        json::error_code ec;
        auto value = json::parse(answer, ec);
        if (ec || !value.is_object())
            return {};
        const json::object* record =
            value.as_object().if_contains("item") ? &value.at("item").as_object() : &value.as_object();
        auto* version = record->if_contains("contentVersion");
        return version && version->is_string() ? std::string(version->as_string()) : std::string();
    }

    support::TemporaryDirectory dir;
    std::map<std::string, std::string> environment;
    std::unique_ptr<e2e::RefHost> host;
    int port = 0;
};

} // namespace

TEST_F(HostUnderLoad, FreshConnectionsIdleAndSlowClientsLeaveItsFootprintFlat) {
    const std::size_t writes = count("WL_SOAK_WRITES", 1000, 50000);
    const std::size_t reads = count("WL_SOAK_READS", 1000, 50000);
    const std::size_t files = 100, idleCount = 50;
    start({"--idle-timeout", "3"});
    auto quiet = footprint(host->pid());

    // Fifty clients that connect and say nothing, and one that sends a head a byte at a time.
    std::vector<int> idle;
    for (std::size_t i = 0; i < idleCount; ++i)
        idle.push_back(e2e::connectLoopback(port));
    std::atomic<bool> done{false};
    std::atomic<int> slowClosed{0};
    std::thread slow([&] {
        while (!done) {
            int fd = e2e::connectLoopback(port);
            while (!done && e2e::sendAll(fd, "G"))
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            ::close(fd);
            ++slowClosed;
        }
    });
    // Each of them holds a connection (and its thread) until the idle time-out.
    Footprint crowded = footprint(host->pid());
    for (int i = 0; i < 500 && crowded.threads < quiet.threads + static_cast<long>(idleCount); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        crowded = footprint(host->pid());
    }

    auto started = std::chrono::steady_clock::now();
    std::vector<std::string> contents(files), versions(files);
    std::atomic<std::size_t> failures{0};
    Footprint early{}, late{};
    double writing = 0, reading = 0;
    auto timed = [](double& total, auto&& exchange) {
        auto begin = std::chrono::steady_clock::now();
        auto answer = exchange();
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        return answer;
    };
    std::mt19937 random(42);
    std::size_t w = 0, r = 0;
    while (w < writes || r < reads) {
        if (w < writes) {
            std::size_t f = w % files;
            std::string bytes =
                "file " + std::to_string(f) + " write " + std::to_string(w) + std::string(w % 200, '.');
            auto answer =
                timed(writing, [&] { return put("f" + std::to_string(f) + ".txt", versions[f], bytes); });
            if (answer.status == 200) {
                contents[f] = bytes;
                versions[f] = contentVersion(answer.body);
            } else {
                ++failures;
            }
            ++w;
        }
        if (r < reads && w > files) {
            std::size_t f = random() % files;
            auto answer =
                timed(reading, [&] { return get("/v1/content?path=f" + std::to_string(f) + ".txt"); });
            if (answer.status != 200 || answer.body != contents[f])
                ++failures;
            ++r;
        }
        if (w + r == (writes + reads) / 10)
            early = footprint(host->pid()); // after warming up
    }
    late = footprint(host->pid());
    done = true;
    slow.join();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("soak: host threads %ld with no client, %ld with the idle and slow ones connected\n",
                quiet.threads, crowded.threads);
    // The idle clients were let go by the host, not by us.
    std::size_t closedByHost = 0;
    for (int fd : idle) {
        closedByHost += e2e::readUntilClosed(fd, std::chrono::seconds(10)).closed;
        ::close(fd);
    }
    std::printf(
        "soak: %zu writes (%.2f ms each) and %zu reads (%.2f ms each) on fresh connections in %.1f s, "
        "beside %zu idle clients and a slow one; host threads %ld -> %ld, RSS %.1f MiB -> %.1f MiB; %zu "
        "idle clients closed by the host, the slow one %d times; %zu failures\n",
        writes, 1000 * writing / std::max<std::size_t>(writes, 1), reads,
        1000 * reading / std::max<std::size_t>(reads, 1), seconds, idleCount, early.threads, late.threads,
        early.rssMiB, late.rssMiB, closedByHost, slowClosed.load(), failures.load());
    EXPECT_EQ(failures, 0u);
    EXPECT_EQ(closedByHost, idleCount);
    EXPECT_GE(crowded.threads, quiet.threads + static_cast<long>(idleCount));
    EXPECT_LE(late.threads, std::max(early.threads, crowded.threads) + 4);
    if (!sanitized) { // the sanitizers keep memory of their own
        EXPECT_LT(late.rssMiB, early.rssMiB * 1.5 + 16);
    }

    // The tree is what was written, and nothing else.
    auto all = json::parse(get("/v1/all").body).as_object().at("items").as_array();
    EXPECT_EQ(all.size(), files);
    for (std::size_t f = 0; f < files; ++f)
        EXPECT_EQ(foundation::readFile(folder() / ("f" + std::to_string(f) + ".txt")), contents[f]) << f;
    std::size_t entries = std::distance(fs::directory_iterator(folder()), fs::directory_iterator());
    EXPECT_EQ(entries, files); // no temporaries left
    EXPECT_EQ(host->stop(), 0);
}

TEST_F(HostUnderLoad, AFolderSwappedForALinkNeverLeadsOutside) {
    const std::size_t rounds = count("WL_SWAP_ROUNDS", 1500, 40000);
    fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    fs::create_directories(folder() / "d");
    const std::string secret = "OUTSIDE-SECRET-BYTES", victim = "OUTSIDE-VICTIM";
    std::ofstream(outside / "secret.txt") << secret;
    std::ofstream(outside / "victim.txt") << victim;
    std::ofstream(folder() / "d/secret.txt") << "inside";
    std::ofstream(folder() / "d/victim.txt") << "inside victim";
    start();

    std::atomic<bool> done{false};
    std::atomic<std::size_t> swaps{0}, readsServed{0}, writesServed{0}, deletesServed{0}, bytesOutsideRead{0};
    std::thread swapper([&] {
        std::error_code ec;
        while (!done) {
            fs::rename(folder() / "d", folder() / "d.real", ec);
            fs::create_directory_symlink(outside, folder() / "d", ec);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            fs::remove(folder() / "d", ec);
            fs::rename(folder() / "d.real", folder() / "d", ec);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ++swaps;
        }
    });
    std::thread writer([&] {
        for (std::size_t i = 0; !done; ++i) {
            auto answer = put("d/new-" + std::to_string(i) + ".txt", "", "written " + std::to_string(i));
            writesServed += answer.status == 200;
        }
    });
    std::thread deleter([&] {
        while (!done) {
            auto version = contentVersion(get("/v1/item?id=d%2Fvictim.txt").body);
            if (version.empty())
                continue;
            auto answer = e2e::exchangeOnce(
                port,
                e2e::request("DELETE",
                             "/v1/item?base=" + e2e::percentEncode(version) + "&path=d%2Fvictim.txt", token));
            if (answer.status == 200) {
                ++deletesServed;
                put("d/victim.txt", "", "inside victim"); // to be deleted again (never through the link)
            }
        }
    });
    for (std::size_t i = 0; i < rounds; ++i) {
        auto answer = get("/v1/content?path=d%2Fsecret.txt");
        if (answer.status == 200)
            ++readsServed;
        if (answer.body.find("OUTSIDE") != std::string::npos)
            bytesOutsideRead += answer.body.size();
    }
    done = true;
    swapper.join();
    writer.join();
    deleter.join();

    std::size_t bytesOutsideWritten = 0, bytesOutsideRemoved = 0;
    for (const auto& entry : fs::directory_iterator(outside))
        if (entry.path().filename() != "secret.txt" && entry.path().filename() != "victim.txt")
            bytesOutsideWritten += fs::file_size(entry.path());
    if (foundation::readFile(outside / "secret.txt") != secret)
        bytesOutsideRemoved += secret.size();
    if (foundation::readFile(outside / "victim.txt") != victim)
        bytesOutsideRemoved += victim.size();
    std::printf(
        "swap: %zu swaps beside %zu reads (%zu served), %zu writes and %zu deletes served; bytes outside "
        "the root read %zu, written %zu, removed %zu\n",
        swaps.load(), rounds, readsServed.load(), writesServed.load(), deletesServed.load(),
        bytesOutsideRead.load(), bytesOutsideWritten, bytesOutsideRemoved);
    EXPECT_EQ(bytesOutsideRead, 0u);
    EXPECT_EQ(bytesOutsideWritten, 0u);
    EXPECT_EQ(bytesOutsideRemoved, 0u);
    EXPECT_GT(readsServed, 0u); // the host kept serving the real folder in between
    EXPECT_EQ(host->stop(), 0);
}
