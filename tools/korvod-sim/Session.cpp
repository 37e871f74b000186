#include "Session.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "Report.h"

namespace korvodsim {

namespace {

const char* signalName(int signal) { return signal == SIGINT ? "Ctrl-C" : "SIGTERM"; }

double seconds(std::chrono::milliseconds duration) { return static_cast<double>(duration.count()) / 1000.0; }

}  // namespace

Session::Session(const Options& options, UniqueFd pipe, CoreProcess& core, SignalPipe& signals,
                 std::vector<OutgoingPacket> injections)
    : options(options), pipe(std::move(pipe)), core(core), signals(signals), injections(std::move(injections)) {}

template <typename... Args>
void Session::note(fmt::format_string<Args...> format, Args&&... args) {
  if (!options.quiet) printError(format, std::forward<Args>(args)...);
}

int Session::run() {
  started = Clock::now();
  if (!injections.empty()) sendAt = started + options.sendDelay;
  if (options.duration) stopAt = started + *options.duration;
  queue({daemonInfoPacket(options.daemonName, options.daemonVersion, options.background), false});

  while (!core.ended()) {
    runTimers(Clock::now());
    const bool wantsWrite = pipeWritable && !outgoing.empty();
    pollfd fds[2] = {{signals.fd(), POLLIN, 0},
                     {pipeReadable ? pipe.get() : -1, static_cast<short>(POLLIN | (wantsWrite ? POLLOUT : 0)), 0}};
    const int ready = ::poll(fds, 2, pollTimeout(Clock::now()));
    if (ready < 0 && errno != EINTR) {
      printError("poll failed: {}", std::strerror(errno));
      break;
    }
    for (const int signal : signals.take()) {
      if (signal != SIGCHLD) onInterrupt(signal);
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) receiveRecords();
    if (fds[1].revents & POLLOUT) flushRecords();
    core.reap();
  }

  // Whatever the core wrote before it ended is still in the socket.
  receiveRecords();
  if (const auto rest = assembler.finish()) showPiece(*rest);
  if (!core.ended()) {
    // Only after a failed poll(): do not leave the core behind unstopped.
    core.signal(SIGTERM);
    while (!core.reap()) ::poll(nullptr, 0, 50);
  }
  note("the core {}", core.describeEnd());
  return core.exitCode();
}

void Session::queue(const OutgoingPacket& packet) {
  if (packet.singleRecord) {
    outgoing.push_back(packet.bytes);
  } else {
    for (const ByteView record : recordsOf(packet.bytes)) outgoing.emplace_back(record.begin(), record.end());
  }
  flushRecords();
}

void Session::flushRecords() {
  while (pipeWritable && !outgoing.empty()) {
    const Bytes& record = outgoing.front();
    const ssize_t sent = ::send(pipe.get(), record.data(), record.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent >= 0) {
      outgoing.pop_front();
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // poll() tells when there is room
    if (errno == EMSGSIZE || errno == ENOBUFS) {
      printError("a record of {} bytes is too large for the pipe and was not sent", record.size());
      outgoing.pop_front();
      continue;
    }
    note("the core closed the pipe ({}); {} record(s) not sent", std::strerror(errno), outgoing.size());
    outgoing.clear();
    pipeWritable = false;
  }
}

void Session::receiveRecords() {
  Bytes buffer(kMaxRecord);
  while (pipeReadable) {
    iovec vector{buffer.data(), buffer.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    const ssize_t got = ::recvmsg(pipe.get(), &message, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return;
      printError("reading the pipe failed: {}", std::strerror(errno));
      closePipe();
      return;
    }
    if (got == 0) {  // the core closed its end, or it has ended
      closePipe();
      return;
    }
    if (message.msg_flags & MSG_TRUNC) {
      printError("the core wrote a record longer than {} bytes; only its start was read", kMaxRecord);
    }
    for (const auto& piece : assembler.addRecord(ByteView(buffer.data(), static_cast<std::size_t>(got)))) {
      showPiece(piece);
    }
  }
}

void Session::closePipe() {
  pipeReadable = false;
  pipeWritable = false;
  outgoing.clear();
}

void Session::showPiece(const PacketAssembler::Piece& piece) {
  if (!piece.problem.empty()) {
    printError("malformed data from the core: {}: {}", piece.problem, preview(piece.bytes));
    return;
  }
  ++packetsReceived;
  if (!options.quiet) fmt::print("korvod-sim: packet {}: {}\n", packetsReceived, describePacket(piece.bytes));
  if (const auto clip = clipReport(piece.bytes); clip && !options.quiet) fmt::print("korvod-sim: clip: {}\n", *clip);
  if (!options.dumpDir.empty()) dumpPacket(piece.bytes);
}

void Session::dumpPacket(const Bytes& packet) {
  const auto path = options.dumpDir / fmt::format("packet-{:06}.bin", packetsReceived);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(packet.data()), static_cast<std::streamsize>(packet.size()));
  file.close();
  if (!file && !dumpFailed) {
    dumpFailed = true;  // said once; the run goes on
    printError("cannot write {}; further dump failures are not reported", path.string());
  }
}

void Session::onInterrupt(int signal) {
  if (!stopRequested) {
    requestStop(signalName(signal));
    return;
  }
  note("{} again: sending SIGTERM to the core (pid {})", signalName(signal), core.pid());
  core.signal(SIGTERM);
}

void Session::requestStop(std::string_view reason) {
  stopRequested = true;
  if (!injections.empty()) {
    note("{} packet(s) for plug-ins not sent: stopping before --send-delay ended", injections.size());
    injections.clear();
    sendAt.reset();
  }
  if (pipeWritable) {
    queue({stopPacket(), false});
    note("{}: stop packet sent, waiting for the core to exit", reason);
  } else {
    note("{}: the pipe is closed, sending SIGTERM to the core (pid {})", reason, core.pid());
    core.signal(SIGTERM);
  }
  if (options.killAfter) killAt = Clock::now() + *options.killAfter;
}

void Session::runTimers(Clock::time_point now) {
  if (sendAt && now >= *sendAt) {
    sendAt.reset();
    for (const OutgoingPacket& packet : injections) queue(packet);
    injections.clear();
  }
  if (stopAt && now >= *stopAt) {
    stopAt.reset();
    if (!stopRequested) requestStop(fmt::format("{} s are up", seconds(*options.duration)));
  }
  if (killAt && now >= *killAt) {
    killAt.reset();
    note("the core has not exited {} s after the stop: killing it (pid {})", seconds(*options.killAfter), core.pid());
    core.signal(SIGKILL);
  }
}

int Session::pollTimeout(Clock::time_point now) const {
  std::optional<Clock::time_point> next;
  for (const auto& deadline : {sendAt, stopAt, killAt}) {
    if (deadline && (!next || *deadline < *next)) next = deadline;
  }
  if (!next) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
  return static_cast<int>(std::clamp<int64_t>(wait, 0, 60'000));
}

}  // namespace korvodsim
