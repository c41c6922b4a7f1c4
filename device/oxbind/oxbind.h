/* The phone command library: every exchange with a phone goes through these calls.
 *
 * This header is the whole interface of a phone library: Kestrel's own
 * (libkestrel-oxbind.so.1, kestrel-oxbind.dll) and any other maker's library written to it.
 * It compiles as C99 and as C++. ADAPTERS.md beside it says how to write such a library;
 * PROTOCOL.md describes the wire protocol of Kestrel's own.
 *
 * Results: every call that returns int32_t returns KV_OK (0) on success, else an error code
 * (below; a device may answer others, which are passed on unchanged). Text is 8-bit and
 * NUL-terminated; callers zero their buffers first.
 *
 * Threads: a handle's calls come from one thread at a time between KV_BeginPhoneTest and
 * KV_EndPhoneTest (the job's thread), except KV_EndPhoneTest and KV_StopModeProcess, which
 * may come from any other thread at any time to cancel a call in progress: the blocked call
 * then returns (KV_ERR_CANCELLED) within milliseconds. KV_GetRequestCounts and the event
 * calls may come from any thread. KV_CreatePhone, KV_ReleasePhone and KV_GetLibraryInfo are
 * safe from any thread. Every call that waits for the device is bounded by a time-out.
 *
 * Symbols: every KV_ function below is REQUIRED of a library, except the three marked
 * OPTIONAL (the station record and the request counts), which a host looks up and does
 * without when a library lacks them.
 */
#ifndef KESTREL_DEVICE_OXBIND_OXBIND_H
#define KESTREL_DEVICE_OXBIND_OXBIND_H

#include <stddef.h>
#include <stdint.h>

/* KV_API marks the exported calls. A library defines KV_BUILDING_LIBRARY while it compiles
 * its own sources; a host that links the library (rather than loading it) defines nothing. */
#if defined(_WIN32)
#if defined(KV_BUILDING_LIBRARY)
#define KV_API __declspec(dllexport)
#else
#define KV_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define KV_API __attribute__((visibility("default")))
#else
#define KV_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface. A host refuses a library whose major differs from its own;
 * a minor adds calls or fields without changing the ones before. */
#define KV_ABI_MAJOR 1
#define KV_ABI_MINOR 0

typedef int32_t PhoneHandle;
#define KV_INVALID_HANDLE (-1)

/* Result codes shared with the device (PROTOCOL.md lists them all). */
#define KV_OK 0
#define KV_ERR_IMEI_PROTECTED 39

/* Results made by the library itself. */
#define KV_ERR_INVALID_HANDLE 1 /* not a live handle (or event) */
#define KV_ERR_BAD_ARGUMENT 2   /* null pointer, size out of the contract's range */
#define KV_ERR_NOT_OPEN 3       /* no phone test open (never opened, or already ended) */
#define KV_ERR_PORT_OPEN 4      /* the COM port is not in the port map or cannot be opened */
#define KV_ERR_TIMEOUT 5        /* no valid reply within the time-out, after every attempt */
#define KV_ERR_CANCELLED 6      /* ended by KV_EndPhoneTest / KV_StopModeProcess meanwhile */
#define KV_ERR_LINK_LOST 7      /* the line went away (cable pulled, device removed) */
#define KV_ERR_BAD_REPLY 8      /* a checksummed reply whose content does not fit the call */
#define KV_ERR_BUSY 9           /* a phone test or mode process is already running */
#define KV_ERR_NO_PHONE 10      /* channel kind 3: no port of the map answered */
#define KV_ERR_NOT_SUPPORTED 11 /* the library or the device does not offer this */

/* Results answered by the device. */
#define KV_ERR_DEVICE_UNKNOWN_COMMAND 32 /* the device does not know the command */
#define KV_ERR_DEVICE_BAD_REQUEST 33     /* the request's content is wrong (size, index) */
#define KV_ERR_DEVICE_FAILED 34          /* the device could not carry the command out */
#define KV_ERR_DEVICE_STORAGE 41         /* the device's storage cannot be read or written */

/* KV_SetProperty ids of Kestrel's own library (ids 3 and 6, which the station sets, are
 * accepted and have no effect). Defaults can also be given by the environment variables
 * KESTREL_OXBIND_REPLY_TIMEOUT_MS and KESTREL_OXBIND_ATTEMPTS, read by KV_CreatePhone. */
#define KV_PROP_REPLY_TIMEOUT 100 /* arg1: ms one attempt waits for a reply, 10..60000 */
#define KV_PROP_ATTEMPTS 101      /* arg1: attempts per request, 1..10 */

/* PortChannel.type */
#define KV_CHANNEL_COM 0
#define KV_CHANNEL_USB 3

