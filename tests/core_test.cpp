#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "core/common.h"
#include "core/json_depth.h"
#include "core/logger.h"
#include "core/unix_time.h"
#include "core/utf8.h"
#include "platform/tick_schedule.h"
#include "secret/secret_generator.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

TEST(Common, DecryptAgreesWithOpensslAndTrimsBeforeRemovingTheZeroFill) {
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {"https://\u00fc.example/p\u00e4th", "", "https://\u00fc.example/p\u00e4th"},
      {"http://127.0.0.1:8080/v1", "\u043a\u043b\u044e\u0447", "http://127.0.0.1:8080/v1"},
      // A blank just before the zero fill stays: trimming runs before the NULs are removed.
      {"\n \thttps://a.example ", "K", "https://a.example "},
      {std::string("ab\0cd", 5), "K", "abcd"},  // NULs go wherever they stand
      {"x               ", "K", "x"},  // fills its block exactly: no zero fill to shield it
  };
  for (const auto& [plain, key, expected] : rows) {
    std::string secret = tools::makeAppSecret(plain, key);
    EXPECT_EQ(Common::decrypt(secret, key), expected);
    for (char& c : secret) c = static_cast<char>(std::toupper(c));
    EXPECT_EQ(Common::decrypt(secret, key), expected);
  }
  // Bad input gives the empty text.
  const std::string good = tools::makeAppSecret("https://api.example.com", "P");
  for (const auto& [encrypted, key] : std::vector<std::pair<std::string, std::string>>{
           {good.substr(1), "P"},         // odd length
           {"zz" + good.substr(2), "P"},  // not hexadecimal
           {good.substr(0, 30), "P"},     // not whole blocks
           {good, "other"},               // wrong key: the plaintext is not UTF-8
           {"", "P"}})
    EXPECT_EQ(Common::decrypt(encrypted, key), "") << encrypted;
}

TEST(Utf8, OverlongSurrogateAndTruncatedSequencesAreInvalid) {
  EXPECT_TRUE(isValidUtf8("plain \u00fc \u20ac \U0001D11E"));
  for (const char* text : {"\xC0\xAF", "\xED\xA0\x80", "abc\xE2\x82"}) {
    EXPECT_FALSE(isValidUtf8(text)) << text;
    EXPECT_TRUE(isValidUtf8(toValidUtf8(text))) << text;
  }
  // Development lines quote what the network sent; the console still gets UTF-8.
  Logger::setDevMode(true);
  const std::string line =
      testing::captureStdout([] { Logger::log(std::string_view("answer: \xff\xfe ok")); });
  EXPECT_EQ(line, "MMP: answer: \uFFFD\uFFFD ok\n");
}

TEST(TickSchedule, ALateTickNeverMakesTheNextOneDueAtOnce) {
  for (const auto& [now, next] :
       {std::pair{100.0, 105.0}, {103.0, 105.0}, {104.999, 105.0}, {105.0, 110.0}, {117.0, 122.0}})
    EXPECT_EQ(platform::nextDueAfterTick(100.0, 5.0, now), next) << now;
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

TEST(JsonDepth, OneBranchOneLevelTooDeepIsEnough) {
  nlohmann::json wide = {nested(511, false), nested(510, true)};
  EXPECT_FALSE(nestedDeeperThan(wide));
  wide.push_back(nested(512, true));
  EXPECT_TRUE(nestedDeeperThan(wide));
}

TEST(UnixTime, OutOfRangeReadingsClampInsteadOfOverflowing) {
  constexpr auto max = std::numeric_limits<std::int64_t>::max();
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(truncatedToInt64(std::nan("")), 0);
  for (const double high : {inf, 1e300, 9.3e18}) EXPECT_EQ(truncatedToInt64(high), max) << high;
  for (const double low : {-inf, -1e300}) EXPECT_EQ(truncatedToInt64(low), -max - 1) << low;
  EXPECT_EQ(truncatedToInt64(-1.9), -1);
  EXPECT_EQ(truncatedToInt64(1.7e9 + 0.75), 1'700'000'000);
}

}  // namespace
}  // namespace tavrel_mmp
