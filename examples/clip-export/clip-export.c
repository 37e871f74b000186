/*
 * clip-export - an example plug-in that asks for stored media: on a packet
 * from the daemon it searches the recordings for a time range, writes the
 * answers into a clip file and tells the daemon what it wrote.
 *
 * Copy this file to start a plug-in that requests searches. It shows, in
 * plain C on plugin_api.h only:
 *   - a search request: source DVR_SEARCH_SOURCE, a request id made with
 *     DVR_SEARCH_REQUEST_ID from its own id (0x23), and the query as payload;
 *   - the answers arriving in OnEvent on the dispatch thread (stored events
 *     with that request id), the end marker that closes them, and the cancel
 *     that stops the providers when it gives up or is done;
 *   - packets from the daemon (OnIpcResult, on the core's I/O thread) and one
 *     packet back to the daemon as an "ipc" event;
 *   - a worker thread (IOCTL code 1) that gives up on a search that has gone
 *     quiet, and returns once the plug-in is closed.
 *
 * The daemon asks with a packet of kind 40 whose payload is "last=N" (the
 * last N seconds) or "from=S[.mmm] to=S[.mmm]" (Unix time), optionally
 * followed by " media=video", " media=audio" or " media=video,audio" (the
 * default). The clip goes to "clips/clip-NNNNNN.dvrclip" in the working
 * directory; when the recorder's end marker arrives the plug-in sends the
 * daemon one packet of kind 41 with one line of text:
 *   status=ok clip=clips/clip-000001.dvrclip video=125 audio=250
 *   bytes=1234567 from=1700000000.040 to=1700000004.980
 * The README beside this file describes both packets, the clip file and the
 * other status words. One export runs at a time; another request meanwhile
 * is answered at once with status=busy. A search that stays without answer
 * for CLIP_EXPORT_IDLE_SECONDS (default 10) is given up and cancelled.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "plugin_api.h"

#define CLIP_EXPORT_ID 0x23u
#define KIND_EXPORT 40u            /* daemon -> plug-in: export a clip */
#define KIND_EXPORTED 41u          /* plug-in -> daemon: what was written */
#define END_MARKER 0x454E4453u     /* the recorder's end marker, in param */
#define DEFAULT_IDLE_SECONDS 10 /* a search silent this long is given up */
#define MAX_LAST_SECONDS 86400u
#define CLIPS_DIRECTORY "clips"

static PostFn post;            /* set in Load */
static long long idleLimitNs;  /* set in Load */

/* Frame records of a clip file: the same layout as the recorder's segments. */
struct FrameHeader {
  uint32_t type, seconds;
  uint16_t millis;
  uint8_t kind, flags;
  uint32_t length, source;
};
_Static_assert(sizeof(struct FrameHeader) == 20, "frame records start with 20 bytes");

static const char clipMagic[8] = {'D', 'V', 'R', 'C', 'L', 'I', 'P', '1'};

/* Everything below is guarded by `lock`: OnIpcResult runs on the I/O thread,
 * OnEvent on the dispatch thread, the worker on its own, Close on the main
 * thread. No post is made while holding it. */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed; /* on CLOCK_MONOTONIC; made in Load */
static int opened, closed;
static uint16_t lastSerial; /* the low 16 bits of our request ids */

static struct {
  int running;
  uint32_t requestId;
  FILE* file;
  char path[64];
  unsigned video, audio;
  unsigned long long bytes;
  unsigned long long firstMs, lastMs; /* span of the frames written */
  long long lastAnswerNs;             /* monotonic time of the last answer (or the start) */
  int writeFailed;
} clip;

/* A finished export, ready to be told to the daemon (outside the lock). */
struct Outcome {
  uint32_t cancelId; /* a search to cancel, or 0 */
  char line[320];
};

static long long monotonicNs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

static EventParms newEvent(uint32_t type, uint32_t flags) {
  EventParms e;
  memset(&e, 0, sizeof e);
  e.size = sizeof e;
  e.version = DVR_EVENT_VERSION;
  e.paramsSize = DVR_EVENT_PARAMS_SIZE;
  e.paramsVersion = DVR_EVENT_PARAMS_VERSION;
  e.source = DVR_SOURCE_PLUGIN(CLIP_EXPORT_ID);
  e.type = type;
  e.flags = flags;
  return e;
}

static void logLine(int32_t level, const char* text) {
  EventParms e = newEvent(DVR_TYPE_LOG, DVR_FLAG_LIVE | DVR_FLAG_TEXT);
  e.param = (uint32_t)level;
  e.payload = (void*)text;
  e.length = (uint32_t)strlen(text);
  post(&e);
}

