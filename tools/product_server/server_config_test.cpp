#include "product_server/server_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "product_server/endpoints.h"
#include "product_server/server_options.h"
#include "product_server/server_store.h"
#include "support/scoped_temp_dir.h"
#include "support/test_clock.h"

namespace oru::product_server {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Pair;
using oru::testing::ScopedTempDir;

TEST(ServerConfigTest, ReadsEverySettingAndResolvesPathsFromTheFilesFolder) {
  const std::string text = R"({
    "listen": ["127.0.0.3", "127.0.0.4"], "port": 8443,
    "tls": {"cert": "tls/server.pem", "key": "/abs/server-key.pem"},
    "store": "received.sqlite", "package_dir": "packages", "public_ip": "198.51.100.2",
    "threads_per_address": 8, "admin": false,
    "credentials": {"app_key": "k.demo", "app_secret": "s"},
    "token_lifetime_s": 60, "tokens": ["t1"],
    "httpdns": {"account_id": "a", "access_key_id": "b", "signing_secret": "c", "max_clock_skew_s": 30,
                "answers": {"Pkg.Example.TEST": ["127.0.0.1"]}},
    "pages": {"thankyou": "Thanks"},
    "products": {"77": {
      "runtime": {"name": "P & Q", "filesize": 12345, "not_support_win32": true},
      "bind": [{"ProductID": "78", "ForceInstall": "false"}, {}],
      "relation_ids": [78, -1],
      "preheat": {"max_probe_time_s": 0},
      "slice": {"package_tier_min_mb": 100},
      "alias_hosts": ["alias.example.test"],
      "static_documents": ["App_Web"]}}
  })";
  std::string error;
  std::optional<ServerConfig> c = ParseServerConfig(text, "/srv/ps", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_THAT(c->listen, ElementsAre("127.0.0.3", "127.0.0.4"));
  EXPECT_EQ(c->port, 8443);
  ASSERT_TRUE(c->tls);
  EXPECT_EQ(c->tls->cert_path, "/srv/ps/tls/server.pem");
  EXPECT_EQ(c->tls->key_path, "/abs/server-key.pem");
  EXPECT_EQ(c->store_path, "/srv/ps/received.sqlite");
  EXPECT_EQ(c->package_dir, "/srv/ps/packages");
  EXPECT_EQ(c->public_ip, "198.51.100.2");
  EXPECT_EQ(c->threads_per_address, 8);
  EXPECT_FALSE(c->admin_enabled);
  EXPECT_EQ(c->app_key, "k.demo");
  EXPECT_EQ(c->token_lifetime, std::chrono::seconds(60));
  EXPECT_EQ(c->http_dns.max_clock_skew, std::chrono::seconds(30));
  EXPECT_THAT(c->http_dns.answers, ElementsAre(Pair("pkg.example.test", ElementsAre("127.0.0.1"))));
  EXPECT_EQ(c->pages.at("thankyou"), "Thanks");
  const ProductEntry& p = c->products.at(77);
  EXPECT_THAT(p.runtime, ElementsAre(Pair("name", "P & Q"), Pair("filesize", "12345"), Pair("not_support_win32", "true")));
  ASSERT_EQ(p.bind.size(), 2u);
  EXPECT_THAT(p.bind[0], ElementsAre(Pair("ProductID", "78"), Pair("ForceInstall", "false")));
  EXPECT_THAT(p.relation_ids, ElementsAre(78, -1));
  EXPECT_EQ(p.preheat_data, R"({"max_probe_time_s":0})");
  EXPECT_EQ(p.slice_data, R"({"package_tier_min_mb":100})");
  EXPECT_THAT(p.static_documents, ElementsAre("App_Web"));

  std::optional<ServerConfig> in_memory = ParseServerConfig(R"({"store": ":memory:"})", "/srv/ps", &error);
  ASSERT_TRUE(in_memory) << error;
  EXPECT_EQ(in_memory->store_path, ":memory:");
}

