#include "platform/resources.h"

#include <gtest/gtest.h>

#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using testing::ScopedTempDir;
using testing::WriteFileForTesting;

const std::string kEmbedded("embedded sample \0\xff bytes\n", 25);

TEST(ResourcesTest, EmbeddedDataIsFoundByTypeAndId) {
  EXPECT_EQ(LoadResource("TEST", 7, ""), kEmbedded);
  EXPECT_EQ(LoadResource("TEST", 8, ""), std::nullopt);
  EXPECT_EQ(LoadResource("XML", 7, ""), std::nullopt);
}

TEST(ResourcesTest, OverrideFolderTakesPrecedence) {
  ScopedTempDir dir;
  EXPECT_EQ(ResourceOverrideFileName("XML", 106), "XML_106");
  EXPECT_EQ(LoadResource("TEST", 7, dir.path()), kEmbedded) << "an empty override folder changes nothing";
  WriteFileForTesting(dir.Child("TEST_7"), "from the folder");
  EXPECT_EQ(LoadResource("TEST", 7, dir.path()), "from the folder");
  WriteFileForTesting(dir.Child("ZIPRES_133"), "skin");
  EXPECT_EQ(LoadResource("ZIPRES", 133, dir.path()), "skin");
}

TEST(ResourcesTest, OverlayRoundTripsAfterAnExecutable) {
  ScopedTempDir dir;
  std::string exe(1000, 'E');
  std::vector<OverlayEntry> entries = {{"XML", 106, "<product/>"}, {"ZIPRES", 133, std::string("PK\0\x03", 4)},
                                       {"ICON", 101, ""}};
  WriteFileForTesting(dir.Child("oru"), exe + BuildOverlay(entries));
  std::vector<OverlayEntry> read = ReadOverlay(dir.Child("oru"));
  ASSERT_EQ(read.size(), 3u);
  for (size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i].type, entries[i].type);
    EXPECT_EQ(read[i].id, entries[i].id);
    EXPECT_EQ(read[i].data, entries[i].data);
  }
  EXPECT_EQ(SizeWithoutOverlay(dir.Child("oru")), 1000);
}

TEST(ResourcesTest, FilesWithoutOrWithBrokenOverlayHaveNone) {
  ScopedTempDir dir;
  std::string overlay = BuildOverlay({{"XML", 106, "<product/>"}});
  std::string index_size_wrong = overlay;
  index_size_wrong[overlay.size() - 16] = static_cast<char>(0xff);  // index larger than the file
  std::string truncated = overlay.substr(5);                           // data cut off at the front
  const std::pair<const char*, std::string> cases[] = {
      {"plain", std::string(100, 'x')},
      {"tiny", "ORU"},
      {"wrong-index-size", "exe" + index_size_wrong},
      {"truncated", truncated},
  };
  for (const auto& [name, content] : cases) {
    WriteFileForTesting(dir.Child(name), content);
    EXPECT_TRUE(ReadOverlay(dir.Child(name)).empty()) << name;
  }
  EXPECT_EQ(SizeWithoutOverlay(dir.Child("plain")), 100);
  EXPECT_EQ(SizeWithoutOverlay(dir.Child("missing")), -1);
}

}  // namespace
}  // namespace oru
