#include "config/xml_document.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "support/scoped_temp_dir.h"

namespace oru {
namespace {

using testing::ReadFileForTesting;
using testing::ScopedTempDir;
using testing::WriteFileForTesting;

// The element tree as seen through navigation alone: name=data(children).
std::string Outline(XmlDocument& doc) {
  std::string out;
  doc.ResetPos();
  for (;;) {
    if (doc.FindElem()) {
      out += doc.GetTagName() + "=" + doc.GetData() + "(";
      doc.IntoElem();
      continue;
    }
    if (!doc.OutOfElem()) break;
    out += ")";
  }
  return out;
}

std::string DataOf(const std::string& xml) {
  XmlDocument doc;
  EXPECT_TRUE(doc.SetDoc(xml)) << doc.GetResult();
  EXPECT_TRUE(doc.FindElem("a"));
  return doc.GetData();
}

TEST(XmlDocumentTest, EntitiesInText) {
  EXPECT_EQ(DataOf("<a>&amp;&#65;&#x42;&foo</a>"), "&AB&foo");
}

struct TextCase {
  const char* xml;
  const char* data;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.xml; }

class XmlTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(XmlTextTest, DecodesElementText) { EXPECT_EQ(DataOf(GetParam().xml), GetParam().data); }

INSTANTIATE_TEST_SUITE_P(
    Cases, XmlTextTest,
    ::testing::Values(
        TextCase{"<a>&lt;&gt;&apos;&quot;</a>", "<>'\""},
        TextCase{"<a>&amp;lt;</a>", "&lt;"},  // decoded once only
        TextCase{"<a>&LT;&#X41;&#65&#;&#x;&#xG;</a>", "&LT;&#X41;&#65&#;&#x;&#xG;"},
        TextCase{"<a>&#x1F600;&#x10FFFF;&#233;</a>", "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xC3\xA9"},
        TextCase{"<a>&#000065;&#0000065;</a>", "A&#0000065;"},  // six digits at most
        // No character: these stay as written instead of becoming NUL,
        // a lone surrogate or an out-of-range value.
        TextCase{"<a>&#0;&#x0;&#xD800;&#57343;&#x110000;</a>", "&#0;&#x0;&#xD800;&#57343;&#x110000;"},
        // An overlong "<" must not turn into markup or text "<".
        TextCase{"<a>\xC0\xBC" "b\xE0\x80\xBC</a>", "?b?"},
        TextCase{"<a>x<![CDATA[<b>&amp;]]>y</a>", "x<b>&amp;y"},
        TextCase{"<a>1<!-- <b> -->2<?pi <x> ?>3</a>", "123"},
        TextCase{"<a>1<b>inner</b>2<c/>3</a>", "123"},
        TextCase{"<a></a>", ""}));

struct ParseCase {
  const char* xml;
  const char* result;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.xml; }

class XmlParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(XmlParseTest, ReportsMessages) {
  XmlDocument doc;
  const bool well_formed = doc.SetDoc(std::string(GetParam().xml));
  EXPECT_EQ(doc.GetResult(), GetParam().result);
  EXPECT_EQ(well_formed, std::string(GetParam().result).empty());
  EXPECT_EQ(doc.IsWellFormed(), well_formed);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, XmlParseTest,
    ::testing::Values(
        ParseCase{"", "Empty document"},
        ParseCase{"  \n", "No root element"},
        ParseCase{"<?xml version=\"1.0\"?><!-- only -->", "No root element"},
        ParseCase{"<a/><b/>", "Root element has sibling"},
        ParseCase{"<a></a>text<b></b><c/>", "Root element has sibling"},
        ParseCase{"</a>", "No start tag for end tag 'a' at offset 0, No root element"},
        ParseCase{"<a></a></b>", "No start tag for end tag 'b' at offset 7"},
        ParseCase{"<a><b></a>", "End tag 'a' at offset 6 does not match start tag 'b' at offset 3"},
        ParseCase{"<a>x</A>",
                  "End tag 'A' at offset 4 does not match start tag 'a' at offset 0, "
                  "Element 'a' at offset 0 not ended"},
        // Offsets count UTF-16 units: the emoji before the end tag is two.
        ParseCase{"<a>\xF0\x9F\x98\x80</b></a>",
                  "End tag 'b' at offset 5 does not match start tag 'a' at offset 0"},
        ParseCase{"<a><b>", "Element 'a' at offset 0 not ended, Element 'b' at offset 3 not ended"},
        ParseCase{"<a><1/></a>", "Incorrect Element tag at offset 3"},
        ParseCase{"<a b=1/>", "Incorrect Element tag at offset 0, No root element"},
        ParseCase{"<a><b x='1'y='2'/></a>", "Incorrect Element tag at offset 3"},
        // Scanning resumes at the "<", which then is a tag of its own.
        ParseCase{"<a><b x='<'/></a>",
                  "Incorrect Element tag at offset 3, Incorrect Element tag at offset 9"},
        ParseCase{"<a></ a>", "Incorrect Element end tag at offset 3, Element 'a' at offset 0 not ended"},
        ParseCase{"<a><!x></a>", "Incorrect Element tag at offset 3"},
        ParseCase{"<a><!-x--></a>", "Incorrect Comment at offset 3"},
        ParseCase{"<a><![CDAT[x]]></a>", "Incorrect CDATA Section at offset 3"},
        ParseCase{"<a><!DOCTYPE a></a>", "Incorrect Doctype at offset 3"},
        ParseCase{"<", "Element tag at offset 0 unterminated, No root element"},
        ParseCase{"<a b='1'", "Element tag at offset 0 unterminated, No root element"},
        ParseCase{"<a></a", "Element end tag at offset 3 unterminated, Element 'a' at offset 0 not ended"},
        ParseCase{"<a><![CDATA[x</a>",
                  "CDATA Section at offset 3 unterminated, Element 'a' at offset 0 not ended"},
        ParseCase{"<a><![CDA", "CDATA Section at offset 3 unterminated, Element 'a' at offset 0 not ended"},
        ParseCase{"<?xml version='1.0'", "Processing instruction at offset 0 unterminated, No root element"},
        ParseCase{"<a><!-- x</a>", "Comment at offset 3 unterminated, Element 'a' at offset 0 not ended"},
        ParseCase{"<!-", "Comment at offset 0 unterminated, No root element"},
        ParseCase{"<!DOCTYPE a [<!ENTITY x 'y'>", "Doctype at offset 0 unterminated, No root element"},
        ParseCase{"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<!DOCTYPE r [<!ELEMENT r ANY> <!-- ']> --> <!ATTLIST r a CDATA '>'>]>\n"
                  "<!-- c --><r a='1' b = \"2\" ><?pi x?><x/><y></y >&amp;</r>\n<!-- after -->",
                  ""}));

TEST(XmlDocumentTest, DocumentThatDidNotParseFindsNothing) {
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDoc("<a><b>x</b></a><c/>"));
  EXPECT_FALSE(doc.FindElem("a"));
  EXPECT_FALSE(doc.FindElem());
  EXPECT_FALSE(doc.FindChildElem("b"));
  EXPECT_FALSE(doc.IntoElem());
  EXPECT_EQ(doc.GetData(), "");
  EXPECT_EQ(doc.GetAttrib("x"), "");
  EXPECT_FALSE(doc.AddElem("d"));
  EXPECT_EQ(doc.GetDoc(), u"<a><b>x</b></a><c/>");

