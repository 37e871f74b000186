/*
 * plugin_api.h - the whole contract between dvrcore and a plug-in.
 *
 * A plug-in is a shared library in "protected-plugins" or "plugins" beside the
 * dvrcore executable. The core opens it with dlopen(RTLD_NOW) and looks up the
 * entry points below by their plain, unmangled names (the DVR_ENTRY_* strings).
 * Load/Unload are required, Open/Close are required for the plug-in to be
 * opened, everything else is optional.
 *
 * Every record begins with its size in bytes and its version. The core writes
 * size and version into both records of a call and zero-fills the rest, so a
 * plug-in can tell which layout it received. Records are plain structures of
 * little-endian 32-bit words; on the 32-bit target a pointer is one word and
 * the offsets noted beside the fields hold exactly (asserted below). On 64-bit
 * builds pointers are native and the records keep natural C alignment in the
 * same field order; `size` then holds sizeof() of the record in that build.
 *
 * Plain C11; also compiles as C++20, where the records live in namespace
 * km::core. The typed C++ views of the event record are in plugin_events.hpp.
 *
 * Threads: Load, Open, Close and Unload run on the core's main thread;
 * OnEvent/Write/IOCTL(2) on the dispatch thread (also the main thread);
 * OnSearch and Read-for-a-search on search threads; OnIpcResult/IOCTL(4) on
 * the I/O thread; IOCTL(1) on the plug-in's own worker thread and Read with an
 * empty ReadIn on its own reader thread. No core lock is held while any entry
 * point runs, so `post` may be called from inside every one of them.
 */
#ifndef DVRCORE_PLUGIN_API_H
#define DVRCORE_PLUGIN_API_H

#include <stdint.h>

#if defined(__GNUC__)
#define DVR_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define DVR_PLUGIN_EXPORT
#endif

