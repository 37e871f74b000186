// Post-to-delivery throughput and latency of the event path, each beside a
// bare hand-off between two threads measured in the same run:
//
//   records/core          events without payload, one posting thread, three
//                         plug-ins whose OnEvent returns at once
//   records/handoff       mutex + condition variable + deque of 184-byte records
//   video64k/core         64 KiB live video frames (a key frame every 25)
//   video64k/handoff      the hand-off plus one 64 KiB copy per frame
//   latency/core          post to the first OnEvent, one event at a time,
//                         each followed by one record through a hand-off
//                         (its figures as handoff_p99_ns, handoff_median_ns)
//   latency/handoff       push to pop, one record at a time, alone
//   search/core           stored 4 KiB video frames from one provider to one
//                         requester through a search, one payload ahead
//   search/live           the same frames posted live from one thread to the
//                         same requester, without flow control
//   records/zmq           the peer a team would otherwise pick: the records of
//                         records/core through ZeroMQ's inproc PUB/SUB, one
//                         publisher, three subscriber threads
//   video64k/zmq          the frames of video64k/core the same way
//
// (The zmq cases exist only when the build found libzmq.)
// Throughput runs post a batch and wait until every plug-in has received all
// of it, so the figures are end to end; recv_cpu_ns is the receiving thread's
// CPU time per item. Latency runs report their median and 99th percentile as
// counters (nanoseconds). glibc's heap trimming is switched off for the whole
// run: otherwise whether a 64 KiB frame lands on fresh pages (and pays their
// page faults) depends on the order of frees more than on the code measured.
#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_threads.h"
#include "core/DvrCore.h"
#include "events/EventModel.h"
#include "plugins/Plugin.h"

#ifdef DVRCORE_BENCH_ZMQ
#include <zmq.h>
#endif

namespace {

using namespace km::core;
using bench::Progress;
using bench::ReceiverCpu;
using Clock = std::chrono::steady_clock;

constexpr int kBatch = 4096;
constexpr int kSinks = 3;
constexpr uint32_t kFrameBytes = 64 * 1024;
constexpr int kKeyFrameEvery = 25;
constexpr auto kLowLoadPause = std::chrono::microseconds(50);

int64_t nowNs() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

// ---- observers the sink plug-ins call from OnEvent --------------------------

Progress deliveries;
std::atomic<int64_t> firstDeliveryNs{0};

void countDelivery(const EventParms*) { deliveries.advance(); }

void stampFirstDelivery(const EventParms*) {
  if (deliveries.count() % kSinks == 0) firstDeliveryNs.store(nowNs(), std::memory_order_relaxed);
  deliveries.advance();
}

// A core with sink plug-ins (three unless told), optionally a stored-media
// provider, and its dispatch loop on a thread of its own.
class CoreWithSinks {
 public:
  using Observer = void (*)(const EventParms*);

  explicit CoreWithSinks(Observer observer, int sinks = kSinks, const char* provider = nullptr)
      : core("/bench/dvrcore") {
    theCore = &core;
    for (int i = 0; i < sinks; ++i) {
      PluginPtr sink = Plugin::loadPlugin(BENCH_SINK_PLUGIN, &post, "");
      if (!sink->handle) std::abort();
      auto observe = reinterpret_cast<void (*)(Observer)>(sink->handle.symbol("BenchSinkObserve"));
      observe(observer);
      sink->openPlugin();
      core.plugins.push_back(std::move(sink));
    }
    if (provider) {
      PluginPtr plugin = Plugin::loadPlugin(provider, &post, "");
      if (!plugin->handle) std::abort();
      plugin->openPlugin();
      core.plugins.push_back(std::move(plugin));
    }
    core.refreshSearchProviders();
    deliveries.reset();
    dispatcher = std::thread([this] { core.dispatchLoop(); });
  }
  ~CoreWithSinks() {
    core.Stop();
    dispatcher.join();
    theCore = nullptr;
  }
  std::thread& receiver() { return dispatcher; }
  uint32_t firstSinkId() const { return core.plugins.front()->pluginId(); }

 private:
  DvrCore core;
  std::thread dispatcher;
};

// ---- the baseline: the bare hand-off ----------------------------------------

struct Record184 {
  unsigned char bytes[184];
};

// One producer, one consumer thread; the consumer takes one record per lock,
// as the dispatch loop does, frees the buffer a record may carry and counts.
class HandOff {
 public:
  explicit HandOff(bool stampFirst = false) : stampFirst(stampFirst), consumer([this] { consume(); }) {}
  ~HandOff() {
    {
      std::lock_guard guard(mutex);
      stopping = true;
    }
    cond.notify_one();
    consumer.join();
  }
  void push(const Record184& record) {
    {
      std::lock_guard guard(mutex);
      queue.push_back(record);
    }
    cond.notify_one();
  }
  std::thread& receiver() { return consumer; }
  Progress consumed;
  std::atomic<int64_t> lastPopNs{0};

