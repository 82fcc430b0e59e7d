// A crash file left by a process that is gone: decoded on its own, its frames named as the next
// start names them, then imported from a documents directory as a start-up imports it. The same
// bytes, read as a module file whose symbols would name frames.
#include <unistd.h>

#include <fstream>

#include "crash/crash_file.h"
#include "crash/crash_inbox.h"
#include "crash/elf_symbols.h"
#include "crash/frame_symbols.h"
#include "fuzz_support.h"

using namespace tavrel_mmp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes = fuzz::textOf(data, size);
  const auto decoded = CrashFile::decode(bytes);
  // A record read back from its encoding is the same record (lengths written with leading
  // zeros also read: the encoding itself need not be what was read).
  // Naming its frames only adds to the text.
  if (decoded) {
    const auto again = CrashFile::decode(CrashFile::encode(*decoded));
    fuzz::require(again && again->text == decoded->text && again->hash == decoded->hash);
    fuzz::require(FrameSymbols::resolve(decoded->text).size() >= decoded->text.size());
  }

  fuzz::ScratchDirectory documents;
  const std::string path = documents.path() + "/" + CrashFile::fileNameFor(4242, 0xfeed);
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
  if (const auto module = ElfSymbols::read(path)) {
    for (const std::uint64_t address : {0x0ull, 0x26eull, 0x273ull, ~0ull}) {
      if (const auto function = module->functionAt(address)) {
        fuzz::require(function->start <= address);
      }
    }
  }

  const std::optional<CrashRecord> imported = CrashInbox::take(documents.path());
  fuzz::require(imported.has_value() == decoded.has_value());
  if (imported) fuzz::require(imported->text == decoded->text && imported->hash == decoded->hash);
  // Imported and stored, or unreadable, the file is gone.
  CrashInbox::storeWritten();
  fuzz::require(::access(path.c_str(), F_OK) != 0);
  return 0;
}