#ifdef __cplusplus
namespace km {
namespace core {
extern "C" {
#endif

/* ---- Event record ------------------------------------------------------ */

/* Type codes (EventParms.type). Bit DVR_TYPE_MODIFIER may be or-ed in; every
 * switch on the type masks it off. */
#define DVR_TYPE_UNSPECIFIED 0x0u
#define DVR_TYPE_VIDEO 0x1u
#define DVR_TYPE_AUDIO 0x2u
#define DVR_TYPE_ALARM 0x4u
#define DVR_TYPE_PTZ 0x8u
#define DVR_TYPE_SERIAL 0x10u
#define DVR_TYPE_WATCHDOG 0x20u
#define DVR_TYPE_LOG 0x40u
#define DVR_TYPE_CONFIG 0x100u
#define DVR_TYPE_DECREF 0x200u   /* control: give back a kept payload reference */
#define DVR_TYPE_POS 0x400u
#define DVR_TYPE_CANCEL 0x1000u  /* control: cancel or query a search request */
#define DVR_TYPE_IPC 0x2000u     /* control: payload is a packet for the daemon */
#define DVR_TYPE_MODIFIER 0x4000u
#define DVR_TYPE_CRYPTO 0x8000u  /* control: transform the payload in place */
#define DVR_TYPE_ANALYTIC 0x10000u

/* Flag bits (EventParms.flags). Crypto events use the word for their
 * operation instead (DVR_CRYPTO_*). */
#define DVR_FLAG_QUERY 0x1u       /* ask instead of post: log threshold, cancel state */
#define DVR_FLAG_TEXT 0x2u        /* payload is plain text; live log text is echoed */
#define DVR_FLAG_XML 0x10u        /* payload is an XML document */
#define DVR_FLAG_LIVE 0x1000000u  /* happening now */
#define DVR_FLAG_STORED 0x4000000u /* read back from storage for a search */

/* Crypto operations, in the low 24 bits of flags. */
#define DVR_CRYPTO_TRANSFORM 2u
#define DVR_CRYPTO_TRANSFORM_BACK 1024u

/* Source word: the core itself, or a plug-in id in bits 16-23. */
#define DVR_SOURCE_CORE 0x80000000u
#define DVR_SOURCE_PLUGIN(id) (((uint32_t)(id) & 0xFFu) << 16)
#define DVR_PLUGIN_ID_OF(word) (((uint32_t)(word) >> 16) & 0xFFu)

/* frameKind: low two bits equal to 1 mark a key frame. */
#define DVR_FRAME_KIND_MASK 0x3u
#define DVR_FRAME_KIND_KEY 0x1u
/* frameFlags: an output frame (VideoOutEvt / AudioOutEvt). */
#define DVR_FRAME_FLAG_OUTPUT 0x20u

/* Log levels used by the core; larger is more severe. */
#define DVR_LOG_DEBUG 0
#define DVR_LOG_INFO 25
#define DVR_LOG_NOTICE 50
#define DVR_LOG_ERROR 75
#define DVR_LOG_CRITICAL 100

#define DVR_EVENT_VERSION 1u
#define DVR_EVENT_PARAMS_SIZE 152u /* from paramsSize to the end, 32-bit layout */
#define DVR_EVENT_PARAMS_VERSION 1u

/* The one event record. 184 bytes on the 32-bit target. A plug-in posts a
 * pointer to its own record; the core copies what it keeps during the call.
 * A record the core hands to a plug-in is valid only during that call. */
typedef struct EventParms {
  uint32_t size;          /*   0: sizeof(EventParms) */
  uint32_t version;       /*   4: DVR_EVENT_VERSION */
  uint32_t length;        /*   8: payload bytes; 0 = no payload */
  void* payload;          /*  12: first payload byte, or NULL */
  uint32_t source;        /*  16: DVR_SOURCE_CORE or plug-in id in bits 16-23 */
  uint32_t requestId;     /*  20: search correlation id; 0 otherwise */
  uint32_t type;          /*  24: DVR_TYPE_* */
  uint32_t flags;         /*  28: DVR_FLAG_* (crypto: the operation) */
  uint32_t paramsSize;    /*  32: DVR_EVENT_PARAMS_SIZE */
  uint32_t paramsVersion; /*  36: DVR_EVENT_PARAMS_VERSION */
  uint32_t param;         /*  40: log: level; config/analytic: non-zero = also
                                  back to origin; crypto: data bytes */
  /* 44: type-specific area, 140 bytes, zero unless the type defines it.
   * Video and audio use its first 8 bytes: */
  uint32_t frameSeconds;  /*  44: time stamp, whole seconds */
  uint16_t frameMillis;   /*  48: time stamp, milliseconds part */
  uint8_t frameKind;      /*  50: DVR_FRAME_KIND_* in the low two bits */
  uint8_t frameFlags;     /*  51: DVR_FRAME_FLAG_OUTPUT */
  uint8_t typeSpecific[132]; /* 52 */
} EventParms;

/* The posting service, handed to the plug-in in LoadIn. Any thread.
 * Answers: 0 accepted or handled; 1 refused (core stopping, no daemon pipe,
 * search answer refused) or "cancelled"; 3 live video waits for a key frame;
 * 4 too many frames since the last key frame; 5 live audio/video refused
 * while memory is low; other values answer a query (log threshold) or a
 * crypto request. When payload is NULL the core sets length to 0 in the
 * caller's record first. */
typedef int32_t (*PostFn)(EventParms* event);

/* ---- Searches for stored events ---------------------------------------
 *
 * The core stores no media: plug-ins that own storage serve searches, and
 * their answers travel back through the event queue to the one plug-in that
 * asked.
 *
 * Requesting. Post an event whose `source` is DVR_SEARCH_SOURCE (plug-in id 0:
 * bits 16-23 zero, and not DVR_SOURCE_CORE) and whose `requestId` carries, in
 * bits 16-23, the plug-in id that is to receive the answers, normally your
 * own: DVR_SEARCH_REQUEST_ID(myId, serial). The payload is the query; its
 * format is agreed between requesters and providers, the core does not read
 * it. Use the type of what is asked for (not a control type, and no
 * DVR_FLAG_QUERY on a log type) with DVR_FLAG_STORED; the core does not look
 * at them otherwise. post answers 0 (1 while the core stops); a request
 * without payload is taken and starts nothing.
 *
 * Answers are stored events (DVR_FLAG_STORED) carrying the same `requestId`.
 * They reach OnEvent (or Write) on the dispatch thread of the plug-in whose
 * id is in bits 16-23 of the request id, whatever its interest words say,
 * and no other plug-in. Several providers may answer one request, each on a
 * thread of its own, so answers of different providers interleave. The core
 * sends no completion event: how a provider marks the end of its answers is
 * agreed with the requester (the example recorder posts an end marker).
 * Keeping an answer's payload ("keep", then DVR_TYPE_DECREF) holds its
 * provider back until the payload is given back (see providing, below).
 *
 * Cancelling. Post a DVR_TYPE_CANCEL event with the request id: answers for
 * it are refused from then on and its providers learn of it at their next
 * post. The same event with DVR_FLAG_QUERY asks: post answers 1 when the id
 * is cancelled, else 0. Posting a new request with a cancelled id uncancels
 * it. The core remembers at least the 1024 most recent cancels, and the
 * cancel of a search that is still running until it has ended.
 *
 * Providing. A plug-in serves searches when it exports OnSearch, or Read with
 * wantsAsyncReader set and DVR_INTEREST_STORED in its interest word for
 * video, audio, alarm, log, POS or analytic events. Each request reaches it
 * on a new thread of its own, concurrently with its event calls and other
 * searches. Answer by posting stored events (DVR_FLAG_STORED, your own id in
 * `source`, the request's `requestId`, media with their original time
 * stamps) from that same thread before the call returns; answers posted
 * from any other thread are refused (1).
 * One payload ahead: an answer with a payload waits inside post until every
 * receiver is done with the previous answer's payload; answers without
 * payload never wait. So never hold, while posting an answer, a lock that
 * your own event calls need. post answers 1 when the request was cancelled
 * or the core stops: stop answering and return. Return promptly once Close
 * has been called. A search request posted from a search thread starts
 * nothing. */
#define DVR_SEARCH_SOURCE 0x0u
/* A request id that sends the answers to plug-in `requesterId`; `serial`
 * (1-65535) tells the requester's searches apart. */
#define DVR_SEARCH_REQUEST_ID(requesterId, serial) (DVR_SOURCE_PLUGIN(requesterId) | ((uint32_t)(serial) & 0xFFFFu))

/* ---- Load / Unload --------------------------------------------------- */

#define DVR_LOAD_IN_VERSION 4u
typedef struct LoadIn {
  uint32_t size;                   /*  0 */
  uint32_t version;                /*  4: DVR_LOAD_IN_VERSION */
  uint32_t reserved;               /*  8 */
  PostFn post;                     /* 12: the core's only service */
  const char* deviceIdentity;      /* 16: not NUL-terminated; valid for the run */
  uint32_t deviceIdentityLength;   /* 20: may be 0 */
} LoadIn;

/* Interest word bits. */
#define DVR_INTEREST_LIVE 0x2000000u   /* deliver live events of this type */
#define DVR_INTEREST_STORED 0x4000000u /* serves stored events of this type to searches */

#define DVR_LOAD_OUT_VERSION 3u
/* The plug-in's declaration, filled by Load and kept for the plug-in's life. */
typedef struct LoadOut {
  uint32_t size;             /*  0 */
  uint32_t version;          /*  4: DVR_LOAD_OUT_VERSION */
  uint32_t idWord;           /*  8: DVR_SOURCE_CORE = no id; else id in bits 16-23.
                                    The core presets 0, i.e. plug-in id 0. */
  uint32_t videoInterest;    /* 12 */
  uint32_t audioInterest;    /* 16 */
  uint32_t alarmInterest;    /* 20 */
  uint32_t ptzInterest;      /* 24 */
  uint32_t serialInterest;   /* 28 */
  uint32_t closeRank;        /* 32: larger closes first */
  uint32_t logInterest;      /* 36 */
  uint32_t reserved40;       /* 40 */
  uint32_t posInterest;      /* 44 */
  uint32_t analyticInterest; /* 48 */
  uint8_t wantsWorkerThread; /* 52: run IOCTL code 1 on a thread of its own */
  uint8_t reserved53;        /* 53 */
  uint8_t wantsAsyncReader;  /* 54: run Read on a thread of its own after Open,
                                    and take searches through Read */
  uint8_t acceptsWrite;      /* 55: events go to Write when there is no OnEvent */
  uint32_t reserved56[3];    /* 56 */
} LoadOut;

#define DVR_UNLOAD_IN_VERSION 1u
typedef struct UnloadIn {
  uint32_t size;    /* 0 */
  uint32_t version; /* 4 */
} UnloadIn;

#define DVR_UNLOAD_OUT_VERSION 1u
typedef struct UnloadOut {
  uint32_t size;     /* 0 */
  uint32_t version;  /* 4 */
  uint32_t reserved; /* 8 */
} UnloadOut;

/* ---- Open / Close ---------------------------------------------------- */

#define DVR_OPEN_VERSION 1u
typedef struct OpenIn {
  uint32_t size;        /*  0 */
  uint32_t version;     /*  4 */
  uint32_t reserved[2]; /*  8 */
} OpenIn;
typedef struct OpenOut {
  uint32_t size;        /*  0 */
  uint32_t version;     /*  4 */
  uint32_t reserved[2]; /*  8 */
} OpenOut;

#define DVR_CLOSE_VERSION 1u
typedef struct CloseIn {
  uint32_t size;     /* 0 */
  uint32_t version;  /* 4 */
  uint32_t reserved; /* 8 */
} CloseIn;
typedef struct CloseOut {
  uint32_t size;     /* 0 */
  uint32_t version;  /* 4 */
  uint32_t reserved; /* 8 */
} CloseOut;

/* ---- IOCTL ----------------------------------------------------------- */

#define DVR_IOCTL_VERSION 1u
#define DVR_IOCTL_WORKER 1u /* run the worker; return once Close was called */
#define DVR_IOCTL_CONFIG 2u /* a config event, for a plug-in without OnEvent */
#define DVR_IOCTL_IPC 4u    /* a daemon packet, for a plug-in without OnIpcResult */

typedef struct IoctlIn {
  uint32_t size;           /*  0 */
  uint32_t version;        /*  4 */
  uint32_t code;           /*  8: DVR_IOCTL_* */
  uint32_t reserved12;     /* 12 */
  uint32_t reserved16;     /* 16 */
  uint32_t argumentLength; /* 20: 0 for the worker */
  const void* argument;    /* 24: NULL for the worker; valid during the call */
} IoctlIn;

typedef struct IoctlOut {
  uint32_t size;           /*  0 */
  uint32_t version;        /*  4 */
  uint32_t code;           /*  8: the same code */
  uint32_t reserved12;     /* 12 */
  uint32_t keep;           /* 16: config: non-zero = the plug-in keeps the payload */
  uint32_t argumentLength; /* 20 */
  const void* argument;    /* 24 */
} IoctlOut;

/* ---- Read / Write ---------------------------------------------------- */

#define DVR_READ_VERSION 1u
#define DVR_READ_MODE 1u
/* On the reader thread: length 0, payload NULL, requestId 0. For a search:
 * the request's length, payload and request id. */
typedef struct ReadIn {
  uint32_t size;        /*  0 */
  uint32_t version;     /*  4 */
  uint32_t reserved;    /*  8 */
  uint8_t mode;         /* 12: DVR_READ_MODE */
  uint8_t reserved13[3];/* 13 */
  uint32_t length;      /* 16 */
  const void* payload;  /* 20 */
  uint32_t requestId;   /* 24 */
} ReadIn;

#define DVR_WRITE_VERSION 1u
/* An event for a plug-in that takes events through Write: the event record
 * from its length field to its end, after a 16-byte header. */
typedef struct WriteIn {
  uint32_t size;          /*   0 */
  uint32_t version;       /*   4 */
  uint32_t reserved[2];   /*   8 */
  uint32_t length;        /*  16 */
  void* payload;          /*  20 */
  uint32_t source;        /*  24 */
  uint32_t requestId;     /*  28 */
  uint32_t type;          /*  32 */
  uint32_t flags;         /*  36 */
  uint32_t paramsSize;    /*  40 */
  uint32_t paramsVersion; /*  44 */
  uint32_t param;         /*  48 */
  uint32_t frameSeconds;  /*  52 */
  uint16_t frameMillis;   /*  56 */
  uint8_t frameKind;      /*  58 */
  uint8_t frameFlags;     /*  59 */
  uint8_t typeSpecific[132]; /* 60 */
} WriteIn;

typedef struct WriteOut {
  uint32_t size;        /*  0 */
  uint32_t version;     /*  4 */
  uint32_t reserved[3]; /*  8 */
  uint32_t keep;        /* 20: non-zero = the plug-in keeps the payload */
} WriteOut;

/* ---- Entry points ---------------------------------------------------- */

#define DVR_ENTRY_LOAD "Load"
#define DVR_ENTRY_UNLOAD "Unload"
#define DVR_ENTRY_OPEN "Open"
#define DVR_ENTRY_CLOSE "Close"
#define DVR_ENTRY_ON_EVENT "OnEvent"
#define DVR_ENTRY_ON_SEARCH "OnSearch"
#define DVR_ENTRY_READ "Read"
#define DVR_ENTRY_WRITE "Write"
#define DVR_ENTRY_ON_IPC_RESULT "OnIpcResult"
#define DVR_ENTRY_IOCTL "IOCTL"

/* 0 = loaded; anything else fails the load and Unload is not called. */
typedef int32_t (*LoadFn)(const LoadIn* in, LoadOut* out);
typedef void (*UnloadFn)(const UnloadIn* in, UnloadOut* out);
typedef void (*OpenFn)(const OpenIn* in, OpenOut* out);
/* After Close, make the worker and reader calls return: Unload waits. */
typedef void (*CloseFn)(const CloseIn* in, CloseOut* out);
/* Non-zero = the plug-in keeps the payload and posts DVR_TYPE_DECREF later. */
typedef int32_t (*OnEventFn)(const EventParms* event);
/* A search request, on a search thread of its own. Answer by posting stored
 * events with the request's id from this thread, while the call lasts;
 * return when closed (see "Searches for stored events"). */
typedef void (*OnSearchFn)(const EventParms* request);
/* On the reader thread, or for a search on a search thread (a non-zero
 * requestId; answer as from OnSearch). `unused` is always NULL. */
typedef void (*ReadFn)(const ReadIn* in, void* unused);
typedef void (*WriteFn)(const WriteIn* in, WriteOut* out);
/* The packet, 16-byte header included; valid only during the call. */
typedef void (*OnIpcResultFn)(const void* packet, uint32_t length);
typedef void (*IoctlFn)(const IoctlIn* in, IoctlOut* out);

#ifdef __cplusplus
} /* extern "C" */
} /* namespace core */
} /* namespace km */
#endif

