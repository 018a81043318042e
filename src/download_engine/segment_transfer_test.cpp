#include "download_engine/segment_transfer.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/log.h"
#include "support/child_process.h"
#include "support/http_test_server.h"
#include "support/log_capture.h"
#include "support/test_ca.h"
#include "support/test_clock.h"

namespace ns_PEM {
namespace {

using oru::testing::Fault;
using oru::testing::HttpServerOptions;
using oru::testing::HttpTestServer;
using oru::testing::TestCa;
using oru::testing::TestClock;
using oru::testing::WaitUntil;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr int64_t kFileSize = 300000;

std::string Pattern(int64_t size) {
  std::string s(static_cast<size_t>(size), '\0');
  for (int64_t i = 0; i < size; ++i) s[static_cast<size_t>(i)] = static_cast<char>((i * 131 + i / 251) & 0xff);
  return s;
}

// Records every positioned write into an image of the file; can be told to
// refuse writes from the n-th one on.
class RecordingWriter : public IFileWriter {
 public:
  struct Write {
    int64_t offset;
    int64_t length;
  };
  explicit RecordingWriter(int64_t size) : image_(static_cast<size_t>(size), '\0') {}

  int64_t WriteAt(int64_t offset, int64_t length, const char* data, bool) override {
    std::lock_guard lock(mu_);
    writes_.push_back({offset, length});
    if (fail_from_ > 0 && static_cast<int>(writes_.size()) >= fail_from_) return 0;
    if (offset < 0 || length < 0 || offset + length > static_cast<int64_t>(image_.size())) {
      out_of_bounds_ = true;
      return 0;
    }
    std::memcpy(image_.data() + offset, data, static_cast<size_t>(length));
    return length;
  }
  void FailFrom(int nth) {
    std::lock_guard lock(mu_);
    fail_from_ = nth;
  }
  std::vector<Write> writes() const {
    std::lock_guard lock(mu_);
    return writes_;
  }
  std::string image() const {
    std::lock_guard lock(mu_);
    return image_;
  }
  bool out_of_bounds() const {
    std::lock_guard lock(mu_);
    return out_of_bounds_;
  }

 private:
  mutable std::mutex mu_;
  std::string image_;
  std::vector<Write> writes_;
  int fail_from_ = 0;
  bool out_of_bounds_ = false;
};

// The process log, with counts per segment (the "easy=[%p]" tag of its lines).
class LogCapture : public oru::testing::LogCapture {
 public:
  // Lines of this segment that contain `text`.
  int Count(const void* segment, const std::string& text) const {
    char tag[64];
    snprintf(tag, sizeof(tag), "easy=[%p]", segment);
    int n = 0;
    for (const auto& l : Matching(tag)) n += l.find(text) != std::string::npos ? 1 : 0;
    return n;
  }
};

class SegmentTransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_DEFAULT); }

  void SetUp() override {
    ASSERT_TRUE(server_.ok()) << server_.error();
    server_.AddFile("/pkg.bin", data_);
  }

  std::unique_ptr<CSegmentTransfer> Make(int64_t begin, int64_t end, const std::string& url = "",
                                         const std::string& address = "", int32_t buffer = 16384,
                                         const std::string& ca = "") {
    auto seg = std::make_unique<CSegmentTransfer>(clock_, ca);
    EXPECT_TRUE(seg->Init(url.empty() ? server_.Url("/pkg.bin") : url, begin, end, address, "/tmp/pkg.bin.~P2S"));
    seg->SetTotalSize(kFileSize);
    seg->SetBufferSize(buffer);
    seg->SetWriter(&writer_);
    return seg;
  }

  static void WaitDone(const CSegmentTransfer& seg) {
    ASSERT_TRUE(WaitUntil([&] { return seg.IsDone(); }, seconds(30))) << "segment did not finish";
  }

  // Waits until libcurl called the progress function at least twice more.
  static void WaitForProgressCalls(const CSegmentTransfer& seg) {
    const uint64_t seen = seg.GetProgressCalls();
    ASSERT_TRUE(WaitUntil([&] { return seg.GetProgressCalls() >= seen + 2; }, seconds(10)));
  }

  void ExpectFileHolds(int64_t begin, int64_t length) {
    std::string image = writer_.image();
    EXPECT_TRUE(image.compare(static_cast<size_t>(begin), static_cast<size_t>(length), data_,
                              static_cast<size_t>(begin), static_cast<size_t>(length)) == 0)
        << "bytes " << begin << ".." << begin + length - 1 << " differ";
  }

  const std::string data_ = Pattern(kFileSize);
  LogCapture log_;
  TestClock clock_;
  HttpTestServer server_{HttpServerOptions().Addresses({"127.0.0.1", "127.0.0.2"})};
  RecordingWriter writer_{kFileSize};
};

