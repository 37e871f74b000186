/*
 * camera - an example camera plug-in: live video and audio from a make-believe
 * sensor, posted to the core from a worker thread.
 *
 * Copy this file to start a plug-in of your own; it uses nothing but
 * plugin_api.h. It shows:
 *   - the declaration in Load: an id of its own (0x21) and a worker thread;
 *   - the worker (IOCTL code 1), which the core starts before Open: it waits
 *     for Open, posts until Close, then returns, because the core waits for it
 *     before calling Unload;
 *   - how to post live video (a key frame every 25th frame), live audio and
 *     log lines, and what the core's answers mean;
 *   - packets from the daemon addressed to this plug-in (OnIpcResult).
 *
 * The media are made up: 25 video frames a second that look like an H.264
 * stream (a start code and a NAL header, then noise; key frames of 20-40 KiB,
 * the others 2-8 KiB) and 50 audio frames a second of 160 bytes, 20 ms of
 * 8 kHz G.711 mu-law each.
 *
 * Once a minute the plug-in logs what it sent and what the core refused. The
 * environment variable CAMERA_LOG_SECONDS sets another interval in whole
 * seconds (e.g. CAMERA_LOG_SECONDS=5).
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "plugin_api.h"

#define CAMERA_ID 0x21u
#define KEY_FRAME_EVERY 25
#define VIDEO_PERIOD_NS (1000000000LL / 25)
#define AUDIO_PERIOD_NS (20LL * 1000000)
#define AUDIO_FRAME_BYTES 160
#define MAX_VIDEO_FRAME (40 * 1024)
#define DEFAULT_LOG_SECONDS 60
#define MAX_CODE 5 /* post answers 0-5 are counted one by one, larger ones together */

static PostFn post; /* set in Load, before the core starts the worker */
static long long logPeriodNs;

/* Open/Close state, shared by the worker, the core's I/O thread (OnIpcResult)
 * and the main thread (Open, Close). */
static pthread_mutex_t stateLock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t stateChanged; /* on CLOCK_MONOTONIC; made in Load */
static int opened, closed;          /* guarded by stateLock */
static int postsInFlight;           /* guarded by stateLock: post calls under way */

/* The worker's own data: only the worker thread touches these. */
static unsigned char videoFrame[MAX_VIDEO_FRAME];
static unsigned char audioFrame[AUDIO_FRAME_BYTES];
static uint32_t randomState = 2463534242u;

static struct {
  unsigned videoFrames, audioFrames, keyFrames;
  unsigned long long videoBytes, audioBytes;
  unsigned refused[MAX_CODE + 2]; /* by answer code; the last counts codes above MAX_CODE */
} sent;

static uint32_t nextRandom(void) { /* xorshift32: cheap, and no shared state with rand() */
  randomState ^= randomState << 13;
  randomState ^= randomState >> 17;
  randomState ^= randomState << 5;
  return randomState;
}

static long long monotonicNs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* ---- Posting only while open ------------------------------------------ */

/* A plug-in must not post before Open or after Close. Every post is
 * bracketed by beginPost/endPost, and Close waits until no post is under
 * way, so nothing reaches the core once Close has returned. No lock is held
 * during post itself. */
static int beginPost(void) {
  pthread_mutex_lock(&stateLock);
  const int mayPost = opened && !closed;
  if (mayPost) ++postsInFlight;
  pthread_mutex_unlock(&stateLock);
  return mayPost;
}

static void endPost(void) {
  pthread_mutex_lock(&stateLock);
  if (--postsInFlight == 0) pthread_cond_broadcast(&stateChanged);
  pthread_mutex_unlock(&stateLock);
}

/* A record with the header words every event carries. */
static EventParms newEvent(uint32_t type, uint32_t flags) {
  EventParms e;
  memset(&e, 0, sizeof e);
  e.size = sizeof e;
  e.version = DVR_EVENT_VERSION;
  e.paramsSize = DVR_EVENT_PARAMS_SIZE;
  e.paramsVersion = DVR_EVENT_PARAMS_VERSION;
  e.source = DVR_SOURCE_PLUGIN(CAMERA_ID);
  e.type = type;
  e.flags = flags;
  return e;
}

