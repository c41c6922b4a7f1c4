/* The requests of the phone's end: retransmissions, the hooks, and each command's checks
 * and answer. */
#include "device/oxbind/phone_end/phone_end_internal.h"

#include <string.h>

/* Where a response's data goes: after the 4-byte result. */
#define REPLY_DATA(end) ((end)->response + 4)

/* A text or block answer: the callback's result, its length kept within the buffer. */
static int32_t sized(int32_t result, size_t length, size_t capacity, size_t* out_size) {
  *out_size = length > capacity ? capacity : length;
  return result;
}

static int32_t identities_read(kpe_end* end, const uint8_t* p, size_t size, size_t* out_size) {
  kpe_identities ids;
  uint32_t wanted;
  int32_t r;
  if (size != 4) return KPE_ERR_BAD_REQUEST;
  wanted = kpe__get_u32(p);
  memset(&ids, 0, sizeof ids);
  r = end->cb.read_identities(end->user, wanted, &ids);
  if (r != KPE_OK) return r;
  kpe__build_record(wanted, &ids, REPLY_DATA(end));
  *out_size = KPE_NV_RECORD_BYTES;
  return KPE_OK;
}

static int32_t identities_write(kpe_end* end, const uint8_t* p, size_t size, int direct) {
  kpe_identities ids;
  if (size != KPE_NV_RECORD_BYTES) return KPE_ERR_BAD_REQUEST;
  if (kpe__parse_record(p, &ids) != KPE_OK) return KPE_ERR_BAD_REQUEST;
  return end->cb.write_identities(end->user, &ids, direct);
}

static int32_t serial_write(kpe_end* end, const uint8_t* p, size_t size) {
  size_t length = 0;
  if (size < 1 || size > 1 + KPE_SN_BYTES || p[0] > 1) return KPE_ERR_BAD_REQUEST;
  while (length < size - 1 && p[1 + length] != 0) ++length; /* the text ends at a NUL */
  return end->cb.write_serial(end->user, p[0], p + 1, length);
}

static int32_t secure_boot_read(kpe_end* end, const uint8_t* p, size_t size, size_t* out_size) {
  uint16_t index;
  uint32_t value = 0;
  int32_t r;
  if (size != 2) return KPE_ERR_BAD_REQUEST;
  index = kpe__get_u16(p);
  if (index >= KPE_SECURE_BOOT_ITEMS) return KPE_ERR_BAD_REQUEST;
  r = end->cb.read_secure_boot(end->user, index, &value);
  if (r != KPE_OK) return r;
  kpe__put_u16(REPLY_DATA(end), index);
  kpe__put_u32(REPLY_DATA(end) + 2, value);
  *out_size = 6;
  return KPE_OK;
}

static int32_t secure_boot_write(kpe_end* end, const uint8_t* p, size_t size) {
  uint16_t index;
  if (size != 6) return KPE_ERR_BAD_REQUEST;
  index = kpe__get_u16(p);
  if (index >= KPE_SECURE_BOOT_ITEMS) return KPE_ERR_BAD_REQUEST;
  return end->cb.write_secure_boot(end->user, index, kpe__get_u32(p + 2));
}

static int32_t version_read(kpe_end* end, kpe_version which, size_t size, size_t* out_size) {
  size_t length = 0;
  int32_t r;
  if (size != 0) return KPE_ERR_BAD_REQUEST;
  r = end->cb.version(end->user, which, (char*)REPLY_DATA(end), KPE_MAX_REPLY_DATA, &length);
  return sized(r, length, KPE_MAX_REPLY_DATA, out_size);
}