/* ---- Layout checks --------------------------------------------------- */

#ifdef __cplusplus
#define DVR_STATIC_ASSERT static_assert
#define DVR_OFFSETOF(type, field) offsetof(km::core::type, field)
#define DVR_SIZEOF(type) sizeof(km::core::type)
#include <cstddef>
#else
#define DVR_STATIC_ASSERT _Static_assert
#define DVR_OFFSETOF(type, field) offsetof(type, field)
#define DVR_SIZEOF(type) sizeof(type)
#include <stddef.h>
#endif

DVR_STATIC_ASSERT(DVR_SIZEOF(LoadOut) == 68, "LoadOut is 68 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(LoadOut, analyticInterest) == 48, "LoadOut layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(LoadOut, wantsWorkerThread) == 52, "LoadOut layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(LoadOut, wantsAsyncReader) == 54, "LoadOut layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(LoadOut, acceptsWrite) == 55, "LoadOut layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, frameFlags) - DVR_OFFSETOF(EventParms, param) == 11,
                  "type-specific area follows param");
DVR_STATIC_ASSERT(DVR_SIZEOF(EventParms) - DVR_OFFSETOF(EventParms, length) ==
                      DVR_SIZEOF(WriteIn) - DVR_OFFSETOF(WriteIn, length),
                  "WriteIn carries the event from its length field to its end");

