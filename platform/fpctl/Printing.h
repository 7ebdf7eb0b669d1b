#pragma once

// The JSON forms in which fpctl reports what the system receives.
#include "fileprovider/fileprovider.h"

#include <boost/json.hpp>
#include <optional>
#include <string>

namespace fpctl {

bool isText(const std::string& bytes); // valid UTF-8
std::string base64(const std::string& bytes);
std::optional<std::string> unbase64(const std::string& text);

// Text when the bytes are UTF-8, else {"base64": ...}.
boost::json::value bytesJSON(const std::string& bytes);
// An anchor as text, or {"anchorBase64": ...} when it is not UTF-8.
boost::json::value anchorJSON(const std::string& bytes);
boost::json::object itemJSON(const fileprovider::Item& item);
boost::json::array itemsJSON(const std::vector<fileprovider::ItemRef>& items);
// null for no error; {"domain","code","userInfo"} with nested errors as objects and file URLs as paths.
boost::json::value errorJSON(const foundation::ErrorRef& error);
boost::json::object progressJSON(const foundation::Progress& progress);
// The error fpctl reports when the extension never called back.
boost::json::value unansweredJSON();

} // namespace fpctl