/* Log lines are live text events with the level in `param`; the core prints
 * them on its console and hands them to the log plug-in. */
static void logLine(const char* text) {
  EventParms e = newEvent(DVR_TYPE_LOG, DVR_FLAG_LIVE | DVR_FLAG_TEXT);
  e.param = DVR_LOG_INFO;
  e.payload = (void*)text;
  e.length = (uint32_t)strlen(text);
  post(&e);
}

/* ---- Media ------------------------------------------------------------ */

static void stampNow(EventParms* e) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  e->frameSeconds = (uint32_t)now.tv_sec;
  e->frameMillis = (uint16_t)(now.tv_nsec / 1000000);
}

/* The core copies the payload during post, so one buffer serves every frame.
 * Answers: 0 accepted; 1 the core is stopping; 3 video waits for a key frame;
 * 4 too many frames since the last key frame; 5 memory is short. */
static void countAnswer(int32_t answer, int video, uint32_t bytes) {
  if (answer != 0) {
    ++sent.refused[answer > 0 && answer <= MAX_CODE ? answer : MAX_CODE + 1];
  } else if (video) {
    ++sent.videoFrames;
    sent.videoBytes += bytes;
  } else {
    ++sent.audioFrames;
    sent.audioBytes += bytes;
  }
}

static void postVideoFrame(unsigned frameNumber) {
  const int key = frameNumber % KEY_FRAME_EVERY == 0;
  /* Key frames are large, the frames between them small and uneven. */
  const uint32_t bytes = key ? 20 * 1024 + nextRandom() % (20 * 1024) : 2 * 1024 + nextRandom() % (6 * 1024);
  static const unsigned char startCode[] = {0, 0, 0, 1};
  memcpy(videoFrame, startCode, sizeof startCode);
  videoFrame[4] = key ? 0x65 : 0x41; /* NAL header: IDR slice or non-IDR slice */

  EventParms e = newEvent(DVR_TYPE_VIDEO, DVR_FLAG_LIVE);
  stampNow(&e);
  e.frameKind = key ? DVR_FRAME_KIND_KEY : 0;
  e.payload = videoFrame;
  e.length = bytes;
  const int32_t answer = post(&e);
  countAnswer(answer, 1, bytes);
  if (answer == 0 && key) ++sent.keyFrames;
}

static void postAudioFrame(void) {
  EventParms e = newEvent(DVR_TYPE_AUDIO, DVR_FLAG_LIVE);
  stampNow(&e);
  e.payload = audioFrame;
  e.length = AUDIO_FRAME_BYTES;
  countAnswer(post(&e), 0, AUDIO_FRAME_BYTES);
}

static void logWhatWasSent(long long periodNs) {
  char refused[128] = "none";
  size_t used = 0;
  for (int code = 1; code <= MAX_CODE + 1; ++code) {
    if (sent.refused[code] == 0 || used >= sizeof refused) continue;
    if (code <= MAX_CODE) {
      used += (size_t)snprintf(refused + used, sizeof refused - used, "%s%u with code %d", used ? ", " : "",
                               sent.refused[code], code);
    } else {
      used += (size_t)snprintf(refused + used, sizeof refused - used, "%s%u with other codes", used ? ", " : "",
                               sent.refused[code]);
    }
  }
  char text[320];
  snprintf(text, sizeof text,
           "sent in %llds: %u video frames (%u key, %llu bytes), %u audio frames (%llu bytes); refused: %s",
           periodNs / 1000000000LL, sent.videoFrames, sent.keyFrames, sent.videoBytes, sent.audioFrames,
           sent.audioBytes, refused);
  logLine(text);
  memset(&sent, 0, sizeof sent);
}

/* Waits until `deadline` (monotonic nanoseconds) or Close. Returns 0 once closed. */
static int sleepUntil(long long deadline) {
  const struct timespec until = {(time_t)(deadline / 1000000000LL), (long)(deadline % 1000000000LL)};
  pthread_mutex_lock(&stateLock);
  while (!closed && monotonicNs() < deadline) pthread_cond_timedwait(&stateChanged, &stateLock, &until);
  const int stillOpen = !closed;
  pthread_mutex_unlock(&stateLock);
  return stillOpen;
}

