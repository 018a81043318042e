#include "download_engine/file_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "download_engine/download_result.h"
#include "platform/download_file.h"
#include "platform/process_util.h"
#include "support/child_process.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"
#include "support/tmpfs_fixture.h"

namespace ns_PEM {
namespace {

namespace fs = std::filesystem;
using oru::testing::ChildOptions;
using oru::testing::ChildProcess;
using oru::testing::ReadFileForTesting;
using oru::testing::ScopedTempDir;
using oru::testing::TestClock;
using oru::testing::TmpfsMount;
using oru::testing::WaitUntil;
using oru::testing::WriteFileForTesting;
using std::chrono::milliseconds;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kGiB = int64_t{1} << 30;
constexpr char kAbcMd5[] = "900150983CD24FB0D6963F7D28E17F72";

class LogCapture : public oru::LogSink {
 public:
  void LogV(int /*level*/, const char* format, va_list args) override {
    char buf[4096];
    std::vsnprintf(buf, sizeof buf, format, args);
    std::lock_guard lock(mutex_);
    lines_.emplace_back(buf);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  // Number of lines that contain `needle`.
  size_t Count(const std::string& needle) const {
    size_t n = 0;
    for (const std::string& line : Lines()) n += line.find(needle) != std::string::npos ? 1 : 0;
    return n;
  }
  bool Has(const std::string& needle) const { return Count(needle) > 0; }
  // Index of the first line equal to `line`, or -1.
  int IndexOf(const std::string& line) const {
    std::vector<std::string> lines = Lines();
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i] == line) return static_cast<int>(i);
    }
    return -1;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

std::string Int64Le(int64_t value) {
  std::string out;
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xff));
  return out;
}

std::string Record(const std::vector<ByteRange>& entries, int64_t n) {
  std::string out;
  for (const auto& [begin, end] : entries) out += Int64Le(begin) + Int64Le(end);
  return out + Int64Le(n);
}

int64_t SizeOf(const std::string& path) { return static_cast<int64_t>(fs::file_size(path)); }

// A sparse file of `size` bytes (nothing allocated), for the > 2 GiB cases.
void MakeSparseFile(const std::string& path, int64_t size) {
  oru::DownloadFile file;
  ASSERT_EQ(file.CreateAlways(path), 0);
  ASSERT_EQ(file.SetEnd(size), 0);
}

class FileStoreTest : public ::testing::Test {
 protected:
  FileStoreTest()
      : store_(
            clock_,
            [this](DownloadEvent event) {
              std::lock_guard lock(mutex_);
              events_.push_back(std::move(event));
            },
            [this](int32_t result) {
              std::lock_guard lock(mutex_);
              results_.push_back(result);
            }) {}

  void SetUp() override { oru::SetProcessLog(&log_); }
  void TearDown() override { oru::SetProcessLog(nullptr); }

  std::vector<int32_t> Results() {
    std::lock_guard lock(mutex_);
    return results_;
  }
  std::vector<DownloadEvent> Events() {
    std::lock_guard lock(mutex_);
    return events_;
  }
  // (value, value2) of every FileError event.
  std::vector<std::pair<int64_t, int64_t>> FileErrors() {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const DownloadEvent& e : Events()) {
      if (e.type == DownloadEventType::FileError) out.emplace_back(e.value, e.value2);
    }
    return out;
  }
  std::vector<DownloadEventType> EventTypes() {
    std::vector<DownloadEventType> out;
    for (const DownloadEvent& e : Events()) out.push_back(e.type);
    return out;
  }
  void ClearRecorded() {
    std::lock_guard lock(mutex_);
    events_.clear();
    results_.clear();
  }
  // Whether the hidden marker can be stored in the test folder.
  bool XattrsSupported() {
    std::string probe = dir_.Child("xattr-probe");
    WriteFileForTesting(probe, "");
    bool ok = oru::SetFileHidden(probe, true);
    fs::remove(probe);
    return ok;
  }
  // Waits until the worker sleeps, checks that it waits `expected`, and
  // lets that time pass.
  void ExpectSleepAndAdvance(milliseconds expected) {
    ASSERT_TRUE(clock_.WaitForSleepers(1)) << "no sleep of " << expected.count() << " ms";
    EXPECT_EQ(clock_.NextDeadline() - clock_.NowTicks(), expected);
    clock_.Advance(expected);
  }

  TestClock clock_;
  LogCapture log_;
  ScopedTempDir dir_;
  std::mutex mutex_;
  std::vector<DownloadEvent> events_;
  std::vector<int32_t> results_;
  CDownloadFileStore store_;
};

