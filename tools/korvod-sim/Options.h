// The command line of korvod-sim: what to start, what to tell the core, what
// to inject, when to stop and how to show what comes back.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace korvodsim {

// One packet to inject after the daemon information, in command-line order.
struct Injection {
  enum class Source {
    Text,  // --send ID:KIND:TEXT, the payload is `argument`
    File,  // --send-file ID:KIND:PATH, the payload is the file at `argument`
    Raw,   // --send-raw PATH, the file at `argument` is the whole record
  };
  Source source = Source::Text;
  uint32_t pluginId = 0;  // 0-255; the route word is pluginId << 20
  uint32_t kind = 0;
  std::string argument;
};

struct Options {
  std::filesystem::path core;     // empty: dvrcore beside this executable
  std::filesystem::path workdir;  // empty: the current directory
  std::string emulator;           // empty: the core runs itself; else "EMULATOR CORE PIPE"
  std::vector<std::filesystem::path> plugins;  // --plugin: run in a try-out tree
  std::string daemonName = "korvod";
  std::string daemonVersion = "26.0.2.0";
  bool background = false;
  std::vector<Injection> injections;
  std::chrono::milliseconds sendDelay{0};
  std::optional<std::chrono::milliseconds> duration;
  std::optional<std::chrono::milliseconds> killAfter;
  bool quiet = false;
  std::filesystem::path dumpDir;  // empty: received packets are not written
  bool help = false;
};

// The parsed options, or the message that says what is wrong with them.
using ParseResult = std::variant<Options, std::string>;

ParseResult parseOptions(int argc, const char* const* argv);

// The --help text.
std::string helpText(std::string_view programName);

}  // namespace korvodsim
