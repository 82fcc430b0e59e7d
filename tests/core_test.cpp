#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <string>
#include <tuple>

#include "core/common.h"
#include "core/dictionary_merge.h"
#include "core/json_depth.h"
#include "core/logger.h"
#include "core/unix_time.h"
#include "core/utf8.h"
#include "platform/tick_schedule.h"
#include "support/sha256_hex.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using testing::captureStdout;

// Enciphers `plain` (zero-filled to whole blocks) with the openssl command line rather than our
// own code, keyed by the ASCII of the MD5 hex of `partnerCode`.
std::string opensslEncrypt(std::string plain, const std::string& partnerCode) {
  plain.resize((plain.size() + 15) / 16 * 16, '\0');
  testing::TempDir dir;
  const std::string in = dir.path() + "/plain.bin";
  std::ofstream(in, std::ios::binary) << plain;
  const std::string hex = " | od -An -v -tx1 | tr -d ' \\n'";
  const std::string key =
      "$(printf %s '" + partnerCode + "' | openssl dgst -md5 -r | head -c32" + hex + ")";
  FILE* pipe =
      popen(("openssl enc -aes-256-ecb -nopad -K " + key + " -in " + in + hex).c_str(), "r");
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  pclose(pipe);
  return out;
}

TEST(Common, DigestsAreLowercaseHex) {
  EXPECT_EQ(Common::md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Common::md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Common::md5("h\xC3\xA9llo"), "be50e8478cf24ff3595bc7307fb91b50");  // UTF-8 bytes
  EXPECT_EQ(Common::sha256("abc"), testing::sha256Hex("abc"));
}

TEST(CommonDecrypt, AgreesWithOpensslAndTrimsBeforeRemovingTheZeroFill) {
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"https://service.example/api", "TAVREL", "https://service.example/api"},
      {"https://\u00fc.example/p\u00e4th", "", "https://\u00fc.example/p\u00e4th"},
      {"http://127.0.0.1:8080/v1", "\u043a\u043b\u044e\u0447", "http://127.0.0.1:8080/v1"},
      // A blank just before the zero fill stays: trimming runs before the NULs are removed.
      {"\n \thttps://a.example ", "K", "https://a.example "},
      {std::string("ab\0cd", 5), "K", "abcd"},  // NULs go wherever they stand
      {"x               ", "K", "x"},  // fills its block exactly: no zero fill to shield it
  };
  for (const auto& [plain, key, expected] : rows) {
    std::string secret = opensslEncrypt(plain, key);
    EXPECT_EQ(Common::decrypt(secret, key), expected);
    for (char& c : secret) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(Common::decrypt(secret, key), expected);
  }
}

TEST(CommonDecrypt, BadInputGivesTheEmptyText) {
  const std::string good = opensslEncrypt("https://api.example.com", "P");
  const std::pair<std::string, std::string> rows[] = {
      {good.substr(1), "P"},         // odd length
      {"zz" + good.substr(2), "P"},  // not hexadecimal
      {good.substr(0, 30), "P"},     // not whole blocks
      {good, "other"},               // wrong key: the plaintext is not UTF-8
      {"", "P"}};
  for (const auto& [encrypted, key] : rows)
    EXPECT_EQ(Common::decrypt(encrypted, key), "") << encrypted;
}

TEST(DictionaryMerge, SourceWinsOnEqualKeys) {
  PropertyDictionary target = {{"a", 1}, {"b", 2}};
  mergeInto(target, {{"b", 3}, {"c", {{"nested", true}}}});
  EXPECT_EQ(target, (PropertyDictionary{{"a", 1}, {"b", 3}, {"c", {{"nested", true}}}}));
  PropertyDictionary notObject = nlohmann::json::array({1, 2});
  mergeInto(notObject, {{"k", "v"}});
  EXPECT_EQ(notObject, (PropertyDictionary{{"k", "v"}}));
  mergeInto(target, nlohmann::json::array({1}));
  EXPECT_EQ(target.size(), 3u);
}

