#include "platform/host_identity.h"

#include <mutex>

#include "core/logger.h"
#include "core/utf8.h"
#include "platform/per_process.h"
#include "platform/private_files.h"
#include "platform/user_data_directory.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/documents_directory.h"

namespace tavrel_mmp::platform {
namespace {

constexpr std::size_t kMaxIdentityBytes = 255;

struct State {
  std::mutex mutex;
  HostIdentity identity;
  // The folder of the library's files once something used it: it stays for the process.
  std::optional<std::optional<std::string>> folder;
};

State& state() {
  static PerProcess<State> held(&State::mutex, [](State& made, const State& inherited) {
    made.identity = inherited.identity;
    made.folder = inherited.folder;
  });
  return held.get();
}

bool hasControlCharacter(const std::string& text) {
  for (const unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

// Why a text cannot be the given identity value; empty when it can.
std::string problemWithText(const std::string& text) {
  if (text.empty()) return "is empty";
  if (text.size() > kMaxIdentityBytes) return "is longer than 255 bytes";
  if (!isValidUtf8(text)) return "is not UTF-8";
  if (hasControlCharacter(text)) return "holds a control character";
  return "";
}

// The bundle identifier also names the folder of the library's files: never a path.
std::string problemWithBundleId(const std::string& id) {
  if (auto problem = problemWithText(id); !problem.empty()) return problem;
  if (id.find('/') != std::string::npos || id.find("..") != std::string::npos || id == ".") {
    return "would name a path (it holds '/' or \"..\")";
  }
  return "";
}

std::string problemWithDirectory(const std::string& path) {
  if (path.empty()) return "is empty";
  if (path.front() != '/') return "is not an absolute path";
  if (!isValidUtf8(path) || hasControlCharacter(path)) return "is not a plain UTF-8 path";
  if (!makePrivateDirectories(path)) return "cannot be created as a folder";
  return "";
}

// The value when it passes its check; otherwise none, said in a development line.
std::optional<std::string> accepted(const std::optional<std::string>& value, const char* name,
                                    const char* fallback,
                                    std::string (*problemWith)(const std::string&)) {
  if (!value) return std::nullopt;
  const std::string problem = problemWith(*value);
  if (problem.empty()) return value;
  Logger::warning(std::string("The option ") + name + " " + problem + "; " + fallback);
  return std::nullopt;
}

// The folder of the library's files for a given data folder or bundle identifier.
std::optional<std::string> folderFor(const std::optional<std::string>& dataDirectory,
                                     const std::string& bundleId) {
  if (dataDirectory) return dataDirectory;
  const std::optional<std::string> base = userDataDirectory();
  if (!base) return std::nullopt;
  // The bundle identifier names a folder of its own, never a way out of this one.
  std::string app = bundleId;
  if (app.empty() || app == "." || app == ".." || app.find('/') != std::string::npos) app = "app";
  return *base + "/tavrel_mmp/" + app;
}

}  // namespace

void setHostIdentity(const HostIdentity& given) {
  HostIdentity checked;
  checked.bundleId = accepted(given.bundleId, "bundleId", "the platform's identifier is used",
                              &problemWithBundleId);
  checked.appVersion =
      accepted(given.appVersion, "appVersion", "the platform's version is used", &problemWithText);
  checked.dataDirectory = accepted(given.dataDirectory, "dataDirectory",
                                   "the default folder is used", &problemWithDirectory);
  std::optional<std::optional<std::string>> inUse;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    auto& identity = state().identity;
    if (checked.bundleId) identity.bundleId = checked.bundleId;
    if (checked.appVersion) identity.appVersion = checked.appVersion;
    if (checked.dataDirectory) identity.dataDirectory = checked.dataDirectory;
    inUse = state().folder;
  }
  if (!inUse || (!checked.dataDirectory && !checked.bundleId)) return;
  const auto wanted =
      folderFor(checked.dataDirectory, bundleInfo().bundleIdentifier().value_or(""));
  if (wanted != *inUse) {
    Logger::warning("The library's files are in " + inUse->value_or("memory") +
                    " already; they stay there until the next start (the folder follows the "
                    "first start's options when it comes before every other call)");
  }
}

std::optional<std::string> hostBundleId() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().identity.bundleId;
}

std::optional<std::string> hostAppVersion() {
  std::lock_guard<std::mutex> lock(state().mutex);
  return state().identity.appVersion;
}

std::optional<std::string> defaultApplicationDataDirectory() {
  std::optional<std::string> dataDirectory;
  {
    std::lock_guard<std::mutex> lock(state().mutex);
    if (state().folder) return *state().folder;
    dataDirectory = state().identity.dataDirectory;
  }
  const auto folder = folderFor(dataDirectory, bundleInfo().bundleIdentifier().value_or("app"));
  std::lock_guard<std::mutex> lock(state().mutex);
  if (!state().folder) state().folder = folder;  // the first to get here fixes it
  return *state().folder;
}

}  // namespace tavrel_mmp::platform
