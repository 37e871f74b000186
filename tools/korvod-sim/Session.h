// One run of the simulated daemon: the loop that talks to the core over the
// pipe, turns signals and time limits into the stop, and shows what the core
// sends, until the core has ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "CoreProcess.h"
#include "Options.h"
#include "Packets.h"
#include "SignalPipe.h"
#include "UniqueFd.h"

namespace korvodsim {

// A packet ready to go: written as records of at most 65,536 bytes, or as
// exactly one record of any size (for deliberately malformed input).
struct OutgoingPacket {
  Bytes bytes;
  bool singleRecord = false;
};

class Session {
 public:
  // `pipe` is our end of the socket pair, `injections` the packets for
  // plug-ins in command-line order. Single-threaded.
  Session(const Options& options, UniqueFd pipe, CoreProcess& core, SignalPipe& signals,
          std::vector<OutgoingPacket> injections);

  // Sends the daemon information, then runs until the core has ended and every
  // record it wrote has been read. Returns the core's exit code.
  int run();

 private:
  using Clock = std::chrono::steady_clock;

  void queue(const OutgoingPacket& packet);
  void flushRecords();
  void receiveRecords();
  void showPiece(const PacketAssembler::Piece& piece);
  void dumpPacket(const Bytes& packet);
  void closePipe();
  void onInterrupt(int signal);
  void requestStop(std::string_view reason);
  void runTimers(Clock::time_point now);
  int pollTimeout(Clock::time_point now) const;
  template <typename... Args>
  void note(fmt::format_string<Args...> format, Args&&... args);

  const Options& options;
  UniqueFd pipe;
  CoreProcess& core;
  SignalPipe& signals;
  std::vector<OutgoingPacket> injections;  // sent once sendAt has come

  std::deque<Bytes> outgoing;  // records not yet written, in order
  bool pipeReadable = true;    // false once the core has closed its end
  bool pipeWritable = true;    // false once a write found the pipe gone
  PacketAssembler assembler;
  uint64_t packetsReceived = 0;
  bool dumpFailed = false;

  Clock::time_point started;
  std::optional<Clock::time_point> sendAt;
  std::optional<Clock::time_point> stopAt;
  std::optional<Clock::time_point> killAt;
  bool stopRequested = false;
};

}  // namespace korvodsim
