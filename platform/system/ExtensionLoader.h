#pragma once

// How the system loads an extension: the manifest beside the module (bundle identifier, principal-class
// symbol, application groups, decorations), then dlopen, the principal-class function and its factory.
#include "fileprovider/Extension.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fpsystem {

struct Manifest {
    std::filesystem::path path;
    std::string bundleIdentifier;
    std::string principalClass;
    std::vector<std::string> applicationGroups;
    std::vector<std::string> decorations;
};

// The manifest of a module: the file of the same name with ".json" beside it.
std::optional<Manifest> readManifest(const std::filesystem::path& module, std::string& why);

class LoadedExtension {
public:
    LoadedExtension(Manifest manifest, std::filesystem::path module, void* handle,
                    const fileprovider::PrincipalClass* principal)
        : manifest_(std::move(manifest)), module_(std::move(module)), handle_(handle), principal_(principal) {
    }
    LoadedExtension(const LoadedExtension&) = delete;
    LoadedExtension& operator=(const LoadedExtension&) = delete;
    // The module stays loaded for the process: objects it made may outlive this value.

    std::shared_ptr<fileprovider::ReplicatedExtension> create(const fileprovider::Domain& domain) const {
        return principal_->create(domain);
    }
    const Manifest& manifest() const { return manifest_; }
    const std::filesystem::path& module() const { return module_; }
    const char* className() const { return principal_->className; }

private:
    Manifest manifest_;
    std::filesystem::path module_;
    void* handle_;
    const fileprovider::PrincipalClass* principal_;
};

// Reads the manifest, makes its bundle identifier the process's main bundle identifier (as the hosting
// process of an extension has it), loads the module and checks its principal class. None, with the
// reason in `why`, when any step fails.
std::unique_ptr<LoadedExtension> loadExtension(const std::filesystem::path& module, std::string& why);

// Where a program finds the extension without being told: the build tree's module when the running
// program is one of the build tree's, else the installed one (lib/fileprovider/extensions/ under the
// prefix the program runs from).
std::filesystem::path defaultExtensionModule();

} // namespace fpsystem
