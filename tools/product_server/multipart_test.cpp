#include "product_server/multipart.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace oru::product_server {
namespace {

using ::testing::HasSubstr;
using ::testing::Optional;

TEST(MultipartBoundaryTest, ComesFromTheContentType) {
  struct Case {
    const char* content_type;
    std::optional<std::string> boundary;
  } cases[] = {
      {"multipart/form-data; boundary=------------------------d74496d66958873e",
       "------------------------d74496d66958873e"},
      {"Multipart/Form-Data;BOUNDARY=abc", "abc"},
      {"multipart/form-data; charset=utf-8; boundary=\"a b:c?\"", "a b:c?"},
      {"multipart/form-data; boundary=\"quoted\\\"not\"", std::nullopt},  // '"' is not a boundary character
      {"multipart/form-data; boundary=abc;", "abc"},
      {"multipart/form-data", std::nullopt},
      {"multipart/form-data; boundary=", std::nullopt},
      {"multipart/form-data; boundary=\"unterminated", std::nullopt},
      {"multipart/form-data; boundary=\"ends in space \"", std::nullopt},
      {"multipart/form-data; boundary=semi<colon>", std::nullopt},
      {"multipart/mixed; boundary=abc", std::nullopt},
      {"application/json", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(MultipartBoundary(c.content_type), c.boundary) << c.content_type;
  EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(70, 'x')), std::string(70, 'x'));
  EXPECT_EQ(MultipartBoundary("multipart/form-data; boundary=" + std::string(71, 'x')), std::nullopt);
}

TEST(MultipartParseTest, CutsPartsOutExactly) {
  // Content that itself holds CRLFs, NULs and a near-boundary must survive
  // byte for byte; only the CRLF before each delimiter belongs to it.
  const std::string binary = std::string("line\r\n\0--XY\r\n-XYZ--\r\n\r\n", 23) + "\r\n--XY";
  const std::string body = "preamble text\r\n"
                           "--XYZ\r\n"
                           "Content-Disposition: form-data; name=\"note\"\r\n"
                           "\r\n"
                           "hello\r\n"
                           "--XYZ  \r\n"
                           "content-disposition: form-data; name=\"file\"; filename=\"a \\\"b\\\".log\"\r\n"
                           "Content-Type: application/octet-stream\r\n"
                           "\r\n" +
                           binary +
                           "\r\n"
                           "--XYZ--\r\n"
                           "epilogue";
  std::string error;
  auto parts = ParseMultipart(body, "XYZ", &error);
  ASSERT_TRUE(parts) << error;
  ASSERT_EQ(parts->size(), 2u);
  EXPECT_EQ((*parts)[0].name, "note");
  EXPECT_EQ((*parts)[0].file_name, std::nullopt) << "a part without filename is not a file";
  EXPECT_EQ((*parts)[0].content_type, "text/plain");
  EXPECT_EQ((*parts)[0].content, "hello");
  EXPECT_EQ((*parts)[1].name, "file");
  EXPECT_THAT((*parts)[1].file_name, Optional(std::string("a \"b\".log")));
  EXPECT_EQ((*parts)[1].content_type, "application/octet-stream");
  EXPECT_EQ((*parts)[1].content, binary);
}

TEST(MultipartParseTest, EmptyContentAndNoPreamble) {
  const std::string body =
      "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"\"\r\n\r\n\r\n--b--";
  auto parts = ParseMultipart(body, "b", nullptr);
  ASSERT_TRUE(parts);
  ASSERT_EQ(parts->size(), 1u);
  EXPECT_THAT((*parts)[0].file_name, Optional(std::string()));
  EXPECT_EQ((*parts)[0].content, "");
}

TEST(MultipartParseTest, MalformedOrTruncatedBodiesAreRefused) {
  const std::string head = "--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"x\"\r\n\r\n";
  struct Case {
    const char* name;
    std::string body;
    const char* why;
  } cases[] = {
      {"no boundary at all", "just text", "no opening boundary"},
      {"other boundary", "--c\r\n\r\nx\r\n--c--", "no opening boundary"},
      {"cut inside the content", head + "abc", "closing boundary"},
      {"cut before the closing dashes", head + "abc\r\n--b", "ends after a boundary"},
      {"cut inside a head", "--b\r\nContent-Disposition: form-da", "inside a part head"},
      {"text after the boundary", "--bogus\r\n\r\n--b--", "text after it"},
      {"bare LF line ends", "--b\nContent-Disposition: form-data; name=\"f\"\n\nx\n--b--", "text after it"},
      {"no disposition", "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--", "without Content-Disposition"},
      {"no name", "--b\r\nContent-Disposition: form-data; filename=\"x\"\r\n\r\nx\r\n--b--", "without a name"},
      {"not form-data", "--b\r\nContent-Disposition: attachment; name=\"x\"\r\n\r\nx\r\n--b--", "not form-data"},
      {"head line without colon", "--b\r\nnonsense\r\n\r\nx\r\n--b--", "without \":\""},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(ParseMultipart(c.body, "b", &error), std::nullopt) << c.name;
    EXPECT_THAT(error, HasSubstr(c.why)) << c.name;
  }
}

}  // namespace
}  // namespace oru::product_server
