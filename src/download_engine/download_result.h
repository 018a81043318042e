#pragma once
// Download result codes: how a download ended, with fixed English texts
// that the window shows and the logs carry. 0 and 1 count as success.

#include <cstdint>
#include <optional>

namespace ns_PEM {

enum DownloadResult : int32_t {
  kResultSuccess = 0,
  kResultAlreadyDownloaded = 1,
  kResultConnectFailed = 2,
  kResultReceiveFailed = 3,
  kResultSendFailed = 4,
  kResultSiteInfoFailed = 5,
  kResultTaskAllocationFailed = 6,
  kResultBufferError = 7,
  kResultParameterError = 8,
  kResultFileOperationFailed = 9,
  kResultInsufficientDiskSpace = 10,
  kResultMd5Failed = 11,
  kResultFileSizeError = 12,
  kResultUserCanceled = 13,
  kResultDownloadFailed = 14,
  kResultUnknownError = 15,
  kResultEndEventError = 16,
  kResultSavePathError = 17,
  kResultPidError = 18,
  kResultUrlError = 19,
  kResultUrlParsingError = 20,
  kResultThreadCreationError = 21,
  kResultTimeout = 22,
  kResultSslVerifyFailed = 23,
  kResultDnsResolveFailed = 24,
  kResultTooManyRedirects = 25,
  kResultServerClosedConnection = 26,
  kResultOtherTransferError = 27,
};

// The text of a result code: empty for 0, "Unknown error" for codes that
// are not in the table (and for 15 and 27, whose text it is). Never null.
const char* GetDownloadResultText(int code);

// True for 0 (downloaded) and 1 (already downloaded).
bool IsDownloadSuccess(int code);

// libcurl codes a segment's transfer ends with on purpose: 23 (the write
// function refused bytes past a complete or shortened range) and 42 (the
// progress function stopped the transfer). They and 0 are no failure and
// are neither logged nor mapped.
bool IsEngineCausedCurlCode(int curl_code);

// libcurl codes of TLS connect and verification failures (35, 51, 60),
// which count towards the switch to an alias host.
bool IsTlsCurlCode(int curl_code);

// The result for a libcurl code: 7 -> 2, 33 and 56 -> 3, 55 -> 4, 28 -> 22,
// 35, 51 and 60 -> 23, 6 -> 24, 47 -> 25, 52 -> 26, any other non-zero code
// -> 27; 0 -> 0. Callers skip the engine-caused codes first.
int32_t DownloadResultFromCurlCode(int curl_code);

// The result a finished segment sets, from its libcurl code and HTTP status:
// the mapped libcurl code unless engine-caused, then HTTP 416 overrides with
// 3 (range not satisfiable), and a timeout without any HTTP answer is 22.
// nullopt when the segment sets no result.
std::optional<int32_t> ResultForFinishedSegment(int curl_code, long http_status);

}  // namespace ns_PEM
