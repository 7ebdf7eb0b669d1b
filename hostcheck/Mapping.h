#pragma once

// What the extension makes of a host's refusal, told from the host's side: the File Provider error the
// system receives for an answer, so that a host implementer sees the consequence of each status and kind
// the host uses.
#include <string>

namespace wl::hostcheck {

// The outcome of a refused or failed answer to `method` `path` (an endpoint such as "/v1/move") with
// `status` and the envelope's `kind` ("" when there is none), as one line: the error with its domain and
// code, and what follows from it.
std::string consequence(const std::string& method, const std::string& path, long status,
                        const std::string& kind);

} // namespace wl::hostcheck
