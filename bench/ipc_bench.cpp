// The daemon link beside a plain socket pair moving the same packets in the
// same run, for packets of 256 B, 4 KiB and 64 KiB:
//
//   ipc_out/<size>/core        the benchmark thread, acting as a plug-in,
//                              posts "ipc" events; the core's I/O thread
//                              writes them to its end of an AF_UNIX
//                              SOCK_SEQPACKET pair; a thread at the daemon's
//                              end reads them
//   ipc_out/<size>/socketpair  one thread writes the packets into a plain
//                              pair, another reads them
//   ipc_in/<size>/core         the benchmark thread writes packets at the
//                              daemon's end, addressed to a sink plug-in; the
//                              core's I/O thread receives them and hands each
//                              to the plug-in's OnIpcResult
//   ipc_in/<size>/socketpair   one thread writes the packets into a plain
//                              pair, another reads them
//
// The core runs its I/O thread on its io_context as the executable does,
// owning its end of the pair. Each run sends a batch and waits until the far
// side has taken all of it, so the figures are end to end; every packet must
// arrive whole (one record, its own length). recv_cpu_ns is the receiving
// thread's CPU time per packet (the daemon's reader, or the core's I/O thread
// for ipc_in/core); ipc_out/core adds io_cpu_ns, its I/O thread's.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>

#include "bench_threads.h"
#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "plugins/Plugin.h"

namespace {

using namespace km::core;
using bench::Progress;
using bench::ReceiverCpu;

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kPacketKind = 50;  // any kind the core does not read itself

// Packets per batch: 1024, or 16 MiB of them.
int batchOf(uint32_t size) { return static_cast<int>(std::min<uint32_t>(1024, (16u << 20) / size)); }

// A descriptor owned by the benchmark.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd(fd) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd; }
  int release() { return std::exchange(fd, -1); }

 private:
  int fd;
};

struct SocketPair {
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    first = std::make_unique<Fd>(fds[0]);
    second = std::make_unique<Fd>(fds[1]);
  }
  std::unique_ptr<Fd> first;
  std::unique_ptr<Fd> second;
};

// A packet as the daemon sends it: length, route word, kind, a spare word,
// then the payload.
std::vector<unsigned char> packetFor(uint32_t pluginId, uint32_t size) {
  std::vector<unsigned char> bytes(size, 0x5A);
  const uint32_t header[4] = {size, pluginId << 20, kPacketKind, 0};
  std::memcpy(bytes.data(), header, kHeaderSize);
  return bytes;
}

// Writes `count` copies of a packet, each as one record; false when a write
// failed or came out short.
bool writePackets(int fd, const std::vector<unsigned char>& packet, int count) {
  for (int i = 0; i < count; ++i) {
    ssize_t written;
    do {
      written = ::send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(packet.size())) return false;
  }
  return true;
}

// A thread that reads records of `size` bytes from `fd` until the socket is
// shut down, counting them; a record of any other size is noted.
class PacketReader {
 public:
  PacketReader(int fd, uint32_t size) : fd(fd), size(size), reader([this] { read(); }) {}
  // Only the reading side is shut: the far end sees nothing of it.
  ~PacketReader() {
    ::shutdown(fd, SHUT_RD);
    reader.join();
  }
  PacketReader(const PacketReader&) = delete;
  PacketReader& operator=(const PacketReader&) = delete;

  std::thread& thread() { return reader; }
  bool allWhole() const { return !cut.load(); }
  Progress received;

 private:
  void read() {
    // One byte more than a whole packet: a merged or over-long record shows.
    std::vector<unsigned char> buffer(size + 1);
    for (;;) {
      const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      if (static_cast<uint32_t>(got) != size) cut.store(true);
      received.advance();
    }
  }

  const int fd;
  const uint32_t size;
  std::atomic<bool> cut{false};
  std::thread reader;
};

// ---- what the sink plug-in's OnIpcResult reports -------------------------------

Progress deliveries;
std::atomic<uint32_t> expectedLength{0};
std::atomic<bool> deliveryCut{false};

void countPacket(const void*, uint32_t length) {
  if (length != expectedLength.load(std::memory_order_relaxed)) deliveryCut.store(true);
  deliveries.advance();
}

// A core with one sink plug-in, adopting one end of a socket pair as Init
// adopts the daemon's pipe, with its first receive armed and its I/O thread
// running `io`. The other end is the daemon's.
class CoreLink {
 public:
  explicit CoreLink(uint32_t packetSize) : core("/bench/dvrcore") {
    theCore = &core;
    expectedLength.store(packetSize);
    deliveryCut.store(false);
    deliveries.reset();

    boost::asio::generic::seq_packet_protocol protocol(AF_UNIX, 0);
    core.ipcSocket.assign(protocol, pair.second->release());
    core.pipeOpen.store(true, std::memory_order_release);

    PluginPtr sink = Plugin::loadPlugin(BENCH_SINK_PLUGIN, &post, "");
    if (!sink->handle) std::abort();
    auto observe = reinterpret_cast<void (*)(void (*)(const void*, uint32_t))>(sink->handle.symbol("BenchSinkObserveIpc"));
    observe(&countPacket);
    sink->openPlugin();
    core.plugins.push_back(std::move(sink));
    // No I/O thread yet: the routes are installed at once.
    core.handIpcRoutes(core.plugins);

    boost::asio::post(core.io, [this] { core.startReceive(); });
    ioThread = std::thread([this] { core.io.run(); });
  }
  ~CoreLink() {
    // The I/O thread stops before the daemon's end closes, so the core never
    // sees the pipe go (which it would log as critical).
    work.reset();
    core.io.stop();
    ioThread.join();
    theCore = nullptr;
  }
  CoreLink(const CoreLink&) = delete;
  CoreLink& operator=(const CoreLink&) = delete;

