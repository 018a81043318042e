#include "download_engine/segment_transfer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/log.h"

namespace ns_PEM {
namespace {

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 8.0; Windows NT 6.1; Trident/4.0)";
constexpr int kProgressCancelled = 1;
constexpr int kProgressComplete = 2;
constexpr int kProgressStalled = 3;

long long Ll(int64_t v) { return static_cast<long long>(v); }

// URL text between "://" and the next "/" (empty without "://").
std::string UrlHost(const std::string& url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return {};
  size_t start = scheme_end + 3;
  size_t slash = url.find('/', start);
  return url.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
}

// Fixed address entries: the host on ports 443 and 80, and on the URL's own
// port when it names another one.
curl_slist* BuildResolveList(const std::string& url_host, const std::string& address) {
  if (address.empty() || url_host.empty()) return nullptr;
  std::string name = url_host;
  std::string port;
  size_t colon = url_host.rfind(':');
  if (colon != std::string::npos && url_host.find(']', colon) == std::string::npos) {
    name = url_host.substr(0, colon);
    port = url_host.substr(colon + 1);
  }
  curl_slist* list = curl_slist_append(nullptr, (name + ":443:" + address).c_str());
  if (list != nullptr) list = curl_slist_append(list, (name + ":80:" + address).c_str());
  if (list != nullptr && !port.empty() && port != "80" && port != "443") {
    list = curl_slist_append(list, (name + ":" + port + ":" + address).c_str());
  }
  return list;
}

std::string RangeHeader(int64_t begin, int64_t end) {
  std::string header = "Range: bytes=" + std::to_string(begin) + "-";
  if (end > 0 && end >= begin) header += std::to_string(end);
  return header;
}

}  // namespace

CSegmentTransfer::CSegmentTransfer(oru::Clock& clock, std::string ca_bundle)
    : clock_(clock), ca_bundle_(std::move(ca_bundle)) {}

CSegmentTransfer::~CSegmentTransfer() {
  Cancel();
  if (thread_.joinable()) thread_.join();
  ReleaseHandle();
}

void CSegmentTransfer::SetConnectTimeout(std::chrono::seconds timeout) { connect_timeout_ = timeout; }

void CSegmentTransfer::SetLowSpeed(int32_t bytes_per_second, std::chrono::seconds time) {
  low_speed_limit_ = bytes_per_second;
  low_speed_time_ = time;
}

void CSegmentTransfer::SetTotalSize(int64_t total_size) { total_size_.store(total_size); }
void CSegmentTransfer::SetBufferSize(int32_t bytes) { buffer_size_ = bytes; }

void CSegmentTransfer::SetWriter(IFileWriter* writer) {
  std::lock_guard lock(mu_);
  writer_ = writer;
}

bool CSegmentTransfer::Init(const std::string& url, int64_t begin, int64_t end, const std::string& address,
                            const std::string& temp_path) {
  if (handle_ != nullptr || state_.load() != SegmentState::Created) return false;
  url_ = url;
  begin_ = begin;
  end_.store(end);
  address_ = address;
  temp_path_ = temp_path;
  url_host_ = UrlHost(url);
  handle_ = curl_easy_init();
  if (handle_ == nullptr) {
    oru::Log(oru::kLogError, "[ERROR] easy=[%p], init failed!", static_cast<void*>(this));
    return false;
  }
  oru::Log(oru::kLogInfo, "[INFO] easy=[%p], init, host=[%s], range(%lld~%lld)", static_cast<void*>(this),
           address_.c_str(), Ll(begin_), Ll(end));
  return BuildHandle();
}

bool CSegmentTransfer::BuildHandle() {
  resolve_list_ = BuildResolveList(url_host_, address_);
  for (const std::string& h : {RangeHeader(begin_, end_.load()), std::string("Accept-Encoding: identity"),
                               std::string("Cache-Control: no-cache"), std::string("Pragma: no-cache")}) {
    header_list_ = curl_slist_append(header_list_, h.c_str());
  }
  CURL* h = handle_;
  curl_easy_setopt(h, CURLOPT_URL, url_.c_str());
  if (url_.find("http://") != std::string::npos) curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_0);
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, header_list_);
  curl_easy_setopt(h, CURLOPT_RESOLVE, resolve_list_);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!ca_bundle_.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, ca_bundle_.c_str());
  curl_easy_setopt(h, CURLOPT_TCP_FASTOPEN, 1L);
  curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connect_timeout_.count()));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, static_cast<long>(low_speed_limit_));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(low_speed_time_.count()));
  curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "identity");
  curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  // A redirect loop must end (code 47), and a redirect may not leave HTTP(S)
  // (file://, ftp://... on an elevated installer).
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#else
  curl_easy_setopt(h, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
  curl_easy_setopt(h, CURLOPT_FILETIME, 1L);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CSegmentTransfer::WriteCallback);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(h, CURLOPT_PRIVATE, this);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &CSegmentTransfer::ProgressCallback);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  return true;
}