TEST_F(SegmentTransferTest, FetchesTheRangeWithTheRightRangeHeader) {
  struct Case {
    int64_t begin;
    int64_t end;
    int32_t buffer;
    std::string range_header;
    int64_t length;
  };
  const Case cases[] = {
      {1000, 1999, 16384, "bytes=1000-1999", 1000},
      {0, -1, 16384, "bytes=0-", kFileSize},
      {0, -1, CSegmentTransfer::kDefaultBufferSize, "bytes=0-", kFileSize},
      {0, 0, 16384, "bytes=0-", 1},  // an end of 0 is left out; one byte is kept
      {250000, -1, 1000, "bytes=250000-", 50000},
      {299999, 299999, 16384, "bytes=299999-299999", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.range_header + " buffer " + std::to_string(c.buffer));
    server_.ClearLog();
    log_.Clear();  // a new segment may get the address of the last one
    auto seg = Make(c.begin, c.end, "", "", c.buffer);
    EXPECT_EQ(seg->GetStatus(), SegmentState::Created);
    EXPECT_EQ(seg->GetRemaining(), c.length);
    ASSERT_TRUE(seg->Start());
    EXPECT_FALSE(seg->Start());
    WaitDone(*seg);
    EXPECT_EQ(seg->GetStatus(), SegmentState::Succeeded) << log_.All();
    EXPECT_EQ(seg->GetDownloaded(), c.length);
    EXPECT_EQ(seg->GetSaveSize(), c.length);
    EXPECT_EQ(seg->GetRemaining(), 0);
    EXPECT_EQ(seg->GetHttpStatus(), 206);
    ExpectFileHolds(c.begin, c.length);
    ASSERT_EQ(server_.RequestCount("/pkg.bin"), 1);
    auto request = server_.RequestsFor("/pkg.bin")[0];
    EXPECT_EQ(request.range, c.range_header);
    EXPECT_EQ(request.Header("Accept-Encoding"), "identity");
    EXPECT_EQ(request.Header("Cache-Control"), "no-cache");
    EXPECT_EQ(request.Header("Pragma"), "no-cache");
    EXPECT_EQ(log_.Count(seg.get(), "success. range("), 1);
    EXPECT_EQ(log_.Count(seg.get(), ", status=[4], ip=[]"), 1);
  }
  EXPECT_FALSE(writer_.out_of_bounds());
}

TEST_F(SegmentTransferTest, PinnedAddressIsUsedForTheHostName) {
  const std::string url = server_.UrlOn("pkg.test", "/pkg.bin");
  auto seg = Make(0, 9999, url, "127.0.0.2");
  ASSERT_TRUE(seg->Start());
  WaitDone(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Succeeded) << log_.All();
  auto requests = server_.RequestsFor("/pkg.bin");
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].local_address, "127.0.0.2");
  EXPECT_EQ(requests[0].Header("Host"), "pkg.test:" + std::to_string(server_.port()));
  EXPECT_EQ(seg->GetAddress(), "127.0.0.2");
  EXPECT_EQ(log_.Count(seg.get(), "init, host=[127.0.0.2], range(0~9999)"), 1);
  EXPECT_EQ(log_.Count(seg.get(), "ip=[127.0.0.2]"), 1);
}