TEST(ServerConfigTest, MistakesNameTheirPlace) {
  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {"{\n  \"port\": 80,\n  \"listen\": [\"127.0.0.1\",]\n}", "line 3, column"},
      {R"({"port": 80} trailing)", "unexpected text after the JSON value"},
      {"[]", "must be a JSON object"},
      {R"({"prot": 80})", "prot: unknown setting"},
      {R"({"port": 70000})", "port: must be between 0 and 65535"},
      {R"({"port": 80.5})", "port: must be a whole number"},
      {R"({"port": 80, "port": 81})", "port: given twice"},
      {R"({"listen": []})", "listen: needs at least one address"},
      {R"({"listen": ["127.0.0.1", "a b"]})", "listen[1]: not an address"},
      {R"({"tls": {"cert": "c.pem"}})", "tls: needs both"},
      {R"({"store": ""})", "store: must not be empty"},
      {R"({"httpdns": {"answers": {"h": "127.0.0.1"}}})", "httpdns.answers.h: must be a list of texts"},
      {R"({"pages": {"../x": "t"}})", "pages.../x: not a plain name"},
      {R"({"products": {"abc": {}}})", "products.abc: a product id must be a positive decimal number"},
      {R"({"products": {"0": {}}})", "products.0: a product id"},
      {R"({"products": {"1": {"runtime": {"dowload_url": "x"}}}})",
       "products.1.runtime.dowload_url: not a runtime element"},
      {R"({"products": {"1": {"runtime": {"name": ["x"]}}}})", "products.1.runtime.name: must be a text"},
      {R"({"products": {"1": {"runtime": {"name": "a\u0001b"}}}})", "products.1.runtime.name: holds a control"},
      {R"({"products": {"1": {"bind": [{"ProductId": "2"}]}}})", "products.1.bind[0].ProductId: not a bind item"},
      {R"({"products": {"1": {"relation_ids": [1, "2"]}}})", "products.1.relation_ids[1]: must be a whole number"},
      {R"({"products": {"1": {"preheat": [1]}}})", "products.1.preheat: must be an object"},
      {R"({"products": {"1": {"static_documents": ["a/b"]}}})", "products.1.static_documents[0]: not a plain name"},
      {R"({"products": {"1": {"runtime": {"name": "a", "name": "b"}}}})", "products.1.runtime.name: given twice"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseServerConfig(c.text, "", &error)) << c.text;
    EXPECT_THAT(error, HasSubstr(c.error)) << c.text;
  }
}

