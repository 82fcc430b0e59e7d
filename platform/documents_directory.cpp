#include "tavrel_mmp/platform/documents_directory.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "core/logger.h"
#include "platform/private_files.h"
#include "tavrel_mmp/platform/bundle_info.h"
#include "tavrel_mmp/platform/provider_slot.h"

namespace tavrel_mmp::platform {
namespace {

class FixedDocumentsDirectory : public DocumentsDirectory {
 public:
  explicit FixedDocumentsDirectory(std::optional<std::string> path) : path_(std::move(path)) {}
  std::optional<std::string> path() override { return path_; }

 private:
  const std::optional<std::string> path_;
};

// "<application data>/Documents", created 0700 when missing; none when it cannot be made.
class DefaultDocumentsDirectory : public DocumentsDirectory {
 public:
  std::optional<std::string> path() override {
    const auto base = defaultApplicationDataDirectory();
    if (!base) return std::nullopt;
    const std::string path = *base + "/Documents";
    if (!makePrivateDirectories(path)) {
      Logger::log("Cannot create the documents directory " + path);
      return std::nullopt;
    }
    return path;
  }
};

std::shared_ptr<DocumentsDirectory> makeDefault() {
  return std::make_shared<DefaultDocumentsDirectory>();
}

ProviderSlot<DocumentsDirectory>& slot() {
  static auto* s = new ProviderSlot<DocumentsDirectory>(&makeDefault);
  return *s;
}

std::optional<std::string> absoluteVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || value[0] != '/') return std::nullopt;
  return std::string(value);
}

// The user's home from the password database, for processes started without HOME.
std::optional<std::string> homeOfUser() {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
    return std::nullopt;
  }
  return std::string(found->pw_dir);
}

}  // namespace

std::optional<std::string> defaultApplicationDataDirectory() {
  std::optional<std::string> base = absoluteVariable("XDG_DATA_HOME");
  if (!base) {
    auto home = absoluteVariable("HOME");
    if (!home) home = homeOfUser();
    if (home) base = *home + "/.local/share";
  }
  // Never a shared folder such as /tmp: what the library keeps belongs to this user alone.
  if (!base) {
    Logger::log("No data directory for this user (neither XDG_DATA_HOME nor a home directory)");
    return std::nullopt;
  }
  std::string app = bundleInfo().bundleIdentifier().value_or("app");
  if (app.empty() || app == "." || app == ".." || app.find('/') != std::string::npos) app = "app";
  return *base + "/tavrel_mmp/" + app;
}

std::shared_ptr<DocumentsDirectory> makeFixedDocumentsDirectory(std::optional<std::string> path) {
  return std::make_shared<FixedDocumentsDirectory>(std::move(path));
}
DocumentsDirectory& documentsDirectory() {
  return slot().get();
}
void installDocumentsDirectory(std::shared_ptr<DocumentsDirectory> directory) {
  slot().install(std::move(directory));
}

}  // namespace tavrel_mmp::platform
