#include "ExtensionLoader.h"

#include "foundation/Files.h"

#include <algorithm>
#include <boost/json.hpp>
#include <dlfcn.h>

namespace fpsystem {

namespace json = boost::json;

namespace {

std::vector<std::string> strings(const json::object& object, const char* key) {
    std::vector<std::string> out;
    const json::value* value = object.if_contains(key);
    if (!value || !value->is_array())
        return out;
    for (const auto& element : value->get_array()) {
        if (element.is_string())
            out.emplace_back(element.get_string());
        else if (element.is_object() && element.get_object().contains("identifier") &&
                 element.get_object().at("identifier").is_string())
            out.emplace_back(element.get_object().at("identifier").get_string());
    }
    return out;
}

} // namespace

std::optional<Manifest> readManifest(const std::filesystem::path& module, std::string& why) {
    Manifest manifest;
    manifest.path = std::filesystem::path(module).replace_extension(".json");
    auto bytes = foundation::readFile(manifest.path);
    if (!bytes) {
        why = "no manifest at " + manifest.path.string();
        return std::nullopt;
    }
    json::error_code ec;
    json::value document = json::parse(*bytes, ec);
    if (ec || !document.is_object()) {
        why = "the manifest " + manifest.path.string() + " is not a JSON object";
        return std::nullopt;
    }
    const json::object& object = document.get_object();
    auto text = [&](const char* key) -> std::optional<std::string> {
        const json::value* value = object.if_contains(key);
        if (!value || !value->is_string())
            return std::nullopt;
        return std::string(value->get_string());
    };
    auto bundle = text("bundleIdentifier");
    auto principal = text("principalClass");
    if (!bundle || !principal) {
        why = "the manifest " + manifest.path.string() + " lacks bundleIdentifier or principalClass";
        return std::nullopt;
    }
    manifest.bundleIdentifier = *bundle;
    manifest.principalClass = *principal;
    manifest.applicationGroups = strings(object, "applicationGroups");
    manifest.decorations = strings(object, "decorations");
    return manifest;
}

std::unique_ptr<LoadedExtension> loadExtension(const std::filesystem::path& module, std::string& why) {
    auto manifest = readManifest(module, why);
    if (!manifest)
        return nullptr;
    foundation::setMainBundleIdentifier(manifest->bundleIdentifier);
    void* handle = ::dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        why = std::string("cannot load ") + module.string() + ": " + ::dlerror();
        return nullptr;
    }
    auto function = reinterpret_cast<fileprovider::PrincipalClassFunction>(
        ::dlsym(handle, manifest->principalClass.c_str()));
    if (!function) {
        why = module.string() + " does not export " + manifest->principalClass;
        return nullptr;
    }
    const fileprovider::PrincipalClass* principal = function();
    if (!principal || principal->interfaceVersion != fileprovider::principalClassInterfaceVersion ||
        !principal->create) {
        why = module.string() + ": the principal class does not have this system's interface";
        return nullptr;
    }
    return std::make_unique<LoadedExtension>(std::move(*manifest), module, handle, principal);
}

std::filesystem::path defaultExtensionModule() {
    std::error_code ec;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::filesystem::path installed = self.parent_path().parent_path() / WL_INSTALLED_MODULE_RELATIVE;
    // An installed program finds its own prefix's module, also when that prefix is inside the build tree.
    if (ec || std::filesystem::exists(installed, ec))
        return installed;
    // The build tree's programs, compared by whole path components: build/debug is not build/debug-2.
    const std::filesystem::path buildRoot = WL_BUILD_ROOT;
    std::filesystem::path built = WL_BUILD_MODULE;
    bool inBuildTree =
        std::mismatch(buildRoot.begin(), buildRoot.end(), self.begin(), self.end()).first == buildRoot.end();
    if (inBuildTree && std::filesystem::exists(built, ec))
        return built;
    return installed;
}

} // namespace fpsystem