TEST(ServerConfigTest, RetentionOfferIsReadAndChecked) {
  std::string error;
  std::optional<ServerConfig> c = ParseServerConfig(
      R"({"retention_offer": {"id": 9007199254740992, "type": 1, "title": "Vous partez ?", "content": "−30 %"}})", "",
      &error);
  ASSERT_TRUE(c) << error;
  ASSERT_TRUE(c->retention_offer);
  EXPECT_EQ(c->retention_offer->id, int64_t{1} << 53);
  EXPECT_EQ(c->retention_offer->type, 1);
  EXPECT_EQ(c->retention_offer->title, "Vous partez ?");
  EXPECT_EQ(c->retention_offer->content, "−30 %");
  c = ParseServerConfig(R"({"retention_offer": null})", "", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_FALSE(c->retention_offer);
  EXPECT_TRUE(DemoConfig("/pk").retention_offer) << "the demo offers something";

  struct Case {
    const char* text;
    const char* error;
  } cases[] = {
      {R"({"retention_offer": {"type": 1}})", "retention_offer: needs \"id\" and \"type\""},
      {R"({"retention_offer": {"id": "7", "type": 1}})", "retention_offer.id: must be a whole number"},
      {R"({"retention_offer": {"id": 0, "type": 1}})", "retention_offer.id: must be between 1"},
      {R"({"retention_offer": {"id": 9007199254740994, "type": 1}})", "retention_offer.id: must be between 1"},
      {R"({"retention_offer": {"id": 7, "type": 1.5}})", "retention_offer.type: must be a whole number"},
      {R"({"retention_offer": {"id": 7, "type": 1, "title": 3}})", "retention_offer.title: must be a text"},
      {R"({"retention_offer": {"id": 7, "type": 1, "tips": {}}})", "retention_offer.tips: unknown setting"},
      {R"({"retention_offer": [7]})", "retention_offer: must be an object"},
  };
  for (const Case& k : cases) {
    EXPECT_FALSE(ParseServerConfig(k.text, "", &error)) << k.text;
    EXPECT_THAT(error, HasSubstr(k.error)) << k.text;
  }
}

TEST(ServerConfigTest, FileErrorsCarryThePath) {
  ScopedTempDir dir;
  std::string error;
  EXPECT_FALSE(LoadServerConfigFile(dir.Child("missing.json"), &error));
  EXPECT_EQ(error, dir.Child("missing.json") + ": cannot be read");
  oru::testing::WriteFileForTesting(dir.Child("c.json"), R"({"store": "s.sqlite", "public_ip": 1})");
  EXPECT_FALSE(LoadServerConfigFile(dir.Child("c.json"), &error));
  EXPECT_EQ(error, dir.Child("c.json") + ": public_ip: must be a text");
  oru::testing::WriteFileForTesting(dir.Child("c.json"), R"({"store": "s.sqlite"})");
  std::optional<ServerConfig> c = LoadServerConfigFile(dir.Child("c.json"), &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->store_path, dir.Child("s.sqlite"));
}

TEST(ServerConfigTest, DemoServesTheStudioAndItsDependents) {
  ServerConfig demo = DemoConfig("/pk");
  EXPECT_THAT(demo.listen, ElementsAre("127.0.0.1", "127.0.0.2"));
  EXPECT_EQ(demo.port, 18080);
  EXPECT_EQ(demo.package_dir, "/pk");
  ASSERT_EQ(demo.products.count(1001), 1u);
  ASSERT_EQ(demo.products.count(1002), 1u);
  ASSERT_EQ(demo.products.count(1003), 1u);
  const ProductEntry& studio = demo.products.at(1001);
  EXPECT_EQ(studio.runtime.front(), std::make_pair(std::string("name"), std::string("Quorvane Studio")));
  ASSERT_EQ(studio.bind.size(), 2u);
  EXPECT_THAT(studio.bind[0], ::testing::Contains(Pair("ForkInstall", "1")));
  EXPECT_THAT(studio.bind[1], ::testing::Contains(Pair("ProductID", "1003")));
  EXPECT_THAT(studio.relation_ids, ElementsAre(1001, 1000));
  // Every demo element is one the installer reads.
  for (const auto& [name, value] : studio.runtime) {
    EXPECT_THAT(RuntimeElementNames(), ::testing::Contains(name));
  }
}

TEST(PlaceholderTest, ExpandsServerValuesAndPackageFacts) {
  ScopedTempDir dir;
  oru::testing::WriteFileForTesting(dir.Child("p.bin"), "abc");
  oru::testing::WriteFileForTesting(dir.path() + "/../ps-outside.bin", "outside");
  ServerConfig config;
  config.package_dir = dir.path();
  ServerStore store;
  oru::testing::TestClock clock;
  ServerCore core(config, store, clock);
  core.SetListening({"http://127.0.0.1:9", "http://127.0.0.2:9"}, 9);
  struct Case {
    const char* text;
    const char* expanded;
  } cases[] = {
      {"{base}/packages/p.bin", "http://127.0.0.1:9/packages/p.bin"},
      {"{base:1}|{base:2}|{port}", "http://127.0.0.2:9||9"},
      {"{md5:p.bin},{size:p.bin}", "900150983cd24fb0d6963f7d28e17f72,3"},
      {"[{md5:none.bin}][{size:none.bin}]", "[][]"},
      {"[{md5:../ps-outside.bin}]", "[]"},
      {"{other} {base", "{other} {base"},
      {"{{port}}", "{9}"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(core.ExpandPlaceholders(c.text), c.expanded) << c.text;
  // A changed package gets a new digest.
  oru::testing::WriteFileForTesting(dir.Child("p.bin"), "abcd");
  EXPECT_EQ(core.ExpandPlaceholders("{md5:p.bin}"), "e2fc714c4727ee9395f324cd2e7f331f");
  std::remove((dir.path() + "/../ps-outside.bin").c_str());
}

TEST(ServerArgumentsTest, OptionsAndTheirMistakes) {
  std::string error;
  std::optional<ServerArguments> a = ParseServerArguments(
      {"--demo", "--listen=127.0.0.1,127.0.0.2", "--port", "0", "--store", "s.db", "--tls-cert", "c", "--tls-key=k"},
      &error);
  ASSERT_TRUE(a) << error;
  std::optional<ServerConfig> c = ConfigFromArguments(*a, &error);
  ASSERT_TRUE(c) << error;
  EXPECT_THAT(c->listen, ElementsAre("127.0.0.1", "127.0.0.2"));
  EXPECT_EQ(c->port, 0);
  EXPECT_EQ(c->store_path, "s.db");
  ASSERT_TRUE(c->tls);
  EXPECT_EQ(c->tls->key_path, "k");
  EXPECT_EQ(c->products.count(1001), 1u);

  struct Case {
    std::vector<std::string> args;
    const char* error;
  } cases[] = {
      {{}, "--config FILE or --demo is needed"},
      {{"--demo", "--config", "x.json"}, "either --config or --demo"},
      {{"--demo", "--port"}, "--port needs a value"},
      {{"--demo", "--port", "65536"}, "--port needs a number from 0 to 65535"},
      {{"--demo", "--port", "-1"}, "--port needs a number"},
      {{"--demo", "--listen", "127.0.0.1,,127.0.0.2"}, "--listen needs addresses"},
      {{"--demo", "--tls-cert", "c"}, "--tls-cert and --tls-key go together"},
      {{"--demo", "--store="}, "--store needs a value"},
      {{"--demo=1"}, "unknown option \"--demo=1\""},
      {{"demo"}, "unknown option \"demo\""},
  };
  for (const Case& k : cases) {
    EXPECT_FALSE(ParseServerArguments(k.args, &error)) << k.error;
    EXPECT_THAT(error, HasSubstr(k.error));
  }
  std::optional<ServerArguments> help = ParseServerArguments({"--help"}, &error);
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);
}

}  // namespace
}  // namespace oru::product_server