/* Whether the firmware has the callback that carries the command out. */
static int supported(const kpe_callbacks* cb, uint16_t command) {
  switch (command) {
    case KPE_CMD_HELLO:
      return cb->hello != NULL;
    case KPE_CMD_ENTER_MODE:
      return cb->enter_mode != NULL;
    case KPE_CMD_GET_MS_VERSION:
    case KPE_CMD_FAST_READ_VERSION:
    case KPE_CMD_GET_AP_VERSION:
      return cb->version != NULL;
    case KPE_CMD_AT_COMMAND:
      return cb->at_command != NULL;
    case KPE_CMD_NV_READ:
      return cb->read_identities != NULL;
    case KPE_CMD_NV_FAST_WRITE:
    case KPE_CMD_NV_WRITE_DIRECT:
      return cb->write_identities != NULL;
    case KPE_CMD_READ_SN:
      return cb->read_serial != NULL;
    case KPE_CMD_WRITE_SN:
      return cb->write_serial != NULL;
    case KPE_CMD_SET_USB_AUTO_MODE:
      return cb->set_usb_auto_mode != NULL;
    case KPE_CMD_READ_CU_REF:
      return cb->read_cu_ref != NULL;
    case KPE_CMD_WRITE_CU_REF:
      return cb->write_cu_ref != NULL;
    case KPE_CMD_READ_SECURE_BOOT:
      return cb->read_secure_boot != NULL;
    case KPE_CMD_WRITE_SECURE_BOOT:
      return cb->write_secure_boot != NULL;
    case KPE_CMD_ENABLE_SECURE_BOOT:
      return cb->enable_secure_boot != NULL;
    case KPE_CMD_POWER_OFF:
      return cb->power_off != NULL;
    case KPE_CMD_READ_STATION_RECORD:
      return cb->read_station_record != NULL;
    case KPE_CMD_WRITE_STATION_RECORD:
      return cb->write_station_record != NULL;
    default:
      return 0;
  }
}

/* Carries a request out; the response data (if any) is left in REPLY_DATA, its size in
 * *out_size. */
static int32_t execute(kpe_end* end, uint16_t command, const uint8_t* p, size_t size,
                       size_t* out_size) {
  const kpe_callbacks* cb = &end->cb;
  void* u = end->user;
  uint8_t* data = REPLY_DATA(end);
  size_t length = 0;
  uint8_t cu[KPE_CU_BYTES];
  int32_t r;
  *out_size = 0;
  if (!supported(cb, command)) return KPE_ERR_UNKNOWN_COMMAND;
  switch (command) {
    case KPE_CMD_HELLO:
      if (size != 0) return KPE_ERR_BAD_REQUEST;
      r = cb->hello(u, (char*)data, KPE_MAX_REPLY_DATA, &length);
      return sized(r, length, KPE_MAX_REPLY_DATA, out_size);
    case KPE_CMD_ENTER_MODE:
      if (size != 4) return KPE_ERR_BAD_REQUEST;
      return cb->enter_mode(u, kpe__get_u32(p));
    case KPE_CMD_GET_MS_VERSION:
      return version_read(end, KPE_VERSION_MS, size, out_size);
    case KPE_CMD_FAST_READ_VERSION:
      return version_read(end, KPE_VERSION_FAST, size, out_size);
    case KPE_CMD_GET_AP_VERSION:
      return version_read(end, KPE_VERSION_AP, size, out_size);
    case KPE_CMD_AT_COMMAND:
      if (size > KPE_MAX_AT_COMMAND) return KPE_ERR_BAD_REQUEST;
      r = cb->at_command(u, (const char*)p, size, (char*)data, KPE_MAX_REPLY_DATA, &length);
      return sized(r, length, KPE_MAX_REPLY_DATA, out_size);
    case KPE_CMD_NV_READ:
      return identities_read(end, p, size, out_size);
    case KPE_CMD_NV_FAST_WRITE:
      return identities_write(end, p, size, 0);
    case KPE_CMD_NV_WRITE_DIRECT:
      return identities_write(end, p, size, 1);
    case KPE_CMD_READ_SN:
      if (size != 1 || p[0] > 1) return KPE_ERR_BAD_REQUEST;
      memset(data, 0, KPE_SN_BYTES);
      *out_size = KPE_SN_BYTES;
      return cb->read_serial(u, p[0], data);
    case KPE_CMD_WRITE_SN:
      return serial_write(end, p, size);
    case KPE_CMD_SET_USB_AUTO_MODE:
      if (size != 1 || p[0] > 1) return KPE_ERR_BAD_REQUEST;
      return cb->set_usb_auto_mode(u, p[0]);
    case KPE_CMD_READ_CU_REF:
      if (size != 0) return KPE_ERR_BAD_REQUEST;
      memset(data, 0, KPE_CU_BYTES);
      *out_size = KPE_CU_BYTES;
      return cb->read_cu_ref(u, data);
    case KPE_CMD_WRITE_CU_REF:
      if (size > KPE_CU_BYTES) return KPE_ERR_BAD_REQUEST;
      memset(cu, 0, sizeof cu);
      if (size > 0) memcpy(cu, p, size);
      return cb->write_cu_ref(u, cu);
    case KPE_CMD_READ_SECURE_BOOT:
      return secure_boot_read(end, p, size, out_size);
    case KPE_CMD_WRITE_SECURE_BOOT:
      return secure_boot_write(end, p, size);
    case KPE_CMD_ENABLE_SECURE_BOOT:
      return size != 0 ? KPE_ERR_BAD_REQUEST : cb->enable_secure_boot(u);
    case KPE_CMD_POWER_OFF:
      return size != 0 ? KPE_ERR_BAD_REQUEST : cb->power_off(u);
    case KPE_CMD_READ_STATION_RECORD:
      if (size != 0) return KPE_ERR_BAD_REQUEST;
      r = cb->read_station_record(u, data, KPE_MAX_STATION_RECORD, &length);
      return sized(r, length, KPE_MAX_STATION_RECORD, out_size);
    case KPE_CMD_WRITE_STATION_RECORD:
      if (size > KPE_MAX_STATION_RECORD) return KPE_ERR_BAD_REQUEST;
      return cb->write_station_record(u, p, size);
    default:
      return KPE_ERR_UNKNOWN_COMMAND;
  }
}

