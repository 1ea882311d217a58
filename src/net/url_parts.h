// How HttpGet takes a URL apart and what it asks the transport for.
#pragma once

#include <optional>
#include <string_view>

#include "runtime/text.h"

namespace ostrevan {

struct UrlParts {
  bool https = false;
  Text host;
  int port = 80;
  Text user_name;
  Text password;
  // The path and the query, dot segments resolved, the fragment cut off, and every byte that a
  // request target cannot carry percent-encoded.
  Text target;
};

// Nothing when the URL has no scheme, a scheme other than http or https, a bad port, or a part
// beyond its room (host 255 bytes, user name and password 127, path with query 2047).
std::optional<UrlParts> SplitUrl(std::string_view url);

// The URL handed to the transport: no credentials, and the port only when it is not the
// scheme's own, so that the Host field carries it only then.
Text TransportUrl(const UrlParts& parts);

}  // namespace ostrevan
