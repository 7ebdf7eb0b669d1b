#include "foundation/URLSession.h"
#include "support/ScriptedHost.h"
#include "support/Waiting.h"

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace foundation;
using support::HttpResponse;
using support::Recorder;
using support::ScriptedHost;

namespace {

using DataRecorder = Recorder<std::optional<std::string>, ResponseRef, ErrorRef>;
using DownloadRecorder = Recorder<std::optional<std::filesystem::path>, ResponseRef, ErrorRef>;

class URLSessionTest : public ::testing::Test {
protected:
    URLRequest request(const std::string& path) { return URLRequest(host.baseURL() + path); }

    std::shared_ptr<URLSessionTask> start(URLRequest r, DataRecorder& recorder) {
        auto task = URLSession::shared().dataTask(std::move(r), recorder.callback());
        task->resume();
        return task;
    }

    static void expectURLError(const ErrorRef& error, std::int64_t code) {
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), NSURLErrorDomain);
        EXPECT_EQ(error->code(), code);
    }

    ScriptedHost host;
};

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::filesystem::path writeTemporary(const support::TemporaryDirectory& dir, const std::string& bytes) {
    auto path = dir.path() / "body";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

} // namespace

TEST_F(URLSessionTest, DataTaskDeliversBodyStatusAndHeadersOnTheCallbackQueueOnce) {
    host.answer("GET", "/hello", HttpResponse(201, "hi there", {{"X-Answer", "yes"}}));
    DataRecorder done;
    auto r = request("/hello?a=1");
    r.setValue("tok", "X-FP-Token");
    start(r, done);
    ASSERT_TRUE(done.wait());
    auto [data, response, error] = done.values();
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(data, "hi there");
    ASSERT_NE(response, nullptr);
    EXPECT_EQ(response->statusCode, 201);
    EXPECT_EQ(response->value("x-answer"), "yes");
    EXPECT_EQ(done.queueLabel(), URLSession::shared().callbackQueue().label());
    URLSession::shared().callbackQueue().drain();
    EXPECT_EQ(done.calls(), 1);
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rawQuery, "a=1");
    EXPECT_EQ(requests[0].header("X-FP-Token"), "tok");
    EXPECT_FALSE(requests[0].header("Expect"));
}

TEST_F(URLSessionTest, MethodsAndBodiesArriveAsGiven) {
    host.answer("POST", "/v1/folder", HttpResponse(200, "{}"));
    host.answer("DELETE", "/v1/item", HttpResponse(200, "{}"));
    DataRecorder posted, deleted;
    auto post = request("/v1/folder");
    post.httpMethod = "POST";
    post.httpBody = R"({"path":"a"})";
    start(post, posted);
    auto del = request("/v1/item?path=a");
    del.httpMethod = "DELETE";
    start(del, deleted);
    ASSERT_TRUE(posted.wait());
    ASSERT_TRUE(deleted.wait());
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        if (r.method == "POST")
            EXPECT_EQ(r.body, R"({"path":"a"})");
        else
            EXPECT_EQ(r.method, "DELETE");
    }
}

TEST_F(URLSessionTest, EmptyHeaderValueIsSentNotDropped) {
    host.answer("GET", "/x", HttpResponse(200, ""));
    DataRecorder done;
    auto r = request("/x");
    r.setValue("", "X-FP-Token");
    start(r, done);
    ASSERT_TRUE(done.wait());
    ASSERT_EQ(host.requestCount(), 1u);
    EXPECT_EQ(host.requests()[0].header("X-FP-Token"), "");
}

TEST_F(URLSessionTest, DownloadFileExistsDuringTheCompletionAndIsGoneAfter) {
    std::string body(300000, 'z');
    host.answer("GET", "/v1/content", HttpResponse(200, body));
    bool existed = false;
    std::string contents;
    std::filesystem::path seen;
    DownloadRecorder done;
    auto inner = done.callback();
    auto task = URLSession::shared().downloadTask(
        request("/v1/content"),
        [&](std::optional<std::filesystem::path> location, ResponseRef response, ErrorRef error) {
            if (location) {
                seen = *location;
                existed = std::filesystem::exists(*location);
                contents = readFile(*location).value_or("");
            }
            inner(location, response, error);
        });
    task->resume();
    ASSERT_TRUE(done.wait());
    URLSession::shared().callbackQueue().drain();
    EXPECT_EQ(done.get<2>(), nullptr);
    EXPECT_EQ(done.get<1>()->statusCode, 200);
    EXPECT_TRUE(existed);
    EXPECT_EQ(contents, body);
    EXPECT_FALSE(std::filesystem::exists(seen));
}

