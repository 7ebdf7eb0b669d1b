// The module's one exported symbol: the system finds the principal class through it.
#include "FileProviderExtension.h"

namespace {

std::shared_ptr<fileprovider::ReplicatedExtension> createExtension(const fileprovider::Domain& domain) {
    return std::make_shared<wl::FileProviderExtension>(domain);
}

const fileprovider::PrincipalClass principalClass{fileprovider::principalClassInterfaceVersion,
                                                  "FileProviderExtension", createExtension};

} // namespace

extern "C" __attribute__((visibility("default"))) const fileprovider::PrincipalClass*
WLFileProviderPrincipalClass() {
    return &principalClass;
}