/* One packet of kind 41 to the daemon: header, then the text. */
static void tellDaemon(const char* line) {
  unsigned char packet[16 + 320];
  const uint32_t textLength = (uint32_t)strlen(line);
  const uint32_t header[4] = {16 + textLength, CLIP_EXPORT_ID << 20, KIND_EXPORTED, 0};
  memcpy(packet, header, sizeof header);
  memcpy(packet + 16, line, textLength);
  EventParms e = newEvent(DVR_TYPE_IPC, 0);
  e.payload = packet;
  e.length = 16 + textLength;
  post(&e);
}

static void cancelSearch(uint32_t requestId) {
  EventParms e = newEvent(DVR_TYPE_CANCEL, 0);
  e.requestId = requestId;
  post(&e);
}

static void deliver(const struct Outcome* outcome) {
  if (outcome->cancelId) cancelSearch(outcome->cancelId);
  tellDaemon(outcome->line);
  char text[360];
  snprintf(text, sizeof text, "clip export: %s", outcome->line);
  logLine(DVR_LOG_INFO, text);
}

static void formatMillis(char* into, size_t size, unsigned long long ms) {
  snprintf(into, size, "%llu.%03llu", ms / 1000, ms % 1000);
}

/* Ends the running export under the lock; the caller delivers the outcome. */
static void finishLocked(const char* status, struct Outcome* outcome) {
  if (clip.file && fclose(clip.file) != 0) clip.writeFailed = 1;
  clip.file = NULL;
  if (clip.writeFailed) status = "error";
  char from[24] = "-", to[24] = "-";
  if (clip.video + clip.audio > 0) {
    formatMillis(from, sizeof from, clip.firstMs);
    formatMillis(to, sizeof to, clip.lastMs);
  }
  snprintf(outcome->line, sizeof outcome->line, "status=%s clip=%s video=%u audio=%u bytes=%llu from=%s to=%s",
           status, clip.path, clip.video, clip.audio, clip.bytes, from, to);
  /* Other providers, if any, need not go on. */
  outcome->cancelId = clip.requestId;
  clip.running = 0;
  clip.requestId = 0;
}

/* ---- Requests from the daemon ------------------------------------------ */

/* "S" or "S.m", "S.mm", "S.mmm" as milliseconds; 0 when malformed. */
static int parseTime(const char* text, unsigned long long* ms) {
  char* end;
  errno = 0;
  const unsigned long long seconds = strtoull(text, &end, 10);
  if (end == text || errno != 0 || seconds > 0xFFFFFFFFull || text[0] == '-' || text[0] == '+') return 0;
  unsigned long long millis = 0;
  if (*end == '.') {
    const char* digits = end + 1;
    size_t n = 0;
    for (; n < 3 && digits[n] >= '0' && digits[n] <= '9'; ++n) millis = millis * 10 + (unsigned)(digits[n] - '0');
    if (n == 0 || (digits[n] != '\0' && digits[n] != ' ')) return 0;
    for (; n < 3; ++n) millis *= 10;
    end = (char*)digits + strcspn(digits, " ");
  }
  if (*end != '\0' && *end != ' ') return 0;
  *ms = seconds * 1000 + millis;
  return 1;
}

/* The request's words; 1 with the range and the media word set. */
static int parseRequest(char* text, unsigned long long* from, unsigned long long* to, const char** media) {
  int haveLast = 0, haveFrom = 0, haveTo = 0;
  unsigned long long last = 0;
  *media = "video,audio";
  char* rest = NULL;
  for (char* word = strtok_r(text, " ", &rest); word; word = strtok_r(NULL, " ", &rest)) {
    if (strncmp(word, "last=", 5) == 0) {
      char* end;
      errno = 0;
      last = strtoull(word + 5, &end, 10);
      if (end == word + 5 || *end != '\0' || errno != 0 || word[5] == '-' || last == 0 || last > MAX_LAST_SECONDS) {
        return 0;
      }
      haveLast = 1;
    } else if (strncmp(word, "from=", 5) == 0) {
      if (!parseTime(word + 5, from)) return 0;
      haveFrom = 1;
    } else if (strncmp(word, "to=", 3) == 0) {
      if (!parseTime(word + 3, to)) return 0;
      haveTo = 1;
    } else if (strcmp(word, "media=video") == 0 || strcmp(word, "media=audio") == 0 ||
               strcmp(word, "media=video,audio") == 0 || strcmp(word, "media=audio,video") == 0) {
      *media = word + 6;
    } else {
      return 0;
    }
  }
  if (haveLast && !haveFrom && !haveTo) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    /* Up to and including the current millisecond. */
    *to = (unsigned long long)now.tv_sec * 1000 + (unsigned long long)(now.tv_nsec / 1000000) + 1;
    *from = *to > last * 1000 ? *to - last * 1000 : 0;
    return 1;
  }
  return !haveLast && haveFrom && haveTo && *from < *to;
}

