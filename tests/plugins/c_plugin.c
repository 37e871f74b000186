/* A plug-in written in plain C11 against the public header: proves the
 * header compiles as C and that the records are usable unqualified. It
 * journals its calls like the C++ test plug-in. */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "plugin_api.h"

/* The search helpers are constant expressions in C too. */
_Static_assert(DVR_SEARCH_REQUEST_ID(0x23, 1) == 0x00230001u, "request id of plug-in 0x23");
_Static_assert(DVR_PLUGIN_ID_OF(DVR_SEARCH_SOURCE) == 0 && DVR_SEARCH_SOURCE != DVR_SOURCE_CORE,
               "a search request's source carries plug-in id 0");

static void journal(const char* text) {
  const int fd = open("journal.txt", O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) return;
  char line[256];
  const int n = snprintf(line, sizeof line, "c_plugin.so %s\n", text);
  if (n > 0) (void)!write(fd, line, (size_t)n);
  close(fd);
}

DVR_PLUGIN_EXPORT int32_t Load(const LoadIn* in, LoadOut* out) {
  char text[64];
  snprintf(text, sizeof text, "Load size=%u version=%u", (unsigned)in->size, (unsigned)in->version);
  journal(text);
  out->idWord = DVR_SOURCE_PLUGIN(0x31);
  out->alarmInterest = DVR_INTEREST_LIVE;
  return 0;
}

DVR_PLUGIN_EXPORT void Unload(const UnloadIn* in, UnloadOut* out) {
  (void)in;
  (void)out;
  journal("Unload");
}

DVR_PLUGIN_EXPORT void Open(const OpenIn* in, OpenOut* out) {
  (void)in;
  (void)out;
  journal("Open");
}

DVR_PLUGIN_EXPORT void Close(const CloseIn* in, CloseOut* out) {
  (void)in;
  (void)out;
  journal("Close");
}

DVR_PLUGIN_EXPORT int32_t OnEvent(const EventParms* event) {
  char text[96];
  snprintf(text, sizeof text, "OnEvent type=0x%x size=%u length=%u", (unsigned)event->type, (unsigned)event->size,
           (unsigned)event->length);
  journal(text);
  return 0;
}