TEST_F(SegmentTransferTest, SetEndWhileRunningWritesNothingPastTheNewEnd) {
  server_.AddFault("/pkg.bin", Fault::StallAfter(50000), 1);
  auto seg = Make(0, kFileSize - 1, "", "", 16384);
  ASSERT_TRUE(seg->Start());
  ASSERT_TRUE(server_.WaitForStalls(1));
  ASSERT_TRUE(WaitUntil([&] { return seg->GetDownloaded() == 50000; }));
  seg->SetEnd(99999);
  EXPECT_EQ(seg->GetEnd(), 99999);
  EXPECT_EQ(seg->GetRemaining(), 50000);
  server_.ReleaseStalls();
  WaitDone(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Succeeded) << log_.All();
  EXPECT_EQ(seg->GetTransferResult(), CURLE_WRITE_ERROR);
  EXPECT_EQ(seg->GetDownloaded(), 100000);
  EXPECT_EQ(seg->GetSaveSize(), 100000);
  for (const auto& w : writer_.writes()) EXPECT_LE(w.offset + w.length, 100000) << "write at " << w.offset;
  ExpectFileHolds(0, 100000);
  EXPECT_EQ(writer_.image()[100000], '\0');
}

TEST_F(SegmentTransferTest, SetEndBelowTheSavedBytesTrimsTheCounters) {
  server_.AddFault("/pkg.bin", Fault::StallAfter(50000), 1);
  auto seg = Make(10000, kFileSize - 1, "", "", 1000);
  ASSERT_TRUE(seg->Start());
  ASSERT_TRUE(server_.WaitForStalls(1));
  ASSERT_TRUE(WaitUntil([&] { return seg->GetDownloaded() == 50000; }));
  const int64_t saved_before = seg->GetSaveSize();
  const size_t writes_before = writer_.writes().size();
  ASSERT_GT(saved_before, 30000);
  seg->SetEnd(39999);  // 30000 bytes from 10000
  EXPECT_EQ(seg->GetDownloaded(), 30000);
  EXPECT_EQ(seg->GetSaveSize(), 30000);
  EXPECT_EQ(log_.Count(seg.get(), "SetEnd adjusting m_nSaveSize from [" + std::to_string(saved_before) +
                                      "] to [30000]."),
            1);
  server_.ReleaseStalls();
  WaitDone(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Succeeded) << log_.All();
  EXPECT_EQ(seg->GetSaveSize(), 30000);
  auto writes = writer_.writes();
  EXPECT_EQ(writes.size(), writes_before) << "nothing may be written after the range shrank below the saved bytes";
}

