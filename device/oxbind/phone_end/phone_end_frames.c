/* The frames of the phone's end: bytes in, checked requests out; responses framed and sent in
 * pieces. The rules are those of PROTOCOL.md (and of wire_protocol.cpp on the station's
 * side): a bad frame is dropped without an answer and costs nothing but itself. */
#include "device/oxbind/phone_end/phone_end_internal.h"

#include <string.h>

static uint16_t crc16_update(uint16_t crc, const uint8_t* data, size_t size) {
  size_t i;
  int bit;
  for (i = 0; i < size; ++i) {
    crc = (uint16_t)(crc ^ (uint16_t)((unsigned)data[i] << 8));
    for (bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000u) ? (uint16_t)((crc << 1) ^ 0x1021u) : (uint16_t)(crc << 1);
    }
  }
  return crc;
}

uint16_t kpe_crc16(const uint8_t* data, size_t size) {
  return crc16_update(0xFFFFu, data, size);
}

uint16_t kpe__get_u16(const uint8_t* p) {
  return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t kpe__get_u32(const uint8_t* p) {
  return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void kpe__put_u16(uint8_t* p, uint16_t v) {
  p[0] = (uint8_t)(v & 0xFFu);
  p[1] = (uint8_t)(v >> 8);
}

void kpe__put_u32(uint8_t* p, uint32_t v) {
  p[0] = (uint8_t)(v & 0xFFu);
  p[1] = (uint8_t)((v >> 8) & 0xFFu);
  p[2] = (uint8_t)((v >> 16) & 0xFFu);
  p[3] = (uint8_t)((v >> 24) & 0xFFu);
}

void kpe_init(kpe_end* end, const kpe_callbacks* callbacks, void* user) {
  memset(end, 0, offsetof(kpe_end, body));
  if (callbacks != NULL) end->cb = *callbacks;
  end->user = user;
}

void kpe_reset_line(kpe_end* end) {
  end->body_size = 0;
  end->in_frame = 0;
  end->escaped = 0;
  end->overflow = 0;
}

const kpe_stats* kpe_get_stats(const kpe_end* end) {
  return &end->stats;
}

static void bad_frame(kpe_end* end, uint32_t* counter) {
  ++*counter;
  if (end->cb.on_event != NULL) end->cb.on_event(end->user, KPE_EVENT_BAD_FRAME, 0);
}

/* The closing flag of a frame: check it and hand a request on. */
static void finish_frame(kpe_end* end) {
  const uint8_t* b = end->body;
  const size_t size = end->body_size;
  size_t length;
  size_t crc_at;
  uint16_t command;
  uint16_t sent;
  int unchecked;
  if (end->overflow) {
    bad_frame(end, &end->stats.oversize);
    return;
  }
  if (size == 0) return; /* two flags in a row: a separator */
  if (end->escaped || size < KPE_MIN_BODY) {
    bad_frame(end, &end->stats.malformed);
    return;
  }
  length = ((size_t)b[4] << 8) | b[5];
  if (length != size || (b[0] != KPE_TYPE_REQUEST && b[0] != KPE_TYPE_RESPONSE)) {
    bad_frame(end, &end->stats.malformed);
    return;
  }
  command = (uint16_t)((b[2] << 8) | b[3]);
  crc_at = size - 2u;
  sent = (uint16_t)((b[crc_at] << 8) | b[crc_at + 1u]);
  /* The sync frame alone may go without a checksum. */
  unchecked =
      sent == 0 && b[0] == KPE_TYPE_REQUEST && command == KPE_CMD_NOP && size == KPE_MIN_BODY;
  if (!unchecked && kpe_crc16(b, crc_at) != sent) {
    bad_frame(end, &end->stats.bad_checksum);
    return;
  }
  ++end->stats.frames;
  if (b[0] != KPE_TYPE_REQUEST) return; /* a response (an echo, another phone): not ours */
  kpe__handle_request(end, b[1], command, b + KPE_HEADER_SIZE, crc_at - KPE_HEADER_SIZE);
}

void kpe_feed(kpe_end* end, const uint8_t* bytes, size_t size) {
  size_t i;
  if (bytes == NULL) return;
  for (i = 0; i < size; ++i) {
    uint8_t c = bytes[i];
    if (c == KPE_FLAG) {
      if (end->in_frame) finish_frame(end);
      end->body_size = 0;
      end->in_frame = 1;
      end->escaped = 0;
      end->overflow = 0;
      continue;
    }
    if (!end->in_frame) {
      ++end->stats.stray;
      continue;
    }
    if (end->escaped) {
      end->escaped = 0;
      c = (uint8_t)(c ^ KPE_ESCAPE_XOR);
    } else if (c == KPE_ESCAPE) {
      end->escaped = 1;
      continue;
    }
    if (end->body_size >= KPE_MAX_BODY) {
      end->overflow = 1;
      continue;
    }
    end->body[end->body_size++] = c;
  }
}

/* The pieces of one frame on their way out: escaped into end->tx, sent when it is full. */
typedef struct tx_state {
  kpe_end* end;
  size_t used;
} tx_state;

static void tx_flush(tx_state* tx) {
  if (tx->used == 0) return;
  tx->end->cb.send(tx->end->user, tx->end->tx, tx->used);
  tx->used = 0;
}

static void tx_raw(tx_state* tx, uint8_t c) {
  if (tx->used == KPE_TX_CHUNK) tx_flush(tx);
  tx->end->tx[tx->used++] = c;
}

static void tx_escaped(tx_state* tx, const uint8_t* data, size_t size) {
  size_t i;
  for (i = 0; i < size; ++i) {
    if (data[i] == KPE_FLAG || data[i] == KPE_ESCAPE) {
      tx_raw(tx, KPE_ESCAPE);
      tx_raw(tx, (uint8_t)(data[i] ^ KPE_ESCAPE_XOR));
    } else {
      tx_raw(tx, data[i]);
    }
  }
}

void kpe__send_response(kpe_end* end, uint8_t sequence, uint16_t command) {
  uint8_t header[KPE_HEADER_SIZE];
  uint8_t crc_bytes[2];
  const size_t payload =
      end->response_size > KPE_MAX_PAYLOAD ? KPE_MAX_PAYLOAD : end->response_size;
  const size_t body = KPE_MIN_BODY + payload;
  uint16_t crc;
  tx_state tx;
  if (end->cb.send == NULL) return;
  header[0] = KPE_TYPE_RESPONSE;
  header[1] = sequence;
  header[2] = (uint8_t)(command >> 8);
  header[3] = (uint8_t)(command & 0xFFu);
  header[4] = (uint8_t)(body >> 8);
  header[5] = (uint8_t)(body & 0xFFu);
  crc = crc16_update(0xFFFFu, header, sizeof header);
  crc = crc16_update(crc, end->response, payload);
  crc_bytes[0] = (uint8_t)(crc >> 8);
  crc_bytes[1] = (uint8_t)(crc & 0xFFu);
  tx.end = end;
  tx.used = 0;
  tx_raw(&tx, KPE_FLAG);
  tx_escaped(&tx, header, sizeof header);
  tx_escaped(&tx, end->response, payload);
  tx_escaped(&tx, crc_bytes, sizeof crc_bytes);
  tx_raw(&tx, KPE_FLAG);
  tx_flush(&tx);
}
