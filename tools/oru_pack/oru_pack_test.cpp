#include "oru_pack.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "config/xml_document.h"
#include "platform/resources.h"
#include "support/child_process.h"
#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using testing::ChildOptions;
using testing::ChildProcess;
using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::WriteFileForTesting;

constexpr char kProductXml[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Product><ProductID>1001</ProductID>"
    "<ProductName>Quorvane Studio</ProductName><ProductBrand>Quorvane</ProductBrand></Product>";
constexpr char kLangXml[] = "<?xml version=\"1.0\"?><Lang><en><Install>Install</Install></en></Lang>";
const std::string kSkinZip = std::string("PK\x03\x04", 4) + "skin.xml-and-more";
const std::string kIco = std::string("\0\0\1\0\1\0", 6) + "icon-bits";
const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + "png-bits";

std::set<std::string> NamesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// Where one test's files live: inputs in in/, outputs in out/ (so a refusal
// can be shown to leave out/ alone).
struct Paths {
  explicit Paths(const ScopedTempDir& dir)
      : in_dir(dir.Child("in")),
        out_dir(dir.Child("out")),
        installer(in_dir + "/oru"),
        product(in_dir + "/product.xml"),
        lang(in_dir + "/lang.xml"),
        skin(in_dir + "/skin.zip"),
        icon(in_dir + "/app.ico"),
        out(out_dir + "/branded") {}
  std::string in_dir, out_dir, installer, product, lang, skin, icon, out;
};

class OruPackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(p_.in_dir);
    fs::create_directories(p_.out_dir);
    // A real executable: the packed copy must still run.
    fs::copy_file("/bin/true", p_.installer);
    installer_bytes_ = ReadFileForTesting(p_.installer);
    WriteFileForTesting(p_.product, kProductXml);
    WriteFileForTesting(p_.lang, kLangXml);
    WriteFileForTesting(p_.skin, kSkinZip);
    WriteFileForTesting(p_.icon, kIco);
  }

  PackOptions AllInputs(const std::string& out) const {
    PackOptions o;
    o.installer = p_.installer;
    o.out = out;
    o.product_xml = p_.product;
    o.lang_xml = p_.lang;
    o.skin = p_.skin;
    o.icon = p_.icon;
    return o;
  }

  static void ExpectOverlay(const std::string& file, const std::vector<OverlayEntry>& expected) {
    std::vector<OverlayEntry> got = ReadOverlay(file);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].type, expected[i].type) << i;
      EXPECT_EQ(got[i].id, expected[i].id) << i;
      EXPECT_EQ(got[i].data, expected[i].data) << i;
    }
  }

  ScopedTempDir dir_;
  const Paths p_{dir_};
  std::string installer_bytes_;
};

TEST_F(OruPackTest, OutputIsThePlainExecutableFollowedByEveryResourceAndStillRuns) {
  const PackResult result = PackInstaller(AllInputs(p_.out));
  ASSERT_EQ(result.status, PackStatus::kPacked) << result.error;

  ExpectOverlay(p_.out, {{"XML", 106, kProductXml}, {"XML", 131, kLangXml}, {"ZIPRES", 133, kSkinZip},
                       {"ICON", 101, kIco}});
  EXPECT_EQ(SizeWithoutOverlay(p_.out), static_cast<long long>(installer_bytes_.size()));
  EXPECT_EQ(ReadFileForTesting(p_.out).substr(0, installer_bytes_.size()), installer_bytes_);
  EXPECT_EQ(fs::status(p_.out).permissions() & fs::perms::all, fs::perms(0755));
  EXPECT_EQ(NamesIn(p_.out_dir), std::set<std::string>{"branded"}) << "no temporary file is left beside the output";

  ChildOptions run;
  run.argv = {p_.out};
  ChildProcess packed(run);
  ASSERT_TRUE(packed.started());
  EXPECT_EQ(packed.Wait(), 0);
}

TEST_F(OruPackTest, RepackingReplacesTheOverlayInsteadOfStackingIt) {
  const std::string first = p_.out_dir + "/first";
  ASSERT_EQ(PackInstaller(AllInputs(first)).status, PackStatus::kPacked);

  const std::string other_product =
      "<Product><ProductID>2002</ProductID><ProductName>Other</ProductName></Product>";
  WriteFileForTesting(p_.product, other_product);
  WriteFileForTesting(p_.icon, kPng);
  PackOptions again;
  again.installer = first;
  again.out = p_.out;
  again.product_xml = p_.product;
  again.icon = p_.icon;
  ASSERT_EQ(PackInstaller(again).status, PackStatus::kPacked);

  const std::vector<OverlayEntry> expected = {{"XML", 106, other_product}, {"ICON", 101, kPng}};
  ExpectOverlay(p_.out, expected);
  EXPECT_EQ(ReadFileForTesting(p_.out), installer_bytes_ + BuildOverlay(expected));
}

