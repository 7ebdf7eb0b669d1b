#pragma once

// For the enumerator's tests: a connected scripted host, a fresh kept-local store and an empty registry
// of delivered revisions per test.
#include "enumeration/WLEnumerator.h"
#include "support/ExtensionEnvironment.h"

namespace support {

class EnumerationTest : public ExtensionTest {
protected:
    void SetUp() override {
        ExtensionTest::SetUp();
        wl::DeliveredRevs::resetForTesting();
        connectHost();
    }
    void TearDown() override {
        wl::DeliveredRevs::resetForTesting();
        ExtensionTest::TearDown();
    }
    std::shared_ptr<wl::WLEnumerator> enumerator(const fileprovider::ItemIdentifier& container) {
        return std::make_shared<wl::WLEnumerator>(container, *wl::HostConfig::load());
    }
};

} // namespace support
