// A throw-away install tree for trying plug-in libraries in one command: a
// copy of the core with its log plug-in and the given libraries in
// plugins/, under the temporary directory, removed again with the object.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace korvodsim {

class TryOutTree {
 public:
  // A library that cannot be tried (missing, not a file, a name the core
  // would not load, two of the same name): the message says which and why.
  struct BadLibrary : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  // The tree could not be made (disk full, no temporary directory, ...).
  struct SetUpFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Throws BadLibrary when any of `libraries` cannot be tried; creates nothing.
  static void checkLibraries(const std::vector<std::filesystem::path>& libraries);

  // Lays out <tmp>/dvrcore (a copy of `core`, since the core finds its
  // plug-ins beside its own canonical path), <tmp>/plugins/LogPI.so (from
  // beside `core`, if there is one) and a copy of each library. A library
  // named "LogPI.so" takes the log plug-in's place. Throws BadLibrary or
  // SetUpFailed.
  TryOutTree(const std::filesystem::path& core, const std::vector<std::filesystem::path>& libraries);
  ~TryOutTree();
  TryOutTree(const TryOutTree&) = delete;
  TryOutTree& operator=(const TryOutTree&) = delete;

  const std::filesystem::path& root() const noexcept { return rootDir; }
  std::filesystem::path executable() const { return rootDir / "dvrcore"; }
  // The file names in plugins/, the log plug-in first when there is one.
  const std::vector<std::string>& pluginFiles() const noexcept { return files; }

 private:
  std::filesystem::path rootDir;
  std::vector<std::string> files;
};

}  // namespace korvodsim
