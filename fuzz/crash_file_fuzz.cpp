// A crash file left by a process that is gone: decoded on its own, then imported from a
// documents directory as a start-up imports it.
#include <unistd.h>

#include <fstream>

#include "crash/crash_file.h"
#include "crash/crash_inbox.h"
#include "fuzz_support.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzz::textOf(data, size);
  const auto decoded = CrashFile::decode(bytes);
  // A record read back from its encoding is the same record (lengths written with leading
  // zeros also read: the encoding itself need not be what was read).
  if (decoded) {
    const auto again = CrashFile::decode(CrashFile::encode(*decoded));
    fuzz::require(again && again->text == decoded->text && again->hash == decoded->hash);
  }

  fuzz::ScratchDirectory documents;
  const std::string path = documents.path() + "/" + CrashFile::fileNameFor(4242, 0xfeed);
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));

  std::optional<CrashRecord> imported;
  CrashInbox::importFrom(documents.path(), [&](const CrashRecord& record) {
    imported = record;
    return true;
  });
  fuzz::require(imported.has_value() == decoded.has_value());
  if (imported) fuzz::require(imported->text == decoded->text && imported->hash == decoded->hash);
  // Imported or unreadable, the file is gone.
  fuzz::require(::access(path.c_str(), F_OK) != 0);
  return 0;
}
