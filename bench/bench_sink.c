/* The plug-ins of the dispatch and daemon link benchmarks.
 *
 * The sink takes every live event and every daemon packet and returns at
 * once, after telling the benchmark through the observer it installed. The benchmark loads this one
 * file several times; each Load takes the next plug-in id, so the core sees
 * distinct plug-ins.
 *
 * Built with BENCH_PROVIDER it is the stored-media provider instead: it
 * answers a search whose payload is a frame count (uint32_t) with that many
 * stored 4 KiB video frames, posted one after the other from the search
 * thread, as a recorder reading from a warm page cache would. Each post waits
 * until the requester is done with the previous frame. */
#include <string.h>

#include "plugin_api.h"

typedef void (*BenchObserver)(const EventParms* event);
typedef void (*BenchIpcObserver)(const void* packet, uint32_t length);

static BenchObserver observer;       /* set before the dispatch thread starts */
static BenchIpcObserver ipcObserver; /* set before the I/O thread starts */

#ifdef BENCH_PROVIDER
#define PROVIDER_ID 0x70u
#define FRAME_BYTES 4096u
static PostFn post;
static unsigned char frame[FRAME_BYTES];
#else
static uint32_t nextId = 0x10;
#endif

DVR_PLUGIN_EXPORT void BenchSinkObserve(BenchObserver newObserver) { observer = newObserver; }
DVR_PLUGIN_EXPORT void BenchSinkObserveIpc(BenchIpcObserver newObserver) { ipcObserver = newObserver; }

DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
#ifdef BENCH_PROVIDER
  post = in->post;
  memset(frame, 0x5A, sizeof frame);
  out->idWord = DVR_SOURCE_PLUGIN(PROVIDER_ID);
  out->videoInterest = DVR_INTEREST_STORED;
#else
  (void)in;
  out->idWord = DVR_SOURCE_PLUGIN(nextId++);
  out->videoInterest = DVR_INTEREST_LIVE;
  out->audioInterest = DVR_INTEREST_LIVE;
  out->alarmInterest = DVR_INTEREST_LIVE;
#endif
  return 0;
}

DVR_PLUGIN_EXPORT void Unload(const UnloadIn* in, UnloadOut* out) {
  (void)in;
  (void)out;
}

DVR_PLUGIN_EXPORT void Open(const OpenIn* in, OpenOut* out) {
  (void)in;
  (void)out;
}

DVR_PLUGIN_EXPORT void Close(const CloseIn* in, CloseOut* out) {
  (void)in;
  (void)out;
}

DVR_PLUGIN_EXPORT int32_t OnEvent(const EventParms* event) {
  if (observer) observer(event);
  return 0;
}

DVR_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint32_t length) {
  if (ipcObserver) ipcObserver(packet, length);
}

#ifdef BENCH_PROVIDER
DVR_PLUGIN_EXPORT void OnSearch(const EventParms* request) {
  uint32_t count = 0;
  if (!request->payload || request->length < sizeof count) return;
  memcpy(&count, request->payload, sizeof count);
  EventParms answer;
  memset(&answer, 0, sizeof answer);
  answer.size = sizeof answer;
  answer.version = DVR_EVENT_VERSION;
  answer.paramsSize = DVR_EVENT_PARAMS_SIZE;
  answer.paramsVersion = DVR_EVENT_PARAMS_VERSION;
  answer.type = DVR_TYPE_VIDEO;
  answer.flags = DVR_FLAG_STORED;
  answer.source = DVR_SOURCE_PLUGIN(PROVIDER_ID);
  answer.requestId = request->requestId;
  for (uint32_t i = 0; i < count; ++i) {
    answer.payload = frame;
    answer.length = FRAME_BYTES;
    answer.frameKind = i % 25 == 0 ? DVR_FRAME_KIND_KEY : 0;
    if (post(&answer) != 0) return;
  }
}
#endif