/* Creates the next free clip file and writes its header; NULL on failure. */
static FILE* createClipFile(char* path, size_t size) {
  if (mkdir(CLIPS_DIRECTORY, 0755) != 0 && errno != EEXIST) return NULL;
  for (unsigned number = 1; number < 1000000; ++number) {
    snprintf(path, size, CLIPS_DIRECTORY "/clip-%06u.dvrclip", number);
    const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return NULL;
    FILE* file = fdopen(fd, "wb");
    if (!file) {
      close(fd);
      return NULL;
    }
    const uint32_t versionWords[2] = {1, 0};
    if (fwrite(clipMagic, sizeof clipMagic, 1, file) != 1 || fwrite(versionWords, sizeof versionWords, 1, file) != 1) {
      fclose(file);
      unlink(path);
      return NULL;
    }
    return file;
  }
  return NULL;
}

static void refuse(const char* status) {
  char line[64];
  snprintf(line, sizeof line, "status=%s clip=-", status);
  tellDaemon(line);
}

static void startExport(const unsigned char* payload, uint32_t length) {
  char text[256];
  if (length >= sizeof text) {
    refuse("bad-request");
    return;
  }
  memcpy(text, payload, length);
  text[length] = '\0';
  unsigned long long from = 0, to = 0;
  const char* media = NULL;
  if (memchr(payload, '\0', length) || !parseRequest(text, &from, &to, &media)) {
    refuse("bad-request");
    return;
  }

  pthread_mutex_lock(&lock);
  if (!opened || closed) {
    pthread_mutex_unlock(&lock);
    return;
  }
  if (clip.running) {
    pthread_mutex_unlock(&lock);
    refuse("busy");
    return;
  }
  memset(&clip, 0, sizeof clip);
  clip.file = createClipFile(clip.path, sizeof clip.path);
  if (!clip.file) {
    const int error = errno;
    pthread_mutex_unlock(&lock);
    char line[160];
    snprintf(line, sizeof line, "clip export: cannot create a clip file in %s: %s", CLIPS_DIRECTORY, strerror(error));
    logLine(DVR_LOG_ERROR, line);
    refuse("error");
    return;
  }
  if (++lastSerial == 0) lastSerial = 1;
  const uint32_t requestId = DVR_SEARCH_REQUEST_ID(CLIP_EXPORT_ID, lastSerial);
  clip.running = 1;
  clip.requestId = requestId;
  clip.lastAnswerNs = monotonicNs();
  pthread_mutex_unlock(&lock);

  /* The recorder's query; answers may arrive before post returns. */
  char query[128];
  snprintf(query, sizeof query, "media=%s from=%llu.%03llu to=%llu.%03llu", media, from / 1000, from % 1000, to / 1000,
           to % 1000);
  EventParms request = newEvent(DVR_TYPE_VIDEO, DVR_FLAG_STORED);
  request.source = DVR_SEARCH_SOURCE;
  request.requestId = requestId;
  request.payload = query;
  request.length = (uint32_t)strlen(query);
  if (post(&request) == 0) return;

  /* Refused: the core is stopping. */
  struct Outcome outcome = {0, ""};
  pthread_mutex_lock(&lock);
  const int stillOurs = clip.running && clip.requestId == requestId;
  if (stillOurs) finishLocked("refused", &outcome);
  pthread_mutex_unlock(&lock);
  if (stillOurs) deliver(&outcome);
}

/* ---- Entry points ------------------------------------------------------ */

DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
  post = in->post;
  const char* seconds = getenv("CLIP_EXPORT_IDLE_SECONDS");
  const long parsed = seconds ? strtol(seconds, NULL, 10) : 0;
  idleLimitNs = (parsed > 0 ? parsed : DEFAULT_IDLE_SECONDS) * 1000000000LL;
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&changed, &attributes);
  pthread_condattr_destroy(&attributes);
  opened = closed = 0;
  out->idWord = DVR_SOURCE_PLUGIN(CLIP_EXPORT_ID); /* answers come back to this id */
  out->wantsWorkerThread = 1;
  /* No interest words: answers to our searches reach us whatever they say. */
  return 0;
}

