/* Base64: bytes to text and back, with the library allocating the result or into the caller's
 * buffer. Allocated results belong to the caller, who frees them with csys_memory_free; decoding
 * skips line breaks and blanks but needs the padded form. For files and streams, see the
 * `pmtsys base64` command, which works through fixed blocks. */
#include <stdio.h>
#include <string.h>

#include "pmtsys.h"

int main(void) {
  static const char kMessage[] = "Many hands make light work.";
  char* text = NULL;
  uint8_t* bytes = NULL;
  uint32_t length = 0;
  char fixed[16];
  uint8_t decoded[8];
  uint32_t capacity = sizeof decoded;
  int ok;

  /* Allocated by the library: encode, then decode what came out. */
  csys_status status =
      csec_base64_encode((uint32_t)strlen(kMessage), (const uint8_t*)kMessage, &text);
  if (!CSYS_FAILED(status)) status = csec_base64_decode(text, &length, &bytes);
  if (CSYS_FAILED(status)) return 1;
  printf("%s\n%.*s\n", text, (int)length, (const char*)bytes);
  ok = length == strlen(kMessage) && memcmp(bytes, kMessage, length) == 0;
  csys_memory_free(&text);
  csys_memory_free(&bytes);

  /* Into the caller's buffers: the text needs room for its NUL; decoding reports the length. */
  status = csec_base64_encodeToDest(3, (const uint8_t*)"Man", sizeof fixed, fixed);
  if (!CSYS_FAILED(status)) status = csec_base64_decodeToDest("TW\r\nFu", &capacity, decoded);
  printf("%s, %u bytes back\n", fixed, capacity);

  /* Malformed text is a status, not a crash: unpadded, or outside the alphabet. */
  length = 0;
  printf("unpadded: 0x%08x, outside the alphabet: 0x%08x\n",
         (unsigned)csec_base64_decode("TWE", &length, &bytes),
         (unsigned)csec_base64_decode("TW-u", &length, &bytes));
  return ok && !CSYS_FAILED(status) && capacity == 3 ? 0 : 1;
}