  EXPECT_TRUE(doc.SetDoc("<a/>"));  // a later good parse clears the result
  EXPECT_EQ(doc.GetResult(), "");
  EXPECT_TRUE(doc.FindElem("a"));
}

constexpr const char* kProduct =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<Product>\n"
    "  <Name>Quorvane</Name>\n"
    "  <Url_Down>https://a.example/1</Url_Down>\n"
    "  <Other/>\n"
    "  <Url_Down>https://a.example/2</Url_Down>\n"
    "  <Dependents>\n"
    "    <Dependent id=\"d1\"><Name>One</Name><Url>u1</Url></Dependent>\n"
    "    <!-- <Dependent id=\"ghost\"/> -->\n"
    "    <Dependent id='d2'><Name>Two</Name></Dependent>\n"
    "  </Dependents>\n"
    "  <Version>1.2.3</Version>\n"
    "</Product>\n";

class XmlNavigationTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(doc_.SetDoc(kProduct)) << doc_.GetResult(); }
  XmlDocument doc_;
};

TEST_F(XmlNavigationTest, FindElemFindsSuccessiveSiblings) {
  doc_.ResetPos();
  ASSERT_TRUE(doc_.FindElem("Product"));
  ASSERT_TRUE(doc_.IntoElem());
  ASSERT_TRUE(doc_.FindElem("Url_Down"));
  EXPECT_EQ(doc_.GetData(), "https://a.example/1");
  ASSERT_TRUE(doc_.FindElem("Url_Down"));
  EXPECT_EQ(doc_.GetData(), "https://a.example/2");
  EXPECT_FALSE(doc_.FindElem("Url_Down"));
  EXPECT_EQ(doc_.GetData(), "https://a.example/2");  // a miss keeps the position

  // Lookups run below the current position only: Name comes before it.
  EXPECT_FALSE(doc_.FindElem("Name"));
  doc_.ResetPos();
  EXPECT_FALSE(doc_.FindElem("Url_Down"));  // not a top-level element
  EXPECT_FALSE(doc_.FindElem("product"));   // names are case-sensitive
  EXPECT_TRUE(doc_.FindElem(nullptr));      // any element
  EXPECT_EQ(doc_.GetTagName(), "Product");
}

