// What kind of file a would-be plug-in is, from its ELF header: so that a
// file the dynamic loader refuses gets a plain reason (not a library at all,
// an object file, a library for another machine).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace dvrinspect {

struct ElfIdentity {
  enum class Kind { Unreadable, NotElf, Relocatable, Executable, SharedObject, Other };
  Kind kind = Kind::Unreadable;
  unsigned bits = 0;  // 32 or 64
  bool littleEndian = true;
  uint16_t machine = 0;
  // "x86-64", "ARM (32-bit)", ... from the class and machine fields.
  std::string machineName() const;
  // Whether this inspector (and a core built like it) can load it.
  bool matchesThisBuild() const;
};

ElfIdentity identifyElf(const std::filesystem::path& file);

// The machine this inspector was built for, named like machineName().
std::string thisBuildMachine();

// Why the core cannot load the file on this machine, in words, when the
// header already tells; nothing for a shared object of this machine.
std::optional<std::string> elfProblem(const ElfIdentity& elf);

}  // namespace dvrinspect