TEST_F(SegmentTransferTest, CancelStopsTheTransferAndKeepsTheReceivedBytes) {
  server_.AddFault("/pkg.bin", Fault::StallAfter(70000), 1);
  auto seg = Make(0, kFileSize - 1, "", "", 1 << 20);
  EXPECT_FALSE(seg->Cancel()) << "a segment that never started cannot be cancelled";
  ASSERT_TRUE(seg->Start());
  ASSERT_TRUE(server_.WaitForStalls(1));
  ASSERT_TRUE(WaitUntil([&] { return seg->GetDownloaded() == 70000; }));
  EXPECT_EQ(seg->GetSaveSize(), 0);  // still in the buffer
  EXPECT_TRUE(seg->Cancel());
  EXPECT_EQ(seg->GetStatus(), SegmentState::Cancelled);
  EXPECT_FALSE(seg->Cancel());
  WaitDone(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Cancelled);
  EXPECT_EQ(seg->GetTransferResult(), CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(seg->GetSaveSize(), 70000) << "the buffer is flushed when the transfer stops";
  ExpectFileHolds(0, 70000);
  EXPECT_EQ(log_.Count(seg.get(), "cancel, range("), 0);
  EXPECT_EQ(log_.Count(seg.get(), "status=[3]"), 1);
}

TEST_F(SegmentTransferTest, DestructorCancelsAndJoinsARunningTransfer) {
  server_.AddFault("/pkg.bin", Fault::StallAfter(1000));
  auto seg = Make(0, kFileSize - 1);
  ASSERT_TRUE(seg->Start());
  ASSERT_TRUE(server_.WaitForStalls(1));
  seg.reset();
  SUCCEED();
}

TEST_F(SegmentTransferTest, NoDataForMoreThanTenClockSecondsFailsTheSegment) {
  server_.AddFault("/pkg.bin", Fault::StallAfter(1000), 1);
  auto seg = Make(0, kFileSize - 1);
  ASSERT_TRUE(seg->Start());
  ASSERT_TRUE(server_.WaitForStalls(1));
  ASSERT_TRUE(WaitUntil([&] { return seg->GetDownloaded() == 1000; }));
  WaitForProgressCalls(*seg);
  clock_.Advance(seconds(10));  // exactly 10 s: not more than the limit
  WaitForProgressCalls(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Running);
  clock_.Advance(milliseconds(1));
  WaitDone(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Failed);
  EXPECT_EQ(seg->GetTransferResult(), CURLE_ABORTED_BY_CALLBACK);
  EXPECT_EQ(seg->GetSaveSize(), 1000);
  EXPECT_EQ(log_.Count(seg.get(), "failed! range(0~299999), downloaded=[1000], undownloaded=[299000], saved=[1000]"),
            1)
      << log_.All();
}

TEST_F(SegmentTransferTest, StallRuleWaitsForTheFirstData) {
  server_.AddFault("/pkg.bin", Fault::StallAfter(0), 1);
  auto seg = Make(0, kFileSize - 1);
  ASSERT_TRUE(seg->Start());
  ASSERT_TRUE(server_.WaitForStalls(1));
  WaitForProgressCalls(*seg);
  clock_.Advance(seconds(60));
  WaitForProgressCalls(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Running);
}

TEST_F(SegmentTransferTest, ShortAnswersFailWithThePartialCountSaved) {
  struct Case {
    const char* name;
    Fault fault;
    int32_t curl_code;
    const char* log_text;
  };
  const Case cases[] = {
      {"dropped connection", Fault::DropAfter(100000), CURLE_PARTIAL_FILE, "curl_easy_perform failed! err=[18]"},
      {"short body, normal close", Fault::WrongLength(100000), CURLE_OK, "there is some abnormality."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    int id = server_.AddFault("/pkg.bin", c.fault);
    auto seg = Make(0, kFileSize - 1, "", "", 65536);
    ASSERT_TRUE(seg->Start());
    WaitDone(*seg);
    EXPECT_EQ(seg->GetStatus(), SegmentState::Failed);
    EXPECT_EQ(seg->GetTransferResult(), c.curl_code);
    EXPECT_EQ(seg->GetDownloaded(), 100000);
    EXPECT_EQ(seg->GetSaveSize(), 100000);
    EXPECT_EQ(seg->GetRemaining(), 200000);
    EXPECT_EQ(log_.Count(seg.get(), c.log_text), 1) << log_.All();
    ExpectFileHolds(0, 100000);
    server_.RemoveFault(id);
  }
}

TEST_F(SegmentTransferTest, BadStatusesAndIgnoredRangesFail) {
  struct Case {
    const char* name;
    std::optional<Fault> fault;
    int64_t begin;
    int64_t end;
    SegmentState state;
    int32_t curl_code;
    int32_t http_status;
    int64_t saved;
  };
  const Case cases[] = {
      {"404", Fault::Status(404), 0, 999, SegmentState::Failed, CURLE_HTTP_RETURNED_ERROR, 404, 0},
      {"500", Fault::Status(500), 0, 999, SegmentState::Failed, CURLE_HTTP_RETURNED_ERROR, 500, 0},
      {"range past the end", std::nullopt, kFileSize, kFileSize + 999, SegmentState::Failed,
       CURLE_HTTP_RETURNED_ERROR, 416, 0},
      {"whole file for a later range", Fault::IgnoreRange(), 1000, 1999, SegmentState::Failed, CURLE_WRITE_ERROR, 416,
       0},
      {"whole file for a range from 0", Fault::IgnoreRange(), 0, 999, SegmentState::Succeeded, CURLE_WRITE_ERROR, 200,
       1000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int id = c.fault ? server_.AddFault("/pkg.bin", *c.fault) : 0;
    RecordingWriter writer(kFileSize + 1000);
    auto seg = Make(c.begin, c.end);
    seg->SetWriter(&writer);
    ASSERT_TRUE(seg->Start());
    WaitDone(*seg);
    EXPECT_EQ(seg->GetStatus(), c.state) << log_.All();
    EXPECT_EQ(seg->GetTransferResult(), c.curl_code);
    EXPECT_EQ(seg->GetHttpStatus(), c.http_status);
    EXPECT_EQ(seg->GetSaveSize(), c.saved);
    if (c.saved == 0) {
      EXPECT_TRUE(writer.writes().empty()) << "nothing may be written for a failed answer";
    }
    server_.RemoveFault(id);
  }
  EXPECT_NE(log_.All().find("range ignored by server, http code=[200], range(1000~1999)."), std::string::npos);
}

TEST_F(SegmentTransferTest, FailedWriteFailsTheSegmentAndStopsWriting) {
  writer_.FailFrom(2);
  auto seg = Make(0, kFileSize - 1, "", "", 16384);
  ASSERT_TRUE(seg->Start());
  WaitDone(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Failed);
  EXPECT_EQ(seg->GetTransferResult(), CURLE_WRITE_ERROR);
  auto writes = writer_.writes();
  ASSERT_EQ(writes.size(), 2u) << "no write may follow a failed one (its offset would be wrong)";
  EXPECT_EQ(seg->GetSaveSize(), writes[0].length) << "only the first block reached the file";
  EXPECT_EQ(writes[1].offset, writes[0].length);
  EXPECT_EQ(log_.Count(seg.get(), "write failed! offset=[" + std::to_string(writes[0].length) + "]"), 1)
      << log_.All();
}

TEST_F(SegmentTransferTest, FailedFinalFlushIsNotASuccess) {
  writer_.FailFrom(1);
  auto seg = Make(0, 999, "", "", 1 << 20);  // everything stays in the buffer until the end
  ASSERT_TRUE(seg->Start());
  WaitDone(*seg);
  EXPECT_EQ(seg->GetDownloaded(), 1000);
  EXPECT_EQ(seg->GetSaveSize(), 0);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Failed);
  EXPECT_EQ(log_.Count(seg.get(), "success."), 0);
}

TEST_F(SegmentTransferTest, RedirectsAreLimitedAndStayOnHttp) {
  server_.AddFault("/moved", Fault::Redirect(server_.Url("/pkg.bin")));
  server_.AddFault("/loop", Fault::Redirect(server_.Url("/loop")));
  server_.AddFault("/file", Fault::Redirect("file:///etc/passwd"));
  server_.AddFault("/ftp", Fault::Redirect("ftp://127.0.0.1/pkg.bin"));

  auto moved = Make(0, 999, server_.Url("/moved"));
  ASSERT_TRUE(moved->Start());
  WaitDone(*moved);
  EXPECT_EQ(moved->GetStatus(), SegmentState::Succeeded) << log_.All();
  EXPECT_EQ(moved->GetEffectiveUrl(), server_.Url("/pkg.bin"));
  EXPECT_EQ(log_.Count(moved.get(), "effective url=[" + server_.Url("/pkg.bin") + "]."), 1);

  auto loop = Make(0, 999, server_.Url("/loop"));
  ASSERT_TRUE(loop->Start());
  WaitDone(*loop);
  EXPECT_EQ(loop->GetStatus(), SegmentState::Failed);
  EXPECT_EQ(loop->GetTransferResult(), CURLE_TOO_MANY_REDIRECTS);
  EXPECT_EQ(server_.RequestCount("/loop"), CSegmentTransfer::kMaxRedirects + 1);

  for (const char* path : {"/file", "/ftp"}) {
    SCOPED_TRACE(path);
    auto seg = Make(0, 999, server_.Url(path));
    ASSERT_TRUE(seg->Start());
    WaitDone(*seg);
    EXPECT_EQ(seg->GetStatus(), SegmentState::Failed);
    EXPECT_EQ(seg->GetTransferResult(), CURLE_UNSUPPORTED_PROTOCOL);
    EXPECT_EQ(seg->GetSaveSize(), 0);
  }
}

TEST_F(SegmentTransferTest, SizesPastFourGibibytesStayExact) {
  constexpr int64_t kHuge = 6LL << 30;
  server_.AddFault("/pkg.bin", Fault::WrongLength(kHuge));
  auto seg = std::make_unique<CSegmentTransfer>(clock_, "");
  ASSERT_TRUE(seg->Init(server_.Url("/pkg.bin"), 5LL << 30, -1, "", "/tmp/x"));
  seg->SetTotalSize(kHuge);
  seg->SetWriter(&writer_);
  EXPECT_EQ(seg->GetEnd(), kHuge - 1);
  EXPECT_EQ(seg->GetRemaining(), 1LL << 30);
  ASSERT_TRUE(seg->Start());
  WaitDone(*seg);
  EXPECT_EQ(seg->GetStatus(), SegmentState::Failed);  // the server has no such bytes
  ASSERT_EQ(server_.RequestCount("/pkg.bin"), 1);
  EXPECT_EQ(server_.RequestsFor("/pkg.bin")[0].range, "bytes=5368709120-");
  EXPECT_EQ(log_.Count(seg.get(), "range(5368709120~-1)"), 3) << log_.All();  // init, failed!, summary
}

class SegmentTransferTlsTest : public SegmentTransferTest {
 protected:
  void SetUp() override {
    SegmentTransferTest::SetUp();
    ASSERT_TRUE(ca_.ok()) << ca_.error();
  }
  TestCa ca_;
};

TEST_F(SegmentTransferTlsTest, VerifiesTheServerAgainstTheGivenBundle) {
  struct Case {
    const char* name;
    TestCa::Kind kind;
    bool with_bundle;
    SegmentState state;
    int32_t curl_code;  // of a failure (a complete range may also end with 42 from the progress call)
  };
  const Case cases[] = {
      {"trusted", TestCa::Kind::kValid, true, SegmentState::Succeeded, CURLE_OK},
      {"default store", TestCa::Kind::kValid, false, SegmentState::Failed, CURLE_PEER_FAILED_VERIFICATION},
      {"self-signed", TestCa::Kind::kSelfSigned, true, SegmentState::Failed, CURLE_PEER_FAILED_VERIFICATION},
  };
  int serial = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_.Clear();
    auto tls = ca_.IssueLeaf("pkg" + std::to_string(++serial), {"pkg.test"}, c.kind);
    HttpTestServer https(HttpServerOptions().Addresses({"127.0.0.3"}).Tls(tls));
    ASSERT_TRUE(https.ok()) << https.error();
    https.AddFile("/pkg.bin", data_);
    RecordingWriter writer(kFileSize);
    auto seg = Make(0, 99999, https.UrlOn("pkg.test", "/pkg.bin"), "127.0.0.3", 16384,
                    c.with_bundle ? ca_.bundle_path() : "");
    seg->SetWriter(&writer);
    ASSERT_TRUE(seg->Start());
    WaitDone(*seg);
    EXPECT_EQ(seg->GetStatus(), c.state) << log_.All();
    if (c.state == SegmentState::Failed) {
      EXPECT_EQ(seg->GetTransferResult(), c.curl_code);
    }
    EXPECT_EQ(seg->GetSaveSize(), c.state == SegmentState::Succeeded ? 100000 : 0);
    EXPECT_EQ(log_.Count(seg.get(), "ssl verify result=["), c.state == SegmentState::Succeeded ? 0 : 1);
  }
}

}  // namespace
}  // namespace ns_PEM
