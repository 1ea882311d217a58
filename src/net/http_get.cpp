#include "net/http_get.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <mutex>

#include "net/url_parts.h"

namespace ostrevan {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char kUserAgent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr std::size_t kMaxPresize = 102'400;
constexpr long kMaxRedirects = 10;
// How long the transfer loop sleeps on the socket at most before it looks at the stop flag and
// the silence deadline again.
constexpr int kPollMs = 50;

// The state every call shares: the resolved host names and the TLS sessions. Connections stay
// private to their call: sharing them across threads is not supported by libcurl.
struct Session {
  std::mutex open_mutex;
  std::atomic<CURLSH*> share{nullptr};
  std::atomic<int> opens{0};
  std::array<std::mutex, CURL_LOCK_DATA_LAST> data_locks;

  std::mutex limits_mutex;
  HttpLimits limits;
};

Session& TheSession() {
  // Never destroyed: workers may still be mid-transfer while the process ends.
  static Session* session = new Session;
  return *session;
}

void LockShared(CURL*, curl_lock_data data, curl_lock_access, void*) {
  TheSession().data_locks[static_cast<std::size_t>(data)].lock();
}

void UnlockShared(CURL*, curl_lock_data data, void*) {
  TheSession().data_locks[static_cast<std::size_t>(data)].unlock();
}

CURLSH* OpenShare() {
  CURLSH* share = curl_share_init();
  if (share == nullptr) {
    return nullptr;
  }
  curl_share_setopt(share, CURLSHOPT_LOCKFUNC, LockShared);
  curl_share_setopt(share, CURLSHOPT_UNLOCKFUNC, UnlockShared);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  return share;
}

// Opens the session on the first call; concurrent first calls wait for the one that opens it.
// A failed opening leaves it absent, and a later call tries again.
CURLSH* SharedState() {
  Session& session = TheSession();
  if (CURLSH* share = session.share.load(std::memory_order_acquire)) {
    return share;
  }
  std::lock_guard guard(session.open_mutex);
  CURLSH* share = session.share.load(std::memory_order_relaxed);
  if (share == nullptr && (share = OpenShare()) != nullptr) {
    session.opens.fetch_add(1);
    session.share.store(share, std::memory_order_release);
  }
  return share;
}

// Reads a Content-Length value: leading white space, an optional sign, then digits up to the
// first other character; no digits give 0.
long long ParseContentLength(std::string_view value) {
  std::size_t i = 0;
  while (i < value.size() && (value[i] == ' ' || value[i] == '\t')) {
    ++i;
  }
  bool negative = i < value.size() && value[i] == '-';
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) {
    ++i;
  }
  long long v = 0;
  for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i) {
    v = std::min(v * 10 + (value[i] - '0'), 1LL << 50);
  }
  return negative ? -v : v;
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

// One call's transfer: the body so far and what the response announced.
struct Transfer {
  ByteBuffer body;
  long long announced = -1;  // the Content-Length of the current response, -1 when none
  bool too_large = false;
  std::int64_t max_body = 0;
  Clock::time_point last_byte;
};

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  std::string_view line(data, size * count);
  transfer.last_byte = Clock::now();
  if (StartsWithIgnoringCase(line, "HTTP/")) {
    // A new response begins (after a redirect): what the last one announced is void.
    transfer.announced = -1;
  } else if (StartsWithIgnoringCase(line, "Content-Length:")) {
    transfer.announced = ParseContentLength(line.substr(15));
  }
  return size * count;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  std::size_t n = size * count;
  transfer.last_byte = Clock::now();
  if (static_cast<std::int64_t>(transfer.body.size() + n) > transfer.max_body) {
    transfer.too_large = true;
    return 0;
  }
  if (transfer.body.empty() && transfer.announced > 0) {
    transfer.body.reserve(
        std::min<std::size_t>(static_cast<std::size_t>(transfer.announced), kMaxPresize));
  }
  transfer.body.append(data, n);
  return n;
}

bool AnnouncedBodyArrived(const Transfer& transfer) {
  return transfer.announced > 0 &&
         static_cast<long long>(transfer.body.size()) >= transfer.announced;
}

