// DvrCore: the one core object. It owns the Asio context with its timer and
// the daemon socket, the event queue, the plug-in lists, the search registry
// and the configuration; main creates it, publishes it in `theCore`, calls
// Init and Run, then destroys it.
//
// Threads: the main thread runs Init, Run (and from the dispatch loop on, it
// is the dispatch thread) and destruction; one I/O thread runs `io`; plug-in
// and search threads post through `route` from anywhere. Each member says who
// may touch it.
#pragma once

// Boost 1.74's Asio needs <utility> first under GCC 12 in C++20 mode.
#include <utility>

#include <array>
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/generic/seq_packet_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/ZeroPageBuffer.h"
#include "events/SearchHandler.h"
#include "events/Statistics.h"
#include "plugin_api.h"

namespace km::core {

class Plugin;
struct AsyncEvent;
class XmlDocument;
class XmlNode;
using PluginPtr = std::shared_ptr<Plugin>;
using PluginList = std::vector<PluginPtr>;

// One packet accepted for the daemon and not yet written.
struct IpcPacket {
  std::unique_ptr<unsigned char[]> bytes;
  uint32_t length = 0;
};

inline constexpr uint32_t kIpcBufferSize = 65536;

class DvrCore {
 public:
  // Builds the members; reads no file and starts no thread.
  explicit DvrCore(std::string exePath);
  // Frees unsent packets, reports leaked payload blocks, then releases the
  // members in reverse order, the plug-in lists and last the log plug-in.
  ~DvrCore();

  DvrCore(const DvrCore&) = delete;
  DvrCore& operator=(const DvrCore&) = delete;

  // --- start-up and run (main thread) --------------------------------------

  // Identity, capabilities, daemon pipe, log plug-in. False: must not run.
  bool Init(int32_t pipeFd);
  // Signals, I/O thread, tick, plug-ins, dispatch loop, shutdown. Returns
  // once the core has stopped.
  void Run();
  // Requests the stop. Any thread; later calls change nothing.
  void Stop();
  bool stopping() const noexcept { return stopRequested.load(std::memory_order_seq_cst); }

  // --- plug-in steps (main thread) -----------------------------------------

  void loadStep();
  void openStep();
  void closeStep();
  void unloadStep();
  // Replaces the I/O thread's routing list and waits until it has taken it.
  void handIpcRoutes(PluginList routes);

  // --- events (any thread unless noted) ------------------------------------

  // The routing step behind `post`: control events answered here, the rest
  // admitted and queued. Returns the poster's result code.
  int32_t route(EventParms& e);
  // Appends a copy of the record and its payload: 0, or 1 for a refused
  // search answer. Bypasses admission and the stop check, unless the caller
  // (route) asks to be refused once the stop has been requested.
  enum class QueueWhen { Always, Running };
  int32_t queueEvent(EventParms& e, QueueWhen when = QueueWhen::Always);
  // Live audio/video admission: 0 admitted, else the refusal code (3, 4, 5).
  int32_t admitLiveFrame(const EventParms& e);
  static constexpr int16_t kMaxFramesAfterKey = 765;
  // Takes the event when it is a search request, and starts one search
  // thread per provider.
  bool searchRequest(const EventParms& e);
  // The plug-ins that serve searches, taken from `plugins` (main thread,
  // after each plug-in is opened) or none (before the close step).
  void refreshSearchProviders();
  void withdrawSearchProviders();
  // Delivers queued events until Stop, then drains and returns. Main thread.
  void dispatchLoop();
  // Offers one dequeued event to every plug-in that wants it. Main thread.
  void deliverToPlugins(const EventParms& e, DispatchStatistics& stats);
  // Once-a-minute statistics line. Dispatch thread.
  void statisticsTick(DispatchStatistics& stats);
  // The transform service behind "crypto" events.
  int32_t cryptoRequest(EventParms& e);

  // --- logging (any thread) ---------------------------------------------------

  int32_t logThreshold(uint32_t slot) const noexcept;
  // 0: drop the log event; 1: pass it on.
  int32_t filterLogEvent(const EventParms& e);
  void writeConsoleLine(uint32_t slot, int32_t level, uint32_t length, const void* text);

  // --- daemon link ------------------------------------------------------------

  void startReceive();                                    // I/O thread, or Run
  void onReceive(const boost::system::error_code& status, std::size_t bytes);  // I/O thread
  int32_t sendIpc(const EventParms& e);                   // any thread
  void startSend();                                       // I/O thread
  bool ipcPipeOpen() const noexcept { return pipeOpen.load(std::memory_order_acquire); }
  std::string daemonFilenameCopy() const;
  std::string daemonVersionCopy() const;

  // --- configuration and status (main thread) --------------------------------

  // Product identity from "product.xml", throttling and log thresholds from
  // "core.xml"; defaults stay for whatever cannot be read.
  void loadConfig();
  // Stores the thresholds of a configuration document's Module/Plugin
  // entries; true when one of them changed. Any thread.
  bool applyModuleSettings(std::string_view text);
  // Queues the status document as a config event and writes it as "core.xml".
  void publishStatus();
  // Applies a delta document posted as a config event. Dispatch thread.
  void onConfigEvent(const EventParms& e);

  // Queues the memory alarm with the current throttling state. Any thread.
  void memoryAlarm();

  // --- the tick (I/O thread) ------------------------------------------------

