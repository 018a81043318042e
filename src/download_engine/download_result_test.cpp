#include "download_engine/download_result.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace ns_PEM {
namespace {

TEST(DownloadResultTest, TextsOfEveryCode) {
  const char* const expected[] = {
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
  for (int code = 0; code < 28; ++code) EXPECT_EQ(std::string(GetDownloadResultText(code)), expected[code]) << code;
  for (int code : {28, 99, -1, -255, 1 << 30}) EXPECT_STREQ(GetDownloadResultText(code), "Unknown error") << code;
  EXPECT_STREQ(GetDownloadResultText(kResultMd5Failed), "MD5 verification failed");
}

TEST(DownloadResultTest, OnlyZeroAndOneAreSuccess) {
  EXPECT_TRUE(IsDownloadSuccess(kResultSuccess));
  EXPECT_TRUE(IsDownloadSuccess(kResultAlreadyDownloaded));
  for (int code : {-1, 2, 9, 13, 27, 100}) EXPECT_FALSE(IsDownloadSuccess(code)) << code;
}

TEST(DownloadResultTest, MapsLibcurlCodes) {
  struct Case {
    int curl;
    int32_t result;
  };
  const Case cases[] = {
      {0, 0},   {7, 2},   {56, 3},  {33, 3},  {55, 4},  {28, 22}, {35, 23}, {51, 23},
      {60, 23}, {6, 24},  {47, 25}, {52, 26}, {1, 27},  {22, 27}, {18, 27}, {77, 27},
  };
  for (const Case& c : cases) EXPECT_EQ(DownloadResultFromCurlCode(c.curl), c.result) << "curl " << c.curl;

  for (int code : {35, 51, 60}) EXPECT_TRUE(IsTlsCurlCode(code)) << code;
  for (int code : {0, 7, 58, 77}) EXPECT_FALSE(IsTlsCurlCode(code)) << code;
  EXPECT_TRUE(IsEngineCausedCurlCode(23));
  EXPECT_TRUE(IsEngineCausedCurlCode(42));
  EXPECT_FALSE(IsEngineCausedCurlCode(0));
  EXPECT_FALSE(IsEngineCausedCurlCode(22));
}

TEST(DownloadResultTest, FinishedSegmentResult) {
  struct Case {
    int curl;
    long http;
    std::optional<int32_t> result;
  };
  const Case cases[] = {
      {0, 206, std::nullopt},   // a complete range
      {23, 206, std::nullopt},  // shortened by a split
      {42, 206, std::nullopt},  // stopped by the progress function
      {7, 0, 2},
      {56, 206, 3},
      {22, 416, 3},   // range not satisfiable, whatever libcurl said
      {0, 416, 3},
      {28, 0, 22},    // timed out before any answer
      {28, 206, 22},
      {22, 404, 27},  // an HTTP error status
      {60, 0, 23},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ResultForFinishedSegment(c.curl, c.http), c.result) << "curl " << c.curl << ", http " << c.http;
  }
}

}  // namespace
}  // namespace ns_PEM