static int is_repeat(const kpe_end* end, uint8_t sequence, uint16_t command, const uint8_t* payload,
                     size_t size) {
  return end->have_last && sequence == end->last_sequence && command == end->last_command &&
         size == end->last_size && (size == 0 || memcmp(payload, end->last_payload, size) == 0);
}

void kpe__handle_request(kpe_end* end, uint8_t sequence, uint16_t command, const uint8_t* payload,
                         size_t size) {
  kpe_verdict verdict = KPE_CARRY_OUT;
  int32_t result = KPE_OK;
  size_t data_size = 0;
  if (command == KPE_CMD_NOP) {
    ++end->stats.syncs;
    if (end->cb.on_event != NULL) end->cb.on_event(end->user, KPE_EVENT_SYNC, command);
    return;
  }
  if (is_repeat(end, sequence, command, payload, size)) {
    ++end->stats.repeats;
    if (end->cb.on_event != NULL) end->cb.on_event(end->user, KPE_EVENT_REPEAT, command);
    if (end->last_answered) kpe__send_response(end, sequence, command);
    return;
  }
  if (size > KPE_MAX_PAYLOAD) return; /* cannot come from the receiver; kept for the reader */
  ++end->stats.requests;
  end->have_last = 1;
  end->last_answered = 0;
  end->last_sequence = sequence;
  end->last_command = command;
  end->last_size = size;
  if (size > 0) memcpy(end->last_payload, payload, size);

  if (end->cb.on_request != NULL) {
    verdict = end->cb.on_request(end->user, command, payload, size, &result);
  }
  if (verdict == KPE_SILENT) return;
  if (verdict != KPE_ANSWER) result = execute(end, command, payload, size, &data_size);
  if (result != KPE_OK) data_size = 0;
  if (data_size > 0 && end->cb.on_reply != NULL) {
    end->cb.on_reply(end->user, command, REPLY_DATA(end), data_size);
  }
  kpe__put_u32(end->response, (uint32_t)result);
  end->response_size = 4 + data_size;
  end->last_answered = 1;
  kpe__send_response(end, sequence, command);
}