DVR_PLUGIN_EXPORT void Unload(const UnloadIn* in, UnloadOut* out) {
  (void)in;
  (void)out;
  pthread_cond_destroy(&changed);
}

DVR_PLUGIN_EXPORT void Open(const OpenIn* in, OpenOut* out) {
  (void)in;
  (void)out;
  pthread_mutex_lock(&lock);
  opened = 1;
  pthread_mutex_unlock(&lock);
}

DVR_PLUGIN_EXPORT void Close(const CloseIn* in, CloseOut* out) {
  (void)in;
  (void)out;
  struct Outcome outcome = {0, ""};
  pthread_mutex_lock(&lock);
  closed = 1;
  const int wasRunning = clip.running;
  if (wasRunning) finishLocked("closed", &outcome);
  pthread_cond_broadcast(&changed); /* the worker returns */
  pthread_mutex_unlock(&lock);
  if (wasRunning) deliver(&outcome);
}

/* The answers: stored frames, then the end marker. Dispatch thread. */
DVR_PLUGIN_EXPORT int32_t OnEvent(const EventParms* e) {
  if (!(e->flags & DVR_FLAG_STORED)) return 0;
  struct Outcome outcome = {0, ""};
  int finished = 0;
  pthread_mutex_lock(&lock);
  if (clip.running && e->requestId == clip.requestId) {
    clip.lastAnswerNs = monotonicNs();
    const uint32_t type = e->type & ~DVR_TYPE_MODIFIER;
    if (e->param == END_MARKER && e->length == 0) {
      uint32_t words[2];
      memcpy(words, e->typeSpecific, sizeof words); /* frames answered, status */
      finishLocked(words[1] == 0 ? "ok" : words[1] == 2 ? "bad-query" : "storage-error", &outcome);
      finished = 1;
    } else if ((type == DVR_TYPE_VIDEO || type == DVR_TYPE_AUDIO) && e->payload && !clip.writeFailed) {
      const struct FrameHeader header = {type, e->frameSeconds, e->frameMillis, e->frameKind, e->frameFlags,
                                         e->length, e->source};
      if (fwrite(&header, sizeof header, 1, clip.file) != 1 || fwrite(e->payload, e->length, 1, clip.file) != 1) {
        clip.writeFailed = 1; /* reported as status=error at the end */
      } else {
        const unsigned long long ms = (unsigned long long)e->frameSeconds * 1000 + e->frameMillis;
        if (clip.video + clip.audio == 0 || ms < clip.firstMs) clip.firstMs = ms;
        if (clip.video + clip.audio == 0 || ms > clip.lastMs) clip.lastMs = ms;
        if (type == DVR_TYPE_VIDEO) {
          ++clip.video;
        } else {
          ++clip.audio;
        }
        clip.bytes += e->length;
      }
    }
  }
  pthread_mutex_unlock(&lock);
  if (finished) deliver(&outcome);
  return 0; /* the payload was copied into the clip: nothing is kept */
}

/* Packets from the daemon. I/O thread; the bytes are valid during the call. */
DVR_PLUGIN_EXPORT void OnIpcResult(const void* packet, uint32_t length) {
  uint32_t kind = 0;
  if (length < 16) return;
  memcpy(&kind, (const unsigned char*)packet + 8, sizeof kind);
  if (kind == KIND_EXPORT) startExport((const unsigned char*)packet + 16, length - 16);
}

/* The worker: gives up on a search that went quiet (no provider, or one that
 * stopped answering), until Close. */
DVR_PLUGIN_EXPORT void IOCTL(const IoctlIn* in, IoctlOut* out) {
  (void)out;
  if (in->code != DVR_IOCTL_WORKER) return;
  pthread_mutex_lock(&lock);
  while (!closed) {
    const long long deadline = monotonicNs() + 250000000LL;
    const struct timespec until = {(time_t)(deadline / 1000000000LL), (long)(deadline % 1000000000LL)};
    pthread_cond_timedwait(&changed, &lock, &until);
    if (closed || !clip.running || monotonicNs() - clip.lastAnswerNs < idleLimitNs) continue;
    struct Outcome outcome = {0, ""};
    finishLocked(clip.video + clip.audio == 0 ? "no-answer" : "incomplete", &outcome);
    pthread_mutex_unlock(&lock);
    deliver(&outcome);
    pthread_mutex_lock(&lock);
  }
  pthread_mutex_unlock(&lock);
}
