/* The phone's end of the phone link (../PROTOCOL.md), for a phone's factory firmware.
 *
 * Portable C99: no heap, no operating-system calls, no globals. The firmware owns one
 * kpe_end (about 62 KB: every buffer is sized from the protocol's limits, so no request
 * can overrun it), hands it every byte received from the line with kpe_feed, and gets
 * called back to send bytes and to reach its storage and functions. Everything runs inside
 * kpe_feed, on the caller's thread; a callback must not call kpe_feed itself.
 *
 * The end decodes frames, checks every length and index, answers the sync frame with
 * silence, answers a repeated request (same sequence number, command and payload as the last
 * one) from memory without carrying it out again, stores identities as a phone keeps them
 * (an IMEI is 15 decimal digits, a Bluetooth or Wi-Fi address 6 bytes) and frames the
 * responses. A callback left NULL makes its commands answer KPE_ERR_UNKNOWN_COMMAND.
 */
#ifndef KESTREL_DEVICE_OXBIND_PHONE_END_PHONE_END_H
#define KESTREL_DEVICE_OXBIND_PHONE_END_PHONE_END_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The protocol's limits. */
#define KPE_HEADER_SIZE 6u
#define KPE_MIN_BODY 8u /* header and checksum */
#define KPE_MAX_PAYLOAD 20480u
#define KPE_MAX_BODY (KPE_MIN_BODY + KPE_MAX_PAYLOAD)
#define KPE_MAX_REPLY_DATA (KPE_MAX_PAYLOAD - 4u) /* a response payload starts with the result */
#define KPE_MAX_AT_COMMAND 4096u
#define KPE_MAX_STATION_RECORD 4096u
#define KPE_SN_BYTES 24u
#define KPE_CU_BYTES 24u
#define KPE_SECURE_BOOT_ITEMS 7u
#define KPE_NV_RECORD_BYTES 140u
#define KPE_ADDRESS_BYTES 6u
#define KPE_IMEI_DIGITS 15u
/* Bytes the end hands to send() at most at a time. */
#define KPE_TX_CHUNK 256u

/* Commands. */
#define KPE_CMD_NOP 0x0000u
#define KPE_CMD_HELLO 0x0001u
#define KPE_CMD_ENTER_MODE 0x0002u
#define KPE_CMD_GET_MS_VERSION 0x0010u
#define KPE_CMD_FAST_READ_VERSION 0x0011u
#define KPE_CMD_GET_AP_VERSION 0x0012u
#define KPE_CMD_AT_COMMAND 0x0020u
#define KPE_CMD_NV_READ 0x0030u
#define KPE_CMD_NV_FAST_WRITE 0x0031u
#define KPE_CMD_NV_WRITE_DIRECT 0x0032u
#define KPE_CMD_READ_SN 0x0040u
#define KPE_CMD_WRITE_SN 0x0041u
#define KPE_CMD_SET_USB_AUTO_MODE 0x0050u
#define KPE_CMD_READ_CU_REF 0x0060u
#define KPE_CMD_WRITE_CU_REF 0x0061u
#define KPE_CMD_READ_SECURE_BOOT 0x0070u
#define KPE_CMD_WRITE_SECURE_BOOT 0x0071u
#define KPE_CMD_ENABLE_SECURE_BOOT 0x0072u
#define KPE_CMD_POWER_OFF 0x0080u
#define KPE_CMD_READ_STATION_RECORD 0x0090u
#define KPE_CMD_WRITE_STATION_RECORD 0x0091u

/* Results a phone answers (a callback may return any other nonzero code too). */
#define KPE_OK 0
#define KPE_ERR_UNKNOWN_COMMAND 32
#define KPE_ERR_BAD_REQUEST 33
#define KPE_ERR_FAILED 34
#define KPE_ERR_IMEI_PROTECTED 39
#define KPE_ERR_STORAGE 41

/* Identity items: the mask bits of the identity record. */
#define KPE_NV_IMEI1 0x01u
#define KPE_NV_IMEI2 0x02u
#define KPE_NV_BT 0x04u
#define KPE_NV_IMEI3 0x10u
#define KPE_NV_IMEI4 0x20u
#define KPE_NV_WIFI 0x40u
#define KPE_NV_ALL 0x77u

