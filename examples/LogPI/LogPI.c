/*
 * LogPI - the log plug-in: appends every log line of the system to
 * "dvrcore.log" in the working directory.
 *
 * A complete plug-in in one file, using nothing but plugin_api.h. It declares
 * id 8, which keeps it open until the very end of the core's life, and asks
 * for live log events. Its OnEvent can be called from several threads at
 * once while the core shuts down, so writes are serialised with a mutex.
 *
 * Line format: "2026-12-09 14:03:59.123 25 core Loaded plugin 05:cam"
 * (local time with milliseconds, level, module, text). The module is "core"
 * for the core and the two-digit hexadecimal plug-in id otherwise.
 */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "plugin_api.h"

#define LOG_FILE_NAME "dvrcore.log"
#define LOG_PLUGIN_ID 8u

static pthread_mutex_t logLock = PTHREAD_MUTEX_INITIALIZER; /* guards logFile */
static FILE* logFile;

DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
  (void)in;
  out->idWord = DVR_SOURCE_PLUGIN(LOG_PLUGIN_ID);
  out->logInterest = DVR_INTEREST_LIVE;
  return 0;
}

DVR_PLUGIN_EXPORT void Unload(const UnloadIn* in, UnloadOut* out) {
  (void)in;
  (void)out;
}

DVR_PLUGIN_EXPORT void Open(const OpenIn* in, OpenOut* out) {
  (void)in;
  (void)out;
  pthread_mutex_lock(&logLock);
  if (!logFile) logFile = fopen(LOG_FILE_NAME, "a");
  pthread_mutex_unlock(&logLock);
}

DVR_PLUGIN_EXPORT void Close(const CloseIn* in, CloseOut* out) {
  (void)in;
  (void)out;
  pthread_mutex_lock(&logLock);
  if (logFile) fclose(logFile);
  logFile = NULL;
  pthread_mutex_unlock(&logLock);
}

/* The text without trailing NUL, CR and LF bytes. */
static uint32_t trimmedLength(const char* text, uint32_t length) {
  while (length > 0) {
    const char last = text[length - 1];
    if (last != '\0' && last != '\r' && last != '\n') break;
    --length;
  }
  return length;
}

DVR_PLUGIN_EXPORT int32_t OnEvent(const EventParms* event) {
  if ((event->type & ~DVR_TYPE_MODIFIER) != DVR_TYPE_LOG || !event->payload) return 0;
  const uint32_t length = trimmedLength((const char*)event->payload, event->length);
  if (length == 0) return 0;

  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  char module[8];
  if (event->source == DVR_SOURCE_CORE) {
    strcpy(module, "core");
  } else {
    snprintf(module, sizeof module, "%02x", (unsigned)DVR_PLUGIN_ID_OF(event->source));
  }

  pthread_mutex_lock(&logLock);
  if (logFile) {
    fprintf(logFile, "%s.%03ld %d %s %.*s\n", stamp, now.tv_nsec / 1000000L, (int)event->param, module,
            (int)length, (const char*)event->payload);
    fflush(logFile);
  }
  pthread_mutex_unlock(&logLock);
  return 0; /* the text was copied: the core may free the payload */
}
