#pragma once

#include <memory>
#include <optional>
#include <string>

namespace tavrel_mmp::platform {

/// The application's documents directory; none when the platform offers none.
class DocumentsDirectory {
 public:
  virtual ~DocumentsDirectory() = default;
  virtual std::optional<std::string> path() = 0;
};

DocumentsDirectory& documentsDirectory();
void installDocumentsDirectory(std::shared_ptr<DocumentsDirectory> directory);

std::shared_ptr<DocumentsDirectory> makeFixedDocumentsDirectory(std::optional<std::string> path);

/// The Linux application data directory: $XDG_DATA_HOME (or ~/.local/share) + "/tavrel_mmp/" +
/// the bundle identifier; none when the user has no such place. The default documents directory
/// and preferences file live under it, in folders created 0700.
std::optional<std::string> defaultApplicationDataDirectory();

}  // namespace tavrel_mmp::platform
