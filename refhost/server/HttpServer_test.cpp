#include "HttpServer.h"
#include "e2e/RawHttp.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace refhost;
using namespace std::chrono_literals;

namespace {

using e2e::connectLoopback;
using e2e::sendAll;

// What the server sends until it closes; "<still open>" at its end when it did not close in time.
std::string readAll(int fd, std::chrono::milliseconds limit = 10s) {
    auto received = e2e::readUntilClosed(fd, limit);
    return received.bytes + (received.closed ? "" : "<still open>");
}

std::string exchange(int port, const std::string& request) {
    int fd = connectLoopback(port);
    if (fd < 0)
        return "<no connection>";
    sendAll(fd, request);
    std::string answer = readAll(fd);
    ::close(fd);
    return answer;
}

std::size_t threadCount() {
    std::size_t count = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    while (dirent* entry = ::readdir(tasks))
        count += entry->d_name[0] != '.';
    ::closedir(tasks);
    return count;
}

// Virtual size in MiB: the stacks of threads that ended but were never joined stay mapped.
std::int64_t virtualMiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmSize:", 0) == 0)
            return std::stoll(line.substr(7)) / 1024;
    return 0;
}

const std::string get = "GET /x HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";

HttpResponse ok(HttpRequest&) {
    return HttpResponse(200, "ok");
}

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

} // namespace

TEST(HttpServerBounds, FinishedConnectionsGiveBackTheirThreadsAtOnce) {
    HttpServer server(ok);
    auto threadsBefore = threadCount();
    auto sizeBefore = virtualMiB();
    for (int i = 0; i < 2000; ++i)
        ASSERT_NE(exchange(server.port(), get).find("200 OK"), std::string::npos) << i;
    // Without joining, 2000 finished threads keep 2000 stacks mapped (8 MiB each by default).
    EXPECT_LT(virtualMiB() - sizeBefore, 1024) << "virtual size grew from " << sizeBefore << " MiB";
    EXPECT_TRUE(waitFor([&] { return threadCount() <= threadsBefore; }));
}

TEST(HttpServerBounds, OversizedHeadsAreAnswered431BeforeTheHandler) {
    std::atomic<int> handled{0};
    HttpServer server([&](HttpRequest&) {
        ++handled;
        return HttpResponse(200, "ok");
    });
    std::string longField = "GET /x HTTP/1.1\r\nX-Big: " + std::string(70000, 'v') + "\r\n\r\n";
    std::string manyFields = "GET /x HTTP/1.1\r\n";
    for (int i = 0; i < 3000; ++i)
        manyFields += "X-" + std::to_string(i) + ": " + std::string(20, 'v') + "\r\n";
    for (const auto& request : {longField, manyFields + "\r\n"}) {
        std::string answer = exchange(server.port(), request);
        EXPECT_EQ(answer.rfind("HTTP/1.1 431 ", 0), 0u) << answer.substr(0, 80);
        EXPECT_NE(answer.find("\"error\":\"bad_request\""), std::string::npos);
    }
    EXPECT_EQ(exchange(server.port(), "GET /x HTTP/9\r\n\r\n").rfind("HTTP/1.1 400 ", 0), 0u);
    EXPECT_EQ(handled, 0);
    EXPECT_NE(exchange(server.port(), get).find("200 OK"), std::string::npos);
}

TEST(HttpServerBounds, SilentAndSlowClientsAreClosedAfterTheIdleTimeOut) {
    HttpServer::Options options;
    options.idleTimeout = 300ms;
    HttpServer server(ok, options);
    auto threadsBefore = threadCount();
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i)
        idle.push_back(connectLoopback(server.port()));
    ASSERT_TRUE(waitFor([&] { return threadCount() >= threadsBefore + 20; }));
    // A slow client keeps sending, a byte at a time, a head it never ends.
    int slow = connectLoopback(server.port());
    std::atomic<bool> closed{false};
    std::thread trickle([&] {
        for (int i = 0; i < 200 && !closed; ++i) {
            if (::send(slow, "G", 1, MSG_NOSIGNAL) != 1)
                break;
            std::this_thread::sleep_for(50ms);
        }
    });
    for (int fd : idle)
        EXPECT_EQ(readAll(fd, 5s), "") << "an idle connection stayed open";
    EXPECT_EQ(readAll(slow, 5s), "");
    closed = true;
    trickle.join();
    EXPECT_TRUE(waitFor([&] { return threadCount() <= threadsBefore; }));
    for (int fd : idle)
        ::close(fd);
    ::close(slow);
    // A client that keeps its connection between requests is idle too once an answer is sent.
    int kept = connectLoopback(server.port());
    sendAll(kept, "GET /x HTTP/1.1\r\n\r\n");
    std::string answer = readAll(kept, 5s);
    EXPECT_NE(answer.find("200 OK"), std::string::npos);
    EXPECT_EQ(answer.find("<still open>"), std::string::npos);
    ::close(kept);
}

