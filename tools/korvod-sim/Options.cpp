#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace korvodsim {

namespace {

// A whole unsigned number, decimal or with a 0x prefix hexadecimal.
std::optional<uint64_t> parseUnsigned(const std::string& text) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return std::nullopt;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') return std::nullopt;
  return value;
}

// Seconds, fractions allowed ("2", "0.5"), as milliseconds.
std::optional<std::chrono::milliseconds> parseSeconds(const std::string& text) {
  if (text.empty()) return std::nullopt;
  errno = 0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 1e9) return std::nullopt;
  return std::chrono::milliseconds(static_cast<int64_t>(std::llround(seconds * 1000)));
}

// "ID:KIND:REST" with ID 0-255 and KIND a 32-bit word; REST may hold colons.
std::variant<Injection, std::string> parseAddressed(std::string_view option, const std::string& argument,
                                                   Injection::Source source) {
  const auto first = argument.find(':');
  const auto second = first == std::string::npos ? std::string::npos : argument.find(':', first + 1);
  if (second == std::string::npos) {
    return fmt::format("{} wants ID:KIND:{}, got \"{}\"", option,
                       source == Injection::Source::Text ? "TEXT" : "PATH", argument);
  }
  const auto id = parseUnsigned(argument.substr(0, first));
  if (!id || *id > 0xFF) {
    return fmt::format("{}: plug-in id \"{}\" is not a number from 0 to 255 (decimal or 0x-hex)", option,
                       argument.substr(0, first));
  }
  const auto kind = parseUnsigned(argument.substr(first + 1, second - first - 1));
  if (!kind || *kind > 0xFFFFFFFFu) {
    return fmt::format("{}: packet kind \"{}\" is not a 32-bit number (decimal or 0x-hex)", option,
                       argument.substr(first + 1, second - first - 1));
  }
  Injection injection;
  injection.source = source;
  injection.pluginId = static_cast<uint32_t>(*id);
  injection.kind = static_cast<uint32_t>(*kind);
  injection.argument = argument.substr(second + 1);
  if (source == Injection::Source::File && injection.argument.empty()) {
    return fmt::format("{}: the file path is missing in \"{}\"", option, argument);
  }
  return injection;
}

// Walks argv, handing out "--name value" and "--name=value" alike.
class ArgumentReader {
 public:
  ArgumentReader(int argc, const char* const* argv) : argc(argc), argv(argv) {}

  bool next() {
    if (++index >= argc) return false;
    const std::string_view argument = argv[index];
    const auto equals = argument.find('=');
    if (argument.starts_with("--") && equals != std::string_view::npos) {
      name = std::string(argument.substr(0, equals));
      inlineValue = std::string(argument.substr(equals + 1));
    } else {
      name = std::string(argument);
      inlineValue.reset();
    }
    return true;
  }

  const std::string& option() const { return name; }
  bool hasInlineValue() const { return inlineValue.has_value(); }

  std::optional<std::string> value() {
    if (inlineValue) return inlineValue;
    if (index + 1 >= argc) return std::nullopt;
    return std::string(argv[++index]);
  }

 private:
  int argc;
  const char* const* argv;
  int index = 0;
  std::string name;
  std::optional<std::string> inlineValue;
};

}  // namespace

ParseResult parseOptions(int argc, const char* const* argv) {
  Options options;
  ArgumentReader reader(argc, argv);
  while (reader.next()) {
    const std::string option = reader.option();
    const bool isFlag = option == "--background" || option == "--quiet" || option == "--help" || option == "-h";
    if (isFlag) {
      if (reader.hasInlineValue()) return fmt::format("{} takes no value", option);
      if (option == "--background") options.background = true;
      if (option == "--quiet") options.quiet = true;
      if (option == "--help" || option == "-h") options.help = true;
      continue;
    }

    const bool known = option == "--core" || option == "--emulator" || option == "--workdir" || option == "--name" || option == "--version" ||
                       option == "--send" || option == "--send-file" || option == "--send-raw" ||
                       option == "--send-delay" || option == "--duration" || option == "--kill-after" ||
                       option == "--dump-dir" || option == "--plugin";
    if (!known) return fmt::format("unknown option \"{}\" (see --help)", option);
    const std::optional<std::string> value = reader.value();
    if (!value) return fmt::format("{} needs a value (see --help)", option);

    if (option == "--core") {
      if (value->empty()) return "--core needs a path";
      options.core = *value;
    } else if (option == "--emulator") {
      if (value->empty()) return "--emulator needs a program";
      options.emulator = *value;
    } else if (option == "--workdir") {
      if (value->empty()) return "--workdir needs a directory";
      options.workdir = *value;
    } else if (option == "--name") {
      options.daemonName = *value;
    } else if (option == "--version") {
      options.daemonVersion = *value;
    } else if (option == "--send" || option == "--send-file") {
      auto parsed = parseAddressed(option, *value,
                                   option == "--send" ? Injection::Source::Text : Injection::Source::File);
      if (auto* error = std::get_if<std::string>(&parsed)) return std::move(*error);
      options.injections.push_back(std::get<Injection>(std::move(parsed)));
    } else if (option == "--send-raw") {
      if (value->empty()) return "--send-raw needs a file path";
      Injection injection;
      injection.source = Injection::Source::Raw;
      injection.argument = *value;
      options.injections.push_back(std::move(injection));
    } else if (option == "--send-delay") {
      const auto milliseconds = parseUnsigned(*value);
      if (!milliseconds || *milliseconds > 86'400'000) {
        return fmt::format("--send-delay wants whole milliseconds, got \"{}\"", *value);
      }
      options.sendDelay = std::chrono::milliseconds(static_cast<int64_t>(*milliseconds));
    } else if (option == "--duration" || option == "--kill-after") {
      const auto seconds = parseSeconds(*value);
      if (!seconds) return fmt::format("{} wants seconds (for example 10 or 0.5), got \"{}\"", option, *value);
      (option == "--duration" ? options.duration : options.killAfter) = *seconds;
    } else if (option == "--plugin") {
      if (value->empty()) return "--plugin needs a library path";
      options.plugins.push_back(*value);
    } else if (option == "--dump-dir") {
      if (value->empty()) return "--dump-dir needs a directory";
      options.dumpDir = *value;
    }
  }
  return options;
}

