#include "download_engine/download_result.h"

#include <array>

namespace ns_PEM {
namespace {

constexpr int kCurlCouldntResolveHost = 6;
constexpr int kCurlCouldntConnect = 7;
constexpr int kCurlWriteError = 23;
constexpr int kCurlOperationTimedOut = 28;
constexpr int kCurlRangeError = 33;
constexpr int kCurlSslConnectError = 35;
constexpr int kCurlAbortedByCallback = 42;
constexpr int kCurlTooManyRedirects = 47;
constexpr int kCurlPeerFailedVerification = 51;
constexpr int kCurlGotNothing = 52;
constexpr int kCurlSendError = 55;
constexpr int kCurlRecvError = 56;
constexpr int kCurlSslCacertBadFile = 60;  // older libcurl: CURLE_SSL_CACERT

constexpr long kHttpRangeNotSatisfiable = 416;

constexpr std::array<const char*, 28> kTexts = {
    "",
    "Already downloaded",
    "Connection failed",
    "Receive failed",
    "Send failed",
    "Get site information failed",
    "Download task allocation failed",
    "Buffer error",
    "Parameter error",
    "File operation failed",
    "Insufficient disk space",
    "MD5 verification failed",
    "File size error",
    "User canceled",
    "Download failed",
    "Unknown error",
    "End event error",
    "Save path error",
    "PID error",
    "URL error",
    "URL parsing error",
    "Thread creation error",
    "Timeout",
    "SSL verification failed",
    "DNS resolve failed",
    "Too many redirects",
    "Server closed connection",
    "Unknown error",
};

}  // namespace

const char* GetDownloadResultText(int code) {
  if (code < 0 || code >= static_cast<int>(kTexts.size())) return "Unknown error";
  return kTexts[static_cast<size_t>(code)];
}

bool IsDownloadSuccess(int code) { return code == kResultSuccess || code == kResultAlreadyDownloaded; }

bool IsEngineCausedCurlCode(int curl_code) {
  return curl_code == kCurlWriteError || curl_code == kCurlAbortedByCallback;
}

bool IsTlsCurlCode(int curl_code) {
  return curl_code == kCurlSslConnectError || curl_code == kCurlPeerFailedVerification ||
         curl_code == kCurlSslCacertBadFile;
}

int32_t DownloadResultFromCurlCode(int curl_code) {
  switch (curl_code) {
    case 0:
      return kResultSuccess;
    case kCurlCouldntResolveHost:
      return kResultDnsResolveFailed;
    case kCurlCouldntConnect:
      return kResultConnectFailed;
    case kCurlOperationTimedOut:
      return kResultTimeout;
    case kCurlRangeError:
    case kCurlRecvError:
      return kResultReceiveFailed;
    case kCurlSslConnectError:
    case kCurlPeerFailedVerification:
    case kCurlSslCacertBadFile:
      return kResultSslVerifyFailed;
    case kCurlSendError:
      return kResultSendFailed;
    case kCurlTooManyRedirects:
      return kResultTooManyRedirects;
    case kCurlGotNothing:
      return kResultServerClosedConnection;
    default:
      return kResultOtherTransferError;
  }
}

std::optional<int32_t> ResultForFinishedSegment(int curl_code, long http_status) {
  std::optional<int32_t> result;
  if (curl_code != 0 && !IsEngineCausedCurlCode(curl_code)) result = DownloadResultFromCurlCode(curl_code);
  if (http_status == kHttpRangeNotSatisfiable) return kResultReceiveFailed;
  if (http_status == 0 && curl_code == kCurlOperationTimedOut) return kResultTimeout;
  return result;
}

}  // namespace ns_PEM
