#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrel_mmp {

// The function symbols and build id of an ELF file on disk (an executable or shared object of
// this process's own kind), for naming the frames of a crash report.
class ElfSymbols {
 public:
  // None when the file cannot be read as such an ELF file. Reads the full symbol table where
  // the file has one, else the dynamic symbols.
  static std::optional<ElfSymbols> read(const std::string& path);

  // The bytes of the GNU build id among ELF notes (aligned to 4 or 8 bytes); empty when there is
  // none.
  static std::string buildIdInNotes(const char* notes, std::size_t size, std::size_t alignment);
  // Bytes in lowercase hexadecimal, as build ids are written.
  static std::string hex(std::string_view bytes);

  // Lowercase hexadecimal; empty without one.
  const std::string& buildId() const { return buildId_; }

  struct Function {
    std::string name;  // as in the file (mangled)
    std::uint64_t start = 0;
  };
  // The function whose symbol spans `address` (an address of the file's own, as a frame's
  // offset is); none when no function symbol does.
  std::optional<Function> functionAt(std::uint64_t address) const;

 private:
  struct Symbol {
    std::uint64_t start;
    std::uint64_t size;
    std::uint32_t name;  // offset in names_
  };
  std::vector<Symbol> symbols_;  // by start
  std::string names_;
  std::string buildId_;
};

}  // namespace tavrel_mmp
