#include "net/url_parts.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace ostrevan {
namespace {

constexpr std::size_t kHostRoom = 255;
constexpr std::size_t kCredentialRoom = 127;
constexpr std::size_t kTargetRoom = 2047;

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool NeedsEncoding(unsigned char c) {
  return c <= 0x20 || c >= 0x7F;
}

Text PercentEncode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  Text out;
  out.reserve(bytes.size());
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (NeedsEncoding(c)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

// Resolves "." and ".." segments the way a browser does; ".." never climbs above the root.
Text RemoveDotSegments(std::string_view path) {
  std::vector<std::string_view> kept;
  bool trailing_slash = false;
  std::size_t start = 1;  // past the leading "/"
  while (start <= path.size()) {
    std::size_t end = std::min(path.find('/', start), path.size());
    std::string_view segment = path.substr(start, end - start);
    bool last = end == path.size();
    if (segment == ".") {
      trailing_slash = last;
    } else if (segment == "..") {
      if (!kept.empty()) {
        kept.pop_back();
      }
      trailing_slash = last;
    } else {
      kept.push_back(segment);
      trailing_slash = false;
    }
    start = end + 1;
  }
  Text out;
  for (std::string_view segment : kept) {
    out += '/';
    out += segment;
  }
  if (trailing_slash || out.empty()) {
    out += '/';
  }
  return out;
}

std::optional<int> ParsePort(std::string_view digits) {
  if (digits.empty() || digits.size() > 5 ||
      !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int port = std::stoi(Text(digits));
  if (port < 1 || port > 65535) {
    return std::nullopt;
  }
  return port;
}

bool SplitCredentials(std::string_view userinfo, UrlParts& parts) {
  std::size_t colon = userinfo.find(':');
  parts.user_name = Text(userinfo.substr(0, colon));
  parts.password = colon == std::string_view::npos ? Text() : Text(userinfo.substr(colon + 1));
  return parts.user_name.size() <= kCredentialRoom && parts.password.size() <= kCredentialRoom;
}

bool SplitHostAndPort(std::string_view hostport, UrlParts& parts) {
  std::size_t colon = hostport.rfind(':');
  // A colon inside the brackets of an IPv6 address is no port separator.
  if (colon != std::string_view::npos && hostport.find(']', colon) == std::string_view::npos) {
    auto port = ParsePort(hostport.substr(colon + 1));
    if (!port) {
      return false;
    }
    parts.port = *port;
    hostport = hostport.substr(0, colon);
  }
  parts.host = Text(hostport);
  return !parts.host.empty() && parts.host.size() <= kHostRoom;
}

}  // namespace

std::optional<UrlParts> SplitUrl(std::string_view url) {
  std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) {
    return std::nullopt;
  }
  UrlParts parts;
  std::string_view scheme = url.substr(0, scheme_end);
  if (EqualsIgnoringCase(scheme, "https")) {
    parts.https = true;
    parts.port = 443;
  } else if (!EqualsIgnoringCase(scheme, "http")) {
    return std::nullopt;
  }
  std::string_view rest = url.substr(scheme_end + 3);
  std::size_t authority_end = std::min(rest.find_first_of("/?#"), rest.size());
  std::string_view authority = rest.substr(0, authority_end);
  std::string_view target = rest.substr(authority_end);

  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos && !SplitCredentials(authority.substr(0, at), parts)) {
    return std::nullopt;
  }
  if (!SplitHostAndPort(authority.substr(at == std::string_view::npos ? 0 : at + 1), parts)) {
    return std::nullopt;
  }
  if (target.size() > kTargetRoom) {
    return std::nullopt;
  }
  target = target.substr(0, target.find('#'));
  std::size_t query_start = std::min(target.find('?'), target.size());
  std::string_view path = target.substr(0, query_start);
  Text resolved = RemoveDotSegments(path.empty() ? std::string_view("/") : path);
  parts.target = PercentEncode(JoinText({resolved, target.substr(query_start)}));
  return parts;
}

Text TransportUrl(const UrlParts& parts) {
  bool default_port = parts.port == (parts.https ? 443 : 80);
  return JoinText({parts.https ? "https://" : "http://", parts.host,
                   default_port ? "" : ":" + std::to_string(parts.port), parts.target});
}

}  // namespace ostrevan
