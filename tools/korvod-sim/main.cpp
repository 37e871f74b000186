// korvod-sim: plays the recorder daemon for the core, for people and tests.
// See helpText() in Options.cpp for what it does.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>

#include "CoreProcess.h"
#include "Options.h"
#include "Packets.h"
#include "Report.h"
#include "Session.h"
#include "SignalPipe.h"
#include "TryOutTree.h"
#include "UniqueFd.h"

namespace fs = std::filesystem;
using namespace korvodsim;

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 64, kExitSystem = 71, kExitNoCore = 127 };

// A failure that ends korvod-sim before or while starting the core.
struct Failure {
  int exitCode;
  std::string message;
};

fs::path defaultCorePath() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) throw Failure{kExitNoCore, "cannot find out where korvod-sim is (/proc/self/exe); use --core PATH"};
  return self.parent_path() / "dvrcore";
}

fs::path corePath(const Options& options) {
  const fs::path path = fs::absolute(options.core.empty() ? defaultCorePath() : options.core).lexically_normal();
  std::error_code error;
  if (!fs::is_regular_file(path, error)) {
    throw Failure{kExitNoCore, fmt::format("no core executable at {}; build it or use --core PATH", path.string())};
  }
  return path;
}

// The emulator's path: as given when it has a slash, else found in PATH.
fs::path emulatorPath(const std::string& program) {
  if (program.find('/') != std::string::npos) return fs::absolute(program).lexically_normal();
  const char* const searchPath = std::getenv("PATH");
  std::string_view rest = searchPath ? searchPath : "";
  while (true) {
    const auto colon = rest.find(':');
    const std::string_view folder = rest.substr(0, colon);
    const fs::path candidate = fs::path(folder.empty() ? "." : std::string(folder)) / program;
    std::error_code error;
    if (fs::is_regular_file(candidate, error) && ::access(candidate.c_str(), X_OK) == 0) {
      return fs::absolute(candidate).lexically_normal();
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  throw Failure{kExitNoCore, fmt::format("no emulator {} in PATH", program)};
}

// The directory, created if missing, as an absolute path.
fs::path preparedDirectory(const fs::path& directory, std::string_view option) {
  std::error_code error;
  const fs::path absolute = fs::absolute(directory, error).lexically_normal();
  if (!error) fs::create_directories(absolute, error);
  if (error) {
    throw Failure{kExitSystem, fmt::format("cannot create the {} {}: {}", option, directory.string(), error.message())};
  }
  return absolute;
}

Bytes readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) throw Failure{kExitUsage, fmt::format("cannot read {}: {}", path, std::strerror(errno))};
  Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (file.bad()) throw Failure{kExitUsage, fmt::format("cannot read {}: {}", path, std::strerror(errno))};
  return bytes;
}

OutgoingPacket buildPacket(const Injection& injection) {
  switch (injection.source) {
    case Injection::Source::Raw:
      return {readFile(injection.argument), true};
    case Injection::Source::File: {
      const Bytes payload = readFile(injection.argument);
      return {makePacket(routeWordFor(injection.pluginId), injection.kind, payload), false};
    }
    case Injection::Source::Text:
      break;
  }
  const auto* text = reinterpret_cast<const unsigned char*>(injection.argument.data());
  return {makePacket(routeWordFor(injection.pluginId), injection.kind, ByteView(text, injection.argument.size())),
          false};
}

// With --plugin: lays out the try-out tree the core runs from.
void setUpTryOutTree(const Options& options, const fs::path& core, std::optional<TryOutTree>& tree) {
  if (options.plugins.empty()) return;
  try {
    tree.emplace(core, options.plugins);
  } catch (const TryOutTree::BadLibrary& bad) {
    throw Failure{kExitUsage, bad.what()};
  } catch (const TryOutTree::SetUpFailed& failed) {
    throw Failure{kExitSystem, fmt::format("cannot set up the try-out tree: {}", failed.what())};
  }
  if (!options.quiet) {
    printError("try-out tree {} with plugins/{} (removed when the core has exited)", tree->root().string(),
               fmt::join(tree->pluginFiles(), ", plugins/"));
  }
}

int runDaemon(const Options& options) {
  try {
    TryOutTree::checkLibraries(options.plugins);
  } catch (const TryOutTree::BadLibrary& bad) {
    throw Failure{kExitUsage, bad.what()};
  }
  std::optional<TryOutTree> tree;
  setUpTryOutTree(options, corePath(options), tree);
  const fs::path core = tree ? tree->executable() : corePath(options);
  const fs::path emulator = options.emulator.empty() ? fs::path() : emulatorPath(options.emulator);
  const fs::path workdir = preparedDirectory(options.workdir.empty() ? fs::path(".") : options.workdir, "working directory");
  if (!options.dumpDir.empty()) preparedDirectory(options.dumpDir, "dump directory");
  std::vector<OutgoingPacket> injections;
  for (const Injection& injection : options.injections) injections.push_back(buildPacket(injection));

  SignalPipe signals;
  int ends[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
    throw Failure{kExitSystem, fmt::format("cannot create the socket pair: {}", std::strerror(errno))};
  }
  UniqueFd ourEnd(ends[0]);
  UniqueFd coreEnd(ends[1]);

  CoreProcess process = [&] {
    try {
      return CoreProcess::start(core, workdir, coreEnd.get(), emulator);
    } catch (const CoreProcess::StartFailed& failed) {
      throw Failure{kExitNoCore, failed.what()};
    }
  }();
  coreEnd.reset();  // the core's end lives on in the core only
  if (!options.quiet) printError("started {} (pid {}) in {}", core.string(), process.pid(), workdir.string());

  Session session(options, std::move(ourEnd), process, signals, std::move(injections));
  return session.run();
}

}  // namespace

int main(int argc, char** argv) {
  // Our lines and the core's share the terminal: one line, one write.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  const ParseResult parsed = parseOptions(argc, argv);
  if (const auto* error = std::get_if<std::string>(&parsed)) {
    printError("{}", *error);
    return kExitUsage;
  }
  const Options& options = std::get<Options>(parsed);
  if (options.help) {
    fmt::print("{}", helpText(argc > 0 ? fs::path(argv[0]).filename().string() : "korvod-sim"));
    return kExitOk;
  }

  try {
    return runDaemon(options);
  } catch (const Failure& failure) {
    printError("{}", failure.message);
    return failure.exitCode;
  } catch (const std::system_error& error) {
    printError("{}", error.what());
    return kExitSystem;
  }
}