/* The phone's identities as it keeps them. */
typedef struct kpe_identities {
  uint32_t mask; /* the items this record holds (KPE_NV_* bits) */
  /* IMEI1 ... IMEI4: 15 decimal digits and a NUL. A write never gets anything else; a read
   * answers what storage gives, at most 15 characters up to a NUL. */
  char imei[4][16];
  uint8_t bt[KPE_ADDRESS_BYTES];
  uint8_t wifi[KPE_ADDRESS_BYTES];
} kpe_identities;

/* Which version text version() is asked for. */
typedef enum kpe_version {
  KPE_VERSION_MS = 0,   /* GET_MS_VERSION */
  KPE_VERSION_FAST = 1, /* FAST_READ_VERSION */
  KPE_VERSION_AP = 2    /* GET_AP_VERSION */
} kpe_version;

/* What on_request() decides for a new request. */
typedef enum kpe_verdict {
  KPE_CARRY_OUT = 0, /* carry the request out as usual */
  KPE_ANSWER = 1,    /* answer *result (nonzero: no data) and carry nothing out */
  KPE_SILENT = 2     /* answer nothing, carry nothing out (a retransmission stays silent too) */
} kpe_verdict;

/* Events for on_event(). */
typedef enum kpe_event {
  KPE_EVENT_SYNC = 0,     /* the sync frame (a NOP request): never answered */
  KPE_EVENT_REPEAT = 1,   /* a retransmission: answered from memory, not carried out */
  KPE_EVENT_BAD_FRAME = 2 /* a frame dropped: checksum, length, size or escape */
} kpe_event;

/* The firmware's side. Every call gets `user` first. Results: KPE_OK, or the phone's error
 * code, answered to the station as it is. Text and byte outputs go into the end's own
 * buffers: write at most `capacity` bytes and set *length. */
typedef struct kpe_callbacks {
  /* Required: puts bytes on the line, in order. A response may come in several pieces of at
   * most KPE_TX_CHUNK bytes. */
  void (*send)(void* user, const uint8_t* bytes, size_t size);

  /* Optional hooks (NULL: not used). on_request sees every new request, payload as it came,
   * before anything is checked or carried out; on_reply sees the data of every successful
   * response before it is framed and may change it in place (test rigs). on_event reports
   * frames that get no regular handling. */
  kpe_verdict (*on_request)(void* user, uint16_t command, const uint8_t* payload, size_t size,
                            int32_t* result);
  void (*on_reply)(void* user, uint16_t command, uint8_t* data, size_t size);
  void (*on_event)(void* user, kpe_event event, uint16_t command);

  /* HELLO: the phone's name, as text. */
  int32_t (*hello)(void* user, char* name, size_t capacity, size_t* length);
  /* ENTER_MODE: the mode the station asks for. */
  int32_t (*enter_mode)(void* user, uint32_t mode);
  /* GET_MS_VERSION, FAST_READ_VERSION, GET_AP_VERSION. */
  int32_t (*version)(void* user, kpe_version which, char* text, size_t capacity, size_t* length);
  /* AT_COMMAND: `command` (length bytes, no terminator) and the reply text. See
   * kpe_diag_reply for AT+KVDIAG. */
  int32_t (*at_command)(void* user, const char* command, size_t length, char* reply,
                        size_t capacity, size_t* reply_length);
  /* NV_READ: fill the items the phone holds and set their bits in ids->mask (ids comes
   * zeroed); an item left out reads as an empty text. `wanted` names the items asked for. */
  int32_t (*read_identities)(void* user, uint32_t wanted, kpe_identities* ids);
  /* NV_FAST_WRITE (direct 0) and NV_WRITE_DIRECT (direct 1): store the items named by
   * ids->mask, all or none. Every item is already checked (an IMEI is 15 digits, an address
   * 6 bytes); a request with a bad item never gets here. */
  int32_t (*write_identities)(void* user, const kpe_identities* ids, int direct);
  /* READ_SN, WRITE_SN: sn1 is 1 for SN1 and 0 for SN2. A serial number is at most 24 bytes;
   * a read fills `sn` (zeroed first), a write gets the text without terminator. */
  int32_t (*read_serial)(void* user, int sn1, uint8_t sn[KPE_SN_BYTES]);
  int32_t (*write_serial)(void* user, int sn1, const uint8_t* text, size_t length);
  /* SET_USB_AUTO_MODE: on is 1 or 0. */
  int32_t (*set_usb_auto_mode)(void* user, int on);
  /* READ_CU_REF, WRITE_CU_REF: the 24-byte CU reference (it may hold zeros anywhere; a write
   * of fewer bytes is zero-filled to 24 first). */
  int32_t (*read_cu_ref)(void* user, uint8_t cu[KPE_CU_BYTES]);
  int32_t (*write_cu_ref)(void* user, const uint8_t cu[KPE_CU_BYTES]);
  /* READ_SECURE_BOOT, WRITE_SECURE_BOOT: item 0 ... 6 (checked before the call). */
  int32_t (*read_secure_boot)(void* user, uint16_t index, uint32_t* value);
  int32_t (*write_secure_boot)(void* user, uint16_t index, uint32_t value);
  int32_t (*enable_secure_boot)(void* user);
  int32_t (*power_off)(void* user);
  /* READ_STATION_RECORD, WRITE_STATION_RECORD: the opaque block, at most 4096 bytes. */
  int32_t (*read_station_record)(void* user, uint8_t* block, size_t capacity, size_t* length);
  int32_t (*write_station_record)(void* user, const uint8_t* block, size_t length);
} kpe_callbacks;

