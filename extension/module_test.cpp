// Loads the extension module the way the system does: its manifest, dlopen, the principal class.
#include "fileprovider/fileprovider.h"
#include "foundation/Files.h"
#include "foundation/URLSession.h"
#include "support/ScriptedHost.h"
#include "support/Waiting.h"

#include <boost/json.hpp>
#include <dlfcn.h>
#include <gtest/gtest.h>

TEST(Module, PrincipalClassCreatesAWorkingExtension) {
    auto manifest = boost::json::parse(*foundation::readFile(WL_MANIFEST_PATH)).as_object();
    std::string symbol(manifest.at("principalClass").as_string());
    std::string group(manifest.at("applicationGroups").as_array().at(0).as_string());
    foundation::setMainBundleIdentifier(std::string(manifest.at("bundleIdentifier").as_string()));

    support::TemporaryDirectory groups;
    support::ScopedEnvironment environment("FP_APP_GROUPS_DIR", groups.path().string());
    support::ScriptedHost host;
    host.writeConnectionFile(groups.path() / group);
    host.answer("GET", "/v1/item", support::HttpResponse::json(200, R"({"identifier": "a.txt", "size": 4})"));

    void* module = ::dlopen(WL_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << ::dlerror();
    auto principal = reinterpret_cast<fileprovider::PrincipalClassFunction>(::dlsym(module, symbol.c_str()));
    ASSERT_NE(principal, nullptr);
    EXPECT_EQ(::dlsym(module, "_ZN2wl10KeptLocal8containsERKN12fileprovider14ItemIdentifierE"), nullptr)
        << "the module exports only its principal-class function";
    const fileprovider::PrincipalClass* cls = principal();
    ASSERT_EQ(cls->interfaceVersion, fileprovider::principalClassInterfaceVersion);
    EXPECT_STREQ(cls->className, "FileProviderExtension");

    auto extension = cls->create(fileprovider::Domain("org.wyvernloft.test", "Test"));
    ASSERT_NE(extension, nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<fileprovider::PartialContentFetching>(extension), nullptr);
    support::Recorder<fileprovider::ItemRef, foundation::ErrorRef> done;
    extension->item(fileprovider::ItemIdentifier("a.txt"), {}, done.callback());
    ASSERT_TRUE(done.wait());
    ASSERT_NE(done.get<0>(), nullptr);
    EXPECT_EQ(done.get<0>()->documentSize(), 4);
    EXPECT_EQ(host.requests().at(0).header("X-FP-Token"), host.token());
    extension.reset();
    foundation::URLSession::shared().callbackQueue().drain();
}