bool CSegmentTransfer::Start() {
  // The state first: once the thread runs, only it may touch the handle.
  if (state_.load() != SegmentState::Created || handle_ == nullptr) return false;
  SegmentState expected = SegmentState::Created;
  if (!state_.compare_exchange_strong(expected, SegmentState::Running)) return false;
  start_time_.store(oru::UnixSeconds(clock_.Now()));
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    state_.store(SegmentState::Created);
    return false;
  }
  return true;
}

bool CSegmentTransfer::Cancel() {
  SegmentState s = state_.load();
  while (s == SegmentState::Running || s == SegmentState::Paused) {
    last_activity_.store(clock_.NowTicks().count());
    if (state_.compare_exchange_weak(s, SegmentState::Cancelled)) return true;
  }
  return false;
}

void CSegmentTransfer::SetEnd(int64_t new_end) {
  std::lock_guard lock(mu_);
  end_.store(new_end);
  const int64_t length = std::max<int64_t>(0, new_end - begin_ + 1);
  if (downloaded_.load() > length) downloaded_.store(length);
  if (m_nSaveSize.load() > length) {
    oru::Log(oru::kLogWarn, "[WARN] easy=[%p], SetEnd adjusting m_nSaveSize from [%lld] to [%lld].",
             static_cast<void*>(this), Ll(m_nSaveSize.load()), Ll(length));
    m_nSaveSize.store(length);
  }
  const int64_t room = length - m_nSaveSize.load();
  if (room >= 0 && buffered_ > room) buffered_ = room;
}

int64_t CSegmentTransfer::GetEnd() const {
  int64_t end = end_.load();
  return end >= 0 ? end : total_size_.load() - 1;
}

int64_t CSegmentTransfer::GetRemaining() const {
  int64_t remaining = GetEnd() - begin_ + 1 - downloaded_.load();
  return remaining > 0 ? remaining : 0;
}

int64_t CSegmentTransfer::RangeLength() const { return std::max<int64_t>(0, GetEnd() - begin_ + 1); }

std::string CSegmentTransfer::GetEffectiveUrl() const {
  std::lock_guard lock(mu_);
  return effective_url_;
}

size_t CSegmentTransfer::WriteCallback(char* data, size_t size, size_t count, void* self) {
  return static_cast<CSegmentTransfer*>(self)->OnData(data, size * count);
}

int CSegmentTransfer::ProgressCallback(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return static_cast<CSegmentTransfer*>(self)->OnProgress();
}

bool CSegmentTransfer::RangeIgnored() {
  long code = 0;
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
  if (begin_ <= 0 || code != 200) return false;
  // The body starts at byte 0, not at our offset: writing it here would
  // corrupt the file. Report it like a refused range.
  oru::Log(oru::kLogWarn, "[WARN] easy=[%p], range ignored by server, http code=[%ld], range(%lld~%lld).",
           static_cast<void*>(this), code, Ll(begin_), Ll(end_.load()));
  range_ignored_ = true;
  http_status_.store(416);
  return true;
}