TEST_F(OruPackTest, ForceReplacesAnExistingOutputWhole) {
  WriteFileForTesting(p_.out, "an older build");
  PackOptions options = AllInputs(p_.out);
  options.force = true;
  ASSERT_EQ(PackInstaller(options).status, PackStatus::kPacked);
  EXPECT_EQ(SizeWithoutOverlay(p_.out), static_cast<long long>(installer_bytes_.size()));
  EXPECT_EQ(ReadOverlay(p_.out).size(), 4u);
}

struct RefusalCase {
  const char* name;
  std::function<void(const Paths&, PackOptions&)> arrange;
  const char* error_part;
};

class OruPackRefusalTest : public OruPackTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(OruPackRefusalTest, IsRefusedBeforeAnythingIsWritten) {
  PackOptions options = AllInputs(p_.out);
  GetParam().arrange(p_, options);
  const std::set<std::string> out_before = NamesIn(p_.out_dir);
  const bool out_existed = fs::is_regular_file(fs::symlink_status(p_.out));
  const std::string existing = out_existed ? ReadFileForTesting(p_.out) : std::string();

  const PackResult result = PackInstaller(options);

  EXPECT_EQ(result.status, PackStatus::kRefused);
  EXPECT_EQ(PackExitCode(result.status), 2);
  EXPECT_THAT(result.error, HasSubstr(GetParam().error_part));
  EXPECT_EQ(NamesIn(p_.out_dir), out_before) << "nothing new beside the output";
  if (out_existed) {
    EXPECT_EQ(ReadFileForTesting(p_.out), existing);
  }
  EXPECT_EQ(ReadFileForTesting(p_.installer), installer_bytes_);
}

void Write(const std::string& path, const std::string& data) { WriteFileForTesting(path, data); }