typedef struct PortChannel {
  int32_t type;     /* KV_CHANNEL_COM or KV_CHANNEL_USB */
  int32_t port;     /* COM port number (unused with KV_CHANNEL_USB) */
  int32_t baudRate; /* 115200 (unused with KV_CHANNEL_USB) */
} PortChannel;

/* NvInfoRecord.mask bits */
#define KV_NV_IMEI1 0x01u
#define KV_NV_IMEI2 0x02u
#define KV_NV_BT 0x04u
#define KV_NV_IMEI3 0x10u
#define KV_NV_IMEI4 0x20u
#define KV_NV_WIFI 0x40u

#pragma pack(push, 1)
typedef struct NvInfoRecord {
  uint32_t mask;    /* offset 0 */
  char imei1[16];   /* offset 4 */
  char imei2[16];   /* offset 20 */
  char imei3[16];   /* offset 36 */
  char imei4[16];   /* offset 52 */
  char bt[13];      /* offset 68: 12 hex digits + NUL */
  char wifi[13];    /* offset 81 */
  uint8_t zero[46]; /* offset 94..139: always zero */
} NvInfoRecord;

typedef struct SecureBootItem {
  uint16_t index; /* 0..6 */
  uint32_t value;
} SecureBootItem;
#pragma pack(pop)

/* What KV_GetLibraryInfo reports. Text fields are NUL-terminated. */
typedef struct KV_LibraryInfo {
  int32_t abiMajor; /* KV_ABI_MAJOR of the header the library was built with */
  int32_t abiMinor; /* KV_ABI_MINOR of that header */
  char name[64];    /* the library's name, e.g. "Kestrel Oxbind" */
  char version[32]; /* the library's own version, e.g. "1.0.0.1" */
} KV_LibraryInfo;

/* ---- The library --------------------------------------------------------------------- */

/* Fills *info (KV_ERR_BAD_ARGUMENT for null). Any thread, any time, no handle needed: a host
 * calls it first, to check the ABI major before anything else. */
KV_API int32_t KV_GetLibraryInfo(KV_LibraryInfo* info);

/* ---- Events ---------------------------------------------------------------------------
 * A manual-reset event: once set it stays set, waking every waiter, until it is reset. The
 * host makes the event that KV_EnterModeProcess sets with these calls, and waits on it
 * together with events of its own. Every event call may come from any thread; an event must
 * not be closed while another thread still waits on it or sets it. */
typedef struct KV_Event KV_Event;

#define KV_MAX_WAIT_EVENTS 64 /* most events one KV_WaitAnyEvent waits on */

/* A new event, not set; NULL when none can be made. */
KV_API KV_Event* KV_CreateEvent(void);
KV_API int32_t KV_SetEvent(KV_Event* event);
KV_API int32_t KV_ResetEvent(KV_Event* event);
/* KV_OK when the event is set or becomes set within timeoutMs (0: only looks; negative:
 * waits without bound), KV_ERR_TIMEOUT otherwise. */
KV_API int32_t KV_WaitEvent(KV_Event* event, int32_t timeoutMs);
/* Waits until any of events[0..count-1] (1 <= count <= KV_MAX_WAIT_EVENTS, none null) is
 * set. KV_OK with *index set to the first set event in the order given (earlier events win
 * when several are set), KV_ERR_TIMEOUT with *index = -1, or KV_ERR_BAD_ARGUMENT. */
KV_API int32_t KV_WaitAnyEvent(KV_Event* const* events, int32_t count, int32_t timeoutMs,
                               int32_t* index);
/* Destroys the event; NULL is ignored. */
KV_API int32_t KV_CloseEvent(KV_Event* event);

/* ---- The phone ------------------------------------------------------------------------ */

/* A new handle (reserved must be 0), or KV_INVALID_HANDLE. */
KV_API PhoneHandle KV_CreatePhone(int32_t reserved);
/* Ends a phone test left open and frees the handle; a released handle is never valid again. */
KV_API int32_t KV_ReleasePhone(PhoneHandle h);
KV_API int32_t KV_SetProperty(PhoneHandle h, int32_t id, int32_t arg1, int32_t arg2);
/* Opens the channel: a COM port by number (KV_CHANNEL_COM), or the phone's USB port, found
 * by the library at the first call or by the mode process (KV_CHANNEL_USB). */
KV_API int32_t KV_BeginPhoneTest(PhoneHandle h, const PortChannel* channel);
/* Cancels a call in progress on another thread, stops the mode process, closes the channel.
 * Always the last call of a phone test; any thread. */
KV_API int32_t KV_EndPhoneTest(PhoneHandle h);
/* Starts the mode process and returns at once: the library brings the phone into `mode`
 * (over USB when byUsb is nonzero, else on COM port dutPort) and sets `arrived` when it is
 * there. The event is the host's (KV_CreateEvent) and outlives the mode process. */
