/* The plug-in of the dispatch benchmark: takes every live event and returns
 * at once, after telling the benchmark through the observer it installed.
 * The benchmark loads this one file several times; each Load takes the next
 * plug-in id, so the core sees distinct plug-ins. */
#include "plugin_api.h"

typedef void (*BenchObserver)(const EventParms* event);

static BenchObserver observer; /* set before the dispatch thread starts */
static uint32_t nextId = 0x10;

DVR_PLUGIN_EXPORT void BenchSinkObserve(BenchObserver newObserver) { observer = newObserver; }

DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
  (void)in;
  out->idWord = DVR_SOURCE_PLUGIN(nextId++);
  out->videoInterest = DVR_INTEREST_LIVE;
  out->audioInterest = DVR_INTEREST_LIVE;
  out->alarmInterest = DVR_INTEREST_LIVE;
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
