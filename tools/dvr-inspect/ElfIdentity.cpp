#include "ElfIdentity.h"

#include <elf.h>

#include <fstream>

#include <fmt/format.h>

namespace dvrinspect {

namespace {

#if defined(__x86_64__)
constexpr uint16_t kThisMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t kThisMachine = EM_AARCH64;
#elif defined(__arm__)
constexpr uint16_t kThisMachine = EM_ARM;
#elif defined(__i386__)
constexpr uint16_t kThisMachine = EM_386;
#elif defined(__riscv)
constexpr uint16_t kThisMachine = EM_RISCV;
#else
constexpr uint16_t kThisMachine = EM_NONE;
#endif
constexpr unsigned kThisBits = sizeof(void*) * 8;
constexpr bool kThisLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

std::string nameOf(uint16_t machine, unsigned bits) {
  switch (machine) {
    case EM_X86_64: return bits == 32 ? "x32" : "x86-64";
    case EM_386: return "x86 (32-bit)";
    case EM_ARM: return "ARM (32-bit)";
    case EM_AARCH64: return bits == 32 ? "ARM64 (ILP32)" : "ARM64";
    case EM_RISCV: return fmt::format("RISC-V ({}-bit)", bits);
    case EM_MIPS: return fmt::format("MIPS ({}-bit)", bits);
    case EM_PPC: return "PowerPC (32-bit)";
    case EM_PPC64: return "PowerPC (64-bit)";
    case EM_S390: return "IBM Z";
    default: return fmt::format("machine {} ({}-bit)", machine, bits);
  }
}

}  // namespace

std::string ElfIdentity::machineName() const { return nameOf(machine, bits); }

bool ElfIdentity::matchesThisBuild() const {
  return machine == kThisMachine && bits == kThisBits && littleEndian == kThisLittleEndian;
}

std::string thisBuildMachine() { return nameOf(kThisMachine, kThisBits); }

ElfIdentity identifyElf(const std::filesystem::path& file) {
  ElfIdentity elf;
  std::ifstream in(file, std::ios::binary);
  if (!in) return elf;
  unsigned char header[20] = {};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  const auto got = in.gcount();
  if (got < 4 || header[0] != ELFMAG0 || header[1] != ELFMAG1 || header[2] != ELFMAG2 || header[3] != ELFMAG3) {
    elf.kind = ElfIdentity::Kind::NotElf;
    return elf;
  }
  if (got < static_cast<std::streamsize>(sizeof header)) {
    elf.kind = ElfIdentity::Kind::Other;
    return elf;
  }
  elf.bits = header[EI_CLASS] == ELFCLASS32 ? 32 : 64;
  elf.littleEndian = header[EI_DATA] != ELFDATA2MSB;
  auto half = [&](int at) {
    return static_cast<uint16_t>(elf.littleEndian ? header[at] | header[at + 1] << 8 : header[at] << 8 | header[at + 1]);
  };
  switch (half(16)) {
    case ET_REL: elf.kind = ElfIdentity::Kind::Relocatable; break;
    case ET_EXEC: elf.kind = ElfIdentity::Kind::Executable; break;
    case ET_DYN: elf.kind = ElfIdentity::Kind::SharedObject; break;
    default: elf.kind = ElfIdentity::Kind::Other; break;
  }
  elf.machine = half(18);
  return elf;
}

std::optional<std::string> elfProblem(const ElfIdentity& elf) {
  switch (elf.kind) {
    case ElfIdentity::Kind::Unreadable: return "the file cannot be read";
    case ElfIdentity::Kind::NotElf: return "not a shared library: the file does not start with an ELF header";
    case ElfIdentity::Kind::Relocatable:
      return "an object file, not a shared library: link it with -shared (dvrcore_add_plugin does)";
    case ElfIdentity::Kind::Executable: return "an executable, not a shared library: build it with -shared";
    case ElfIdentity::Kind::Other: return "an ELF file, but not a shared library";
    case ElfIdentity::Kind::SharedObject: break;
  }
  if (!elf.matchesThisBuild()) {
    return fmt::format("a library for {}{}, but this dvr-inspect (and a core built like it) runs on {}: "
                       "inspect it with a dvr-inspect built for that machine",
                       elf.machineName(), elf.littleEndian ? "" : " (big-endian)", thisBuildMachine());
  }
  return std::nullopt;
}

}  // namespace dvrinspect
