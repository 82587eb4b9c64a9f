// Input records and input batches (both protocols).
//
// A record is u16 record length (n + 3), u8 0x08, then the n report bytes
// (9-byte keyboard and 5-byte mouse reports). A batch is a header (8 bytes in
// protocol 1, 16 in protocol 2) followed by records back to back, numbered by
// the sender and acknowledged by the device with the same number.
//
// All functions are pure over caller-owned buffers and may be called from any
// thread. The walker never reads outside the payload it is given.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/wire_defs.h"

// Writes one record; returns n + 3, or -1 when cap is too small or n + 3
// exceeds 65535.
int input_record_build(uint8_t *out, size_t cap, const uint8_t *report, size_t n);

// Protocol-1 batch header: 80 00, u32 batch number, u16 record bytes.
void p1_write_batch_header(uint8_t out[8], uint32_t batch, uint16_t record_bytes);
// Protocol-2 batch header: "RHVK", 2, type 3, bytes 6-9 zero, u32 batch number,
// u16 record bytes.
void p2_write_batch_header(uint8_t out[16], uint32_t batch, uint16_t record_bytes);

// The copy of a protocol-2 batch (header and records, len bytes) to send as
// resend number resend_count: on an odd count the type byte gets bit 7 and
// the record bytes are inverted; on an even count (and 0) the copy is
// unchanged. The batch itself is never modified. Returns len, or -1 when len
// is below 16 or exceeds cap.
int p2_batch_resend_copy(uint8_t *out, size_t cap, const uint8_t *batch, size_t len, unsigned resend_count);

// Device side: walks the records of a batch payload; start with *pos = 0.
// Returns 1 with the report bytes of the next record (pointing into p), 0 when
// the payload has been walked to its end, -1 for a malformed record: length
// below 3, running past the payload, or a type byte other than 0x08 (the rest
// of the batch cannot be trusted then).
int input_next_record(const uint8_t *p, size_t len, size_t *pos, const uint8_t **report, size_t *n);