KV_API int32_t KV_EnterModeProcess(PhoneHandle h, int32_t byUsb, int32_t dutPort, int32_t mode,
                                   KV_Event* arrived, int32_t reserved);
/* Stops the mode process and waits until it has ended; any thread. */
KV_API int32_t KV_StopModeProcess(PhoneHandle h);
/* The COM port number of the phone (the one the mode process found), or -1. */
KV_API int32_t KV_GetUsbPort(PhoneHandle h);
KV_API int32_t KV_Write(PhoneHandle h, const uint8_t* data, int32_t length);
KV_API int32_t KV_GetMsVersion(PhoneHandle h, char* buffer, int32_t size);
KV_API int32_t KV_FastReadVersion(PhoneHandle h, char* buffer, int32_t size);
KV_API int32_t KV_GetAPVersion(PhoneHandle h, char* buffer, int32_t size);
KV_API int32_t KV_SendATCommand(PhoneHandle h, const char* command, int32_t waitReply, char* reply,
                                int32_t replyCapacity, int32_t* replyLength, int32_t timeoutMs);
KV_API int32_t KV_FastReadNvInfo(PhoneHandle h, NvInfoRecord* record);
KV_API int32_t KV_FastWriteNvInfo(PhoneHandle h, const NvInfoRecord* record);
KV_API int32_t KV_NvWriteDirect(PhoneHandle h, const NvInfoRecord* record);
KV_API int32_t KV_ReadSN(PhoneHandle h, int32_t isSn1, char* buffer, int32_t size);
KV_API int32_t KV_WriteSN(PhoneHandle h, int32_t isSn1, const char* text, int32_t length);
KV_API int32_t KV_SetUsbAutoMode(PhoneHandle h, int32_t on);
KV_API int32_t KV_ReadCURef(PhoneHandle h, char* buffer, int32_t size);
KV_API int32_t KV_WriteCURef(PhoneHandle h, const char* buffer, int32_t size);
KV_API int32_t KV_ReadSecureBoot(PhoneHandle h, SecureBootItem* item, int32_t size);
KV_API int32_t KV_WriteSecureBoot(PhoneHandle h, const SecureBootItem* item, int32_t size);
KV_API int32_t KV_EnableSecureBoot(PhoneHandle h);
KV_API int32_t KV_PowerOff(PhoneHandle h);

/* ---- OPTIONAL extensions -------------------------------------------------------------- */

/* The block a phone keeps for the station-record library, read and written whole over the
 * open channel; at most KV_MAX_STATION_RECORD bytes. OPTIONAL: without these two calls a
 * host reports the station record as not supported by the library. */
#define KV_MAX_STATION_RECORD 4096
/* KV_OK with *length set to the block's size (0: the phone holds none), copied into buffer
 * (capacity >= KV_MAX_STATION_RECORD). */
KV_API int32_t KV_ReadStationRecord(PhoneHandle h, uint8_t* buffer, int32_t capacity,
                                    int32_t* length);
/* Replaces the block (0 <= length <= KV_MAX_STATION_RECORD). */
KV_API int32_t KV_WriteStationRecord(PhoneHandle h, const uint8_t* data, int32_t length);

/* The handle's request counters so far: requests sent, and how many of them had to be sent
 * again. Never waits for a call in progress; any thread. OPTIONAL: a host without it records
 * zero counts. */
KV_API int32_t KV_GetRequestCounts(PhoneHandle h, uint64_t* requests, uint64_t* retransmissions);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(NvInfoRecord) == 140, "NvInfoRecord is 140 bytes");
static_assert(offsetof(NvInfoRecord, imei2) == 20 && offsetof(NvInfoRecord, bt) == 68 &&
                  offsetof(NvInfoRecord, wifi) == 81 && offsetof(NvInfoRecord, zero) == 94,
              "NvInfoRecord layout");
static_assert(sizeof(SecureBootItem) == 6, "SecureBootItem is 6 bytes");
#else
/* C99 has no static assertion: an array of negative size stops the build instead. */
typedef char KV_CheckNvInfoRecordSize[sizeof(NvInfoRecord) == 140 ? 1 : -1];
typedef char KV_CheckNvInfoRecordLayout[offsetof(NvInfoRecord, imei2) == 20 &&
                                                offsetof(NvInfoRecord, bt) == 68 &&
                                                offsetof(NvInfoRecord, wifi) == 81 &&
                                                offsetof(NvInfoRecord, zero) == 94
                                            ? 1
                                            : -1];
typedef char KV_CheckSecureBootItemSize[sizeof(SecureBootItem) == 6 ? 1 : -1];
#endif

#endif /* KESTREL_DEVICE_OXBIND_OXBIND_H */