INSTANTIATE_TEST_SUITE_P(
    Inputs, OruPackRefusalTest,
    ::testing::Values(
        RefusalCase{"ProductRootIsNotProduct",
                    [](const Paths& p, PackOptions&) {
                      Write(p.product, "<Config><ProductID>1</ProductID><ProductName>x</ProductName></Config>");
                    },
                    "product.xml: the root element is <Config>, not <Product>"},
        RefusalCase{"ProductIdMissing",
                    [](const Paths& p, PackOptions&) { Write(p.product, "<Product><ProductName>x</ProductName></Product>"); },
                    "<ProductID> must be a decimal number"},
        RefusalCase{"ProductIdWithPathCharacters",
                    [](const Paths& p, PackOptions&) {
                      Write(p.product, "<Product><ProductID>1/../x</ProductID><ProductName>x</ProductName></Product>");
                    },
                    "found \"1/../x\""},
        RefusalCase{"ProductNameEmpty",
                    [](const Paths& p, PackOptions&) {
                      Write(p.product, "<Product><ProductID>1</ProductID><ProductName></ProductName></Product>");
                    },
                    "<ProductName> is missing or empty"},
        RefusalCase{"ProductXmlMissing",
                    [](const Paths& p, PackOptions& o) { o.product_xml = p.in_dir + "/absent.xml"; },
                    "absent.xml: cannot be read"},
        RefusalCase{"LangRootIsNotLang", [](const Paths& p, PackOptions&) { Write(p.lang, "<Language/>"); },
                    "lang.xml: the root element is <Language>, not <Lang>"},
        RefusalCase{"LangNotWellFormed", [](const Paths& p, PackOptions&) { Write(p.lang, "<Lang><en></Lang>"); },
                    "lang.xml does not parse"},
        RefusalCase{"SkinNotAZip", [](const Paths& p, PackOptions&) { Write(p.skin, "<skin/>"); },
                    "skin.zip: not a zip archive"},
        RefusalCase{"IconMissing", [](const Paths& p, PackOptions& o) { o.icon = p.in_dir + "/none.ico"; },
                    "none.ico: cannot be read"},
        RefusalCase{"IconNotAnImage", [](const Paths& p, PackOptions&) { Write(p.icon, "GIF89a"); },
                    "neither an .ico nor a .png"},
        RefusalCase{"InstallerMissing", [](const Paths& p, PackOptions& o) { o.installer = p.in_dir + "/no-oru"; },
                    "no-oru: not a readable file"},
        RefusalCase{"OutIsTheInstaller",
                    [](const Paths& p, PackOptions& o) {
                      o.out = p.installer;
                      o.force = true;
                    },
                    "is the installer itself"},
        RefusalCase{"OutIsTheInstallerSpelledOtherwise",
                    [](const Paths& p, PackOptions& o) {
                      o.out = p.out_dir + "/../in/./oru";
                      o.force = true;
                    },
                    "is the installer itself"},
        RefusalCase{"OutIsALinkToTheInstaller",
                    [](const Paths& p, PackOptions& o) {
                      fs::create_symlink(p.installer, p.out);
                      o.force = true;
                    },
                    "is the installer itself"},
        RefusalCase{"OutIsAHardLinkToTheInstaller",
                    [](const Paths& p, PackOptions& o) {
                      fs::create_hard_link(p.installer, p.out);
                      o.force = true;
                    },
                    "is the installer itself"},
        RefusalCase{"OutExistsWithoutForce", [](const Paths& p, PackOptions&) { Write(p.out, "an earlier build"); },
                    "exists already (use --force"},
        RefusalCase{"OutIsAFolder",
                    [](const Paths& p, PackOptions& o) {
                      fs::create_directories(p.out);
                      o.force = true;
                    },
                    "is a folder"},
        RefusalCase{"NoResourceGiven",
                    [](const Paths&, PackOptions& o) {
                      o.product_xml.clear();
                      o.lang_xml.clear();
                      o.skin.clear();
                      o.icon.clear();
                    },
                    "nothing to pack"}),
    [](const ::testing::TestParamInfo<RefusalCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(OruPackTest, ProductXmlThatDoesNotParseIsRefusedWithTheReadersMessageAndFileName) {
  const std::string broken = "<?xml version=\"1.0\"?><Product><ProductName>Broken</Product>";
  WriteFileForTesting(p_.product, broken);
  XmlDocument reader;
  ASSERT_FALSE(reader.SetDoc(std::string_view(broken)));
  ASSERT_FALSE(reader.GetResult().empty());

  const PackResult result = PackInstaller(AllInputs(p_.out));

  EXPECT_EQ(result.status, PackStatus::kRefused);
  EXPECT_THAT(result.error, HasSubstr(p_.product));
  EXPECT_THAT(result.error, HasSubstr(reader.GetResult()));
  EXPECT_TRUE(NamesIn(p_.out_dir).empty());
}

TEST_F(OruPackTest, UnwritableDestinationFailsWithoutLeavingAnything) {
  const PackResult result = PackInstaller(AllInputs(p_.out_dir + "/missing-folder/branded"));
  EXPECT_EQ(result.status, PackStatus::kFailed);
  EXPECT_EQ(PackExitCode(result.status), 1);
  EXPECT_THAT(result.error, HasSubstr("missing-folder"));
  EXPECT_TRUE(NamesIn(p_.out_dir).empty());
}

struct CommandLineCase {
  std::vector<std::string> args;
  int exit_code;
  const char* stderr_part;
};

TEST_F(OruPackTest, CommandLine) {
  const std::vector<CommandLineCase> cases = {
      {{"--installer", p_.installer}, 2, "--installer and --out are both required"},
      {{"--installer", p_.installer, "--out"}, 2, "--out needs a value"},
      {{"--installer", p_.installer, "--out", p_.out, "--skin", p_.skin, "--skin", p_.skin}, 2, "--skin is given twice"},
      {{"--installer", p_.installer, "--out", p_.out, "--colour", "red"}, 2, "unknown argument --colour"},
      {{"--installer", "", "--out", p_.out, "--icon", p_.icon}, 2, "--installer needs a non-empty value"},
      {{"--out", p_.out, "--installer", p_.installer, "--lang-xml", p_.product}, 2, "not <Lang>"},
  };
  for (const CommandLineCase& c : cases) {
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(RunOruPack(c.args, out, err), c.exit_code) << ::testing::PrintToString(c.args);
    EXPECT_THAT(err.str(), HasSubstr(c.stderr_part)) << ::testing::PrintToString(c.args);
    EXPECT_FALSE(fs::exists(p_.out)) << ::testing::PrintToString(c.args);
  }

  std::ostringstream help_out;
  std::ostringstream help_err;
  EXPECT_EQ(RunOruPack({"--help"}, help_out, help_err), 0);
  for (const char* flag : {"--installer", "--out", "--product-xml", "--lang-xml", "--skin", "--icon", "--force"}) {
    EXPECT_THAT(help_out.str(), HasSubstr(flag));
  }

  std::ostringstream ok_out;
  std::ostringstream ok_err;
  EXPECT_EQ(RunOruPack({"--installer", p_.installer, "--out", p_.out, "--force", "--skin", p_.skin}, ok_out, ok_err), 0)
      << ok_err.str();
  ExpectOverlay(p_.out, {{"ZIPRES", 133, kSkinZip}});
}

TEST_F(OruPackTest, TheToolReportsARefusedProductXmlOnStderrWithExitCode2) {
  WriteFileForTesting(p_.product, "<Product><ProductName>Broken</Product>");
  ChildOptions refused;
  refused.argv = {ORU_PACK_BIN, "--installer", p_.installer, "--out", p_.out, "--product-xml", p_.product};
  refused.output_dir = dir_.Child("logs");
  fs::create_directories(refused.output_dir);
  ChildProcess tool(refused);
  EXPECT_EQ(tool.Wait(), 2);
  EXPECT_THAT(tool.Stderr(), HasSubstr("product.xml does not parse"));
  EXPECT_FALSE(fs::exists(p_.out));

  WriteFileForTesting(p_.product, kProductXml);
  ChildProcess packed(refused);
  EXPECT_EQ(packed.Wait(), 0) << packed.Stderr();
  ExpectOverlay(p_.out, {{"XML", 106, kProductXml}});
}

}  // namespace
}  // namespace oru
