/* The identity record on the wire (140 bytes: mask, four 16-byte IMEI texts, two 13-byte
 * address texts, zeros) against the identities as a phone keeps them, and the diagnostic AT
 * reply. */
#include "device/oxbind/phone_end/phone_end_internal.h"

#include <string.h>

#define IMEI_FIELD 16u
#define ADDRESS_FIELD 13u
#define BT_AT 68u
#define WIFI_AT 81u

/* Offset of IMEI slot k (0 ... 3) and its mask bit. */
static size_t imei_at(unsigned k) {
  return 4u + IMEI_FIELD * k;
}

static uint32_t imei_bit(unsigned k) {
  return k == 0 ? KPE_NV_IMEI1 : k == 1 ? KPE_NV_IMEI2 : k == 2 ? KPE_NV_IMEI3 : KPE_NV_IMEI4;
}

static int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

static char hex_digit(unsigned v) {
  return (char)(v < 10 ? '0' + v : 'A' + (v - 10));
}

/* 15 decimal digits, then the field's NUL. */
static int parse_imei(const uint8_t* field, char imei[16]) {
  unsigned i;
  for (i = 0; i < KPE_IMEI_DIGITS; ++i) {
    if (field[i] < '0' || field[i] > '9') return 0;
    imei[i] = (char)field[i];
  }
  imei[KPE_IMEI_DIGITS] = 0;
  return field[KPE_IMEI_DIGITS] == 0;
}

/* 12 hexadecimal digits in either case, then the field's NUL. */
static int parse_address(const uint8_t* field, uint8_t address[KPE_ADDRESS_BYTES]) {
  unsigned i;
  for (i = 0; i < KPE_ADDRESS_BYTES; ++i) {
    const int high = hex_value(field[2 * i]);
    const int low = hex_value(field[2 * i + 1]);
    if (high < 0 || low < 0) return 0;
    address[i] = (uint8_t)(high * 16 + low);
  }
  return field[2 * KPE_ADDRESS_BYTES] == 0;
}

int32_t kpe__parse_record(const uint8_t record[KPE_NV_RECORD_BYTES], kpe_identities* ids) {
  unsigned k;
  memset(ids, 0, sizeof *ids);
  ids->mask = kpe__get_u32(record) & KPE_NV_ALL;
  for (k = 0; k < 4; ++k) {
    if ((ids->mask & imei_bit(k)) && !parse_imei(record + imei_at(k), ids->imei[k]))
      return KPE_ERR_BAD_REQUEST;
  }
  if ((ids->mask & KPE_NV_BT) && !parse_address(record + BT_AT, ids->bt))
    return KPE_ERR_BAD_REQUEST;
  if ((ids->mask & KPE_NV_WIFI) && !parse_address(record + WIFI_AT, ids->wifi))
    return KPE_ERR_BAD_REQUEST;
  return KPE_OK;
}

static void put_address(const uint8_t address[KPE_ADDRESS_BYTES], uint8_t* field) {
  unsigned i;
  for (i = 0; i < KPE_ADDRESS_BYTES; ++i) {
    field[2 * i] = (uint8_t)hex_digit(address[i] >> 4);
    field[2 * i + 1] = (uint8_t)hex_digit(address[i] & 0x0Fu);
  }
}

void kpe__build_record(uint32_t wanted, const kpe_identities* ids,
                       uint8_t record[KPE_NV_RECORD_BYTES]) {
  const uint32_t items = wanted & ids->mask;
  unsigned k;
  memset(record, 0, KPE_NV_RECORD_BYTES);
  kpe__put_u32(record, wanted);
  for (k = 0; k < 4; ++k) {
    unsigned i;
    if (!(items & imei_bit(k))) continue;
    /* At most 15 characters, up to a NUL: the field keeps its terminator. */
    for (i = 0; i < KPE_IMEI_DIGITS && ids->imei[k][i] != 0; ++i)
      record[imei_at(k) + i] = (uint8_t)ids->imei[k][i];
  }
  if (items & KPE_NV_BT) put_address(ids->bt, record + BT_AT);
  if (items & KPE_NV_WIFI) put_address(ids->wifi, record + WIFI_AT);
}

size_t kpe_diag_reply(const char* ap, size_t ap_length, char* out, size_t capacity) {
  static const char prefix[] = "+KVDIAG: \"0000000008000000";
  static const char suffix[] = "\"\r\nOK";
  const size_t prefix_size = sizeof prefix - 1;
  const size_t suffix_size = sizeof suffix - 1;
  size_t n;
  size_t i;
  int shift;
  if (capacity < prefix_size + 12 + suffix_size ||
      ap_length > (capacity - prefix_size - 12 - suffix_size) / 2)
    return 0;
  memcpy(out, prefix, prefix_size);
  n = prefix_size;
  for (shift = 28; shift >= 0; shift -= 4)
    out[n++] = hex_digit((unsigned)((ap_length >> shift) & 0x0Fu));
  memcpy(out + n, "0000", 4);
  n += 4;
  for (i = 0; i < ap_length; ++i) {
    const unsigned char c = (unsigned char)ap[i];
    out[n++] = hex_digit(c >> 4);
    out[n++] = hex_digit(c & 0x0Fu);
  }
  memcpy(out + n, suffix, suffix_size);
  return n + suffix_size;
}
