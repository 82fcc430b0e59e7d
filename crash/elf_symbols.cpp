#include "crash/elf_symbols.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace tavrel_mmp {
namespace {

// Far beyond the symbol tables of real programs; a bigger table is not read.
constexpr std::uint64_t kMaximumTable = 256ull << 20;
constexpr std::uint64_t kMaximumNotes = 64 * 1024;

// A regular file, read at offsets.
class File {
 public:
  explicit File(const std::string& path)
      : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {
    struct stat facts {};
    if (fd_ >= 0 && ::fstat(fd_, &facts) == 0 && S_ISREG(facts.st_mode)) {
      size_ = static_cast<std::uint64_t>(facts.st_size);
    }
  }
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Exactly `size` bytes at `offset`, within the file.
  bool read(std::uint64_t offset, void* out, std::uint64_t size) const {
    if (offset > size_ || size > size_ - offset) return false;
    auto* bytes = static_cast<char*>(out);
    while (size > 0) {
      const ssize_t n = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      offset += static_cast<std::uint64_t>(n);
      size -= static_cast<std::uint64_t>(n);
    }
    return true;
  }
  std::optional<std::string> read(std::uint64_t offset, std::uint64_t size) const {
    if (size > kMaximumTable || offset > size_ || size > size_ - offset) return std::nullopt;
    std::string bytes(size, '\0');
    if (!read(offset, bytes.data(), size)) return std::nullopt;
    return bytes;
  }

 private:
  int fd_;
  std::uint64_t size_ = 0;
};

bool isOwnKind(const ElfW(Ehdr) & header) {
  static constexpr unsigned char kClass = sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32;
  static constexpr unsigned char kData =
      __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
  return std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 && header.e_ident[EI_CLASS] == kClass &&
         header.e_ident[EI_DATA] == kData;
}

template <class Item>
std::optional<std::vector<Item>> readTable(const File& file, std::uint64_t offset,
                                           std::uint64_t count, std::uint64_t entrySize) {
  if (entrySize != sizeof(Item) || count > kMaximumTable / sizeof(Item)) return std::nullopt;
  std::vector<Item> items(count);
  if (!file.read(offset, items.data(), count * sizeof(Item))) return std::nullopt;
  return items;
}

}  // namespace

std::string ElfSymbols::hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 15]);
  }
  return out;
}

std::string ElfSymbols::buildIdInNotes(const char* notes, std::size_t size, std::size_t alignment) {
  const std::size_t mask = alignment == 8 ? 7 : 3;
  std::size_t at = 0;
  while (size >= sizeof(ElfW(Nhdr)) && at <= size - sizeof(ElfW(Nhdr))) {
    ElfW(Nhdr) header;
    std::memcpy(&header, notes + at, sizeof header);
    if (header.n_namesz > size || header.n_descsz > size) return "";
    const std::size_t nameAt = at + sizeof header;
    const std::size_t descriptionAt = nameAt + ((header.n_namesz + mask) & ~mask);
    const std::size_t next = descriptionAt + ((header.n_descsz + mask) & ~mask);
    if (descriptionAt > size || header.n_descsz > size - descriptionAt) return "";
    if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 &&
        std::memcmp(notes + nameAt, "GNU", 4) == 0) {
      return std::string(notes + descriptionAt, header.n_descsz);
    }
    at = next;
  }
  return "";
}

std::optional<ElfSymbols> ElfSymbols::read(const std::string& path) {
  const File file(path);
  ElfW(Ehdr) header;
  if (!file.read(0, &header, sizeof header) || !isOwnKind(header)) return std::nullopt;

  ElfSymbols elf;
  if (const auto segments =
          readTable<ElfW(Phdr)>(file, header.e_phoff, header.e_phnum, header.e_phentsize)) {
    for (const ElfW(Phdr) & segment : *segments) {
      if (segment.p_type != PT_NOTE || segment.p_filesz > kMaximumNotes) continue;
      if (const auto notes = file.read(segment.p_offset, segment.p_filesz)) {
        elf.buildId_ = hex(buildIdInNotes(notes->data(), notes->size(), segment.p_align));
        if (!elf.buildId_.empty()) break;
      }
    }
  }

  const auto sections =
      readTable<ElfW(Shdr)>(file, header.e_shoff, header.e_shnum, header.e_shentsize);
  if (!sections) return elf;
  const auto table = std::find_if(sections->begin(), sections->end(),
                                  [](const ElfW(Shdr) & s) { return s.sh_type == SHT_SYMTAB; });
  const auto dynamic = std::find_if(sections->begin(), sections->end(),
                                    [](const ElfW(Shdr) & s) { return s.sh_type == SHT_DYNSYM; });
  const auto chosen = table != sections->end() ? table : dynamic;
  if (chosen == sections->end() || chosen->sh_link >= sections->size()) return elf;
  const ElfW(Shdr)& strings = (*sections)[chosen->sh_link];
  auto names = file.read(strings.sh_offset, strings.sh_size);
  const auto symbols = readTable<ElfW(Sym)>(
      file, chosen->sh_offset, chosen->sh_entsize ? chosen->sh_size / chosen->sh_entsize : 0,
      chosen->sh_entsize);
  if (!names || !symbols || strings.sh_type != SHT_STRTAB) return elf;

  for (const ElfW(Sym) & symbol : *symbols) {
    const unsigned type = ELF64_ST_TYPE(symbol.st_info);
    if ((type != STT_FUNC && type != STT_GNU_IFUNC) || symbol.st_shndx == SHN_UNDEF ||
        symbol.st_value == 0 || symbol.st_name == 0 || symbol.st_name >= names->size()) {
      continue;
    }
    elf.symbols_.push_back({symbol.st_value, symbol.st_size, symbol.st_name});
  }
  // The names end at their terminator, or at the end of the table.
  names->push_back('\0');
  elf.names_ = std::move(*names);
  std::sort(elf.symbols_.begin(), elf.symbols_.end(),
            [](const Symbol& a, const Symbol& b) { return a.start < b.start; });
  return elf;
}

std::optional<ElfSymbols::Function> ElfSymbols::functionAt(std::uint64_t address) const {
  const auto after = std::upper_bound(symbols_.begin(), symbols_.end(), address,
                                      [](std::uint64_t a, const Symbol& s) { return a < s.start; });
  if (after == symbols_.begin()) return std::nullopt;
  // The nearest symbol at or before the address; one without a size spans up to the next.
  const Symbol& symbol = *(after - 1);
  if (symbol.size != 0 && address - symbol.start >= symbol.size) return std::nullopt;
  return Function{std::string(names_.c_str() + symbol.name), symbol.start};
}

}  // namespace tavrel_mmp