TEST_F(URLSessionTest, TransferBrokenMidBodyGivesAnErrorAndNoBytesOrFile) {
    HttpResponse broken(200, std::string(100000, 'b'));
    broken.action = HttpResponse::Action::closeMidBody;
    broken.breakAfter = 1000;
    host.answer("GET", "/broken", broken);

    DataRecorder data;
    start(request("/broken"), data);
    ASSERT_TRUE(data.wait());
    EXPECT_FALSE(data.get<0>());
    EXPECT_EQ(data.get<1>(), nullptr);
    expectURLError(data.get<2>(), NSURLErrorNetworkConnectionLost);

    DownloadRecorder download;
    URLSession::shared().downloadTask(request("/broken"), download.callback())->resume();
    ASSERT_TRUE(download.wait());
    EXPECT_FALSE(download.get<0>());
    expectURLError(download.get<2>(), NSURLErrorNetworkConnectionLost);
}

TEST_F(URLSessionTest, ClosedWithoutAnswerIsConnectionLost) {
    host.drop("GET", "/gone");
    DataRecorder done;
    start(request("/gone"), done);
    ASSERT_TRUE(done.wait());
    expectURLError(done.get<2>(), NSURLErrorNetworkConnectionLost);
}

TEST_F(URLSessionTest, WritesAreNeverSentTwice) {
    host.answer("GET", "/warm", HttpResponse(200, "ok"));
    host.drop("POST", "/v1/move");
    host.drop("DELETE", "/v1/item");
    DataRecorder warm;
    start(request("/warm"), warm); // leaves a kept-alive connection to be reused
    ASSERT_TRUE(warm.wait());
    for (const char* method : {"POST", "DELETE"}) {
        DataRecorder done;
        auto r = request(std::string(method) == "POST" ? "/v1/move" : "/v1/item");
        r.httpMethod = method;
        if (r.httpMethod == "POST")
            r.httpBody = "{}";
        start(r, done);
        ASSERT_TRUE(done.wait());
        expectURLError(done.get<2>(), NSURLErrorNetworkConnectionLost);
    }
    auto requests = host.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[2].method, "DELETE");
}

TEST_F(URLSessionTest, RefusedConnectionIsCannotConnect) {
    DataRecorder done;
    start(URLRequest("http://127.0.0.1:" + std::to_string(freePort()) + "/v1/item"), done);
    ASSERT_TRUE(done.wait());
    expectURLError(done.get<2>(), NSURLErrorCannotConnectToHost);
}

TEST_F(URLSessionTest, AnswerIdlePastTheTimeoutTimesOut) {
    host.hold("GET", "/slow");
    DataRecorder done;
    auto r = request("/slow");
    r.timeoutInterval = 1;
    start(r, done);
    ASSERT_TRUE(done.wait());
    expectURLError(done.get<2>(), NSURLErrorTimedOut);
    host.release();
}

TEST_F(URLSessionTest, SteadyTransferLongerThanTheTimeoutIsNeverCutOff) {
    // 2.5 s of steady flow against a 1 s idle time-out: the limit is on silence, not on length.
    static constexpr std::size_t chunk = 64 * 1024, chunks = 50;
    HttpResponse paced;
    paced.streamLength = chunk * chunks;
    paced.stream = [](char* buffer, std::size_t size) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::size_t n = std::min(size, chunk);
        std::memset(buffer, 'p', n);
        return n;
    };
    host.answer("GET", "/paced", paced);
    DownloadRecorder done;
    std::uintmax_t size = 0;
    auto inner = done.callback();
    auto r = request("/paced");
    r.timeoutInterval = 1;
    URLSession::shared()
        .downloadTask(
            r,
            [&](std::optional<std::filesystem::path> location, ResponseRef response, ErrorRef error) {
                if (location)
                    size = std::filesystem::file_size(*location);
                inner(location, response, error);
            })
        ->resume();
    ASSERT_TRUE(done.wait(std::chrono::seconds(30)));
    EXPECT_EQ(done.get<2>(), nullptr);
    EXPECT_EQ(size, chunk * chunks);
}

TEST_F(URLSessionTest, CancelCompletesARunningTaskWithCancelledOnce) {
    host.hold("GET", "/held");
    DataRecorder done;
    auto task = start(request("/held"), done); // the default 60 s time-out is far away
    ASSERT_TRUE(host.waitForRequests(1));
    task->cancel();
    ASSERT_TRUE(done.wait(std::chrono::seconds(5)));
    expectURLError(done.get<2>(), NSURLErrorCancelled);
    EXPECT_EQ(task->state(), URLSessionTask::State::completed);
    task->cancel();
    host.release();
    URLSession::shared().callbackQueue().drain();
    EXPECT_EQ(done.calls(), 1);
}

TEST_F(URLSessionTest, CancelBeforeResumeCompletesWithoutSending) {
    DataRecorder done;
    auto task = URLSession::shared().dataTask(request("/never"), done.callback());
    task->cancel();
    task->resume();
    ASSERT_TRUE(done.wait());
    expectURLError(done.get<2>(), NSURLErrorCancelled);
    URLSession::shared().callbackQueue().drain();
    EXPECT_EQ(done.calls(), 1);
    EXPECT_EQ(host.requestCount(), 0u);
}

