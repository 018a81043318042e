#include "platform/download_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "platform/process_util.h"
#include "support/child_process.h"
#include "support/scoped_temp_dir.h"
#include "support/tmpfs_fixture.h"

namespace oru {
namespace {

using testing::ChildOptions;
using testing::ChildProcess;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::TmpfsMount;
using testing::WaitUntil;
using testing::WriteFileForTesting;

constexpr int64_t kMiB = 1 << 20;
constexpr int64_t kGiB = int64_t{1} << 30;

struct stat StatOf(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

bool ListsPid(const std::vector<FileHolder>& holders, int pid, const std::string& name = {}) {
  for (const FileHolder& h : holders) {
    if (h.pid == pid && (name.empty() || h.name == name)) return true;
  }
  return false;
}

TEST(DownloadFileTest, CreateAlwaysTruncatesWithPrivateDescriptor) {
  ScopedTempDir dir;
  std::string path = dir.Child("pkg.bin");
  WriteFileForTesting(path, "old contents");

  DownloadFile file;
  ASSERT_EQ(file.CreateAlways(path), 0);
  ASSERT_TRUE(file.is_open());
  EXPECT_GE(file.native_handle(), 0);
  EXPECT_EQ(file.Size().bytes, 0) << "an existing file is truncated";
  EXPECT_NE(::fcntl(file.native_handle(), F_GETFD) & FD_CLOEXEC, 0) << "not inherited by packages we start";
  EXPECT_EQ(::fcntl(file.native_handle(), F_GETFL) & O_NONBLOCK, 0);
  mode_t mode = StatOf(path).st_mode & 0777;
  EXPECT_EQ(mode & 0111, 0u);
  EXPECT_EQ(mode & 0600, 0600u);

  ASSERT_EQ(file.WriteAt(0, "new", 3).error, 0);
  EXPECT_EQ(file.Close(), 0);
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(file.Close(), 0) << "closing twice is harmless";
  EXPECT_EQ(ReadFileForTesting(path), "new");
}

TEST(DownloadFileTest, OpensRefuseLinksFoldersFifosAndMissingFiles) {
  ScopedTempDir dir;
  std::string victim = dir.Child("victim");
  WriteFileForTesting(victim, "keep me");
  ASSERT_EQ(::symlink(victim.c_str(), dir.Child("link").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.Child("fifo").c_str(), 0644), 0);
  ASSERT_EQ(::mkdir(dir.Child("folder").c_str(), 0755), 0);

  struct Case {
    const char* name;
    int expected;
  };
  const Case cases[] = {{"link", ELOOP}, {"folder", EISDIR}, {"fifo", EINVAL}, {"missing", ENOENT}};
  for (const Case& c : cases) {
    std::string path = dir.Child(c.name);
    DownloadFile file;
    EXPECT_EQ(file.OpenReadOnly(path), c.expected) << c.name;
    EXPECT_EQ(file.OpenReadWrite(path), c.expected) << c.name;
    if (c.expected != ENOENT) {
      EXPECT_EQ(file.CreateAlways(path), c.expected) << c.name;
    }
    EXPECT_FALSE(file.is_open()) << c.name;
    EXPECT_EQ(file.native_handle(), -1);
  }
  EXPECT_EQ(ReadFileForTesting(victim), "keep me") << "a link is never followed, so never truncated";
  DownloadFile file;
  EXPECT_EQ(file.CreateAlways(dir.Child("no/such/folder/file")), ENOENT);
}

TEST(DownloadFileTest, PreSizeReservesExactLengthAndShrinksLongerFiles) {
  ScopedTempDir dir;
  std::string path = dir.Child("pkg.bin");
  DownloadFile file;
  ASSERT_EQ(file.CreateAlways(path), 0);

  PreSizeResult sized = file.PreSize(3 * kMiB + 5);
  ASSERT_TRUE(sized.ok()) << sized.error;
  EXPECT_TRUE(sized.space_reserved);
  EXPECT_EQ(file.Size().bytes, 3 * kMiB + 5);
  struct stat st = StatOf(path);
  EXPECT_GE(static_cast<int64_t>(st.st_blocks) * 512, 3 * kMiB + 5) << "blocks are claimed, not sparse";

  ASSERT_EQ(file.SetEnd(10 * kMiB), 0);
  ASSERT_TRUE(file.PreSize(kMiB).ok());
  EXPECT_EQ(file.Size().bytes, kMiB) << "a longer file (an old record behind the data) is cut";

  EXPECT_EQ(file.PreSize(-1).error, EINVAL);
  EXPECT_EQ(file.SetEnd(-1), EINVAL);
  file.Close();
  EXPECT_EQ(file.PreSize(10).error, EBADF);
  EXPECT_EQ(file.WriteAt(0, "x", 1).error, EBADF);
  EXPECT_EQ(file.Flush(), EBADF);
  EXPECT_EQ(file.Size().error, EBADF);
}

TEST(DownloadFileTest, PositionedIoBeyondFourGiBInSparseFile) {
  ScopedTempDir dir;
  std::string path = dir.Child("big.bin");
  DownloadFile file;
  ASSERT_EQ(file.CreateAlways(path), 0);
  ASSERT_EQ(file.SetEnd(5 * kGiB), 0);

  const int64_t offset = 4 * kGiB + 123;
  FileIoResult w = file.WriteAt(offset, "hello", 5);
  ASSERT_TRUE(w.ok()) << w.error;
  EXPECT_EQ(w.bytes, 5);
  EXPECT_EQ(file.Flush(), 0);

  char buf[8] = {};
  FileIoResult r = file.ReadAt(offset - 1, buf, 7);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.bytes, 7);
  EXPECT_EQ(std::string(buf, 7), std::string("\0hello\0", 7));

  r = file.ReadAt(5 * kGiB - 2, buf, 8);
  EXPECT_TRUE(r.ok());
  EXPECT_EQ(r.bytes, 2) << "a read stops at the end of the file";
  EXPECT_EQ(file.Size().bytes, 5 * kGiB);

  EXPECT_EQ(file.WriteAt(-1, "x", 1).error, EINVAL);
  EXPECT_EQ(file.WriteAt(INT64_MAX - 1, "xx", 2).error, EINVAL) << "offset + length overflow";
  EXPECT_EQ(file.ReadAt(-1, buf, 1).error, EINVAL);
}

TEST(DownloadFileTest, WriteToReadOnlyFileFails) {
  ScopedTempDir dir;
  std::string path = dir.Child("ro.bin");
  WriteFileForTesting(path, "abc");
  DownloadFile file;
  ASSERT_EQ(file.OpenReadOnly(path), 0);
  FileIoResult w = file.WriteAt(0, "xyz", 3);
  EXPECT_EQ(w.error, EBADF);
  EXPECT_EQ(w.bytes, 0);
  char buf[3];
  EXPECT_EQ(file.ReadAt(0, buf, 3).bytes, 3);
  EXPECT_EQ(ReadFileForTesting(path), "abc");
}

TEST(DownloadFileTest, DiskFullIsReportedForPreSizeAndPartialWrites) {
  TmpfsMount disk(4 * kMiB);
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();

  DownloadFile first;
  ASSERT_EQ(first.CreateAlways(disk.path() + "/first.bin"), 0);
  PreSizeResult too_big = first.PreSize(8 * kMiB);
  EXPECT_EQ(ClassifyFileError(too_big.error), FileErrorKind::kDiskFull) << too_big.error;
  ASSERT_TRUE(first.PreSize(3 * kMiB).ok());

  DownloadFile second;
  ASSERT_EQ(second.CreateAlways(disk.path() + "/second.bin"), 0);
  EXPECT_EQ(ClassifyFileError(second.PreSize(2 * kMiB).error), FileErrorKind::kDiskFull)
      << "the first file's space is really claimed";

  // A sparse file runs full while written: the write reports it, not a
  // silently short count.
  ASSERT_EQ(second.SetEnd(8 * kMiB), 0);
  std::string data(static_cast<size_t>(6 * kMiB), 'd');
  FileIoResult w = second.WriteAt(0, data.data(), static_cast<int64_t>(data.size()));
  EXPECT_EQ(ClassifyFileError(w.error), FileErrorKind::kDiskFull) << w.error;
  EXPECT_LT(w.bytes, static_cast<int64_t>(data.size()));
}

TEST(DownloadFileTest, MoveTransfersOwnership) {
  ScopedTempDir dir;
  DownloadFile a;
  ASSERT_EQ(a.CreateAlways(dir.Child("a")), 0);
  int fd = a.native_handle();
  DownloadFile b(std::move(a));
  EXPECT_FALSE(a.is_open());
  EXPECT_EQ(b.native_handle(), fd);
  DownloadFile c;
  ASSERT_EQ(c.CreateAlways(dir.Child("c")), 0);
  int old_fd = c.native_handle();
  c = std::move(b);
  EXPECT_EQ(c.native_handle(), fd);
  EXPECT_EQ(::fcntl(old_fd, F_GETFD), -1) << "the replaced descriptor was closed";
}

TEST(DownloadFileTest, DeleteAndRenameReportErrors) {
  ScopedTempDir dir;
  WriteFileForTesting(dir.Child("from"), "new");
  WriteFileForTesting(dir.Child("to"), "old");
  EXPECT_EQ(RenameDownloadFile(dir.Child("from"), dir.Child("to")), 0);
  EXPECT_EQ(ReadFileForTesting(dir.Child("to")), "new") << "an existing target is replaced";
  EXPECT_EQ(RenameDownloadFile(dir.Child("from"), dir.Child("to")), ENOENT);

  ASSERT_EQ(::mkdir(dir.Child("busy").c_str(), 0755), 0);
  WriteFileForTesting(dir.Child("busy/inside"), "x");
  EXPECT_EQ(RenameDownloadFile(dir.Child("to"), dir.Child("busy")), EISDIR);
  EXPECT_EQ(DeleteDownloadFile(dir.Child("busy")), EISDIR);
  EXPECT_EQ(DeleteDownloadFile(dir.Child("to")), 0);
  EXPECT_EQ(DeleteDownloadFile(dir.Child("to")), ENOENT);
}

TEST(DownloadFileTest, HiddenMarkerIsBestEffort) {
  ScopedTempDir dir;
  std::string path = dir.Child("pkg.bin.~P2S");
  WriteFileForTesting(path, "x");
  EXPECT_FALSE(IsFileHidden(path));
  EXPECT_TRUE(SetFileHidden(path, false)) << "clearing an unmarked file is fine";
  if (!SetFileHidden(path, true)) GTEST_SKIP() << "no user extended attributes on " << dir.path();
  EXPECT_TRUE(IsFileHidden(path));
  EXPECT_TRUE(SetFileHidden(path, false));
  EXPECT_FALSE(IsFileHidden(path));

  EXPECT_FALSE(SetFileHidden(dir.Child("missing"), true));
  EXPECT_FALSE(SetFileHidden(dir.Child("missing"), false));
  EXPECT_FALSE(IsFileHidden(dir.Child("missing")));

  ASSERT_EQ(::symlink(path.c_str(), dir.Child("link").c_str()), 0);
  SetFileHidden(dir.Child("link"), true);
  EXPECT_FALSE(IsFileHidden(path)) << "a link's target is never marked";
}

TEST(DownloadFileTest, HiddenMarkerOnTmpfsNeverFailsTheCaller) {
  TmpfsMount disk(kMiB);
  if (!disk.mounted()) GTEST_SKIP() << disk.skip_reason();
  std::string path = disk.path() + "/pkg.bin";
  WriteFileForTesting(path, "x");
  bool marked = SetFileHidden(path, true);
  EXPECT_EQ(IsFileHidden(path), marked) << "the query agrees with what could be set";
}

TEST(DownloadFileTest, ListsProcessesHoldingTheSameFile) {
  ScopedTempDir dir;
  std::string path = dir.Child("held.bin");
  WriteFileForTesting(path, "payload");
  ASSERT_EQ(::link(path.c_str(), dir.Child("alias.bin").c_str()), 0);
  WriteFileForTesting(dir.Child("other.bin"), "payload");

  ChildOptions options;
  options.argv = {"/bin/sh", "-c", "exec sleep 60 < \"$1\"", "sh", path};
  ChildProcess child(options);
  ASSERT_TRUE(child.started());
  ASSERT_TRUE(WaitUntil([&] { return ListsPid(ListProcessesHoldingFile(path), child.pid(), "sleep"); }));

  std::vector<FileHolder> holders = ListProcessesHoldingFile(dir.Child("alias.bin"));
  ASSERT_EQ(holders.size(), 1u) << "a hard link is the same file";
  EXPECT_EQ(holders[0].pid, child.pid());
  EXPECT_EQ(holders[0].name, "sleep");
  EXPECT_TRUE(ListProcessesHoldingFile(dir.Child("other.bin")).empty()) << "same name and contents, other inode";
  EXPECT_TRUE(ListProcessesHoldingFile(dir.Child("missing")).empty());

  DownloadFile own;
  ASSERT_EQ(own.OpenReadOnly(path), 0);
  holders = ListProcessesHoldingFile(path);
  EXPECT_TRUE(ListsPid(holders, CurrentProcessId())) << "the caller filters itself out";
  EXPECT_TRUE(ListsPid(holders, child.pid()));
  for (size_t i = 1; i < holders.size(); ++i) EXPECT_LT(holders[i - 1].pid, holders[i].pid);
  own.Close();

  child.Signal(SIGKILL);
  ASSERT_TRUE(child.Wait().has_value());
  EXPECT_TRUE(ListProcessesHoldingFile(path).empty());
}

TEST(DownloadFileTest, ClassifiesErrorCodes) {
  struct Case {
    int error;
    FileErrorKind kind;
  };
  const Case cases[] = {
      {0, FileErrorKind::kNone},
      {ENOSPC, FileErrorKind::kDiskFull},
      {EDQUOT, FileErrorKind::kDiskFull},
      {EBUSY, FileErrorKind::kSharingViolation},
      {ETXTBSY, FileErrorKind::kSharingViolation},
      {EACCES, FileErrorKind::kAccessDenied},
      {EPERM, FileErrorKind::kAccessDenied},
      {EEXIST, FileErrorKind::kAlreadyExists},
      {ENOENT, FileErrorKind::kNotFound},
      {EIO, FileErrorKind::kOther},
      {EISDIR, FileErrorKind::kOther},
  };
  for (const Case& c : cases) EXPECT_EQ(ClassifyFileError(c.error), c.kind) << c.error;
}

}  // namespace
}  // namespace oru
