#include "Parsing.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace refhost;
using State = HeadParse::State;

TEST(RequestHead, WellFormedHeadsAndTheirFraming) {
    const std::string head = "PUT /v1/content?path=a%20b&base= HTTP/1.1\r\nHost: x\r\n"
                             "Content-Length: 5\r\nX-FP-Token:  tok \r\n\r\n";
    auto parsed = parseRequestHead(head + "hello");
    ASSERT_EQ(parsed.state, State::complete);
    EXPECT_EQ(parsed.head.method, "PUT");
    EXPECT_EQ(parsed.head.path, "/v1/content");
    EXPECT_EQ(parsed.head.rawQuery, "path=a%20b&base=");
    EXPECT_EQ(parsed.head.contentLength, 5u);
    EXPECT_EQ(parsed.head.headers.back(), (std::pair<std::string, std::string>{"X-FP-Token", "tok"}));
    EXPECT_EQ(parsed.consumed, head.size()); // the body is left for the body reader

    struct Case {
        const char* head;
        bool chunked;
        bool closeAfter;
    };
    for (const Case& c : {Case{"GET / HTTP/1.1\r\n\r\n", false, false},
                          Case{"GET / HTTP/1.1\r\nConnection: keep-alive, Close\r\n\r\n", false, true},
                          Case{"GET / HTTP/1.0\r\n\r\n", false, true},
                          Case{"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", false, false},
                          Case{"POST / HTTP/1.1\r\ntransfer-encoding: Chunked\r\n\r\n", true, false},
                          Case{"\r\n\r\nGET / HTTP/1.1\r\n\r\n", false, false}}) {
        auto head = parseRequestHead(c.head);
        ASSERT_EQ(head.state, State::complete) << c.head;
        EXPECT_EQ(head.head.chunked, c.chunked) << c.head;
        EXPECT_EQ(head.head.closeAfter, c.closeAfter) << c.head;
        EXPECT_EQ(head.consumed, std::strlen(c.head)) << c.head;
    }
}

TEST(RequestHead, MalformedOrHostileHeadsAreRefused) {
    struct Case {
        std::string head;
        int status; // 0: still incomplete
    };
    std::string manyFields = "GET / HTTP/1.1\r\n";
    for (int i = 0; i < 101; ++i)
        manyFields += "X-" + std::to_string(i) + ": v\r\n";
    const Case cases[] = {
        {"GET / HTTP/1.1\r\n", 0},
        {std::string(64 * 1024, 'a'), 431},                                 // no end in sight
        {"GET /" + std::string(64 * 1024, 'a') + " HTTP/1.1\r\n\r\n", 431}, // a request line past the limit
        {manyFields + "\r\n", 431},
        {"GET / HTTP/1.1\r\nX: " + std::string(70000, 'v') + "\r\n\r\n",
         431}, // one field of many lines' worth
        {"GET  / HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/2\r\n\r\n", 400},
        {"GET http://x/ HTTP/1.1\r\n\r\n", 400},
        {"G\x01T / HTTP/1.1\r\n\r\n", 400},
        {"GET /a\x7f HTTP/1.1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nBad Name: x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nX: a\nb\r\n\r\n", 400},
        {std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 27), 400},
        {"GET / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: 1e3\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
    };
    for (const auto& c : cases) {
        auto parsed = parseRequestHead(c.head);
        if (c.status == 0) {
            EXPECT_EQ(parsed.state, State::incomplete) << c.head.substr(0, 60);
        } else {
            EXPECT_EQ(parsed.state, State::refused) << c.head.substr(0, 60);
            EXPECT_EQ(parsed.status, c.status) << c.head.substr(0, 60);
            EXPECT_FALSE(parsed.reason.empty());
        }
    }
    // A repeated identical length is one framing, not two.
    EXPECT_EQ(parseRequestHead("GET / HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\n").state,
              State::complete);
}

