#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace dvrinspect {

std::variant<Options, std::string> parseOptions(int argc, const char* const* argv) {
  Options options;
  bool onlyPaths = false;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (onlyPaths || argument.empty() || argument[0] != '-') {
      options.paths.emplace_back(argument);
    } else if (argument == "--") {
      onlyPaths = true;
    } else if (argument == "--json") {
      options.json = true;
    } else if (argument == "-h" || argument == "--help") {
      options.help = true;
    } else if (argument == "--timeout" || argument.rfind("--timeout=", 0) == 0) {
      std::string value;
      if (argument == "--timeout") {
        if (i + 1 >= argc) return "--timeout needs a value in seconds";
        value = argv[++i];
      } else {
        value = argument.substr(10);
      }
      errno = 0;
      char* end = nullptr;
      const double seconds = std::strtod(value.c_str(), &end);
      if (value.empty() || errno != 0 || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
        return fmt::format("--timeout wants seconds greater than 0 (for example 10 or 0.5), got \"{}\"", value);
      }
      options.timeout = std::chrono::milliseconds(std::max<long long>(1, std::llround(seconds * 1000)));
    } else {
      return fmt::format("unknown option \"{}\" (see --help)", argument);
    }
  }
  if (options.paths.empty() && !options.help) return "nothing to inspect: give a plug-in library or an install tree (see --help)";
  return options;
}

std::string helpText(std::string_view programName) {
  return fmt::format(R"(Usage: {0} [--json] [--timeout SECONDS] PATH...
Shows what dvrcore will do with a plug-in library, or with a whole install
tree, using the core's own loading and ordering code.

  {0} LIBRARY.so
      Opens the library as the core does (dlopen with RTLD_NOW), lists the
      entry points it exports, calls Load with a stub `post` that records what
      the plug-in posts, then Unload, and prints the declaration in words: id,
      each interest word (live, stored), close rank, worker, reader and write
      flags; and what the core does with it: whether it is opened, which thread
      calls which entry point, which events reach it and from whom, how config
      events and daemon packets reach it, whether it serves searches, whether it
      is held back as a log plug-in. Warnings name what authors often get
      wrong. The library runs in a child process with a time limit, so a Load
      that crashes or never returns is reported, not suffered.

  {0} DIR
      DIR is the folder that holds dvrcore with its "plugins" and
      "protected-plugins" folders, an install prefix whose bin/ holds them, or
      one of the plug-in folders. Prints the load order (the core's "Loaded
      plugin" lines), the libraries that fail, are refused for a duplicate id,
      or are skipped or hidden by the scan, the open order and the close
      order (the "Closing" and "Unloading" lines), with warnings about the
      tree. Every library is inspected as above.

Options:
  --json              one JSON object per PATH (an array when there are
                      several) instead of text
  --timeout SECONDS   time limit per library (default 10; fractions allowed)
  -h, --help          show this text

Exit status: 0 when every library loads; 1 when a library would fail to load,
be refused, crash or hang (or is no loadable library at all); 2 when the
command line is wrong, or a PATH is missing, no install tree, or holds no
library.
)",
                     programName);
}

}  // namespace dvrinspect
