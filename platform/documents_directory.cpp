#include "tavrel_mmp/platform/documents_directory.h"

#include <cstdlib>
#include <filesystem>

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

// "<application data>/Documents", created when missing; none when it cannot be created.
class DefaultDocumentsDirectory : public DocumentsDirectory {
 public:
  std::optional<std::string> path() override {
    const std::string path = defaultApplicationDataDirectory() + "/Documents";
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error) return std::nullopt;
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

}  // namespace

std::string defaultApplicationDataDirectory() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local/share";
  } else {
    base = "/tmp";
  }
  std::string app = bundleInfo().bundleIdentifier().value_or("app");
  if (app.empty() || app == "." || app == ".." || app.find('/') != std::string::npos) app = "app";
  return base + "/tavrel_mmp/" + app;
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