TEST(RequestHead, AnyBytesGiveAnAnswerAndCompleteHeadsReparseTheSame) {
    std::mt19937 random(20240611);
    const std::string alphabet = "GET /?=&%: \r\n\t\x01\x7f\xff"
                                 "aZ09-HTTP/1.01";
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        std::size_t length = random() % 200;
        for (std::size_t i = 0; i < length; ++i)
            bytes += random() % 4 ? alphabet[random() % alphabet.size()] : static_cast<char>(random());
        if (round % 2)
            bytes = "GET /" + bytes + "\r\n\r\n";
        HeadLimits small{64, 4};
        for (const HeadLimits& limits : {HeadLimits{}, small}) {
            auto parsed = parseRequestHead(bytes, limits);
            if (parsed.state != State::complete)
                continue;
            ASSERT_LE(parsed.consumed, bytes.size());
            // The head alone parses to the same request.
            auto again = parseRequestHead(bytes.substr(0, parsed.consumed), limits);
            ASSERT_EQ(again.state, State::complete);
            EXPECT_EQ(again.head.target, parsed.head.target);
            EXPECT_EQ(again.head.headers, parsed.head.headers);
        }
    }
}

TEST(QueryAndNumbers, DecodeAsSentAndRefuseTheRest) {
    EXPECT_EQ(
        parseQuery("anchor=7&path=Docs%2Fa%20b.txt&recursive=1"),
        (std::map<std::string, std::string>{{"anchor", "7"}, {"path", "Docs/a b.txt"}, {"recursive", "1"}}));
    EXPECT_EQ(parseQuery("a=1&a=2&&b&=x&%zz=%4"),
              (std::map<std::string, std::string>{{"a", "2"}, {"b", ""}, {"", "x"}, {"%zz", "%4"}}));
    EXPECT_EQ(percentDecode("%C3%A9%2"), "\xC3\xA9%2");
    EXPECT_EQ(percentDecode("%00"), std::string(1, '\0'));

    struct Revision {
        const char* text;
        std::optional<std::int64_t> value;
    };
    for (const auto& [text, value] :
         {Revision{"0", 0}, Revision{"-7", -7}, Revision{"42", 42},
          Revision{"9223372036854775807", INT64_MAX}, Revision{"-9223372036854775808", INT64_MIN},
          Revision{"9223372036854775808", std::nullopt}, Revision{"", std::nullopt},
          Revision{"-", std::nullopt}, Revision{"+1", std::nullopt}, Revision{"1.0", std::nullopt},
          Revision{" 1", std::nullopt}, Revision{"99999999999999999999", std::nullopt}})
        EXPECT_EQ(parseRevision(text), value) << text;
    EXPECT_EQ(parseSize("ff", 16), 255u);
    EXPECT_EQ(parseSize("ff", 10), std::nullopt);
    EXPECT_EQ(parseSize("1234567890123456789", 10), std::nullopt); // 19 digits: too close to overflow
    EXPECT_EQ(parseSize("", 16), std::nullopt);
}

TEST(Identifiers, KeysOfWhatMayBeServedAndNothingElse) {
    EXPECT_EQ(parseIdentifier("NSFileProviderRootContainerItemIdentifier"), "");
    EXPECT_EQ(parseIdentifier("Docs/a.txt"), "Docs/a.txt");
    EXPECT_EQ(parseIdentifier("Docs/e\xCC\x81"), "Docs/\xC3\xA9");
    EXPECT_EQ(parseIdentifier("..."), "...");
    EXPECT_EQ(parseIdentifier(std::string(maxIdentifierBytes, 'a')), std::string(maxIdentifierBytes, 'a'));
    for (const std::string& bad :
         {std::string(), std::string("/etc/passwd"), std::string("a//b"), std::string("a/./b"),
          std::string("../x"), std::string("a/.."), std::string("a/"), std::string("."),
          std::string("a\0b", 3), std::string("\xff"), std::string(maxIdentifierBytes + 1, 'a')})
        EXPECT_FALSE(parseIdentifier(bad)) << bad.substr(0, 20);
    // Random bytes: whatever is accepted is NFC, bounded and free of anything that could climb out.
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        std::string bytes;
        std::size_t length = random() % 24;
        for (std::size_t i = 0; i < length; ++i)
            bytes += "a./\xCC\x81\xC3\xA9\0\xff"[random() % 9];
        auto key = parseIdentifier(bytes);
        if (!key || key->empty())
            continue;
        EXPECT_EQ(composed(*key), *key);
        EXPECT_LE(key->size(), maxIdentifierBytes);
        EXPECT_EQ(key->find('\0'), std::string::npos);
        EXPECT_NE(key->front(), '/');
        EXPECT_EQ(("/" + *key + "/").find("/../"), std::string::npos);
        EXPECT_EQ(("/" + *key + "/").find("/./"), std::string::npos);
    }
}