 private:
  void consume() {
    for (;;) {
      Record184 record;
      {
        std::unique_lock lock(mutex);
        cond.wait(lock, [this] { return stopping || !queue.empty(); });
        if (queue.empty()) return;
        record = queue.front();
        queue.pop_front();
      }
      if (stampFirst) lastPopNs.store(nowNs(), std::memory_order_relaxed);
      void* buffer;
      std::memcpy(&buffer, record.bytes, sizeof buffer);
      std::free(buffer);
      consumed.advance();
    }
  }

  const bool stampFirst;
  std::mutex mutex;  // guards queue, stopping
  std::condition_variable cond;
  std::deque<Record184> queue;
  bool stopping = false;
  std::thread consumer;
};

Record184 recordCarrying(void* buffer) {
  Record184 record{};
  std::memcpy(record.bytes, &buffer, sizeof buffer);
  return record;
}

// ---- (a) records without payload ---------------------------------------------

void recordsCore(benchmark::State& state) {
  CoreWithSinks core(&countDelivery);
  EventParms alarm = makeEventRecord(DVR_TYPE_ALARM, DVR_FLAG_LIVE);
  alarm.source = DVR_SOURCE_PLUGIN(5);
  uint64_t delivered = 0;
  ReceiverCpu receiverCpu(core.receiver());
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) {
      EventParms e = alarm;
      if (post(&e) != 0) state.SkipWithError("refused");
    }
    delivered += uint64_t{kSinks} * kBatch;
    deliveries.waitFor(delivered);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  receiverCpu.report(state, state.iterations() * kBatch);
}

void recordsHandOff(benchmark::State& state) {
  HandOff handOff;
  const Record184 record = recordCarrying(nullptr);
  uint64_t consumed = 0;
  ReceiverCpu receiverCpu(handOff.receiver());
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) handOff.push(record);
    consumed += kBatch;
    handOff.consumed.waitFor(consumed);
  }
  state.SetItemsProcessed(state.iterations() * kBatch);
  receiverCpu.report(state, state.iterations() * kBatch);
}

// ---- (b) 64 KiB live video frames --------------------------------------------

// Live video frames of `frameBytes` (a key frame every 25) from one posting
// thread to `sinks` plug-ins, `perBatch` frames a batch.
void liveFrames(benchmark::State& state, uint32_t frameBytes, int perBatch, int sinks) {
  CoreWithSinks core(&countDelivery, sinks);
  std::vector<unsigned char> frame(frameBytes, 0x5A);
  EventParms video = makeEventRecord(DVR_TYPE_VIDEO, DVR_FLAG_LIVE);
  video.source = DVR_SOURCE_PLUGIN(5);
  video.payload = frame.data();
  video.length = frameBytes;
  uint64_t delivered = 0;
  int frameNumber = 0;
  ReceiverCpu receiverCpu(core.receiver());
  for (auto _ : state) {
    for (int i = 0; i < perBatch; ++i) {
      EventParms e = video;
      e.frameKind = frameNumber++ % kKeyFrameEvery == 0 ? DVR_FRAME_KIND_KEY : 0;
      if (post(&e) != 0) state.SkipWithError("refused");
    }
    delivered += static_cast<uint64_t>(sinks) * perBatch;
    deliveries.waitFor(delivered);
  }
  state.SetItemsProcessed(state.iterations() * perBatch);
  state.SetBytesProcessed(state.iterations() * perBatch * int64_t{frameBytes});
  receiverCpu.report(state, state.iterations() * perBatch);
}

void videoCore(benchmark::State& state) { liveFrames(state, kFrameBytes, kBatch / 16, kSinks); }

void videoHandOff(benchmark::State& state) {
  HandOff handOff;
  std::vector<unsigned char> frame(kFrameBytes, 0x5A);
  uint64_t consumed = 0;
  ReceiverCpu receiverCpu(handOff.receiver());
  for (auto _ : state) {
    for (int i = 0; i < kBatch / 16; ++i) {
      void* copy = std::malloc(kFrameBytes);
      std::memcpy(copy, frame.data(), kFrameBytes);
      handOff.push(recordCarrying(copy));
    }
    consumed += kBatch / 16;
    handOff.consumed.waitFor(consumed);
  }
  state.SetItemsProcessed(state.iterations() * (kBatch / 16));
  state.SetBytesProcessed(state.iterations() * (kBatch / 16) * int64_t{kFrameBytes});
  receiverCpu.report(state, state.iterations() * (kBatch / 16));
}

// ---- (c) stored 4 KiB frames through a search ---------------------------------