std::string helpText(std::string_view programName) {
  return fmt::format(
      R"(Usage: {0} [OPTION]...
Plays the recorder daemon for dvrcore: starts the core with one end of a
sequenced-packet socket pair, tells it who the daemon is, shows the packets its
plug-ins send, injects packets for plug-ins and stops the core on request.

Starting the core:
  --core PATH          the core executable (default: dvrcore beside {0})
  --emulator PROGRAM   start the core as "PROGRAM CORE PIPE", for a core
                       built for another machine (for example qemu-arm for
                       an armhf build); PROGRAM is looked up in PATH
  --workdir DIR        the core's working directory, created if missing
                       (default: the current directory); its log plug-in
                       writes dvrcore.log there
  --plugin LIBRARY     try a plug-in library: the core runs from a temporary
                       install tree holding a copy of it, of the core and of
                       its log plug-in LogPI.so (a LIBRARY named LogPI.so
                       replaces it), removed once the core has exited; may be
                       given several times. A LIBRARY that is missing or not
                       named *.so stops {0} before the core starts.
  The core runs in a process group of its own, so Ctrl-C in the terminal
  reaches only {0}, which then stops the core the way the daemon does.
  The core's console lines appear on this terminal.

The daemon information packet (kind 7), sent right after the start:
  --name NAME          the daemon's file name (default: korvod)
  --version VERSION    the daemon's version (default: 26.0.2.0)
  --background         also send "Background:true": the core prints no
                       console lines from then on

Packets for plug-ins, sent in command-line order after the kind-7 packet:
  --send ID:KIND:TEXT       a packet with route word ID << 20, the given kind
                            and TEXT as its payload
  --send-file ID:KIND:PATH  the same with the bytes of the file PATH as payload
  --send-raw PATH           the bytes of the file PATH, unchanged, as one record
                            (for trying malformed packets)
  --send-delay MS           wait MS milliseconds after the start before sending
                            them (default: 0)
  ID is a plug-in id from 0 to 255 and KIND a 32-bit number, each decimal or
  0x-hexadecimal. Each option may be given several times.

Stopping:
  Ctrl-C (SIGINT), SIGTERM or the end of --duration send the stop packet
  (kind 8) and wait for the core to exit. A second Ctrl-C or SIGTERM while
  waiting sends SIGTERM to the core.
  --duration SECONDS   stop the core after SECONDS (fractions allowed)
  --kill-after SECONDS kill the core (SIGKILL) when it has not exited SECONDS
                       after the stop packet

Packets from the core:
  Each packet is shown as one line on standard output: its number, length,
  route word, kind and the start of its payload (text in quotes, otherwise
  hexadecimal bytes). Packets longer than one record are put together by
  their length word first. A packet of kind 41, the report of the example
  clip-export plug-in, is also shown whole as "korvod-sim: clip: TEXT".
  --dump-dir DIR       also write each packet, header included, to
                       DIR/packet-NNNNNN.bin (numbered from 000001)
  --quiet              no packet lines and no progress notes; errors are
                       still shown

  -h, --help           show this text and exit

Example: run the core and its plug-ins for 10 seconds in ./demo and send the
example camera (plug-in id 0x21) a packet of kind 9 with the text "hello":
  {0} --workdir demo --duration 10 --send 0x21:9:hello
Ask the example clip-export plug-in (id 0x23) after 10 seconds for a clip of
the last 5 seconds the example recorder stored:
  {0} --workdir demo --send-delay 10000 --send 0x23:40:last=5

Example: try a fresh build of your plug-in beside the log plug-in for 5 seconds:
  {0} --plugin build/myplugin.so --duration 5

Exit status: the core's exit code, or 128 + the signal number when the core
was killed by a signal; 64 when the command line is wrong or a file to send
or a --plugin library cannot be read; 71 when the socket, the working
directory, the dump directory or the try-out tree cannot be set up; 127 when the core cannot be started.
)",
      programName);
}

}  // namespace korvodsim