TEST(HttpServerBounds, ConnectionsPastTheCapWaitTheirTurn) {
    std::mutex mutex;
    std::condition_variable changed;
    int running = 0, most = 0;
    bool released = false;
    HttpServer::Options options;
    options.maxConnections = 2;
    HttpServer server(
        [&](HttpRequest&) {
            std::unique_lock lock(mutex);
            most = std::max(most, ++running);
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
            --running;
            return HttpResponse(200, "ok");
        },
        options);
    std::vector<std::string> answers(4);
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; ++i)
        clients.emplace_back([&, i] { answers[i] = exchange(server.port(), get); });
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, 10s, [&] { return running == 2; }));
    }
    std::this_thread::sleep_for(200ms); // room for a third to start, were it let in
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(running, 2);
        released = true;
    }
    changed.notify_all();
    for (auto& client : clients)
        client.join();
    for (const auto& answer : answers)
        EXPECT_NE(answer.find("200 OK"), std::string::npos);
    EXPECT_EQ(most, 2);
}

TEST(HttpServerBounds, RunningOutOfDescriptorsBacksOffInsteadOfSpinning) {
    HttpServer server(ok);
    // Sockets made first: once the limit is down, no descriptor is left for the server to accept with.
    std::vector<int> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (int& fd : clients)
        fd = connectLoopback(server.port(), fd); // the kernel completes them; accepting them fails
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(1s);
    ::getrusage(RUSAGE_SELF, &after);
    auto wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    auto seconds = [](const rusage& u) {
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    EXPECT_LT(seconds(after) - seconds(before), 0.25 * wall) << "the accept loop spun";
    // Once descriptors are back, the waiting clients are served.
    for (int fd : clients) {
        ASSERT_GE(fd, 0);
        sendAll(fd, get);
        EXPECT_NE(readAll(fd).find("200 OK"), std::string::npos);
        ::close(fd);
    }
}

TEST(HttpServerLog, EachExchangeIsReportedWithItsStatus) {
    std::mutex mutex;
    std::vector<AccessRecord> records;
    HttpServer::Options options;
    options.log = [&](const AccessRecord& record) {
        std::lock_guard lock(mutex);
        records.push_back(record);
    };
    HttpServer server(
        [](HttpRequest& request) {
            HttpResponse response(request.path == "/gone" ? 404 : 200, "body");
            if (request.path == "/drop")
                response.action = HttpResponse::Action::close;
            return response;
        },
        options);
    exchange(server.port(), "GET /a?id=1 HTTP/1.1\r\nX-FP-Token: secret\r\nConnection: close\r\n\r\n");
    exchange(server.port(), "GET /gone HTTP/1.1\r\nConnection: close\r\n\r\n");
    exchange(server.port(), "GET /drop HTTP/1.1\r\n\r\n");
    exchange(server.port(), "GET / HTTP/1.1\r\nBad Field: x\r\n\r\n");
    ASSERT_TRUE(waitFor([&] {
        std::lock_guard lock(mutex);
        return records.size() == 4;
    }));
    std::lock_guard lock(mutex);
    std::sort(records.begin(), records.end(), [](auto& a, auto& b) { return a.target < b.target; });
    EXPECT_EQ(records[0].target, "");
    EXPECT_EQ(records[0].status, 400);
    EXPECT_EQ(records[1].target, "/a?id=1");
    EXPECT_EQ(records[1].method, "GET");
    EXPECT_EQ(records[1].status, 200);
    EXPECT_EQ(records[1].bytesSent, 4u);
    EXPECT_EQ(records[2].target, "/drop");
    EXPECT_EQ(records[2].status, 0);
    EXPECT_EQ(records[3].status, 404);
}
