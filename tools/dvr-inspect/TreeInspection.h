// An install tree as the core would run it: which libraries it loads, in
// which order it opens and closes them, and which it skips, hides or
// refuses. The orders come from the core's own scan, load-step and
// close-step functions, run on stand-ins for libraries probed one by one.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>
#include <vector>

#include "LibraryInspection.h"

namespace dvrinspect {

struct TreeInspection {
  // One plug-in in an order, named as the core's messages name it.
  struct Entry {
    std::string name;  // "21:camera"
    std::string fileName;
    std::filesystem::path path;
    uint32_t closeRank = 0;
  };
  struct Refusal {
    std::filesystem::path path;
    std::string message;  // the core's line
    std::string takenBy;  // file name of the plug-in that has the id
  };
  struct Skip {
    std::filesystem::path path;
    std::string why;
  };

  std::filesystem::path exeDir;  // where dvrcore is (or would be)
  bool hasCore = false;
  LibraryInspection logPlugin;   // plugins/LogPI.so, loaded at start-up
  bool logPluginPresent = false;
  std::vector<LibraryInspection> libraries;  // every scanned library, in load order
  std::vector<Entry> loadOrder;   // the "Loaded plugin" lines, in order
  std::vector<Entry> openOrder;   // the "Opening" lines (the log plug-in opens at start-up)
  std::vector<Entry> closeOrder;  // the "Closing" lines, and the "Unloading" lines after them
  std::vector<Entry> closedAtOnce;  // id 8 plug-ins closed at the start of the close step
  std::vector<Entry> keptToTheEnd;  // the log plug-in, when it has id 8
  std::vector<Refusal> refused;
  std::vector<Skip> skipped;
  std::vector<Warning> warnings;  // about the tree as a whole

  // Some library fails to load, is refused, crashes or hangs.
  bool fails() const;
};

// Finds the executable's directory for DIR (DIR itself, DIR/bin, or the
// parent of a plug-in folder) and inspects the tree; a message when DIR is
// missing, no install tree, or holds no library at all.
std::variant<TreeInspection, std::string> inspectTree(const std::filesystem::path& dir, std::chrono::milliseconds limit);

}  // namespace dvrinspect