#if UINTPTR_MAX == 0xFFFFFFFFu
/* The documented 32-bit layout, exactly. */
DVR_STATIC_ASSERT(DVR_SIZEOF(EventParms) == 184, "EventParms is 184 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, length) == 8, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, payload) == 12, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, source) == 16, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, requestId) == 20, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, type) == 24, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, flags) == 28, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, paramsSize) == 32, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, paramsVersion) == 36, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, param) == 40, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, frameSeconds) == 44, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, frameMillis) == 48, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, frameKind) == 50, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, frameFlags) == 51, "EventParms layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(EventParms, typeSpecific) == 52, "EventParms layout");
DVR_STATIC_ASSERT(DVR_SIZEOF(EventParms) - DVR_OFFSETOF(EventParms, paramsSize) == 152,
                  "paramsSize counts from its own word");

DVR_STATIC_ASSERT(DVR_SIZEOF(LoadIn) == 24, "LoadIn is 24 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(LoadIn, post) == 12, "LoadIn layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(LoadIn, deviceIdentity) == 16, "LoadIn layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(LoadIn, deviceIdentityLength) == 20, "LoadIn layout");

DVR_STATIC_ASSERT(DVR_SIZEOF(UnloadIn) == 8, "UnloadIn is 8 bytes");
DVR_STATIC_ASSERT(DVR_SIZEOF(UnloadOut) == 12, "UnloadOut is 12 bytes");
DVR_STATIC_ASSERT(DVR_SIZEOF(OpenIn) == 16, "OpenIn is 16 bytes");
DVR_STATIC_ASSERT(DVR_SIZEOF(OpenOut) == 16, "OpenOut is 16 bytes");
DVR_STATIC_ASSERT(DVR_SIZEOF(CloseIn) == 12, "CloseIn is 12 bytes");
DVR_STATIC_ASSERT(DVR_SIZEOF(CloseOut) == 12, "CloseOut is 12 bytes");

DVR_STATIC_ASSERT(DVR_SIZEOF(IoctlIn) == 28, "IoctlIn is 28 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(IoctlIn, argumentLength) == 20, "IoctlIn layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(IoctlIn, argument) == 24, "IoctlIn layout");
DVR_STATIC_ASSERT(DVR_SIZEOF(IoctlOut) == 28, "IoctlOut is 28 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(IoctlOut, keep) == 16, "IoctlOut layout");

DVR_STATIC_ASSERT(DVR_SIZEOF(ReadIn) == 28, "ReadIn is 28 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(ReadIn, mode) == 12, "ReadIn layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(ReadIn, length) == 16, "ReadIn layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(ReadIn, payload) == 20, "ReadIn layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(ReadIn, requestId) == 24, "ReadIn layout");

DVR_STATIC_ASSERT(DVR_SIZEOF(WriteIn) == 192, "WriteIn is 192 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(WriteIn, length) == 16, "WriteIn layout");
DVR_STATIC_ASSERT(DVR_OFFSETOF(WriteIn, frameFlags) == 59, "WriteIn layout");
DVR_STATIC_ASSERT(DVR_SIZEOF(WriteOut) == 24, "WriteOut is 24 bytes");
DVR_STATIC_ASSERT(DVR_OFFSETOF(WriteOut, keep) == 20, "WriteOut layout");
#endif

#undef DVR_STATIC_ASSERT
#undef DVR_OFFSETOF
#undef DVR_SIZEOF

#endif /* DVRCORE_PLUGIN_API_H */
