#pragma once

#include <optional>
#include <string>

namespace foundation {

// The stand-in for UTType: a type identifier with the system's conformance tree for the types in use.
// An identifier the table does not know conforms only to itself.
class UTType {
public:
    explicit UTType(std::string identifier) : identifier_(std::move(identifier)) {}

    static UTType item() { return UTType("public.item"); }
    static UTType data() { return UTType("public.data"); }
    static UTType directory() { return UTType("public.directory"); }
    static UTType folder() { return UTType("public.folder"); }
    static UTType package() { return UTType("com.apple.package"); }

    // The type of a file name extension (case-insensitive), or none when the table has no such extension.
    static std::optional<UTType> forFilenameExtension(const std::string& extension);

    const std::string& identifier() const { return identifier_; }
    bool conformsTo(const UTType& other) const;
    bool operator==(const UTType& other) const { return identifier_ == other.identifier_; }

private:
    std::string identifier_;
};

} // namespace foundation
