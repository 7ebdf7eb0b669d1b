#include "host/JSON.h"
#include "write/FPHostErrorMap.h"

#include <gtest/gtest.h>

using namespace wl;

namespace {
foundation::ErrorRef mapped(long status, const char* body) {
    auto object = decodeJSON(std::string(body));
    return FPHostErrorMap::error(status, object.get());
}
std::string info(const foundation::ErrorRef& error, const char* key) {
    return *error->stringValue(key);
}
} // namespace

TEST(FPHostErrorMap, KindsDecideTheCode) {
    struct Row {
        const char* kind;
        const char* domain;
        std::int64_t code;
    };
    const char* fp = foundation::NSFileProviderErrorDomain;
    for (const Row& row : {Row{"read_only", foundation::NSCocoaErrorDomain, 513}, Row{"paused", fp, -2005},
                           Row{"quota", fp, -1003}, Row{"offline", fp, -1004}, Row{"incomplete", fp, -1004},
                           Row{"not_empty", fp, -1007}, Row{"collision", fp, -1001},
                           Row{"changed", fp, -2005}, Row{"Quota", fp, -2005}, Row{"", fp, -2005}}) {
        for (long status : {403L, 404L, 409L, 500L, 503L}) {
            auto error =
                mapped(status, (std::string(R"({"error": ")") + row.kind + R"(", "code": "c1"})").c_str());
            EXPECT_TRUE(error->is(row.domain, row.code)) << row.kind << " " << status;
            EXPECT_EQ(info(error, FPHostErrorMap::kindKey), row.kind);
            EXPECT_EQ(info(error, FPHostErrorMap::codeKey), "c1");
            EXPECT_EQ(error->userInfo().size(), 2u);
        }
    }
}

TEST(FPHostErrorMap, UnauthorisedOverEveryKind) {
    auto error = mapped(401, R"({"error": "read_only"})");
    EXPECT_TRUE(error->is(foundation::NSFileProviderErrorDomain, -1000));
    EXPECT_EQ(info(error, FPHostErrorMap::kindKey), "read_only");
}

TEST(FPHostErrorMap, MissingOrMistypedWordsAreEmptyButPresent) {
    for (auto error : {FPHostErrorMap::error(500, nullptr), mapped(409, R"({"error": 7, "code": null})")}) {
        EXPECT_TRUE(error->is(foundation::NSFileProviderErrorDomain, -2005));
        EXPECT_EQ(info(error, FPHostErrorMap::kindKey), "");
        EXPECT_EQ(info(error, FPHostErrorMap::codeKey), "");
    }
    auto local = FPHostErrorMap::local("");
    EXPECT_TRUE(local->is(foundation::NSFileProviderErrorDomain, -2005));
    EXPECT_EQ(info(local, FPHostErrorMap::kindKey), "bad_request");
    EXPECT_EQ(info(local, FPHostErrorMap::codeKey), "");
}