void ConfigureRequest(CURL* easy, const UrlParts& parts, const Text& url, Transfer& transfer,
                      const HttpLimits& limits, CURLSH* share) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  // The target is already resolved and encoded; it goes on the wire exactly as it stands.
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_SHARE, share);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect.count()));
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(limits.whole.count()));
  // A Content-Length that is negative or garbage is no reason to throw the body away: the body
  // is read to its end, and the length is checked here instead.
  curl_easy_setopt(easy, CURLOPT_IGNORE_CONTENT_LENGTH, 1L);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
  if (!parts.user_name.empty() || !parts.password.empty()) {
    curl_easy_setopt(easy, CURLOPT_USERNAME, parts.user_name.c_str());
    curl_easy_setopt(easy, CURLOPT_PASSWORD, parts.password.c_str());
    // Credentials are offered only to a server that asks for them.
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
  }
}

TransferEnd EndFromCode(CURLcode code, const Transfer& transfer) {
  switch (code) {
    case CURLE_OK:
      return transfer.announced > 0 && !AnnouncedBodyArrived(transfer) ? TransferEnd::ShortBody
                                                                       : TransferEnd::Complete;
    case CURLE_OPERATION_TIMEDOUT:
      return TransferEnd::TimedOut;
    case CURLE_PARTIAL_FILE:
      return TransferEnd::ShortBody;
    case CURLE_FILESIZE_EXCEEDED:
      return TransferEnd::TooLarge;
    case CURLE_WRITE_ERROR:
      return transfer.too_large ? TransferEnd::TooLarge : TransferEnd::TransportError;
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return transfer.body.empty() || transfer.announced <= 0 ? TransferEnd::TransportError
                                                              : TransferEnd::ShortBody;
    default:
      return TransferEnd::TransportError;
  }
}

// Drives the transfer in short turns, so that a stop flag and a silent server are noticed
// within a poll interval rather than at libcurl's once-a-second progress call.
TransferEnd Drive(CURLM* multi, CURL* easy, Transfer& transfer, const HttpLimits& limits,
                  const StopFlag* stop) {
  transfer.last_byte = Clock::now();
  int running = 1;
  for (;;) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      return TransferEnd::TransportError;
    }
    if (running == 0) {
      break;
    }
    // The whole announced body is in: HTTP/1.0 servers close now, and one that keeps the
    // connection open has nothing more to say.
    if (AnnouncedBodyArrived(transfer)) {
      return TransferEnd::Complete;
    }
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
      return TransferEnd::Cancelled;
    }
    if (Clock::now() - transfer.last_byte > limits.silence) {
      return TransferEnd::TimedOut;
    }
    curl_multi_poll(multi, nullptr, 0, kPollMs, nullptr);
  }
  int queued = 0;
  CURLMsg* message = curl_multi_info_read(multi, &queued);
  CURLcode code =
      message != nullptr && message->easy_handle == easy ? message->data.result : CURLE_RECV_ERROR;
  return EndFromCode(code, transfer);
}

HttpReply Fetch(const UrlParts& parts, const StopFlag* stop) {
  HttpReply reply;
  CURLSH* share = SharedState();
  if (share == nullptr) {
    reply.end = TransferEnd::TransportError;
    return reply;
  }
  HttpLimits limits = CurrentHttpLimits();
  Transfer transfer;
  transfer.max_body = limits.max_body_bytes;
  Text url = TransportUrl(parts);

  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  if (easy == nullptr || multi == nullptr) {
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    reply.end = TransferEnd::TransportError;
    return reply;
  }
  ConfigureRequest(easy, parts, url, transfer, limits, share);
  curl_multi_add_handle(multi, easy);
  reply.end = Drive(multi, easy, transfer, limits, stop);
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &reply.status);
  curl_multi_remove_handle(multi, easy);
  curl_easy_cleanup(easy);
  curl_multi_cleanup(multi);
  reply.body = std::move(transfer.body);
  return reply;
}

}  // namespace

HttpReply HttpGet(const Text& url, const StopFlag* stop) {
  if (url.empty()) {
    return {};
  }
  std::optional<UrlParts> parts = SplitUrl(url);
  if (!parts) {
    return {};
  }
  return Fetch(*parts, stop);
}

HttpLimits CurrentHttpLimits() {
  Session& session = TheSession();
  std::lock_guard guard(session.limits_mutex);
  return session.limits;
}

void SetHttpLimits(const HttpLimits& limits) {
  Session& session = TheSession();
  std::lock_guard guard(session.limits_mutex);
  session.limits = limits;
}

void HttpGlobalInit() {
  curl_global_init(CURL_GLOBAL_DEFAULT);
}

void CloseHttpSession() {
  Session& session = TheSession();
  std::lock_guard guard(session.open_mutex);
  if (CURLSH* share = session.share.exchange(nullptr)) {
    curl_share_cleanup(share);
  }
}

int HttpSessionOpenCount() {
  return TheSession().opens.load();
}

}  // namespace ostrevan