constexpr uint32_t kStoredFrameBytes = 4096;
constexpr int kFramesPerSearch = 1024;

void searchCore(benchmark::State& state) {
  CoreWithSinks core(&countDelivery, 1, BENCH_PROVIDER_PLUGIN);
  uint64_t delivered = 0;
  uint32_t serial = 0;
  ReceiverCpu receiverCpu(core.receiver());
  for (auto _ : state) {
    uint32_t count = kFramesPerSearch;
    EventParms request = makeEventRecord(DVR_TYPE_VIDEO, DVR_FLAG_STORED);
    request.source = DVR_SEARCH_SOURCE;
    request.requestId = DVR_SEARCH_REQUEST_ID(core.firstSinkId(), ++serial);
    request.payload = &count;
    request.length = sizeof count;
    if (post(&request) != 0) state.SkipWithError("refused");
    delivered += kFramesPerSearch;
    deliveries.waitFor(delivered);
  }
  state.SetItemsProcessed(state.iterations() * kFramesPerSearch);
  state.SetBytesProcessed(state.iterations() * kFramesPerSearch * int64_t{kStoredFrameBytes});
  receiverCpu.report(state, state.iterations() * kFramesPerSearch);
}

void searchLive(benchmark::State& state) { liveFrames(state, kStoredFrameBytes, kFramesPerSearch, 1); }

// ---- (d) latency at low load ---------------------------------------------------

void reportLatencies(benchmark::State& state, std::vector<int64_t>& samples, const std::string& prefix = "") {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  state.counters[prefix + "median_ns"] = static_cast<double>(samples[samples.size() / 2]);
  state.counters[prefix + "p99_ns"] = static_cast<double>(samples[samples.size() * 99 / 100]);
}

// One sample of the core: post to the first OnEvent.
int64_t coreLatencySample(const EventParms& alarm, uint64_t& delivered) {
  EventParms e = alarm;
  const int64_t posted = nowNs();
  post(&e);
  delivered += kSinks;
  deliveries.waitFor(delivered);
  return firstDeliveryNs.load(std::memory_order_relaxed) - posted;
}

// One sample of the hand-off: push to pop.
int64_t handOffLatencySample(HandOff& handOff, const Record184& record, uint64_t& consumed) {
  const int64_t pushed = nowNs();
  handOff.push(record);
  handOff.consumed.waitFor(++consumed);
  return handOff.lastPopNs.load(std::memory_order_relaxed) - pushed;
}

// The core's samples alternate with the hand-off's, one of each per
// iteration (which goes first alternates too), so both see the same machine:
// on a shared machine the tail of either moves by tens of microseconds from
// one second to the next. p99_ns and median_ns are the core's;
// handoff_p99_ns and handoff_median_ns the hand-off's from the same run.
void latencyCore(benchmark::State& state) {
  CoreWithSinks core(&stampFirstDelivery);
  HandOff handOff(true);
  const Record184 record = recordCarrying(nullptr);
  EventParms alarm = makeEventRecord(DVR_TYPE_ALARM, DVR_FLAG_LIVE);
  alarm.source = DVR_SOURCE_PLUGIN(5);
  std::vector<int64_t> samples;
  std::vector<int64_t> handOffSamples;
  samples.reserve(100000);
  handOffSamples.reserve(100000);
  uint64_t delivered = 0;
  uint64_t consumed = 0;
  bool coreFirst = true;
  for (auto _ : state) {
    int64_t latency = 0;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == coreFirst) {
        latency = coreLatencySample(alarm, delivered);
        samples.push_back(latency);
      } else {
        handOffSamples.push_back(handOffLatencySample(handOff, record, consumed));
      }
      std::this_thread::sleep_for(kLowLoadPause);
    }
    coreFirst = !coreFirst;
    state.SetIterationTime(static_cast<double>(latency) * 1e-9);
  }
  reportLatencies(state, samples);
  reportLatencies(state, handOffSamples, "handoff_");
}

void latencyHandOff(benchmark::State& state) {
  HandOff handOff(true);
  const Record184 record = recordCarrying(nullptr);
  std::vector<int64_t> samples;
  samples.reserve(100000);
  uint64_t consumed = 0;
  for (auto _ : state) {
    const int64_t latency = handOffLatencySample(handOff, record, consumed);
    samples.push_back(latency);
    state.SetIterationTime(static_cast<double>(latency) * 1e-9);
    std::this_thread::sleep_for(kLowLoadPause);
  }
  reportLatencies(state, samples);
}

#ifdef DVRCORE_BENCH_ZMQ
// ---- (e) the peer: ZeroMQ inproc PUB/SUB ---------------------------------------