TEST_F(XmlNavigationTest, GroupPatternReadsChildrenAndContinuesAfterGroup) {
  doc_.ResetPos();
  ASSERT_TRUE(doc_.FindElem("Product"));
  ASSERT_TRUE(doc_.IntoElem());
  ASSERT_TRUE(doc_.FindElem("Dependents"));
  ASSERT_TRUE(doc_.IntoElem());
  std::vector<std::string> seen;
  while (doc_.FindElem("Dependent")) {
    std::string entry = doc_.GetAttrib("id") + ":";
    ASSERT_TRUE(doc_.IntoElem());
    if (doc_.FindElem("Name")) entry += doc_.GetData();
    if (doc_.FindElem("Url")) entry += "," + doc_.GetData();
    ASSERT_TRUE(doc_.OutOfElem());
    EXPECT_EQ(doc_.GetTagName(), "Dependent");
    seen.push_back(entry);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"d1:One,u1", "d2:Two"}));
  ASSERT_TRUE(doc_.OutOfElem());
  EXPECT_EQ(doc_.GetTagName(), "Dependents");
  ASSERT_TRUE(doc_.FindElem("Version"));
  EXPECT_EQ(doc_.GetData(), "1.2.3");
  ASSERT_TRUE(doc_.OutOfElem());
  EXPECT_EQ(doc_.GetTagName(), "Product");
  EXPECT_FALSE(doc_.OutOfElem());  // already at the document level
}

TEST_F(XmlNavigationTest, ChildLookupsAndEdges) {
  doc_.ResetPos();
  EXPECT_FALSE(doc_.IntoElem());  // nothing current yet
  ASSERT_TRUE(doc_.FindChildElem("Version"));  // takes the root first
  EXPECT_EQ(doc_.GetTagName(), "Product");
  EXPECT_EQ(doc_.GetChildData(), "1.2.3");
  EXPECT_FALSE(doc_.FindChildElem("Name"));  // before the current child

  // IntoElem makes the current child current, so the next FindElem moves on.
  doc_.ResetPos();
  ASSERT_TRUE(doc_.FindElem("Product"));
  ASSERT_TRUE(doc_.FindChildElem("Url_Down"));
  ASSERT_TRUE(doc_.IntoElem());
  EXPECT_EQ(doc_.GetData(), "https://a.example/1");
  ASSERT_TRUE(doc_.FindElem("Url_Down"));
  EXPECT_EQ(doc_.GetData(), "https://a.example/2");
}