size_t CSegmentTransfer::OnData(const char* data, size_t n) {
  if (!range_checked_) {
    range_checked_ = true;
    if (RangeIgnored()) {
      SetStatus(SegmentState::Failed);
      return 0;
    }
  }
  last_activity_.store(clock_.NowTicks().count());
  std::unique_lock lock(mu_);
  const int64_t size = std::max<int32_t>(buffer_size_, 1);
  if (buffer_.empty()) {
    try {
      buffer_.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc&) {
      oru::Log(oru::kLogError, "[ERROR] easy=[%p], new buf failed! size=[%d].", static_cast<void*>(this),
               buffer_size_);
      return n;
    }
  }
  const int64_t k = std::min<int64_t>(static_cast<int64_t>(n), GetRemaining());
  if (k < static_cast<int64_t>(n)) range_complete_ = true;
  bool written = true;
  if (buffered_ + k >= size) {
    written = FlushLocked(buffer_.data(), buffered_);
    buffered_ = 0;
    if (written && k >= size) {
      written = FlushLocked(data, k);
    } else if (written) {
      std::memcpy(buffer_.data(), data, static_cast<size_t>(k));
      buffered_ = k;
    }
  } else {
    std::memcpy(buffer_.data() + buffered_, data, static_cast<size_t>(k));
    buffered_ += k;
  }
  if (!written) {
    lock.unlock();
    SetStatus(SegmentState::Failed);
    return 0;  // ends the perform (code 23)
  }
  downloaded_.fetch_add(k);
  return static_cast<size_t>(k);
}

bool CSegmentTransfer::FlushLocked(const char* data, int64_t length) {
  if (writer_ == nullptr || data == nullptr || length <= 0) return true;
  // After a failed write the save count no longer matches the file, so any
  // later write would land at the wrong offset.
  if (write_failed_) return false;
  const int64_t offset = begin_ + m_nSaveSize.load();
  const int64_t written = writer_->WriteAt(offset, length, data, false);
  if (written != length) {
    write_failed_ = true;
    oru::Log(oru::kLogError, "[ERROR] easy=[%p], write failed! offset=[%lld], length=[%lld], written=[%lld].",
             static_cast<void*>(this), Ll(offset), Ll(length), Ll(written));
    return false;
  }
  m_nSaveSize.fetch_add(length);
  return true;
}

int CSegmentTransfer::OnProgress() {
  progress_calls_.fetch_add(1);
  const SegmentState s = state_.load();
  if (s == SegmentState::Cancelled) {
    SetStatus(SegmentState::Cancelled);
    return kProgressCancelled;
  }
  if (s != SegmentState::Running) return 0;
  if (begin_ + downloaded_.load() > GetEnd()) {
    SetStatus(SegmentState::Succeeded);
    return kProgressComplete;
  }
  const int64_t last = last_activity_.load();
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(kStallLimit).count();
  if (last != 0 && clock_.NowTicks().count() - last > limit) {
    SetStatus(SegmentState::Failed);
    return kProgressStalled;
  }
  return 0;
}

void CSegmentTransfer::SetStatus(SegmentState state) {
  bool all_saved = false;
  {
    std::lock_guard lock(mu_);
    if (buffered_ > 0) FlushLocked(buffer_.data(), buffered_);
    buffered_ = 0;
    std::vector<char>().swap(buffer_);
    all_saved = !write_failed_ && m_nSaveSize.load() == RangeLength();
  }
  if (state == SegmentState::Succeeded && !all_saved) state = SegmentState::Failed;
  SegmentState old = state_.load();
  do {
    if (old == state) return;
  } while (!state_.compare_exchange_weak(old, state));
  end_time_.store(oru::UnixSeconds(clock_.Now()));
  curl_off_t speed = 0;
  if (handle_ != nullptr && curl_easy_getinfo(handle_, CURLINFO_SPEED_DOWNLOAD_T, &speed) == CURLE_OK) {
    speed_.store(static_cast<double>(speed));
  }
  LogState(state);
}

void CSegmentTransfer::LogState(SegmentState state) {
  void* self = this;
  const long long begin = Ll(begin_), end = Ll(end_.load()), downloaded = Ll(downloaded_.load());
  const long long remaining = Ll(GetRemaining()), saved = Ll(m_nSaveSize.load());
  const double speed = speed_.load();
  switch (state) {
    case SegmentState::Succeeded:
      oru::Log(oru::kLogInfo,
               "[INFO] easy=[%p], success. range(%lld~%lld), downloaded=[%lld], undownloaded=[%lld], saved=[%lld], "
               "speed=[%.0f B/s].",
               self, begin, end, downloaded, remaining, saved, speed);
      break;
    case SegmentState::Failed:
      oru::Log(oru::kLogError,
               "[ERROR] easy=[%p], failed! range(%lld~%lld), downloaded=[%lld], undownloaded=[%lld], saved=[%lld], "
               "speed=[%.0f B/s].",
               self, begin, end, downloaded, remaining, saved, speed);
      break;
    case SegmentState::Exception:
      oru::Log(oru::kLogWarn,
               "[WARN] easy=[%p], exception! range(%lld~%lld), downloaded=[%lld], undownloaded=[%lld], saved=[%lld], "
               "speed=[%.0f B/s].",
               self, begin, end, downloaded, remaining, saved, speed);
      break;
    case SegmentState::Cancelled:
      oru::Log(oru::kLogWarn,
               "[WARN] easy=[%p], cancel, range(%lld~%lld), downloaded=[%lld], undownloaded=[%lld], saved=[%lld], "
               "speed=[%.0f B/s].",
               self, begin, end, downloaded, remaining, saved, speed);
      break;
    default:
      break;
  }
}