/* Counts of what the end received. */
typedef struct kpe_stats {
  uint32_t frames;       /* valid frames */
  uint32_t requests;     /* requests carried out or answered by on_request */
  uint32_t repeats;      /* retransmissions answered from memory */
  uint32_t syncs;        /* sync frames */
  uint32_t bad_checksum; /* dropped: wrong checksum */
  uint32_t malformed;    /* dropped: short, wrong length field, unknown type, bad escape */
  uint32_t oversize;     /* dropped: body longer than KPE_MAX_BODY */
  uint32_t stray;        /* bytes outside any frame */
} kpe_stats;

/* The context. Its members are the end's own: the firmware allocates it (statically, say)
 * and uses only the calls below. */
typedef struct kpe_end {
  kpe_callbacks cb;
  void* user;
  kpe_stats stats;
  /* The frame being received. */
  size_t body_size;
  unsigned char in_frame;
  unsigned char escaped;
  unsigned char overflow;
  /* The last request, for retransmissions. */
  unsigned char have_last;
  unsigned char last_answered;
  uint8_t last_sequence;
  uint16_t last_command;
  size_t last_size;
  /* The last response's payload (result and data). */
  size_t response_size;
  uint8_t body[KPE_MAX_BODY];
  uint8_t last_payload[KPE_MAX_PAYLOAD];
  uint8_t response[KPE_MAX_PAYLOAD];
  uint8_t tx[KPE_TX_CHUNK];
} kpe_end;

/* Sets the end up (a phone that has seen nothing yet). callbacks->send must be set. */
void kpe_init(kpe_end* end, const kpe_callbacks* callbacks, void* user);
/* Every byte received from the line, in order, in pieces of any size. */
void kpe_feed(kpe_end* end, const uint8_t* bytes, size_t size);
/* The line was closed and opened again: a partial frame is forgotten. The memory of the last
 * request stays (a station may retry across a reconnection). */
void kpe_reset_line(kpe_end* end);
const kpe_stats* kpe_get_stats(const kpe_end* end);

/* CRC-16/CCITT-FALSE as the frames use it. */
uint16_t kpe_crc16(const uint8_t* data, size_t size);

/* The reply to AT+KVDIAG="0000000008000000": +KVDIAG: "<header><hex of ap>" and \r\nOK.
 * Writes at most capacity bytes (no terminator) and returns the reply's length, or 0 when
 * it does not fit. */
size_t kpe_diag_reply(const char* ap, size_t ap_length, char* out, size_t capacity);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* KESTREL_DEVICE_OXBIND_PHONE_END_PHONE_END_H */