TEST(FileStorePathTest, TempPathIsFinalPathWithSuffix) {
  EXPECT_EQ(TempPathFor("/opt/pkg/setup.exe"), "/opt/pkg/setup.exe.~P2S");
}

// ---- Creating the temporary file

TEST_F(FileStoreTest, CreateTempFileMakesHiddenPreSizedFileInNewFolders) {
  std::string path = dir_.Child("a/b/setup.exe.~P2S");
  ASSERT_TRUE(store_.CreateTempFile(path, 3 * kMiB + 1));
  EXPECT_EQ(SizeOf(path), 3 * kMiB + 1);
  EXPECT_EQ(ReadFileForTesting(path), std::string(static_cast<size_t>(3 * kMiB + 1), '\0'));
  if (XattrsSupported()) {
    EXPECT_TRUE(oru::IsFileHidden(path));
  }
  EXPECT_EQ(log_.Count("[INFO] create file=[" + path + "], hFile=["), 1u);
  EXPECT_EQ(log_.IndexOf("[INFO] multi, create tmp file=[" + path + "], ret=[0][0]."), 1);
  EXPECT_TRUE(Results().empty());
  EXPECT_TRUE(Events().empty());
  EXPECT_FALSE(store_.IsTempFileOpen()) << "created and closed again";
}

TEST_F(FileStoreTest, CreateTempFileReplacesOldFilesButNeverFollowsLinks) {
  std::string path = dir_.Child("setup.exe.~P2S");
  WriteFileForTesting(path, std::string(5000, 'x'));
  ASSERT_TRUE(store_.CreateTempFile(path, 100));
  EXPECT_EQ(ReadFileForTesting(path), std::string(100, '\0')) << "old data and record are gone";

  std::string victim = dir_.Child("victim");
  WriteFileForTesting(victim, "keep me");
  fs::remove(path);
  fs::create_symlink(victim, path);
  ASSERT_TRUE(store_.CreateTempFile(path, 100));
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(SizeOf(path), 100);
  EXPECT_EQ(ReadFileForTesting(victim), "keep me");
}

