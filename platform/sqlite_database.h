#pragma once

#include <string>

struct sqlite3;

namespace tavrel_mmp::platform {

// Opens the database at `path` for the library's own use: the file created 0600 when missing and
// never opened through a symbolic link, its folder created 0700, WAL journal, NORMAL sync, a
// five-second busy time-out. A file that is not a database (or is damaged beyond reading) is
// moved aside to "<path>.damaged-<unix time>" with its journal files, and a fresh one started.
// On any other failure (permissions, too many open files, I/O) nothing is touched: the result
// is null and `failure` says why, so the caller can try again later.
sqlite3* openPrivateDatabase(const std::string& path, std::string& failure);

}  // namespace tavrel_mmp::platform