/* The worker: one call that lasts from the load step until Close. */
static void runWorker(void) {
  pthread_mutex_lock(&stateLock);
  while (!opened && !closed) pthread_cond_wait(&stateChanged, &stateLock);
  pthread_mutex_unlock(&stateLock);

  for (size_t i = 0; i < sizeof videoFrame; ++i) videoFrame[i] = (unsigned char)nextRandom();
  for (size_t i = 0; i < sizeof audioFrame; ++i) audioFrame[i] = (unsigned char)(0xF0 | (nextRandom() & 0x0F)); /* quiet noise */

  const long long start = monotonicNs();
  long long nextVideo = start, nextAudio = start, nextLog = start + logPeriodNs;
  unsigned frameNumber = 0;
  for (;;) {
    long long due = nextVideo < nextAudio ? nextVideo : nextAudio;
    if (nextLog < due) due = nextLog;
    if (!sleepUntil(due)) return;
    if (!beginPost()) return;
    const long long now = monotonicNs();
    if (now >= nextVideo) {
      postVideoFrame(frameNumber++);
      nextVideo += VIDEO_PERIOD_NS;
    }
    if (now >= nextAudio) {
      postAudioFrame();
      nextAudio += AUDIO_PERIOD_NS;
    }
    if (now >= nextLog) {
      logWhatWasSent(logPeriodNs);
      nextLog += logPeriodNs;
    }
    endPost();
    /* After a stall (a stopped process, a slow machine) go on from now
     * instead of posting a burst of stale frames. */
    if (now - nextVideo > 1000000000LL) nextVideo = now;
    if (now - nextAudio > 1000000000LL) nextAudio = now;
  }
}

/* ---- Entry points ------------------------------------------------------ */

DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
  post = in->post;
  const char* seconds = getenv("CAMERA_LOG_SECONDS");
  const long parsed = seconds ? strtol(seconds, NULL, 10) : 0;
  logPeriodNs = (parsed > 0 ? parsed : DEFAULT_LOG_SECONDS) * 1000000000LL;

  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC); /* time-outs ignore changes of the wall clock */
  pthread_cond_init(&stateChanged, &attributes);
  pthread_condattr_destroy(&attributes);
  opened = closed = postsInFlight = 0;

  out->idWord = DVR_SOURCE_PLUGIN(CAMERA_ID); /* stamped on everything it posts */
  out->wantsWorkerThread = 1;                  /* IOCTL code 1 runs on a thread of its own */
  return 0;
}

DVR_PLUGIN_EXPORT void Unload(const UnloadIn* in, UnloadOut* out) {
  (void)in;
  (void)out;
  /* The worker has returned and no more daemon packets arrive. */
  pthread_cond_destroy(&stateChanged);
}

DVR_PLUGIN_EXPORT void Open(const OpenIn* in, OpenOut* out) {
  (void)in;
  (void)out;
  pthread_mutex_lock(&stateLock);
  opened = 1;
  pthread_cond_broadcast(&stateChanged);
  pthread_mutex_unlock(&stateLock);
}

DVR_PLUGIN_EXPORT void Close(const CloseIn* in, CloseOut* out) {
  (void)in;
  (void)out;
  pthread_mutex_lock(&stateLock);
  closed = 1;
  pthread_cond_broadcast(&stateChanged); /* wakes the worker at once */
  while (postsInFlight > 0) pthread_cond_wait(&stateChanged, &stateLock);
  pthread_mutex_unlock(&stateLock);
}

DVR_PLUGIN_EXPORT void IOCTL(const IoctlIn* in, IoctlOut* out) {
  (void)out;
  if (in->code == DVR_IOCTL_WORKER) runWorker();
}

/* A packet from the daemon whose route word carries our id in bits 20-27.
 * Runs on the core's I/O thread; the bytes are valid only during the call. */
DVR_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint32_t length) {
  uint32_t kind = 0;
  if (length >= 12) memcpy(&kind, (const unsigned char*)packet + 8, sizeof kind);
  if (!beginPost()) return;
  char text[96];
  snprintf(text, sizeof text, "daemon packet: kind %u, %u bytes", (unsigned)kind, (unsigned)length);
  logLine(text);
  endPost();
}