void CSegmentTransfer::Run() {
  const CURLcode rc = curl_easy_perform(handle_);
  transfer_result_.store(static_cast<int32_t>(rc));
  // Status and final URL are recorded before the state turns final, so a
  // downloader that reacts to the state reads them complete.
  long code = 0;
  curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
  http_status_.store(range_ignored_ ? 416 : static_cast<int32_t>(code));
  const char* effective = nullptr;
  if (curl_easy_getinfo(handle_, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective != nullptr &&
      url_ != effective) {
    std::lock_guard lock(mu_);
    effective_url_ = effective;
  }
  // Refusing bytes past a complete range is how a shortened range stops.
  const bool stopped_at_end = rc == CURLE_WRITE_ERROR && range_complete_ && !write_failed_;
  if (rc != CURLE_OK && !stopped_at_end && state_.load() == SegmentState::Running) {
    oru::Log(oru::kLogError, "[ERROR] easy=[%p], curl_easy_perform failed! err=[%d][%s].", static_cast<void*>(this),
             static_cast<int>(rc), curl_easy_strerror(rc));
    SetStatus(SegmentState::Failed);
  }
  if (state_.load() == SegmentState::Running) {
    const int32_t status = http_status_.load();
    if (status == 0 || (status >= 200 && status <= 299)) {
      if (GetRemaining() == 0) {
        SetStatus(SegmentState::Succeeded);
      } else {
        oru::Log(oru::kLogWarn, "[WARN] easy=[%p], there is some abnormality.", static_cast<void*>(this));
        SetStatus(SegmentState::Failed);
      }
    } else {
      oru::Log(oru::kLogWarn, "[WARN] easy=[%p], http code=[%d].", static_cast<void*>(this), status);
      SetStatus(SegmentState::Failed);
    }
  }
  FinishRun();
}

void CSegmentTransfer::FinishRun() {
  const int64_t t_end = end_time_.load(), t_start = start_time_.load();
  oru::Log(oru::kLogInfo,
           "[INFO] easy=[%p], status=[%d], ip=[%s], tEnd(%lld)-tStart(%lld)=[%lld], range(%lld~%lld), "
           "downloaded=[%lld], undownloaded=[%lld], saved=[%lld].",
           static_cast<void*>(this), static_cast<int>(state_.load()), address_.c_str(), Ll(t_end), Ll(t_start),
           Ll(t_end - t_start), Ll(begin_), Ll(end_.load()), Ll(downloaded_.load()), Ll(GetRemaining()),
           Ll(m_nSaveSize.load()));
  long verify = 0;
  if (curl_easy_getinfo(handle_, CURLINFO_SSL_VERIFYRESULT, &verify) == CURLE_OK && verify != 0) {
    oru::Log(oru::kLogWarn, "[WARN] easy=[%p], ssl verify result=[%d].", static_cast<void*>(this),
             static_cast<int>(verify));
  }
  std::string effective = GetEffectiveUrl();
  if (!effective.empty()) {
    oru::Log(oru::kLogInfo, "[INFO] easy=[%p], effective url=[%s].", static_cast<void*>(this), effective.c_str());
  }
  ReleaseHandle();
  {
    std::lock_guard lock(mu_);
    writer_ = nullptr;
  }
  done_.store(true);
}

void CSegmentTransfer::ReleaseHandle() {
  if (handle_ != nullptr) curl_easy_cleanup(handle_);
  handle_ = nullptr;
  curl_slist_free_all(resolve_list_);
  resolve_list_ = nullptr;
  curl_slist_free_all(header_list_);
  header_list_ = nullptr;
}

}  // namespace ns_PEM