  void armTick();
  void onTick(const boost::system::error_code& status);
  // Memory watch hooks of the tick: limits at the first tick, the limits
  // line, and the once-a-second reading.
  void setUpMemoryLimits();
  void logMemoryLimits();
  void takeMemoryReading();
  // Applies one reading (true: above throttlingLimit): sets `throttling` at
  // once and opens or closes an episode with its message and alarm.
  void checkMemory(bool low);

  // ===================== members, in declaration order =======================

  // Handed to every plug-in's Load and the source of the crypto key; fixed
  // during start-up.
  std::string deviceIdentity;
  // Log threshold per module slot; -1 = the default. Single words read and
  // written without a lock from any thread.
  std::array<std::atomic<int32_t>, 256> logLevels;
  PluginPtr logPlugin;
  // Delivery order. Written only by the main thread outside the dispatch loop.
  PluginList plugins;
  PluginList failedPlugins;
  // Plug-in id to short name, 0 = "core". Guarded by logMutex.
  std::map<uint32_t, std::string> moduleNames;
  boost::asio::io_context io;
  boost::asio::steady_timer tickTimer;
  // The daemon pipe and its buffers: I/O thread only (adopted in Init).
  boost::asio::generic::seq_packet_protocol::socket ipcSocket;
  // The packets the I/O thread is writing, ipcSendQueue[ipcSendNext] first
  // (the one being written), in the order sendIpc accepted them.
  std::vector<IpcPacket> ipcSendQueue;
  std::size_t ipcSendNext = 0;
  // Zero-filled; resident only as far as packets have filled it.
  ZeroPageBuffer<kIpcBufferSize> ipcRecvBuffer;
  uint32_t ipcRecvFill = 0;
  std::mutex queueMutex;  // guards eventQueue, dispatcherWaiting (and the core.xml write)
  std::condition_variable queueCond;
  std::vector<EventParms> eventQueue;
  // The dispatch loop sleeps on queueCond: a new event must wake it. While it
  // works through the queue, posting needs no wake-up call.
  bool dispatcherWaiting = false;
  // eventQueue is not empty; set under queueMutex, read without it by the
  // dispatch loop while it looks out for the next event.
  std::atomic<bool> eventsQueued{false};
  std::mutex liveSourceMutex;  // guards liveSources
  std::unordered_map<uint32_t, int16_t> liveSources;
  SearchHandler threadWaiters;
  std::string exePath;
  std::string productFamily = "Korvomatic";
  std::string productVersion = "26.0.2.0";
  std::string daemonFilename;  // guarded by daemonInfoMutex
  std::string daemonVersion;   // guarded by daemonInfoMutex
  bool consoleColour = true;
  std::atomic<bool> background{false};
  std::mutex logMutex;  // guards console lines and moduleNames
  std::atomic<bool> stopRequested{false};
  bool throttlingEnabled = true;  // written before the I/O thread starts
  // Read by posting threads; a stale value for one event is fine.
  std::atomic<bool> throttling{false};
  // Steady-clock nanoseconds of the last low reading of the open episode;
  // the largest value while none is open. I/O thread only.
  int64_t lowMemorySince = std::numeric_limits<int64_t>::max();

  // --- implementation state ---------------------------------------------------

  mutable std::mutex daemonInfoMutex;  // guards daemonFilename, daemonVersion
  // Whether ipcSocket is open, for threads other than the I/O thread.
  std::atomic<bool> pipeOpen{false};
  // The I/O thread's own copy of the plug-in list for daemon packets; empty
  // until the plug-ins are open and again before they are unloaded. Packets
  // for plug-ins wait in the receive buffer until the first list arrives.
  boost::asio::socket_base::message_flags ipcRecvOutFlags = 0;  // I/O thread
  PluginList ipcRoutes;
  bool ipcRoutesReady = false;
  // Packets accepted by sendIpc on any thread, in order, and whether the I/O
  // thread is at work on them (a drain posted, under way or waiting for the
  // socket): while it is, posting adds to the outbox without a wake-up.
  std::mutex ipcOutboxMutex;  // guards ipcOutbox, ipcDraining
  std::vector<IpcPacket> ipcOutbox;
  bool ipcDraining = false;
  // Bytes of ipcSendQueue[ipcSendNext] already written (I/O thread).
  uint32_t ipcSendOffset = 0;
  bool ipcReceivePaused = false;
  // Whether Run's I/O thread runs `io` (main thread only).
  bool ioThreadRunning = false;
  // The search providers of `plugins`, for posters on any thread while the
  // main thread changes the list.
  std::mutex searchProvidersMutex;  // guards searchProviders
  PluginList searchProviders;
  // Tick state: the last clock check, set at the first tick.
  bool tickStarted = false;
  std::chrono::steady_clock::time_point lastCheckSteady{};
  std::chrono::system_clock::time_point lastCheckSystem{};

 private:
  // The status tree; gives back its Product element, which only the event carries.
  XmlNode buildStatusDocument(XmlDocument& doc) const;
  void installIpcRoutes(PluginList routes);  // I/O thread
  // Handles the packets buffered so far; false when it paused for routes.
  bool processReceivedPackets();
  void deliverDaemonInfo(const unsigned char* payload, uint32_t size);
  void startSearchThread(const PluginPtr& plugin, const std::shared_ptr<const AsyncEvent>& request);
  void runSearchThread(PluginPtr plugin, std::shared_ptr<const AsyncEvent> request) noexcept;
};

// The one core, set by main right after construction and never reset.
extern DvrCore* theCore;

// The posting service handed to plug-ins.
int32_t post(EventParms* e);

}  // namespace km::core
