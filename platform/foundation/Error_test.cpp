#include "foundation/Error.h"

#include <gtest/gtest.h>

using namespace foundation;

TEST(Error, DescriptionComesFromItsKeyElseNamesDomainAndCode) {
    auto described = Error::make(NSCocoaErrorDomain, 256, {{NSLocalizedDescriptionKey, "cannot read"}});
    EXPECT_EQ(described->localizedDescription(), "cannot read");
    auto plain = Error::make(NSFileProviderErrorDomain, -1004);
    EXPECT_NE(plain->localizedDescription().find("NSFileProviderErrorDomain"), std::string::npos);
    EXPECT_NE(plain->localizedDescription().find("-1004"), std::string::npos);
}

TEST(Error, NestedErrorsKeepTheirIdentity) {
    static const ErrorRef constant = Error::make("Wyvernloft", -2);
    auto outer = Error::make(NSFileProviderErrorDomain, -1004, {{NSUnderlyingErrorKey, constant}});
    EXPECT_EQ(outer->underlyingError().get(), constant.get());
    EXPECT_TRUE(outer->is(NSFileProviderErrorDomain, -1004));
    EXPECT_EQ(outer->stringValue(NSUnderlyingErrorKey), nullptr); // an error is not a string
    auto withURL = Error::make(NSCocoaErrorDomain, 256, {{NSURLErrorKey, FileURL{"/tmp/x"}}});
    EXPECT_EQ(std::get<FileURL>(withURL->userInfo().at(NSURLErrorKey)).path, "/tmp/x");
    EXPECT_EQ(withURL->underlyingError(), nullptr);
}