TEST_F(URLSessionTest, CancellingAFinishedTaskDoesNothing) {
    host.answer("GET", "/quick", HttpResponse(200, "ok"));
    DataRecorder done;
    auto task = start(request("/quick"), done);
    ASSERT_TRUE(done.wait());
    task->cancel();
    URLSession::shared().callbackQueue().drain();
    EXPECT_EQ(done.calls(), 1);
    EXPECT_EQ(done.get<2>(), nullptr);
    EXPECT_EQ(done.get<0>(), "ok");
}

TEST_F(URLSessionTest, StreamedBodySendsExactlyTheDeclaredLength) {
    support::TemporaryDirectory dir;
    std::string bytes;
    for (int i = 0; i < 10000; ++i)
        bytes.push_back(static_cast<char>('a' + i % 26));
    auto file = writeTemporary(dir, bytes);
    host.answer("PUT", "/v1/content", HttpResponse(200, "{}"));
    DataRecorder done;
    auto r = request("/v1/content");
    r.httpMethod = "PUT";
    r.setValue("4000", "Content-Length");
    r.httpBodyStream = InputStream::withFile(file);
    start(r, done);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<2>(), nullptr);
    ASSERT_EQ(host.requestCount(), 1u);
    auto received = host.requests()[0];
    EXPECT_EQ(received.header("Content-Length"), "4000");
    EXPECT_EQ(received.body, bytes.substr(0, 4000));
}

TEST_F(URLSessionTest, StreamThatEndsBeforeTheDeclaredLengthFailsTheTask) {
    support::TemporaryDirectory dir;
    auto file = writeTemporary(dir, std::string(100, 's'));
    host.answer("PUT", "/v1/content", HttpResponse(200, "{}"));
    DataRecorder done;
    auto r = request("/v1/content");
    r.httpMethod = "PUT";
    r.setValue("1000", "Content-Length");
    r.httpBodyStream = InputStream::withFile(file);
    start(r, done);
    ASSERT_TRUE(done.wait());
    EXPECT_FALSE(done.get<0>());
    expectURLError(done.get<2>(), NSURLErrorRequestBodyStreamExhausted);
    URLSession::shared().callbackQueue().drain();
    EXPECT_EQ(done.calls(), 1);
}

TEST_F(URLSessionTest, StreamWithoutDeclaredLengthIsSentWhole) {
    support::TemporaryDirectory dir;
    std::string bytes(70000, 'c');
    auto file = writeTemporary(dir, bytes);
    host.answer("PUT", "/up", HttpResponse(200, ""));
    DataRecorder done;
    auto r = request("/up");
    r.httpMethod = "PUT";
    r.httpBodyStream = InputStream::withFile(file);
    start(r, done);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<2>(), nullptr);
    ASSERT_EQ(host.requestCount(), 1u);
    EXPECT_EQ(host.requests()[0].body, bytes);
}

TEST_F(URLSessionTest, ProxyVariablesAreIgnored) {
    support::ScopedEnvironment a("http_proxy", "http://127.0.0.1:9");
    support::ScopedEnvironment b("HTTP_PROXY", "http://127.0.0.1:9");
    support::ScopedEnvironment c("all_proxy", "http://127.0.0.1:9");
    support::ScopedEnvironment d("no_proxy", std::nullopt);
    host.answer("GET", "/direct", HttpResponse(200, "direct"));
    DataRecorder done;
    start(request("/direct"), done);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<2>(), nullptr);
    EXPECT_EQ(done.get<0>(), "direct");
}

TEST_F(URLSessionTest, RedirectsAreNotFollowed) {
    host.answer("GET", "/from", HttpResponse(302, "", {{"Location", host.baseURL() + "/to"}}));
    host.answer("GET", "/to", HttpResponse(200, "followed"));
    DataRecorder done;
    start(request("/from"), done);
    ASSERT_TRUE(done.wait());
    EXPECT_EQ(done.get<1>()->statusCode, 302);
    EXPECT_EQ(host.requestCount(), 1u);
}

TEST_F(URLSessionTest, HeaderHoldingALineBreakIsNeverSent) {
    for (const std::string& value :
         {std::string("a\r\nX-Injected: 1"), std::string("a\nb"), std::string("a\0b", 3)}) {
        DataRecorder done;
        auto r = request("/x");
        r.setValue(value, "X-FP-Token");
        start(r, done);
        ASSERT_TRUE(done.wait());
        expectURLError(done.get<2>(), NSURLErrorBadURL);
    }
    EXPECT_EQ(host.requestCount(), 0u);
}

TEST(URLSessionLifetime, DestroyingASessionCancelsWhatRuns) {
    ScriptedHost host;
    host.hold("GET", "/held");
    DataRecorder done;
    {
        URLSession session("test.session");
        session.dataTask(URLRequest(host.baseURL() + "/held"), done.callback())->resume();
        ASSERT_TRUE(host.waitForRequests(1));
    }
    ASSERT_EQ(done.calls(), 1);
    ASSERT_NE(done.get<2>(), nullptr);
    EXPECT_EQ(done.get<2>()->code(), NSURLErrorCancelled);
    host.release();
}
