#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/common.h"
#include "core/dictionary_merge.h"
#include "core/logger.h"
#include "core/utf8.h"
#include "secret/secret_generator.h"
#include "support/sha256_hex.h"
#include "support/test_support.h"

namespace tavrel_mmp {
namespace {

using testing::captureStdout;
using testing::hexOf;

// Enciphers `plain` (zero-filled to whole blocks) with the openssl command line, independently
// of our own code, keyed by the ASCII of the MD5 hex of `partnerCode`.
std::string opensslEncrypt(std::string plain, const std::string& partnerCode) {
  plain.resize((plain.size() + 15) / 16 * 16, '\0');
  testing::TempDir dir;
  const std::string in = dir.path() + "/plain.bin";
  FILE* f = std::fopen(in.c_str(), "wb");
  std::fwrite(plain.data(), 1, plain.size(), f);
  std::fclose(f);
  const std::string command = "printf %s '" + partnerCode + "' | openssl dgst -md5 -r | cut -c1-32";
  FILE* md5Pipe = popen(command.c_str(), "r");
  char md5[64] = {};
  EXPECT_NE(std::fgets(md5, sizeof md5, md5Pipe), nullptr);
  pclose(md5Pipe);
  const std::string keyHex = hexOf(std::string(md5, 32));
  const std::string encrypt = "openssl enc -aes-256-ecb -nopad -K " + keyHex + " -in " + in +
                              " | od -An -v -tx1 | tr -d ' \\n'";
  FILE* pipe = popen(encrypt.c_str(), "r");
  std::string out;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
  pclose(pipe);
  return out;
}

TEST(CommonMd5, KnownDigestsAreLowercaseHex) {
  EXPECT_EQ(Common::md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(Common::md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Common::md5("héllo").size(), 32u);
  EXPECT_EQ(Common::sha256("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CommonDecrypt, RoundTripsWithTheSecretGenerator) {
  for (const std::string url : {"https://api.example.com", "http://127.0.0.1:8080/v1",
                                "https://exactly-sixteen.x", "https://ü.example/päth"}) {
    for (const std::string partner : {"PARTNER01", "", "ключ"}) {
      EXPECT_EQ(Common::decrypt(tools::makeAppSecret(url, partner), partner), url);
    }
  }
}

TEST(CommonDecrypt, AgreesWithOpensslCommandLineVectors) {
  const std::string secret = opensslEncrypt("https://service.example/api", "TAVREL");
  ASSERT_EQ(secret.size(), 64u);
  EXPECT_EQ(secret, tools::makeAppSecret("https://service.example/api", "TAVREL"));
  EXPECT_EQ(Common::decrypt(secret, "TAVREL"), "https://service.example/api");
  // Upper-case hexadecimal decodes the same.
  std::string upper = secret;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  EXPECT_EQ(Common::decrypt(upper, "TAVREL"), "https://service.example/api");
}

TEST(CommonDecrypt, TrimsBeforeRemovingTheZeroFill) {
  // Leading line breaks and blanks go; a blank just before the zero fill stays, because
  // trimming runs before the NULs are removed.
  const std::string plain = "\n \thttps://a.example ";
  EXPECT_EQ(Common::decrypt(opensslEncrypt(plain, "K"), "K"), "https://a.example ");
  // NULs inside the text are removed wherever they stand.
  EXPECT_EQ(Common::decrypt(opensslEncrypt(std::string("ab\0cd", 5), "K"), "K"), "abcd");
  // A text that fills its last block exactly has no zero fill: its trailing blanks go.
  EXPECT_EQ(Common::decrypt(opensslEncrypt("x               ", "K"), "K"), "x");
}

TEST(CommonDecrypt, BadInputGivesTheEmptyText) {
  const std::string good = tools::makeAppSecret("https://api.example.com", "P");
  Logger::setDevMode(true);
  std::string printed = captureStdout([&] {
    EXPECT_EQ(Common::decrypt(good.substr(1), "P"), "");         // odd length
    EXPECT_EQ(Common::decrypt("zz" + good.substr(2), "P"), "");  // not hexadecimal
    EXPECT_EQ(Common::decrypt(good.substr(0, 30), "P"), "");     // not whole blocks
  });
  EXPECT_EQ(printed.find("MMP: error "), 0u) << printed;
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 3);

  // Wrong key: the plaintext is not UTF-8, which gives the empty text without a line.
  printed = captureStdout([&] { EXPECT_EQ(Common::decrypt(good, "other"), ""); });
  EXPECT_EQ(printed, "");
  EXPECT_EQ(Common::decrypt("", "P"), "");
  Logger::setDevMode(false);
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

TEST(Logger, WritesPrefixedWholeLinesOnlyInDevelopmentMode) {
  Logger::setDevMode(false);
  EXPECT_EQ(captureStdout([] { Logger::log("hidden"); }), "");

  Logger::setDevMode(true);
  EXPECT_EQ(captureStdout([] {
              Logger::log("text");
              Logger::log(std::int64_t{42});
              Logger::log(HttpError{"curl", 7, "Couldn't connect"});
            }),
            "MMP: text\nMMP: 42\nMMP: Couldn't connect\n");

  // Lines written from many threads at once never interleave.
  const std::string printed = captureStdout([] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < 200; ++i) Logger::log(std::string(100, static_cast<char>('a' + t)));
      });
    }
    for (auto& thread : threads) thread.join();
  });
  Logger::setDevMode(false);
  std::size_t lines = 0;
  std::size_t start = 0;
  while (start < printed.size()) {
    const auto end = printed.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = printed.substr(start, end - start);
    ASSERT_EQ(line.size(), 105u);
    EXPECT_EQ(line.substr(5), std::string(100, line[5]));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, 1600u);
}

TEST(Utf8, ValidatesAndRepairs) {
  EXPECT_TRUE(isValidUtf8("plain ü € 𝄞"));
  EXPECT_FALSE(isValidUtf8("\xC0\xAF"));      // overlong
  EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));  // surrogate
  EXPECT_FALSE(isValidUtf8("abc\xE2\x82"));   // truncated
  EXPECT_EQ(toValidUtf8("a\xFF"
                        "b"),
            "a\xEF\xBF\xBD"
            "b");
}

}  // namespace
}  // namespace tavrel_mmp