// One PUB socket on the benchmark thread, kSinks SUB threads that take every
// message (zmq_msg_recv: the frame is shared between the subscribers, not
// copied per subscriber, as the core shares a payload block). High-water
// marks are off, so nothing is dropped, and every subscription is in place
// before the first timed message. Messages of one byte are the start-up
// probe; an empty message stops the subscribers.
class ZmqFanOut {
 public:
  ZmqFanOut() {
    // inproc needs no I/O thread (set before the first socket exists).
    zmq_ctx_set(context, ZMQ_IO_THREADS, 0);
    publisher = zmq_socket(context, ZMQ_PUB);
    setUnlimited(publisher, ZMQ_SNDHWM);
    setUnlimited(publisher, ZMQ_LINGER);
    if (zmq_bind(publisher, "inproc://bench") != 0) std::abort();
    for (int i = 0; i < kSinks; ++i) subscribers.emplace_back([this] { subscribe(); });
    // A subscription reaches the publisher asynchronously: probe until each
    // subscriber has seen a probe.
    const unsigned char probe = 0;
    while (ready.load() < kSinks) {
      zmq_send(publisher, &probe, 1, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    received.reset();
  }
  ~ZmqFanOut() {
    zmq_send(publisher, nullptr, 0, 0);
    for (std::thread& subscriber : subscribers) subscriber.join();
    zmq_close(publisher);
    zmq_ctx_term(context);
  }
  ZmqFanOut(const ZmqFanOut&) = delete;
  ZmqFanOut& operator=(const ZmqFanOut&) = delete;

  void send(const void* bytes, size_t size) {
    if (zmq_send(publisher, bytes, size, 0) != static_cast<int>(size)) std::abort();
  }
  std::span<std::thread> receivers() { return subscribers; }
  Progress received;  // messages taken, summed over the subscribers

 private:
  static void setUnlimited(void* socket, int option) {
    const int unlimited = 0;
    if (zmq_setsockopt(socket, option, &unlimited, sizeof unlimited) != 0) std::abort();
  }

  void subscribe() {
    void* socket = zmq_socket(context, ZMQ_SUB);
    setUnlimited(socket, ZMQ_RCVHWM);
    if (zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0) != 0 || zmq_connect(socket, "inproc://bench") != 0) std::abort();
    bool probed = false;
    zmq_msg_t message;
    zmq_msg_init(&message);
    for (;;) {
      if (zmq_msg_recv(&message, socket, 0) < 0) {
        if (zmq_errno() == EINTR) continue;
        std::abort();
      }
      const size_t size = zmq_msg_size(&message);
      if (size == 0) break;
      if (size == 1) {
        if (!probed) ready.fetch_add(1);
        probed = true;
        continue;
      }
      received.advance();
    }
    zmq_msg_close(&message);
    zmq_close(socket);
  }

  void* context = zmq_ctx_new();
  void* publisher = nullptr;
  std::atomic<int> ready{0};
  std::vector<std::thread> subscribers;
};

// `perBatch` messages of `bytes` each a batch, until every subscriber has
// received all of them. recv_cpu_ns sums the subscribers' CPU time.
void zmqFanOut(benchmark::State& state, size_t bytes, int perBatch) {
  ZmqFanOut fanOut;
  std::vector<unsigned char> message(bytes, 0x5A);
  uint64_t received = 0;
  ReceiverCpu receiverCpu(fanOut.receivers());
  for (auto _ : state) {
    for (int i = 0; i < perBatch; ++i) fanOut.send(message.data(), bytes);
    received += uint64_t{kSinks} * static_cast<uint64_t>(perBatch);
    fanOut.received.waitFor(received);
  }
  const int64_t items = state.iterations() * perBatch;
  state.SetItemsProcessed(items);
  if (bytes > sizeof(Record184)) state.SetBytesProcessed(items * static_cast<int64_t>(bytes));
  receiverCpu.report(state, items);
}

void recordsZmq(benchmark::State& state) { zmqFanOut(state, sizeof(Record184), kBatch); }
void videoZmq(benchmark::State& state) { zmqFanOut(state, kFrameBytes, kBatch / 16); }
#endif

}  // namespace

BENCHMARK(recordsCore)->Name("records/core")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(recordsHandOff)->Name("records/handoff")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(videoCore)->Name("video64k/core")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(videoHandOff)->Name("video64k/handoff")->UseRealTime()->Unit(benchmark::kMicrosecond);
#ifdef DVRCORE_BENCH_ZMQ
BENCHMARK(recordsZmq)->Name("records/zmq")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(videoZmq)->Name("video64k/zmq")->UseRealTime()->Unit(benchmark::kMicrosecond);
#endif
BENCHMARK(searchCore)->Name("search/core")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(searchLive)->Name("search/live")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(latencyCore)->Name("latency/core")->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(latencyHandOff)->Name("latency/handoff")->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