TEST(XmlDocumentTest, Attributes) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDoc("<a x=\"1\" xx='2' y = 'two &amp; &#x33;&lt;' z=\"it's\" q='say \"hi\"' "
                         "gt='>' e=''/>"))
      << doc.GetResult();
  ASSERT_TRUE(doc.FindElem("a"));
  EXPECT_EQ(doc.GetAttrib("x"), "1");
  EXPECT_EQ(doc.GetAttrib("xx"), "2");
  EXPECT_EQ(doc.GetAttrib("y"), "two & 3<");
  EXPECT_EQ(doc.GetAttrib("z"), "it's");
  EXPECT_EQ(doc.GetAttrib("q"), "say \"hi\"");
  EXPECT_EQ(doc.GetAttrib("gt"), ">");
  EXPECT_EQ(doc.GetAttrib("e"), "");
  EXPECT_EQ(doc.GetAttrib("X"), "");
  EXPECT_EQ(doc.GetAttrib("missing"), "");
  EXPECT_EQ(doc.GetData(), "");
}

TEST(XmlDocumentTest, AddElemValueWithMarkupCharactersRoundTrips) {
  const std::string value = "C:\\Program Files\\Q <&> \"x\" 'y' \xF0\x9F\x98\x80";
  XmlDocument doc;
  ASSERT_TRUE(doc.AddElem("Path", value));
  EXPECT_EQ(doc.GetDocUtf8(),
            "<Path>C:\\Program Files\\Q &lt;&amp;&gt; &quot;x&quot; &apos;y&apos; "
            "\xF0\x9F\x98\x80</Path>");
  EXPECT_EQ(doc.GetData(), value);
  XmlDocument reread;
  ASSERT_TRUE(reread.SetDoc(doc.GetDoc()));
  ASSERT_TRUE(reread.FindElem("Path"));
  EXPECT_EQ(reread.GetData(), value);
}

TEST(XmlDocumentTest, BuildsDocumentThatReparsesToSameTree) {
  XmlDocument doc;
  ASSERT_TRUE(doc.AddElem("ORU"));
  EXPECT_FALSE(doc.AddElem("Second"));  // one root only
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.AddElem("Status", "1"));
  ASSERT_TRUE(doc.AddElem("Empty"));
  ASSERT_TRUE(doc.IntoElem());  // children go into the former <Empty/>
  ASSERT_TRUE(doc.AddElem("Inner", "v"));
  ASSERT_TRUE(doc.OutOfElem());
  ASSERT_TRUE(doc.AddElem("Last", "l"));
  EXPECT_EQ(doc.GetDocUtf8(),
            "<ORU><Status>1</Status><Empty><Inner>v</Inner></Empty><Last>l</Last></ORU>");

  // Insert in the middle: after the current element, and as a child after
  // the current child.
  doc.ResetPos();
  ASSERT_TRUE(doc.FindElem("ORU"));
  ASSERT_TRUE(doc.FindChildElem("Status"));
  ASSERT_TRUE(doc.AddChildElem("AfterStatus", "a"));
  EXPECT_EQ(doc.GetChildData(), "a");
  ASSERT_TRUE(doc.IntoElem());
  ASSERT_TRUE(doc.FindElem("Empty"));
  ASSERT_TRUE(doc.AddChildElem("Inner2", "w"));  // appended after the last child
  ASSERT_TRUE(doc.AddElem("AfterEmpty"));
  ASSERT_TRUE(doc.AddChildElem("Deep", "d"));  // expands <AfterEmpty/>

  const std::string expected = "ORU=(Status=1()AfterStatus=a()Empty=(Inner=v()Inner2=w())"
                               "AfterEmpty=(Deep=d())Last=l())";
  EXPECT_EQ(Outline(doc), expected);
  XmlDocument reread;
  ASSERT_TRUE(reread.SetDoc(doc.GetDoc())) << reread.GetResult();
  EXPECT_EQ(Outline(reread), expected);
}

