#include "common/json.h"

#include <gtest/gtest.h>

#include "common/url.h"

namespace oru {
namespace {

TEST(ReadApiCodeTest, OnlyANumericTopLevelCodeCounts) {
  struct Case {
    const char* text;
    int code;
  } cases[] = {
      {R"({"code":0,"data":{}})", 0},
      {R"({"code":401,"msg":"x"})", 401},
      {R"({"code":"0"})", -1},
      {R"({"code":2.9})", 2},
      {R"({"data":{"code":0}})", -1},
      {R"([{"code":0}])", -1},
      {"<html>502 Bad Gateway</html>", -1},
      {"", -1},
      {R"({"code":0} trailing)", -1},
      {R"({"code":1e30})", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(ReadApiCode(c.text), c.code) << c.text;
}

TEST(JsonViewTest, ReadsMembersByKind) {
  auto doc = JsonDocument::Parse(R"({"data":{"access_token":"abc","n":5,"b":true,"z":null,"a":[1,"x"]}})");
  ASSERT_TRUE(doc.has_value());
  JsonView data = doc->root().Get("data");
  EXPECT_EQ(data.Get("access_token").String(), "abc");
  EXPECT_EQ(data.Get("n").String(), std::nullopt);
  EXPECT_EQ(data.Get("n").Integer(), 5);
  EXPECT_EQ(data.Get("b").Bool(), true);
  EXPECT_TRUE(data.Get("z").IsNull());
  EXPECT_EQ(data.Get("a").Size(), 2);
  EXPECT_EQ(data.Get("a").At(1).String(), "x");
  EXPECT_FALSE(data.Get("missing").Get("deeper").exists());
  EXPECT_FALSE(data.Get("a").At(7).exists());
}

TEST(JsonObjectBuilderTest, KeepsOrderAndEscapes) {
  JsonObjectBuilder inner;
  inner.AddString("k", "v");
  JsonObjectBuilder b;
  b.AddInteger("product_id", 1001)
      .AddString("client_sign", "a\"b\\c\n")
      .AddBool("t", true)
      .AddObject("o", std::move(inner))
      .AddInteger("big", 9007199254740993LL)
      .AddString("bad", std::string("x\xff", 2));
  EXPECT_EQ(b.Print(),
            R"({"product_id":1001,"client_sign":"a\"b\\c\n","t":true,"o":{"k":"v"},"big":9007199254740993,"bad":"x?"})");
  EXPECT_TRUE(b.Has("t"));
  EXPECT_FALSE(b.Has("missing"));
}

TEST(UrlTest, EncodesEverythingOutsideTheUnreservedSet) {
  EXPECT_EQ(UrlEncode("a b/c?d=e&f#g~_.-"), "a%20b%2Fc%3Fd%3De%26f%23g~_.-");
  EXPECT_EQ(UrlEncode("\xE4\xB8\xAD"), "%E4%B8%AD");
  EXPECT_EQ(UrlEncodePath("dir/a b.xml"), "dir/a%20b.xml");
  EXPECT_EQ(AppendQueryParameter("http://h/p", "_t", "1"), "http://h/p?_t=1");
  EXPECT_EQ(AppendQueryParameter("http://h/p?a=1", "back", "http://x/?y=1"), "http://h/p?a=1&back=http%3A%2F%2Fx%2F%3Fy%3D1");
}

}  // namespace
}  // namespace oru
