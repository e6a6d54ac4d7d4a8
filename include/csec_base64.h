/* Base64 with the standard alphabet and "=" padding. Encoding writes one unbroken, padded,
 * NUL-terminated line; decoding skips TAB, LF, CR and SPACE anywhere and requires the padded
 * form. The allocating flavours hand out blocks the caller frees with csys_memory_free. */
#ifndef CSEC_BASE64_H
#define CSEC_BASE64_H

#include "csys_status.h"

CSYS_EXTERN_C_BEGIN

/* *out receives the text, or null for length 0. */
CSYS_API csys_status csec_base64_encode(uint32_t length, const uint8_t* bytes, char** out);
/* capacity must hold the text and its NUL: (length / 3) * 4 + 1, plus 4 if length % 3 != 0. */
CSYS_API csys_status csec_base64_encodeToDest(uint32_t length, const uint8_t* bytes,
                                              uint32_t capacity, char* dest);
/* *out receives exactly *length bytes, or null and 0 for a text without data. */
CSYS_API csys_status csec_base64_decode(const char* text, uint32_t* length, uint8_t** out);
/* *length: the destination's capacity in, the decoded length out (unchanged on failure). */
CSYS_API csys_status csec_base64_decodeToDest(const char* text, uint32_t* length, uint8_t* dest);

CSYS_EXTERN_C_END

#endif /* CSEC_BASE64_H */
