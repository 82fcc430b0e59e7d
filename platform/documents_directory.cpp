#include "tavrel_mmp/platform/documents_directory.h"

#include "core/logger.h"
#include "core/no_destructor.h"
#include "platform/private_files.h"
#include "platform/provider_slot.h"

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
  static NoDestructor<ProviderSlot<DocumentsDirectory>> s(&makeDefault);
  return s.get();
}

}  // namespace

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
