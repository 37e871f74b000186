// A DvrCore inside the test process, for unit tests that call the routing,
// queue, dispatch and log operations directly:
//
//     InstallTree tree;
//     InProcessCore core;                      // built and published in theCore
//     core.addPlugin(tree, "tp_basic", "cam.so", {{"id", "0x50000"}, {"alarm", "0x2000000"}});
//     core->route(event);
//     core.deliverQueued();                    // Stop, then the dispatch loop drains the queue
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "CoreHarness.h"
#include "core/DvrCore.h"
#include "plugins/Plugin.h"

namespace dvrtest {

// A queued record, taken out of the queue with its payload bytes copied.
struct QueuedEvent {
  km::core::EventParms record;  // `payload` as it was queued (freed since)
  std::string payload;          // the payload bytes; empty when `payload` was null
};

class InProcessCore {
 public:
  InProcessCore();
  // Gives back the references of events still queued, destroys the core and
  // unpublishes it.
  ~InProcessCore();
  InProcessCore(const InProcessCore&) = delete;
  InProcessCore& operator=(const InProcessCore&) = delete;

  km::core::DvrCore* operator->() const { return core.get(); }
  km::core::DvrCore& operator*() const { return *core; }

  // Loads and opens a test plug-in copied into `tree`, appends it to
  // `plugins` (and to the search providers, if it serves searches) and
  // records its module name as the load step would. Its journal is the tree's.
  km::core::PluginPtr addPlugin(InstallTree& tree, const std::string& variant, const std::string& fileName,
                                const std::map<std::string, std::string>& settings = {});

  // Takes every queued record out of the queue and gives back the core's
  // reference of each.
  std::vector<QueuedEvent> drainQueue();
  // Requests the stop and runs the dispatch loop on this thread until it has
  // delivered everything queued.
  void deliverQueued();

 private:
  std::unique_ptr<km::core::DvrCore> core;
};

// Loads and opens a test plug-in variant copied into `tree` under
// `fileName`; it journals into the tree's journal.
km::core::PluginPtr loadTestPlugin(InstallTree& tree, const std::string& variant, const std::string& fileName,
                                   const std::map<std::string, std::string>& settings = {});

// A record as a plug-in fills it: header words, type, flags and source.
km::core::EventParms makeEvent(uint32_t type, uint32_t flags, uint32_t source);
// The same with `payload` as its payload (the text must outlive the record).
km::core::EventParms makeEvent(uint32_t type, uint32_t flags, uint32_t source, const std::string& payload);

// Redirects standard output (descriptor 1) into a temporary file until the
// captured bytes are taken or the capture ends.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  // Ends the capture and returns everything written meanwhile.
  std::string take();

 private:
  int savedStdout = -1;
  int captureFd = -1;
};

}  // namespace dvrtest