TEST(XmlDocumentTest, BuildsOnEmptyOrElementlessDocumentsOnly) {
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDoc("<?xml version=\"1.0\"?>\n"));
  ASSERT_TRUE(doc.AddElem("r", "x"));
  EXPECT_EQ(doc.GetDocUtf8(), "<?xml version=\"1.0\"?>\n<r>x</r>");
  EXPECT_TRUE(doc.IsWellFormed());

  EXPECT_FALSE(doc.SetDoc(""));
  EXPECT_TRUE(doc.AddElem("r"));

  EXPECT_FALSE(doc.SetDoc("<!-- cut"));  // a markup error is not built on
  EXPECT_FALSE(doc.AddElem("r"));

  ASSERT_TRUE(doc.SetDoc("<r/>"));
  EXPECT_FALSE(doc.AddChildElem("c"));  // no current element
  ASSERT_TRUE(doc.FindElem("r"));
  for (const char* bad : {"", "1a", "a b", "a<b", "a/", "a&b", "\xC0\x80"}) {
    EXPECT_FALSE(doc.AddChildElem(bad, "v")) << bad;
  }
  EXPECT_EQ(doc.GetDoc(), u"<r/>");
}

TEST(XmlDocumentTest, Utf16InputKeepsOffsetsAndSurvivesLoneSurrogates) {
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDoc(std::u16string(u"<a\xD800 v='\xDC00'>\xDC00</a\xD800>")));
  ASSERT_TRUE(doc.FindElem());
  EXPECT_EQ(doc.GetTagName(), "a?");
  EXPECT_EQ(doc.GetData(), "?");
  EXPECT_EQ(doc.GetAttrib("v"), "?");
}

TEST(XmlDocumentTest, HostileNestingNeitherRecursesNorFloods) {
  constexpr int kDepth = 200000;
  std::string deep;
  for (int i = 0; i < kDepth; ++i) deep += "<a>";
  deep += "x";
  for (int i = 0; i < kDepth; ++i) deep += "</a>";
  XmlDocument doc;
  ASSERT_TRUE(doc.SetDoc(deep));
  int depth = 0;
  while (doc.FindElem("a") && doc.IntoElem()) ++depth;
  EXPECT_EQ(depth, kDepth);
  ASSERT_TRUE(doc.OutOfElem());
  EXPECT_EQ(doc.GetData(), "x");

  // Unclosed depth: the messages stop at 100 instead of one per element.
  EXPECT_FALSE(doc.SetDoc(deep.substr(0, 3 * kDepth)));
  const std::string& result = doc.GetResult();
  size_t separators = 0;
  for (size_t at = result.find(", "); at != std::string::npos; at = result.find(", ", at + 2)) {
    ++separators;
  }
  EXPECT_EQ(separators, 99u);
  EXPECT_TRUE(result.starts_with("Element 'a' at offset 0 not ended, Element 'a' at offset 3"));
}

TEST(XmlDocumentTest, LongNamesAreShortenedInMessages) {
  const std::string name(150, 'n');
  XmlDocument doc;
  EXPECT_FALSE(doc.SetDoc("<" + name + ">"));
  EXPECT_EQ(doc.GetResult(), "Element '" + name.substr(0, 100) + "...' at offset 0 not ended");
}

class XmlFileTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
};

TEST_F(XmlFileTest, WriteThenReadRoundTripsNonBmpText) {
  const std::u16string text = u"<a>\u00E9\xD83D\xDE00</a>";
  const std::string path = dir_.Child("doc.xml");
  std::string result;
  ASSERT_TRUE(XmlDocument::WriteTextFile(path, text, result));
  EXPECT_EQ(result, "10 wide chars to UTF-8 13 bytes");
  EXPECT_EQ(ReadFileForTesting(path), "<a>\xC3\xA9\xF0\x9F\x98\x80</a>");  // no BOM

  std::u16string read;
  ASSERT_TRUE(XmlDocument::ReadTextFile(path, read, result));
  EXPECT_EQ(read, text);
  EXPECT_EQ(result, "UTF-8 13 bytes to 10 wide chars");
}

