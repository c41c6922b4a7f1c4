/* The phone command library: every exchange with a phone goes through these calls.
 *
 * Each call takes the phone handle first and returns 0 on success, else an error code
 * (see PROTOCOL.md for the codes). Text is 8-bit and NUL-terminated; callers zero their
 * buffers first. Between KV_BeginPhoneTest and KV_EndPhoneTest only one thread calls the
 * library, except KV_EndPhoneTest and KV_StopModeProcess, which may come from another thread
 * to cancel a call in progress.
 */
#ifndef KESTREL_DEVICE_OXBIND_OXBIND_H
#define KESTREL_DEVICE_OXBIND_OXBIND_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
namespace kestrel::device {
class ManualResetEvent;
}
typedef kestrel::device::ManualResetEvent KV_Event;
extern "C" {
#else
typedef struct KV_Event KV_Event;
#endif

typedef int32_t PhoneHandle;
#define KV_INVALID_HANDLE (-1)

/* Result codes shared with the device (PROTOCOL.md lists them all). */
#define KV_OK 0
#define KV_ERR_IMEI_PROTECTED 39

/* Results made by the library itself. */
#define KV_ERR_INVALID_HANDLE 1 /* not a live handle */
#define KV_ERR_BAD_ARGUMENT 2   /* null pointer, size out of the contract's range */
#define KV_ERR_NOT_OPEN 3       /* no phone test open (never opened, or already ended) */
#define KV_ERR_PORT_OPEN 4      /* the COM port is not in the port map or cannot be opened */
#define KV_ERR_TIMEOUT 5        /* no valid reply within the time-out, after every attempt */
#define KV_ERR_CANCELLED 6      /* ended by KV_EndPhoneTest / KV_StopModeProcess meanwhile */
#define KV_ERR_LINK_LOST 7      /* the line went away (cable pulled, device removed) */
#define KV_ERR_BAD_REPLY 8      /* a checksummed reply whose content does not fit the call */
#define KV_ERR_BUSY 9           /* a phone test or mode process is already running */
#define KV_ERR_NO_PHONE 10      /* channel kind 3: no port of the map answered */

/* Results answered by the device. */
#define KV_ERR_DEVICE_UNKNOWN_COMMAND 32 /* the device does not know the command */
#define KV_ERR_DEVICE_BAD_REQUEST 33     /* the request's content is wrong (size, index) */
#define KV_ERR_DEVICE_FAILED 34          /* the device could not carry the command out */
#define KV_ERR_DEVICE_STORAGE 41         /* the device's storage cannot be read or written */

/* KV_SetProperty ids of our own (ids 3 and 6, which the station sets, are accepted and have
 * no effect). Defaults can also be given by the environment variables
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

PhoneHandle KV_CreatePhone(int32_t reserved);
int32_t KV_ReleasePhone(PhoneHandle h);
int32_t KV_SetProperty(PhoneHandle h, int32_t id, int32_t arg1, int32_t arg2);
int32_t KV_BeginPhoneTest(PhoneHandle h, const PortChannel* channel);
int32_t KV_EndPhoneTest(PhoneHandle h);
int32_t KV_EnterModeProcess(PhoneHandle h, int32_t byUsb, int32_t dutPort, int32_t mode,
                            KV_Event* arrived, int32_t reserved);
int32_t KV_StopModeProcess(PhoneHandle h);
int32_t KV_GetUsbPort(PhoneHandle h);
int32_t KV_Write(PhoneHandle h, const uint8_t* data, int32_t length);
int32_t KV_GetMsVersion(PhoneHandle h, char* buffer, int32_t size);
int32_t KV_FastReadVersion(PhoneHandle h, char* buffer, int32_t size);
int32_t KV_GetAPVersion(PhoneHandle h, char* buffer, int32_t size);
int32_t KV_SendATCommand(PhoneHandle h, const char* command, int32_t waitReply, char* reply,
                         int32_t replyCapacity, int32_t* replyLength, int32_t timeoutMs);
int32_t KV_FastReadNvInfo(PhoneHandle h, NvInfoRecord* record);
int32_t KV_FastWriteNvInfo(PhoneHandle h, const NvInfoRecord* record);
int32_t KV_NvWriteDirect(PhoneHandle h, const NvInfoRecord* record);
int32_t KV_ReadSN(PhoneHandle h, int32_t isSn1, char* buffer, int32_t size);
int32_t KV_WriteSN(PhoneHandle h, int32_t isSn1, const char* text, int32_t length);
int32_t KV_SetUsbAutoMode(PhoneHandle h, int32_t on);
int32_t KV_ReadCURef(PhoneHandle h, char* buffer, int32_t size);
int32_t KV_WriteCURef(PhoneHandle h, const char* buffer, int32_t size);
int32_t KV_ReadSecureBoot(PhoneHandle h, SecureBootItem* item, int32_t size);
int32_t KV_WriteSecureBoot(PhoneHandle h, const SecureBootItem* item, int32_t size);
int32_t KV_EnableSecureBoot(PhoneHandle h);
int32_t KV_PowerOff(PhoneHandle h);

#ifdef __cplusplus
} /* extern "C" */
static_assert(sizeof(NvInfoRecord) == 140, "NvInfoRecord is 140 bytes");
static_assert(offsetof(NvInfoRecord, imei2) == 20 && offsetof(NvInfoRecord, bt) == 68 &&
                  offsetof(NvInfoRecord, wifi) == 81 && offsetof(NvInfoRecord, zero) == 94,
              "NvInfoRecord layout");
static_assert(sizeof(SecureBootItem) == 6, "SecureBootItem is 6 bytes");
#else
_Static_assert(sizeof(NvInfoRecord) == 140, "NvInfoRecord is 140 bytes");
_Static_assert(sizeof(SecureBootItem) == 6, "SecureBootItem is 6 bytes");
#endif

#endif /* KESTREL_DEVICE_OXBIND_OXBIND_H */