  int daemonEnd() const { return pair.first->get(); }
  uint32_t sinkId() const { return core.plugins.front()->pluginId(); }
  std::thread& io() { return ioThread; }

 private:
  SocketPair pair;
  DvrCore core;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work = boost::asio::make_work_guard(core.io);
  std::thread ioThread;
};

void reportPackets(benchmark::State& state, int perBatch, uint32_t size) {
  const int64_t packets = state.iterations() * perBatch;
  state.SetItemsProcessed(packets);
  state.SetBytesProcessed(packets * int64_t{size});
}

// ---- plug-in to daemon ---------------------------------------------------------

void ipcOutCore(benchmark::State& state, uint32_t size) {
  CoreLink link(size);
  PacketReader daemon(link.daemonEnd(), size);
  std::vector<unsigned char> payload = packetFor(link.sinkId(), size);
  EventParms ipc = makeEventRecord(DVR_TYPE_IPC, 0);
  ipc.source = DVR_SOURCE_PLUGIN(link.sinkId());
  ipc.payload = payload.data();
  ipc.length = size;
  const int perBatch = batchOf(size);
  uint64_t sent = 0;
  ReceiverCpu readerCpu(daemon.thread());
  ReceiverCpu ioCpu(link.io(), "io_cpu_ns");
  auto postBatch = [&] {
    for (int i = 0; i < perBatch; ++i) {
      EventParms e = ipc;
      if (post(&e) != 0) return false;
    }
    return true;
  };
  for (auto _ : state) {
    if (!postBatch()) {
      state.SkipWithError("refused");
      break;
    }
    sent += static_cast<uint64_t>(perBatch);
    daemon.received.waitFor(sent);
  }
  if (!daemon.allWhole()) state.SkipWithError("a packet arrived cut or merged");
  reportPackets(state, perBatch, size);
  readerCpu.report(state, state.iterations() * perBatch);
  ioCpu.report(state, state.iterations() * perBatch);
}

// The baseline of both directions: one thread writes, another reads.
void plainSocketPair(benchmark::State& state, uint32_t size) {
  SocketPair pair;
  PacketReader reader(pair.second->get(), size);
  const std::vector<unsigned char> packet = packetFor(0x10, size);
  const int perBatch = batchOf(size);
  uint64_t sent = 0;
  ReceiverCpu readerCpu(reader.thread());
  for (auto _ : state) {
    if (!writePackets(pair.first->get(), packet, perBatch)) {
      state.SkipWithError("write failed");
      break;
    }
    sent += static_cast<uint64_t>(perBatch);
    reader.received.waitFor(sent);
  }
  if (!reader.allWhole()) state.SkipWithError("a packet arrived cut or merged");
  reportPackets(state, perBatch, size);
  readerCpu.report(state, state.iterations() * perBatch);
}

// ---- daemon to plug-in ---------------------------------------------------------

void ipcInCore(benchmark::State& state, uint32_t size) {
  CoreLink link(size);
  const std::vector<unsigned char> packet = packetFor(link.sinkId(), size);
  const int perBatch = batchOf(size);
  uint64_t sent = 0;
  ReceiverCpu ioCpu(link.io());
  for (auto _ : state) {
    if (!writePackets(link.daemonEnd(), packet, perBatch)) {
      state.SkipWithError("write failed");
      break;
    }
    sent += static_cast<uint64_t>(perBatch);
    deliveries.waitFor(sent);
  }
  if (deliveryCut.load()) state.SkipWithError("a packet reached the plug-in cut or merged");
  reportPackets(state, perBatch, size);
  ioCpu.report(state, state.iterations() * perBatch);
}

}  // namespace

int main(int argc, char** argv) {
  // As in dispatch_bench: no heap trimming, so whether a packet copy lands on
  // fresh pages does not depend on the order of frees.
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  for (const char* direction : {"ipc_out", "ipc_in"}) {
    for (uint32_t size : {256u, 4096u, 65536u}) {
      const std::string prefix = std::string(direction) + "/" + std::to_string(size) + "/";
      const bool out = std::strcmp(direction, "ipc_out") == 0;
      benchmark::RegisterBenchmark((prefix + "core").c_str(), out ? ipcOutCore : ipcInCore, size)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
      benchmark::RegisterBenchmark((prefix + "socketpair").c_str(), plainSocketPair, size)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
