#include "platform/file_util.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::WriteFileForTesting;

TEST(FileUtilTest, PathJoiningKeepsOneSeparator) {
  EXPECT_EQ(WithTrailingSeparator("/tmp"), "/tmp/");
  EXPECT_EQ(WithTrailingSeparator("/tmp/"), "/tmp/");
  EXPECT_EQ(WithTrailingSeparator(""), "/");
  EXPECT_EQ(JoinPath("/a", "b"), "/a/b");
  EXPECT_EQ(JoinPath("/a/", "/b"), "/a/b");
  EXPECT_EQ(JoinPath("", "b"), "b");
}

TEST(FileUtilTest, CreatesEveryMissingLevel) {
  ScopedTempDir dir;
  std::string deep = dir.Child("Quorvane/ORU/deeper/");
  EXPECT_TRUE(CreateDirectoryLevels(deep));
  EXPECT_TRUE(DirectoryExists(dir.Child("Quorvane/ORU/deeper")));
  EXPECT_TRUE(CreateDirectoryLevels(deep)) << "existing folders are fine";

  WriteFileForTesting(dir.Child("file"), "x");
  EXPECT_FALSE(CreateDirectoryLevels(dir.Child("file/sub"))) << "a level that is a file";
  EXPECT_FALSE(DirectoryExists(dir.Child("file")));
  EXPECT_TRUE(PathExists(dir.Child("file")));
  EXPECT_FALSE(PathExists(dir.Child("nothing")));
}

TEST(FileUtilTest, ListsPlainFilesOnlyWithTimes) {
  ScopedTempDir dir;
  WriteFileForTesting(dir.Child("a.log"), "1");
  WriteFileForTesting(dir.Child("b.log"), "2");
  ASSERT_TRUE(CreateDirectoryLevels(dir.Child("sub")));
  ASSERT_EQ(symlink(dir.Child("a.log").c_str(), dir.Child("link.log").c_str()), 0);
  struct timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
  ASSERT_EQ(utimensat(AT_FDCWD, dir.Child("a.log").c_str(), times, 0), 0);

  std::vector<FileEntry> files = ListFiles(dir.path());
  std::sort(files.begin(), files.end(), [](const FileEntry& x, const FileEntry& y) { return x.name < y.name; });
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0].name, "a.log");
  EXPECT_EQ(files[0].path, dir.Child("a.log"));
  EXPECT_EQ(files[0].mtime_seconds, 1700000000);
  EXPECT_EQ(files[0].mtime_nanoseconds, 123456789);
  EXPECT_EQ(files[1].name, "b.log");
  EXPECT_TRUE(ListFiles(dir.Child("missing")).empty());
}

TEST(FileUtilTest, AtomicWriteReplacesWholeFileAndLeavesNoTemporary) {
  ScopedTempDir dir;
  std::string path = dir.Child("state.xml");
  ASSERT_TRUE(WriteFileAtomically(path, "first"));
  ASSERT_TRUE(WriteFileAtomically(path, "second, longer"));
  std::string data;
  ASSERT_TRUE(ReadWholeFile(path, data));
  EXPECT_EQ(data, "second, longer");
  EXPECT_EQ(ListFiles(dir.path()).size(), 1u);
  EXPECT_FALSE(WriteFileAtomically(dir.Child("missing/state.xml"), "x"));
  EXPECT_FALSE(ReadWholeFile(dir.Child("missing.xml"), data));
}

TEST(FileUtilTest, TemporaryFilesAreNewPrivateAndUnique) {
  ScopedTempDir dir;
  std::optional<std::string> a = CreateUniqueTempFile(dir.path(), "pkg-", "payload");
  std::optional<std::string> b = CreateUniqueTempFile(dir.path(), "pkg-", "");
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
  EXPECT_EQ(ReadFileForTesting(*a), "payload");
  struct stat st;
  ASSERT_EQ(stat(a->c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(CreateUniqueTempFile(dir.Child("missing"), "pkg-", "x"));
}

TEST(FileUtilTest, RenameRemoveAndReadability) {
  ScopedTempDir dir;
  WriteFileForTesting(dir.Child("a"), "A");
  WriteFileForTesting(dir.Child("b"), "B");
  EXPECT_TRUE(CanOpenForReading(dir.Child("a")));
  EXPECT_TRUE(RenameFile(dir.Child("a"), dir.Child("b")));
  EXPECT_EQ(ReadFileForTesting(dir.Child("b")), "A");
  EXPECT_FALSE(RenameFile(dir.Child("a"), dir.Child("c")));
  EXPECT_TRUE(RemoveFile(dir.Child("b")));
  EXPECT_FALSE(RemoveFile(dir.Child("b")));
  EXPECT_FALSE(CanOpenForReading(dir.Child("b")));
}

TEST(FileUtilTest, DiskSpaceOfAnExistingFolder) {
  ScopedTempDir dir;
  std::optional<DiskSpace> space = GetDiskSpace(dir.path());
  ASSERT_TRUE(space);
  EXPECT_GT(space->total, 0u);
  EXPECT_LE(space->available_to_caller, space->free);
  EXPECT_LE(space->free, space->total);
  EXPECT_FALSE(GetDiskSpace(dir.Child("missing")));
}

}  // namespace
}  // namespace oru