TEST(Logger, WritesPrefixedLinesOnlyInDevelopmentMode) {
  Logger::setDevMode(false);
  EXPECT_EQ(captureStdout([] { Logger::log("hidden"); }), "");
  Logger::setDevMode(true);
  EXPECT_EQ(captureStdout([] {
              Logger::log("text");
              Logger::log(std::int64_t{42});
              Logger::log(HttpError{"curl", 7, "Couldn't connect"});
            }),
            "MMP: text\nMMP: 42\nMMP: Couldn't connect\n");
  Logger::setDevMode(false);
}

TEST(Utf8, ValidatesAndRepairs) {
  const std::pair<std::string, bool> rows[] = {{"plain \u00fc \u20ac \U0001D11E", true},
                                               {"\xC0\xAF", false} /* overlong */,
                                               {"\xED\xA0\x80", false} /* surrogate */,
                                               {"abc\xE2\x82", false} /* truncated */};
  for (const auto& [text, valid] : rows) {
    EXPECT_EQ(isValidUtf8(text), valid) << text;
    EXPECT_EQ(toValidUtf8(text) == text, valid) << text;
    EXPECT_TRUE(isValidUtf8(toValidUtf8(text))) << text;
  }
  EXPECT_EQ(toValidUtf8("a\xFFz"), "a\xEF\xBF\xBDz");
}

TEST(TickSchedule, ALateTickNeverMakesTheNextOneDueAtOnce) {
  // due, now, next due
  const std::tuple<double, double, double> rows[] = {
      {100, 100, 105}, {100, 103, 105}, {100, 104.999, 105}, {100, 105, 110}, {100, 117, 122}};
  for (const auto& [due, now, next] : rows) {
    EXPECT_EQ(platform::nextDueAfterTick(due, 5.0, now), next) << now;
  }
}

// `levels` containers nested inside each other, built and dropped without recursion.
nlohmann::json nested(std::size_t levels, bool objects) {
  nlohmann::json value = 1;
  for (std::size_t i = 0; i < levels; ++i) {
    nlohmann::json outer = objects ? nlohmann::json::object() : nlohmann::json::array();
    objects ? void(outer["k"] = std::move(value)) : outer.push_back(std::move(value));
    value = std::move(outer);
  }
  return value;
}

TEST(JsonDepth, RefusesDeeperThanTheLimitWithoutRecursing) {
  // levels, objects rather than arrays, too deep
  const std::tuple<std::size_t, bool, bool> rows[] = {{0, false, false},  {512, false, false},
                                                      {512, true, false}, {513, false, true},
                                                      {513, true, true},  {100'000, false, true}};
  for (const auto& [levels, objects, tooDeep] : rows) {
    EXPECT_EQ(nestedDeeperThan(nested(levels, objects)), tooDeep) << levels;
  }
  // Only one branch of a wide value goes one level too deep.
  nlohmann::json wide = {nested(511, false), nested(510, true)};
  EXPECT_FALSE(nestedDeeperThan(wide));
  wide.push_back(nested(512, true));
  EXPECT_TRUE(nestedDeeperThan(wide));
}

TEST(UnixTime, OutOfRangeReadingsClampInsteadOfOverflowing) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  constexpr auto min = std::numeric_limits<std::int64_t>::min();
  const std::pair<double, std::int64_t> rows[] = {{std::nan(""), 0}, {inf, max},    {-inf, min},
                                                  {1e300, max},      {-1e300, min}, {9.3e18, max},
                                                  {-1.9, -1}};
  for (const auto& [reading, whole] : rows) EXPECT_EQ(truncatedToInt64(reading), whole) << reading;
  EXPECT_EQ(truncatedToInt64(1'700'000'000.75), 1'700'000'000);
  EXPECT_EQ(truncatedToInt64(-9.2e18), -9'200'000'000'000'000'000);
}

}  // namespace
}  // namespace tavrel_mmp
