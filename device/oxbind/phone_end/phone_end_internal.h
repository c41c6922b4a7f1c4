/* Shared between the files of the phone's end; not for the firmware. */
#ifndef KESTREL_DEVICE_OXBIND_PHONE_END_INTERNAL_H
#define KESTREL_DEVICE_OXBIND_PHONE_END_INTERNAL_H

#include "device/oxbind/phone_end/phone_end.h"

#define KPE_FLAG 0x7Eu
#define KPE_ESCAPE 0x7Du
#define KPE_ESCAPE_XOR 0x20u
#define KPE_TYPE_REQUEST 0x00u
#define KPE_TYPE_RESPONSE 0x01u

/* One complete, checked request (its payload still in end->body). */
void kpe__handle_request(kpe_end* end, uint8_t sequence, uint16_t command, const uint8_t* payload,
                         size_t size);
/* Frames end->response[0 .. response_size) as the response to (sequence, command) and sends
 * it in pieces. */
void kpe__send_response(kpe_end* end, uint8_t sequence, uint16_t command);

/* Identity records: the request's items checked and parsed (KPE_OK or KPE_ERR_BAD_REQUEST),
 * and the response record built from the phone's identities. */
int32_t kpe__parse_record(const uint8_t record[KPE_NV_RECORD_BYTES], kpe_identities* ids);
void kpe__build_record(uint32_t wanted, const kpe_identities* ids,
                       uint8_t record[KPE_NV_RECORD_BYTES]);

uint16_t kpe__get_u16(const uint8_t* p);
uint32_t kpe__get_u32(const uint8_t* p);
void kpe__put_u16(uint8_t* p, uint16_t v);
void kpe__put_u32(uint8_t* p, uint32_t v);

#endif /* KESTREL_DEVICE_OXBIND_PHONE_END_INTERNAL_H */
