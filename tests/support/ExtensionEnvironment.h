#pragma once

// For the extension's own tests (header-only, so that the support library does not link the extension):
// a fresh host-connection directory and kept-local store per test, and a scripted host whose connection
// file is written there.
#include "ScriptedHost.h"
#include "Waiting.h"
#include "host/HostConfig.h"
#include "kept/KeptLocal.h"

#include <fstream>
#include <gtest/gtest.h>

namespace support {

class ExtensionTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(hostDirectory());
        std::filesystem::create_directories(keptDirectory());
        wl::HostConfig::testDirectory = hostDirectory();
        wl::KeptLocal::testDirectory = keptDirectory();
        wl::KeptLocal::resetForTesting();
    }
    void TearDown() override {
        host.stop();
        wl::HostConfig::testDirectory.reset();
        wl::KeptLocal::testDirectory.reset();
        wl::KeptLocal::resetForTesting();
    }

    std::filesystem::path hostDirectory() const { return directory.path() / "host"; }
    std::filesystem::path keptDirectory() const { return directory.path() / "kept"; }
    std::filesystem::path storeFile() const { return keptDirectory() / "fp-kept.json"; }
    void connectHost() { host.writeConnectionFile(hostDirectory()); }
    void writeConnectionFile(const std::string& contents) {
        std::filesystem::create_directories(hostDirectory());
        std::ofstream(hostDirectory() / "fphost.json", std::ios::binary | std::ios::trunc) << contents;
    }
    // Marks every pending kept-local change as published in its current state: an empty journal.
    static void publishAllPending() {
        std::map<std::string, bool> matching;
        for (auto& id : wl::KeptLocal::peekPending().ids)
            matching[id] = wl::KeptLocal::contains(fileprovider::ItemIdentifier(id));
        wl::KeptLocal::clearPending(matching);
    }
    void writeStore(const std::string& contents) {
        std::ofstream(storeFile(), std::ios::binary | std::ios::trunc) << contents;
    }

    TemporaryDirectory directory;
    ScriptedHost host;
};

} // namespace support

#include "FakeSystem.h"
#include "core/FileProviderExtension.h"

namespace support {

// An extension object for a domain that a fake System backend serves.
class SystemTest : public ExtensionTest {
protected:
    void SetUp() override {
        ExtensionTest::SetUp();
        fileprovider::installSystem(system);
        connectHost();
        extension = std::make_shared<wl::FileProviderExtension>(domain);
    }
    void TearDown() override {
        foundation::URLSession::shared().callbackQueue().drain();
        foundation::DispatchQueue::main().drain();
        system->drain();
        fileprovider::installSystem(nullptr);
        ExtensionTest::TearDown();
    }
    // Waits until work the extension queued on the callback and main queues has run.
    void settle() {
        foundation::URLSession::shared().callbackQueue().drain();
        foundation::DispatchQueue::main().drain();
        system->drain();
    }
    std::filesystem::path domainTemporaryDirectory() const {
        return directory.path() / "system" / domain.identifier() / "tmp";
    }

    fileprovider::Domain domain{"org.wyvernloft.test", "Test"};
    std::shared_ptr<FakeSystem> system = std::make_shared<FakeSystem>(directory.path() / "system");
    std::shared_ptr<wl::FileProviderExtension> extension;
};

} // namespace support
