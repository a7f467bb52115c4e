// The Transfer of transfer.hpp: curl's multi interface, pumped by
// the reader, so headers are judged before a byte of the body is written.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include <fmt/format.h>

#include "tessal_plus/bundle/sample/transfer.hpp"

namespace tessal_plus::bundle::sample {
using util::Error;
using util::ErrorKind;

Transfer::Transfer(const std::string& url, const std::string& proxy, const TransferLimits& limits)
    : url_(url), limits_(limits), easy_(curl_easy_init()), multi_(curl_multi_init()) {
  if (!easy_ || !multi_) throw Error(ErrorKind::network, url, fmt::format("cannot start an HTTP transfer of {}", url));
  CURL* e = easy_.get();
  bool ok = curl_easy_setopt(e, CURLOPT_URL, url.c_str()) == CURLE_OK;
  // An empty proxy disables proxies, also those of the usual variables:
  // TESSAL_PROXY alone decides, for http and https alike.
  ok = ok && curl_easy_setopt(e, CURLOPT_PROXY, proxy.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L) == CURLE_OK;
  // A server that never answers, or trickles, ends the transfer instead of
  // holding the command forever.
  ok = ok && curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, limits.connect_timeout_s) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, limits.low_speed_bytes_per_s) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, limits.low_speed_time_s) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::on_header) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_HEADERDATA, this) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::on_body) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_WRITEDATA, this) == CURLE_OK;
  ok = ok && curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_) == CURLE_OK;
  if (!ok) throw Error(ErrorKind::network, url, fmt::format("cannot set up the HTTP transfer of {}", url));
  if (curl_multi_add_handle(multi_.get(), e) != CURLM_OK)
    throw Error(ErrorKind::network, url, fmt::format("cannot start the HTTP transfer of {}", url));
  attached_ = true;
}

Transfer::~Transfer() {
  if (attached_) curl_multi_remove_handle(multi_.get(), easy_.get());
}

void Transfer::wait_for_headers() {
  while (!headers_done_ && pump()) {
  }
  if (!headers_done_) finish_or_throw();
}

std::size_t Transfer::read(char* buf, std::size_t cap) {
  while (pending_.empty() && pump()) {
  }
  if (pending_.empty()) {
    finish_or_throw();
    return 0;
  }
  const std::size_t n = std::min(cap, pending_.size());
  std::copy(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n), buf);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

// One round of the transfer; false once it has ended. The wait is short (a
// tenth of a second) so an interrupt is noticed promptly.
bool Transfer::pump() {
  InterruptGuard::check();
  if (ended_) return false;
  int running = 0;
  if (curl_multi_perform(multi_.get(), &running) != CURLM_OK)
    throw Error(ErrorKind::network, url_, fmt::format("the HTTP transfer of {} failed", url_));
  if (running == 0) {
    ended_ = true;
    int left = 0;
    while (CURLMsg* m = curl_multi_info_read(multi_.get(), &left))
      if (m->msg == CURLMSG_DONE) result_ = m->data.result;
    return !pending_.empty() || headers_done_;
  }
  curl_multi_poll(multi_.get(), nullptr, 0, 100, nullptr);
  InterruptGuard::check();
  return true;
}

void Transfer::finish_or_throw() {
  while (pump()) {
  }
  if (headers_too_large_ || (result_ == CURLE_OUT_OF_MEMORY && !headers_done_))
    throw Error(ErrorKind::network, url_,
                fmt::format("download of {} failed: the response headers are larger than {} KiB", url_,
                            limits_.max_header_bytes / 1024));
  if (body_too_long_)
    throw Error(ErrorKind::network, url_,
                fmt::format("download of {} failed: the server sent more than the {} bytes it announced", url_, *expected_));
  if (result_ == CURLE_OPERATION_TIMEDOUT)
    throw Error(ErrorKind::network, url_,
                fmt::format("download of {} failed: timed out ({}; the limits are {} s to connect and {} s below {} bytes/s)",
                            url_, error_[0] ? error_ : curl_easy_strerror(result_), limits_.connect_timeout_s,
                            limits_.low_speed_time_s, limits_.low_speed_bytes_per_s));
  if (result_ != CURLE_OK)
    throw Error(ErrorKind::network, url_,
                fmt::format("download of {} failed: {}", url_, error_[0] ? error_ : curl_easy_strerror(result_)));
}

void Transfer::take_header_line(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    // A new response (after a redirect or 100 Continue) starts afresh.
    content_length_.reset();
    const auto space = line.find(' ');
    status_ = space == std::string::npos ? 0 : std::atol(line.c_str() + space + 1);
  } else if (line.empty()) {
    if (status_ >= 200 || status_ == 0) {
      long code = 0;
      curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &code);
      if (!(code >= 300 && code < 400)) headers_done_ = true;
    }
  } else {
    const auto colon = line.find(':');
    if (colon == std::string::npos) return;
    std::string name = line.substr(0, colon);
    for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "content-length") {
      std::string v = line.substr(colon + 1);
      v.erase(0, v.find_first_not_of(" \t"));
      v.erase(v.find_last_not_of(" \t") + 1);
      content_length_ = v;
    }
  }
}

std::size_t Transfer::on_header(char* data, std::size_t size, std::size_t n, void* self_) {
  auto* self = static_cast<Transfer*>(self_);
  self->header_bytes_ += size * n;
  if (self->header_bytes_ > self->limits_.max_header_bytes) {
    self->headers_too_large_ = true;
    return 0;  // ends the transfer
  }
  self->take_header_line(std::string(data, size * n));
  return size * n;
}

std::size_t Transfer::on_body(char* data, std::size_t size, std::size_t n, void* self_) {
  auto* self = static_cast<Transfer*>(self_);
  self->headers_done_ = true;
  self->received_ += static_cast<std::int64_t>(size * n);
  if (self->expected_ && self->received_ > *self->expected_) {
    self->body_too_long_ = true;
    return 0;  // ends the transfer
  }
  self->pending_.insert(self->pending_.end(), data, data + size * n);
  return size * n;
}

}  // namespace tessal_plus::bundle::sample