TEST_F(XmlFileTest, WriteReplacesWholeFileAndLeavesNoTemporaryFile) {
  const std::string path = dir_.Child("state.xml");
  WriteFileForTesting(path, std::string(1000, 'x'));
  std::string result;
  ASSERT_TRUE(XmlDocument::WriteTextFile(path, u"<r>\xD800</r>", result));
  EXPECT_EQ(ReadFileForTesting(path), "<r>?</r>");  // lone surrogate as "?"
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"state.xml"});
}

TEST_F(XmlFileTest, WriteFailuresLeaveTargetAlone) {
  std::string result;
  EXPECT_FALSE(XmlDocument::WriteTextFile(dir_.Child("missing/doc.xml"), u"<a/>", result));
  EXPECT_EQ(result, "Unable to write file");

  const std::string folder = dir_.Child("folder");
  std::filesystem::create_directory(folder);
  WriteFileForTesting(folder + "/keep", "k");
  result.clear();
  EXPECT_FALSE(XmlDocument::WriteTextFile(folder, u"<a/>", result));
  EXPECT_EQ(result, "Unable to write file");
  EXPECT_EQ(ReadFileForTesting(folder + "/keep"), "k");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_.path()),
                          std::filesystem::directory_iterator()),
            1);  // no temporary file left behind
}

TEST_F(XmlFileTest, ReadDecodesLenientlyAndDropsBom) {
  const std::string path = dir_.Child("in.xml");
  std::u16string doc;
  std::string result;
  WriteFileForTesting(path, "\xEF\xBB\xBF<a>\xC0\xBC\xFF</a>");
  ASSERT_TRUE(XmlDocument::ReadTextFile(path, doc, result));
  EXPECT_EQ(doc, u"<a>?" u"?</a>");
  EXPECT_EQ(result, "UTF-8 BOM 13 bytes to 9 wide chars");

  WriteFileForTesting(path, "");
  ASSERT_TRUE(XmlDocument::ReadTextFile(path, doc, result));
  EXPECT_EQ(result, "UTF-8 0 bytes to 0 wide chars");
}

TEST_F(XmlFileTest, ReadFailures) {
  std::u16string doc = u"stale";
  std::string result;
  EXPECT_FALSE(XmlDocument::ReadTextFile(dir_.Child("missing.xml"), doc, result));
  EXPECT_EQ(result, "Unable to open file");
  EXPECT_EQ(doc, u"");
  EXPECT_FALSE(XmlDocument::ReadTextFile(dir_.path(), doc, result));
  EXPECT_EQ(result, "Unable to open file");
}

TEST_F(XmlFileTest, LoadAndSaveCarryResults) {
  const std::string path = dir_.Child("run.xml");
  XmlDocument doc;
  ASSERT_TRUE(doc.AddElem("ORU"));
  ASSERT_TRUE(doc.AddChildElem("Status", "2"));
  ASSERT_TRUE(doc.Save(path));
  EXPECT_EQ(doc.GetResult(), "29 wide chars to UTF-8 29 bytes");

  XmlDocument loaded;
  ASSERT_TRUE(loaded.Load(path));
  EXPECT_EQ(loaded.GetResult(), "UTF-8 29 bytes to 29 wide chars");
  ASSERT_TRUE(loaded.FindChildElem("Status"));
  EXPECT_EQ(loaded.GetChildData(), "2");

  WriteFileForTesting(path, "<a/><b/>");
  EXPECT_FALSE(loaded.Load(path));
  EXPECT_EQ(loaded.GetResult(), "UTF-8 8 bytes to 8 wide chars, Root element has sibling");
  EXPECT_FALSE(loaded.Load(dir_.Child("missing.xml")));
  EXPECT_EQ(loaded.GetResult(), "Unable to open file");
  EXPECT_EQ(loaded.GetDoc(), u"");
}

}  // namespace
}  // namespace oru
