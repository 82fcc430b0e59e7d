#pragma once

// What the fuzz targets share: the input as bytes or text, a scratch directory, and the library
// offline (settings and documents in a scratch directory, time and the main loop in the
// target's hands, a transport that answers every request with the input).

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "settings/base_url.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/documents_directory.h"
#include "tavrel_mmp/platform/http_transport.h"
#include "tavrel_mmp/platform/preferences_store.h"
#include "tavrel_mmp/platform/sqlite_preferences_store.h"
#include "tavrel_mmp/testing/manual_time.h"

namespace tavrel_mmp::fuzz {

inline std::vector<std::uint8_t> bytesOf(const std::uint8_t* data, std::size_t size) {
  return {data, data + size};
}

inline std::string_view textOf(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// The text before the first `separator` and the text after it (all of it before when absent).
inline std::pair<std::string_view, std::string_view> splitAt(std::string_view text,
                                                             char separator) {
  const auto at = text.find(separator);
  if (at == std::string_view::npos) return {text, {}};
  return {text.substr(0, at), text.substr(at + 1)};
}

// Ends the run as a finding when a property of the code under test does not hold.
inline void require(bool holds) {
  if (!holds) std::abort();
}

// A fresh directory under the temporary directory, removed with its contents.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    path_ = (std::filesystem::temp_directory_path() / "tavrel_mmp_fuzz_XXXXXX").string();
    if (::mkdtemp(path_.data()) == nullptr) std::abort();
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Keeps every request until `answerAll` answers it.
class AnsweringTransport : public platform::HttpTransport {
 public:
  void send(platform::HttpRequest, HttpCompletion completion) override {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(completion));
  }

  // Runs the main loop's tasks and answers every request with `body`, again for the requests
  // that the tasks and the answers send, for a bounded number of rounds.
  void answerAll(const std::vector<std::uint8_t>& body, testing::ManualMainLoop& loop) {
    for (int round = 0; round < 16; ++round) {
      loop.runPending();
      std::vector<HttpCompletion> answering;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        answering.swap(pending_);
      }
      if (answering.empty()) return;
      for (auto& completion : answering) completion(body, std::nullopt);
    }
  }

 private:
  std::mutex mutex_;
  std::vector<HttpCompletion> pending_;
};

// The library offline, installed at the first use and kept for the process (the library's
// state is process-wide): settings and documents in a scratch directory, a manual clock and
// main loop, the answering transport, the base URL "http://service.test".
struct OfflineLibrary {
  ScratchDirectory directory;
  std::shared_ptr<testing::ManualClock> clock = std::make_shared<testing::ManualClock>();
  std::shared_ptr<testing::ManualMainLoop> loop = std::make_shared<testing::ManualMainLoop>(clock);
  std::shared_ptr<AnsweringTransport> transport = std::make_shared<AnsweringTransport>();

  // The one instance; its directory goes when the process exits normally.
  static OfflineLibrary& get() {
    static OfflineLibrary library;
    return library;
  }

  OfflineLibrary() {
    const std::string documents = directory.path() + "/Documents";
    std::filesystem::create_directories(documents);
    platform::installPreferencesStore(
        platform::makeSqlitePreferencesStore(directory.path() + "/preferences.sqlite3"));
    platform::installDocumentsDirectory(platform::makeFixedDocumentsDirectory(documents));
    platform::installBundleInfo(platform::makeFixedBundleInfo("com.tavrel.fuzz", "1.0.0"));
    platform::installClock(clock);
    platform::installMainLoop(loop);
    platform::installHttpTransport(transport);
    BaseUrl::set("http://service.test");
  }

  // Answers what is pending with `body`.
  void answerAll(const std::vector<std::uint8_t>& body) { transport->answerAll(body, *loop); }
};

}  // namespace tavrel_mmp::fuzz
