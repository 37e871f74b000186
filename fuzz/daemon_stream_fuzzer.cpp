// The daemon stream: arbitrary bytes arrive on the pipe in receives of an
// arbitrary size and go through the core's own receive path (reassembly,
// daemon information, stop, bad lengths, routing to plug-ins), with a list of
// stand-in plug-ins that check every packet they are handed.
//
// Input: byte 0 picks the plug-in list, byte 1 the receive before which the
// plug-ins are open (routes handed to the I/O side), bytes 2-3 the size of a
// receive less one; the rest is the byte stream from the daemon.
//
// Checked: the buffer never holds more than its 65,536 bytes and no receive
// is armed without room; a packet reaches only the first open plug-in whose
// id its route word carries, in place at the start of the buffer, with its
// length word; nothing that could be handled is left in the buffer; the
// daemon's strings hold no NUL.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "FuzzCheck.h"

#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "events/PayloadBlock.h"
#include "plugins/Plugin.h"

using namespace km::core;

namespace {

enum class Entry { OnIpcResult, Ioctl, None };

struct StandIn {
  uint32_t idWord;
  Entry entry;
};

// The stand-ins: ids with and without sub-identifier bits, the ids 0 and 1,
// a plug-in without id, two with the same id, and ones that take packets
// through IOCTL or not at all.
constexpr StandIn kStandIns[] = {
    {0x00120000u, Entry::OnIpcResult},  // 0
    {0x00130000u, Entry::Ioctl},        // 1
    {DVR_SOURCE_CORE, Entry::OnIpcResult},  // 2: no id, never routed to
    {0x00120000u, Entry::OnIpcResult},  // 3: same id as 0, after it
    {0x00000000u, Entry::OnIpcResult},  // 4: id 0
    {0x00010000u, Entry::Ioctl},        // 5: id 1
    {0x00FFABCDu, Entry::OnIpcResult},  // 6: id 0xFF with sub bits
    {0x00140000u, Entry::None},         // 7: takes no packets
};
constexpr std::size_t kStandInCount = sizeof kStandIns / sizeof kStandIns[0];

const std::vector<std::vector<std::size_t>> kLists = {
    {0, 1, 2}, {0, 3, 4, 5}, {}, {6, 7, 0}, {2, 4, 3, 0, 1, 5, 6, 7}, {3, 0},
};

struct Run {
  DvrCore* core = nullptr;
  PluginList routes;          // as handed to the I/O side
  std::vector<std::size_t> standInOf;  // routes index -> stand-in index
  uint64_t delivered = 0;
};
Run current;

uint32_t wordAt(const unsigned char* bytes, uint32_t offset) {
  uint32_t word;
  std::memcpy(&word, bytes + offset, sizeof word);
  return word;
}

void checkDelivery(std::size_t standIn, const void* packet, uint32_t length) {
  DvrCore& core = *current.core;
  const unsigned char* buffer = core.ipcRecvBuffer.data();
  FUZZ_CHECK(packet == buffer);
  FUZZ_CHECK(length >= 1 && length <= kIpcBufferSize && length <= core.ipcRecvFill);
  FUZZ_CHECK(wordAt(buffer, 0) == length);
  const uint32_t kind = wordAt(buffer, 8);
  FUZZ_CHECK(kind != 7 && kind != 8);
  const uint32_t routeId = (wordAt(buffer, 4) >> 20) & 0xFFu;
  const uint32_t idWord = kStandIns[standIn].idWord;
  FUZZ_CHECK(idWord != DVR_SOURCE_CORE);
  FUZZ_CHECK(pluginIdOf(idWord) == routeId);
  FUZZ_CHECK(kStandIns[standIn].entry != Entry::None);
  // The first open plug-in with that id is this one.
  bool first = false;
  for (std::size_t i = 0; i < current.routes.size(); ++i) {
    const uint32_t word = kStandIns[current.standInOf[i]].idWord;
    if (word == DVR_SOURCE_CORE || pluginIdOf(word) != routeId) continue;
    first = current.standInOf[i] == standIn;
    break;
  }
  FUZZ_CHECK(first);
  ++current.delivered;
  // The plug-in may read every byte it was given, the last one included.
  volatile unsigned char last = static_cast<const unsigned char*>(packet)[length - 1];
  (void)last;
}

template <std::size_t Index>
void onIpcResult(const void* packet, uint32_t length) {
  checkDelivery(Index, packet, length);
}

template <std::size_t Index>
void ioctl(const IoctlIn* in, IoctlOut*) {
  FUZZ_CHECK(in->code == DVR_IOCTL_IPC);
  checkDelivery(Index, in->argument, in->argumentLength);
}

template <std::size_t... Index>
PluginPtr makeStandIn(std::size_t which, std::index_sequence<Index...>) {
  static constexpr OnIpcResultFn onIpc[] = {&onIpcResult<Index>...};
  static constexpr IoctlFn ioctls[] = {&ioctl<Index>...};
  LoadOut declaration{};
  declaration.size = sizeof declaration;
  declaration.idWord = kStandIns[which].idWord;
  PluginPtr plugin = Plugin::standIn("standin" + std::to_string(which) + ".so", declaration);
  if (kStandIns[which].entry == Entry::OnIpcResult) plugin->OnIpcResult = onIpc[which];
  if (kStandIns[which].entry == Entry::Ioctl) plugin->IOCTL = ioctls[which];
  return plugin;
}

// Nothing that the receive path could handle is left in the buffer.
void checkSettled(const DvrCore& core) {
  FUZZ_CHECK(core.ipcRecvFill <= kIpcBufferSize);
  if (core.ipcReceivePaused || core.ipcRecvFill < 16) return;
  const uint32_t length = wordAt(core.ipcRecvBuffer.data(), 0);
  FUZZ_CHECK(length != 0 && length <= kIpcBufferSize && length > core.ipcRecvFill);
}

void checkDaemonStrings(const DvrCore& core) {
  FUZZ_CHECK(core.daemonFilenameCopy().find('\0') == std::string::npos);
  FUZZ_CHECK(core.daemonVersionCopy().find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  const std::vector<std::size_t>& list = kLists[data[0] % kLists.size()];
  const std::size_t routesBefore = data[1];
  const std::size_t receiveSize = (static_cast<std::size_t>(data[2]) | static_cast<std::size_t>(data[3]) << 8) + 1;
  const uint8_t* stream = data + 4;
  std::size_t left = size - 4;

  DvrCore core("/fuzz/dvrcore");
  theCore = &core;
  core.background.store(true);  // no console
  current = Run{};
  current.core = &core;
  for (std::size_t which : list) {
    current.routes.push_back(makeStandIn(which, std::make_index_sequence<kStandInCount>{}));
    current.standInOf.push_back(which);
  }

  bool routesHanded = false;
  for (std::size_t receive = 0; left > 0; ++receive) {
    // A paused receive path arms no receive until the plug-ins are open.
    if (!routesHanded && (receive == routesBefore || core.ipcReceivePaused)) {
      core.handIpcRoutes(current.routes);
      routesHanded = true;
      checkSettled(core);
    }
    FUZZ_CHECK(!core.ipcReceivePaused);
    const std::size_t room = kIpcBufferSize - core.ipcRecvFill;
    FUZZ_CHECK(room > 0);
    const std::size_t n = std::min({receiveSize, room, left});
    std::memcpy(core.ipcRecvBuffer.data() + core.ipcRecvFill, stream, n);
    stream += n;
    left -= n;
    core.onReceive({}, n);
    checkSettled(core);
    checkDaemonStrings(core);
  }
  if (!routesHanded) {
    core.handIpcRoutes(current.routes);
    checkSettled(core);
  }

  // Lines the core logged on the way wait in the queue for a dispatch loop
  // that never runs here.
  for (const EventParms& queued : core.eventQueue) release(queued.payload, 0);
  core.eventQueue.clear();
  FUZZ_CHECK(payloadBlockCount.load() == 0);
  current = Run{};
  theCore = nullptr;
  return 0;
}
