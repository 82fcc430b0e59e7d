#pragma once

#include <string>

namespace tavrel_mmp::platform {

// Creates `path` and its missing parents with mode 0700; true when it exists as a directory.
bool makePrivateDirectories(const std::string& path);

// Makes sure `path` is a regular file of ours: created 0600 when missing (with O_EXCL, so a file
// planted in the meantime is not taken over), never followed when it is a symbolic link.
// SQLite then opens it as it is and gives its -wal and -shm files the same mode.
bool ensurePrivateFile(const std::string& path);

}  // namespace tavrel_mmp::platform
