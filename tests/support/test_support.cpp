#include "support/test_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/preferences_store.h"

namespace tavrel_mmp::testing {

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "tavrel_mmp_test_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void installIsolatedPlatform(const std::string& directory, const std::string& bundleIdentifier) {
  std::filesystem::create_directories(directory + "/Documents");
  platform::installPreferencesStore(
      platform::makeSqlitePreferencesStore(directory + "/preferences.sqlite3"));
  platform::installDocumentsDirectory(
      platform::makeFixedDocumentsDirectory(directory + "/Documents"));
  platform::installBundleInfo(platform::makeFixedBundleInfo(bundleIdentifier, "1.0.0"));
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<std::uint8_t> bytes(const std::string& text) {
  return {text.begin(), text.end()};
}

std::string text(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

std::string captureStdout(const std::function<void()>& body) {
  std::fflush(stdout);
  char path[] = "/tmp/tavrel_mmp_stdout_XXXXXX";
  const int capture = ::mkstemp(path);
  const int saved = ::dup(STDOUT_FILENO);
  ::dup2(capture, STDOUT_FILENO);
  body();
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string out;
  ::lseek(capture, 0, SEEK_SET);
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(capture, buffer, sizeof buffer)) > 0)
    out.append(buffer, static_cast<std::size_t>(n));
  ::close(capture);
  ::unlink(path);
  return out;
}

std::string testHostPath(const std::string& name) {
#ifdef TEST_HOSTS_DIR
  return std::string(TEST_HOSTS_DIR) + "/" + name;
#else
  return name;
#endif
}

}  // namespace tavrel_mmp::testing