TEST_F(FileStoreTest, CreateTempFileFailuresSetResult9) {
  struct Case {
    const char* name;
    std::string path;
    int error;
  };
  fs::create_directories(dir_.Child("busy.~P2S/inside"));
  WriteFileForTesting(dir_.Child("plainfile"), "x");
  const Case cases[] = {
      {"empty path", "", 0},
      {"a non-empty folder is in the way", dir_.Child("busy.~P2S"), EISDIR},
      {"a folder level is a file", dir_.Child("plainfile/setup.exe.~P2S"), ENOTDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecorded();
    EXPECT_FALSE(store_.CreateTempFile(c.path, 1000));
    EXPECT_EQ(Results(), std::vector<int32_t>{kResultFileOperationFailed});
    EXPECT_EQ(FileErrors(), (std::vector<std::pair<int64_t, int64_t>>{{kFileErrorCreateFailed, c.error}}));
    int code = c.path.empty() ? 3 : 1;
    EXPECT_TRUE(log_.Has("[INFO] multi, create tmp file=[" + c.path + "], ret=[" + std::to_string(code) + "][" +
                         std::to_string(c.error) + "]."));
  }
  EXPECT_EQ(log_.Count("[ERROR] multi, create null file failed!"), 3u);
  EXPECT_TRUE(log_.Has("[WARN] before create, delete file=[" + dir_.Child("busy.~P2S") + "], error=[" +
                       std::to_string(EISDIR) + "]."));
  EXPECT_TRUE(fs::exists(dir_.Child("busy.~P2S/inside"))) << "a folder is never removed";
}

TEST_F(FileStoreTest, CreateTempFileOnFullDiskGivesResult10) {
  TmpfsMount disk(4 * kMiB);
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();
  std::string path = disk.path() + "/setup.exe.~P2S";

  EXPECT_FALSE(store_.CreateTempFile(path, 8 * kMiB));
  EXPECT_EQ(Results(), std::vector<int32_t>{kResultInsufficientDiskSpace});
  EXPECT_EQ(FileErrors(), (std::vector<std::pair<int64_t, int64_t>>{{kFileErrorDiskFull, ENOSPC}}));
  EXPECT_TRUE(log_.Has("[INFO] multi, create tmp file=[" + path + "], ret=[2][" + std::to_string(ENOSPC) + "]."));
  EXPECT_TRUE(log_.Has("[ERROR] multi, disk space not enough!"));
  EXPECT_FALSE(fs::exists(path)) << "the partial file is deleted";

  EXPECT_TRUE(store_.CreateTempFile(path, 3 * kMiB)) << "a file that fits is claimed in full";
  EXPECT_FALSE(store_.CreateTempFile(disk.path() + "/second.~P2S", 2 * kMiB));
}

// ---- Writes

TEST_F(FileStoreTest, WriteAtWritesWholeLengthOnlyWhileOpen) {
  std::string path = dir_.Child("setup.exe.~P2S");
  ASSERT_TRUE(store_.CreateTempFile(path, 10));
  EXPECT_EQ(store_.WriteAt(0, 3, "abc", false), 0) << "nothing open yet";
  EXPECT_FALSE(store_.CloseTempFile());

  ASSERT_TRUE(store_.OpenTempFile(path));
  EXPECT_TRUE(store_.IsTempFileOpen());
  EXPECT_EQ(store_.WriteAt(7, 3, "xyz", false), 3);
  EXPECT_EQ(store_.WriteAt(0, 3, "abc", false), 3);
  EXPECT_EQ(store_.WriteAt(12, 2, "ee", true), 2);
  EXPECT_EQ(store_.WriteAt(3, 1, "d", true), 1) << "set-end cuts the file after the bytes";
  ASSERT_TRUE(store_.CloseTempFile());
  EXPECT_EQ(log_.Count("[INFO] multi, flush file buffers ok, cost=[0]ms."), 1u);
  EXPECT_FALSE(store_.CloseTempFile());
  EXPECT_EQ(store_.WriteAt(0, 1, "z", false), 0) << "never a write on a closed file";
  EXPECT_EQ(ReadFileForTesting(path), std::string("abcd"));
  EXPECT_FALSE(store_.OpenTempFile(dir_.Child("missing")));
}

TEST_F(FileStoreTest, FailedWritesAreLoggedAndCountNothing) {
  TmpfsMount disk(4 * kMiB);
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();
  std::string path = disk.path() + "/setup.exe.~P2S";
  MakeSparseFile(path, 8 * kMiB);  // space not claimed: the disk runs full mid-write
  ASSERT_TRUE(store_.OpenTempFile(path));

  std::string data(static_cast<size_t>(6 * kMiB), 'd');
  EXPECT_EQ(store_.WriteAt(0, static_cast<int64_t>(data.size()), data.data(), false), 0);
  EXPECT_TRUE(log_.Has("[ERROR] multi, write file data failed! write size=[6291456], err=[" + std::to_string(ENOSPC) +
                       "]."));
  EXPECT_EQ(store_.WriteAt(-5, 1, "x", false), 0);
  EXPECT_TRUE(log_.Has("[ERROR] multi, write file data failed! seek failed, err=[" + std::to_string(EINVAL) + "]."));
  EXPECT_EQ(store_.WriteAt(0, 1, "x", false), 1) << "the store stays usable";
}

// ---- Resume record

TEST_F(FileStoreTest, ResumeRecordRoundTripWithLayout) {
  std::string path = dir_.Child("setup.exe.~P2S");
  ASSERT_TRUE(store_.CreateTempFile(path, 1000));
  ASSERT_TRUE(store_.OpenTempFile(path));

  ASSERT_TRUE(store_.WriteResumeRecord({{500, 999}, {200, 199}, {10, 99}}, 1000)) << "(200,199) has nothing left";
  EXPECT_EQ(ReadFileForTesting(path).substr(1000), Record({{500, 999}, {10, 99}}, 2)) << "in the given order";
  std::map<int64_t, int64_t> ranges;
  ASSERT_TRUE(store_.ReadResumeRecord(path, 1000, ranges));
  EXPECT_EQ(ranges, (std::map<int64_t, int64_t>{{10, 99}, {500, 999}}));

  ASSERT_TRUE(store_.WriteResumeRecord({{700, 999}}, 1000));
  EXPECT_EQ(SizeOf(path), 1000 + 16 + 8) << "a shorter record leaves no old tail behind";
  ASSERT_TRUE(store_.ReadResumeRecord(path, 1000, ranges));
  EXPECT_EQ(ranges, (std::map<int64_t, int64_t>{{700, 999}}));

  store_.CloseTempFile();
  EXPECT_EQ(store_.RemoveResumeRecord(path, 1000), 0);
  EXPECT_EQ(SizeOf(path), 1000);
  EXPECT_FALSE(store_.ReadResumeRecord(path, 1000, ranges)) << "length == total: no record";
  EXPECT_TRUE(ranges.empty());

  fs::resize_file(path, 900);
  EXPECT_EQ(store_.RemoveResumeRecord(path, 1000), 0);
  EXPECT_EQ(SizeOf(path), 900) << "a short file is never extended to look complete";
  EXPECT_EQ(store_.RemoveResumeRecord(dir_.Child("missing"), 1000), ENOENT);
}

TEST_F(FileStoreTest, ResumeRecordKeeps64BitOffsets) {
  const int64_t total = 5 * kGiB + 7;
  std::string path = dir_.Child("big.~P2S");
  MakeSparseFile(path, total);
  ASSERT_TRUE(store_.OpenTempFile(path));
  const std::vector<ByteRange> unfinished = {{2 * kGiB + 5, 3 * kGiB}, {4 * kGiB, total - 1}};
  ASSERT_TRUE(store_.WriteResumeRecord(unfinished, total));
  EXPECT_EQ(SizeOf(path), total + 40);

  oru::DownloadFile file;
  ASSERT_EQ(file.OpenReadOnly(path), 0);
  std::string tail(40, '\0');
  ASSERT_EQ(file.ReadAt(total, tail.data(), 40).bytes, 40);
  EXPECT_EQ(tail, Record(unfinished, 2));

  std::map<int64_t, int64_t> ranges;
  ASSERT_TRUE(store_.ReadResumeRecord(path, total, ranges));
  EXPECT_EQ(ranges, (std::map<int64_t, int64_t>{{2 * kGiB + 5, 3 * kGiB}, {4 * kGiB, total - 1}}));
}

TEST_F(FileStoreTest, WriteResumeRecordRefusesRecordsThatCouldNotBeRead) {
  std::string path = dir_.Child("setup.exe.~P2S");
  ASSERT_TRUE(store_.CreateTempFile(path, 1000));
  EXPECT_FALSE(store_.WriteResumeRecord({{0, 9}}, 1000)) << "nothing open";
  EXPECT_TRUE(log_.Has("[ERROR] multi, write cache info failed! write count."));

  ASSERT_TRUE(store_.OpenTempFile(path));
  const std::vector<std::vector<ByteRange>> refused = {
      {},                    // nothing unfinished
      {{5, 4}, {600, 599}},  // only finished ranges
      {{0, 9}, {990, 1000}}, // past the last byte
      {{-1, 9}},
  };
  for (const auto& ranges : refused) {
    EXPECT_FALSE(store_.WriteResumeRecord(ranges, 1000));
    EXPECT_EQ(SizeOf(path), 1000) << "nothing written";
  }
  EXPECT_FALSE(store_.WriteResumeRecord({{0, 9}}, 0));
}

TEST_F(FileStoreTest, ReadResumeRecordAcceptsOnlyWholeValidRecords) {
  const int64_t total = 100;
  const std::string data(static_cast<size_t>(total), 'p');
  struct Case {
    const char* name;
    std::string file;
    bool ok;
    std::map<int64_t, int64_t> ranges;
  };
  const Case cases[] = {
      {"valid", data + Record({{50, 99}, {0, 9}}, 2), true, {{0, 9}, {50, 99}}},
      {"whole file unfinished", data + Record({{0, 99}}, 1), true, {{0, 99}}},
      {"no record", data, false, {}},
      {"file shorter than the data", data.substr(50), false, {}},
      {"second entry begin > end", data + Record({{0, 9}, {60, 50}}, 2), false, {}},
      {"lengths sum beyond total", data + Record({{0, 79}, {20, 99}}, 2), false, {}},
      {"end is the total size", data + Record({{90, 100}}, 1), false, {}},
      {"end beyond the file", data + Record({{90, 5000}}, 1), false, {}},
      {"negative begin", data + Record({{-10, 9}}, 1), false, {}},
      {"trailing garbage", data + Record({{0, 9}}, 1) + "xyz", false, {}},
      {"count larger than the entries", data + Record({{0, 9}, {20, 29}}, 3), false, {}},
      {"count smaller than the entries", data + Record({{0, 9}, {20, 29}}, 1), false, {}},
      {"count zero", data + Record({}, 0), false, {}},
      {"count negative", data + Record({{0, 9}}, -1), false, {}},
      {"count huge", data + Record({{0, 9}}, int64_t{1} << 62), false, {}},
      {"overlapping entries are merged", data + Record({{10, 49}, {30, 59}}, 2), true, {{10, 59}}},
      {"a repeated begin loses no range", data + Record({{10, 49}, {10, 19}}, 2), true, {{10, 49}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.Child("rec.~P2S");
    WriteFileForTesting(path, c.file);
    std::map<int64_t, int64_t> ranges = {{1, 2}};
    EXPECT_EQ(store_.ReadResumeRecord(path, total, ranges), c.ok);
    EXPECT_EQ(ranges, c.ranges);
  }
  std::map<int64_t, int64_t> ranges;
  EXPECT_FALSE(store_.ReadResumeRecord(dir_.Child("missing"), total, ranges));
}

// ---- Checks

TEST_F(FileStoreTest, CheckFileSizeReportsMismatchesIn64Bits) {
  std::string path = dir_.Child("setup.exe");
  WriteFileForTesting(path, "12345");
  EXPECT_TRUE(store_.CheckFileSize(path, 5, true));
  EXPECT_FALSE(store_.CheckFileSize(path, 6, false));
  EXPECT_TRUE(Events().empty());
  EXPECT_TRUE(Results().empty());

  EXPECT_FALSE(store_.CheckFileSize(path, 6, true));
  EXPECT_TRUE(log_.Has("[ERROR] multi, check file size incorrect! local_size=[5], dst_size=[6]"));
  EXPECT_FALSE(store_.CheckFileSize(dir_.Child("missing"), 6, true));
  EXPECT_TRUE(log_.Has("[ERROR] multi, check file size incorrect! local_size=[0], dst_size=[6]"));
  std::string big = dir_.Child("big");
  MakeSparseFile(big, 3 * kGiB);
  EXPECT_FALSE(store_.CheckFileSize(big, 5 * kGiB, true));
  EXPECT_TRUE(log_.Has("[ERROR] multi, check file size incorrect! local_size=[3221225472], dst_size=[5368709120]"));

  EXPECT_EQ(Results(), (std::vector<int32_t>{kResultFileSizeError, kResultFileSizeError, kResultFileSizeError}));
  EXPECT_EQ(FileErrors(), (std::vector<std::pair<int64_t, int64_t>>{
                              {kFileErrorSizeMismatch, 0}, {kFileErrorSizeMismatch, ENOENT}, {kFileErrorSizeMismatch, 0}}));
}

TEST(FileStoreMd5Test, DigestsOfKnownContents) {
  ScopedTempDir dir;
  WriteFileForTesting(dir.Child("abc"), "abc");
  WriteFileForTesting(dir.Child("empty"), "");
  std::string pattern;
  for (int64_t i = 0; i < 5 * kMiB / 2 + 13; ++i) pattern.push_back(static_cast<char>((i * 7) % 251));
  WriteFileForTesting(dir.Child("pattern"), pattern);

  EXPECT_EQ(ComputeFileMd5(dir.Child("abc")), kAbcMd5);
  EXPECT_EQ(ComputeFileMd5(dir.Child("empty")), "D41D8CD98F00B204E9800998ECF8427E");
  EXPECT_EQ(ComputeFileMd5(dir.Child("pattern")), "7301CAB52F14D8D93901C7CE17733B6D") << "several blocks";
  EXPECT_EQ(ComputeFileMd5(dir.Child("missing")), "");
}

TEST_F(FileStoreTest, CheckFileMd5MatchesAnyDigestInServerText) {
  std::string path = dir_.Child("setup.exe");
  WriteFileForTesting(path, "abc");
  const std::string other = "0123456789ABCDEF0123456789ABCDEF";
  const std::string texts[] = {
      kAbcMd5,
      "900150983cd24fb0d6963f7d28e17f72",
      other + ";" + kAbcMd5,
      std::string(kAbcMd5) + "," + other,
      other + kAbcMd5,
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    ClearRecorded();
    EXPECT_TRUE(store_.CheckFileMd5(path, text, true));
    ASSERT_EQ(EventTypes(), (std::vector<DownloadEventType>{DownloadEventType::FileDigest,
                                                             DownloadEventType::DigestMatched}));
    ASSERT_NE(Events()[0].text(), nullptr);
    EXPECT_EQ(*Events()[0].text(), kAbcMd5);
  }
  EXPECT_EQ(log_.Count(std::string("[INFO] multi, check md5 ok .  retry=[0], file_md5=[") + kAbcMd5 + "]."), 5u);

  ClearRecorded();
  EXPECT_TRUE(store_.CheckFileMd5(path, kAbcMd5, false));
  EXPECT_TRUE(Events().empty()) << "no events without the report flag";
  EXPECT_TRUE(Results().empty());
}

TEST_F(FileStoreTest, CheckFileMd5WithoutServerDigestFailsAtOnce) {
  std::string path = dir_.Child("setup.exe");
  WriteFileForTesting(path, "abc");
  for (const char* text : {"", "90"}) {
    EXPECT_FALSE(store_.CheckFileMd5(path, text, true));  // a manual clock would hang on any wait
  }
  EXPECT_TRUE(Events().empty());
  EXPECT_TRUE(Results().empty());
  EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(FileStoreTest, CheckFileMd5MismatchRunsEveryRetryOnTheClock) {
  std::string path = dir_.Child("setup.exe");
  WriteFileForTesting(path, "abd");
  const std::string digest = ComputeFileMd5(path);
  bool ok = true;
  std::jthread worker([&](std::stop_token stop) { ok = store_.CheckFileMd5(path, kAbcMd5, true, stop); });
  for (int delay : {300, 600, 900, 1200, 1000}) ExpectSleepAndAdvance(milliseconds(delay));
  worker.join();

  EXPECT_FALSE(ok);
  EXPECT_EQ(Results(), std::vector<int32_t>{kResultMd5Failed});
  ASSERT_EQ(EventTypes(), std::vector<DownloadEventType>{DownloadEventType::FileDigest}) << "one digest, no match";
  EXPECT_EQ(*Events()[0].text(), digest);
  const std::vector<std::string> expected = {
      "[WARN] multi, check md5 failed! retry=[0/5], file_md5=[" + digest + "], expected=[" + kAbcMd5 + "].",
      "[INFO] multi, check md5 retry=[1/5], delay=[300]ms.",
      "[WARN] multi, check md5 failed! retry=[1/5], file_md5=[" + digest + "], expected=[" + kAbcMd5 + "].",
      "[INFO] multi, check md5 retry=[2/5], delay=[600]ms.",
      "[WARN] multi, check md5 failed! retry=[2/5], file_md5=[" + digest + "], expected=[" + kAbcMd5 + "].",
      "[INFO] multi, check md5 retry=[3/5], delay=[900]ms.",
      "[WARN] multi, check md5 failed! retry=[3/5], file_md5=[" + digest + "], expected=[" + kAbcMd5 + "].",
      "[INFO] multi, check md5 retry=[4/5], delay=[1200]ms.",
      "[WARN] multi, check md5 failed! retry=[4/5], file_md5=[" + digest + "], expected=[" + kAbcMd5 + "].",
      "[WARN] multi, all retries failed, try flush file buffers again.",
      "[INFO] multi, re-flush file buffers ok, cost=[0]ms.",
      "[ERROR] multi, check md5 still failed after re-flush! file_md5=[" + digest + "].",
      "[ERROR] multi, check md5 failed after all retries!",
  };
  EXPECT_EQ(log_.Lines(), expected);
}

TEST_F(FileStoreTest, CheckFileMd5SucceedsWhenTheFileSettlesDuringRetries) {
  std::string path = dir_.Child("setup.exe");
  struct Case {
    const char* name;
    int fixed_during_wait;  // index into the waits 300, 600, 900, 1200, 1000
    std::string ok_line;
  };
  const Case cases[] = {
      {"second try", 0, std::string("[INFO] multi, check md5 ok .  retry=[1], file_md5=[") + kAbcMd5 + "]."},
      {"after re-flush", 4, std::string("[INFO] multi, check md5 ok after re-flush, file_md5=[") + kAbcMd5 + "]."},
  };
  const int waits[] = {300, 600, 900, 1200, 1000};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClearRecorded();
    WriteFileForTesting(path, "abd");
    bool ok = false;
    std::jthread worker([&](std::stop_token stop) { ok = store_.CheckFileMd5(path, kAbcMd5, true, stop); });
    for (int i = 0; i <= c.fixed_during_wait; ++i) {
      ASSERT_TRUE(clock_.WaitForSleepers(1));
      if (i == c.fixed_during_wait) WriteFileForTesting(path, "abc");
      clock_.Advance(milliseconds(waits[i]));
    }
    worker.join();
    EXPECT_TRUE(ok);
    EXPECT_TRUE(log_.Has(c.ok_line));
    EXPECT_EQ(EventTypes(), (std::vector<DownloadEventType>{DownloadEventType::FileDigest,
                                                             DownloadEventType::DigestMatched}));
  }
  EXPECT_TRUE(Results().empty());
}

TEST_F(FileStoreTest, CheckFileMd5StopsWaitingWhenCancelled) {
  bool ok = true;
  std::stop_source stop;
  // A missing file has no digest, and no digest matches any text.
  std::jthread worker([&] { ok = store_.CheckFileMd5(dir_.Child("missing"), "ABCDEF", true, stop.get_token()); });
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  stop.request_stop();
  worker.join();
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Results().empty()) << "a cancel is not an MD5 failure";
  ASSERT_EQ(EventTypes(), std::vector<DownloadEventType>{DownloadEventType::FileDigest});
  EXPECT_EQ(*Events()[0].text(), "");
  EXPECT_FALSE(log_.Has("after all retries"));
}

// ---- Moving

TEST_F(FileStoreTest, MoveToFinalReplacesHeldTargetAndClearsHidden) {
  std::string final_path = dir_.Child("setup.exe");
  std::string temp = TempPathFor(final_path);
  WriteFileForTesting(final_path, "old package");
  ChildOptions options;
  options.argv = {"/bin/sh", "-c", "exec sleep 60 < \"$1\"", "sh", final_path};
  ChildProcess holder(options);
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(WaitUntil([&] { return !oru::ListProcessesHoldingFile(final_path).empty(); }));

  ASSERT_TRUE(store_.CreateTempFile(temp, 3));
  ASSERT_TRUE(store_.OpenTempFile(temp));
  ASSERT_EQ(store_.WriteAt(0, 3, "new", false), 3);
  ASSERT_TRUE(store_.CloseTempFile());
  if (XattrsSupported()) {
    EXPECT_TRUE(oru::IsFileHidden(temp));
  }

  EXPECT_TRUE(store_.MoveToFinal(temp, final_path)) << "an open reader does not block a rename here";
  EXPECT_EQ(ReadFileForTesting(final_path), "new");
  EXPECT_FALSE(fs::exists(temp));
  EXPECT_FALSE(oru::IsFileHidden(final_path));
  EXPECT_FALSE(log_.Has("rename failed"));
  EXPECT_TRUE(Results().empty());
  EXPECT_EQ(clock_.SleeperCount(), 0u);
}

TEST_F(FileStoreTest, MoveToFinalRetriesUntilTheTargetIsFree) {
  std::string final_path = dir_.Child("setup.exe");
  std::string temp = TempPathFor(final_path);
  WriteFileForTesting(temp, "package");
  fs::create_directories(final_path + "/in-the-way");

  bool ok = false;
  std::jthread worker([&](std::stop_token stop) { ok = store_.MoveToFinal(temp, final_path, stop); });
  ExpectSleepAndAdvance(std::chrono::seconds(1));
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  EXPECT_EQ(clock_.NextDeadline() - clock_.NowTicks(), std::chrono::seconds(2));
  fs::remove_all(final_path);
  clock_.Advance(std::chrono::seconds(2));
  worker.join();

  EXPECT_TRUE(ok);
  EXPECT_EQ(ReadFileForTesting(final_path), "package");
  EXPECT_TRUE(log_.Has("[ERROR] rename failed, try=1, err=" + std::to_string(EISDIR)));
  EXPECT_TRUE(log_.Has("[ERROR] rename failed, try=2, err=" + std::to_string(EISDIR)));
  EXPECT_FALSE(log_.Has("try=3"));
  EXPECT_TRUE(Results().empty());
  EXPECT_TRUE(Events().empty());
}

TEST_F(FileStoreTest, MoveToFinalGivesUpAfterFifteenTries) {
  std::string final_path = dir_.Child("setup.exe");
  bool ok = true;
  std::jthread worker(
      [&](std::stop_token stop) { ok = store_.MoveToFinal(TempPathFor(final_path), final_path, stop); });
  for (int i = 1; i <= 15; ++i) ExpectSleepAndAdvance(std::chrono::seconds(i));
  worker.join();

  EXPECT_FALSE(ok);
  EXPECT_EQ(clock_.NowTicks() - TestClock::kStartTicks, std::chrono::seconds(120));
  EXPECT_EQ(log_.Count("[ERROR] rename failed, try="), 15u);
  EXPECT_TRUE(log_.Has("[ERROR] rename failed, try=15, err=" + std::to_string(ENOENT)));
  EXPECT_TRUE(log_.Has("[ERROR] multi, revert file name failed! error=[-1]."));
  EXPECT_EQ(Results(), std::vector<int32_t>{kResultFileOperationFailed});
  EXPECT_EQ(FileErrors(), (std::vector<std::pair<int64_t, int64_t>>{{kFileErrorMoveFailed, -1}}));
}

TEST_F(FileStoreTest, MoveToFinalStopsWaitingWhenCancelled) {
  std::string final_path = dir_.Child("setup.exe");
  bool ok = true;
  std::stop_source stop;
  std::jthread worker([&] { ok = store_.MoveToFinal(TempPathFor(final_path), final_path, stop.get_token()); });
  ASSERT_TRUE(clock_.WaitForSleepers(1));
  stop.request_stop();
  worker.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(log_.Count("rename failed"), 1u);
  EXPECT_TRUE(Results().empty());
  EXPECT_TRUE(Events().empty());
}

TEST_F(FileStoreTest, ReportLockingProcessesNamesOtherHolders) {
  std::string path = dir_.Child("setup.exe.~P2S");
  WriteFileForTesting(path, "x");
  ChildOptions options;
  options.argv = {"/bin/sh", "-c", "exec sleep 60 < \"$1\"", "sh", path};
  ChildProcess holder(options);
  ASSERT_TRUE(holder.started());
  ASSERT_TRUE(WaitUntil([&] {
    for (const oru::FileHolder& h : oru::ListProcessesHoldingFile(path)) {
      if (h.pid == holder.pid() && h.name == "sleep") return true;
    }
    return false;
  }));
  oru::DownloadFile own;
  ASSERT_EQ(own.OpenReadOnly(path), 0);

  store_.ReportLockingProcesses(path);
  EXPECT_EQ(log_.Lines(), std::vector<std::string>{"[WARN] process=[" + std::to_string(holder.pid()) +
                                                   "][sleep] locked the file=[" + path + "] "});
}

// ---- Threads

TEST_F(FileStoreTest, ConcurrentWritesRecordsAndCloseNeverTearTheFile) {
  constexpr int kWriters = 4;
  constexpr int kChunks = 64;
  constexpr int64_t kChunk = 4096;
  constexpr int64_t kSpan = kChunks * kChunk;
  constexpr int64_t kTotal = kWriters * kSpan;
  std::string path = dir_.Child("setup.exe.~P2S");
  ASSERT_TRUE(store_.CreateTempFile(path, kTotal));
  ASSERT_TRUE(store_.OpenTempFile(path));

  std::atomic<int> written_chunks[kWriters] = {};  // chunks done, in order
  std::vector<std::vector<char>> succeeded(kWriters, std::vector<char>(kChunks, 0));
  std::atomic<int> total_done{0};
  std::atomic<int> records{0};
  {
    std::vector<std::jthread> writers;
    for (int w = 0; w < kWriters; ++w) {
      writers.emplace_back([&, w] {
        for (int k = 0; k < kChunks; ++k) {
          // Halfway, let a record in, so records and writes really interleave.
          while (k == kChunks / 2 && records.load() == 0) std::this_thread::yield();
          std::string data(static_cast<size_t>(kChunk), static_cast<char>((w * kChunks + k) % 251 + 1));
          int64_t offset = w * kSpan + k * kChunk;
          succeeded[w][k] = store_.WriteAt(offset, kChunk, data.data(), false) == kChunk;
          if (!succeeded[w][k]) break;
          written_chunks[w].store(k + 1);
          total_done.fetch_add(1);
        }
      });
    }
    // Like the downloader: list what is still to fetch, then write it.
    std::jthread recorder([&](std::stop_token stop) {
      while (!stop.stop_requested()) {
        std::vector<ByteRange> unfinished;
        for (int w = 0; w < kWriters; ++w) {
          unfinished.emplace_back(w * kSpan + written_chunks[w].load() * kChunk, (w + 1) * kSpan - 1);
        }
        if (store_.WriteResumeRecord(unfinished, kTotal)) records.fetch_add(1);
      }
    });
    ASSERT_TRUE(WaitUntil([&] { return total_done.load() >= kWriters * kChunks / 2 && records.load() > 0; }));
    EXPECT_TRUE(store_.CloseTempFile());
    EXPECT_EQ(store_.WriteAt(0, 1, "x", false), 0);
    for (std::jthread& t : writers) t.join();
  }

  std::string contents = ReadFileForTesting(path);
  ASSERT_GE(static_cast<int64_t>(contents.size()), kTotal);
  for (int w = 0; w < kWriters; ++w) {
    for (int k = 0; k < kChunks; ++k) {
      char expected = succeeded[w][k] ? static_cast<char>((w * kChunks + k) % 251 + 1) : '\0';
      std::string chunk = contents.substr(static_cast<size_t>(w * kSpan + k * kChunk), static_cast<size_t>(kChunk));
      ASSERT_EQ(chunk, std::string(static_cast<size_t>(kChunk), expected)) << "writer " << w << " chunk " << k;
    }
  }
  std::map<int64_t, int64_t> ranges;
  ASSERT_TRUE(store_.ReadResumeRecord(path, kTotal, ranges)) << "the last record is whole";
  // Every byte the record counts as present was really written.
  for (int w = 0; w < kWriters; ++w) {
    int64_t listed_begin = (w + 1) * kSpan;
    for (const auto& [begin, end] : ranges) {
      if (begin >= w * kSpan && begin < (w + 1) * kSpan) listed_begin = std::min(listed_begin, begin);
    }
    for (int k = 0; w * kSpan + k * kChunk < listed_begin; ++k) EXPECT_TRUE(succeeded[w][k]) << w << "/" << k;
  }
}

}  // namespace
}  // namespace ns_PEM
