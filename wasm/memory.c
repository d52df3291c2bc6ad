/* The memory functions the core's compiled code may call, for a target with
 * no C library (wasm32 built with -nostdlib). Byte loops are enough: the
 * core copies little outside the caller's own buffers. */
#include <stddef.h>

void* memcpy(void* to, const void* from, size_t count) {
  unsigned char* t = to;
  const unsigned char* f = from;
  while (count-- > 0) {
    *t++ = *f++;
  }
  return to;
}

void* memmove(void* to, const void* from, size_t count) {
  unsigned char* t = to;
  const unsigned char* f = from;
  if (t < f) {
    while (count-- > 0) {
      *t++ = *f++;
    }
  } else {
    t += count;
    f += count;
    while (count-- > 0) {
      *--t = *--f;
    }
  }
  return to;
}

void* memset(void* to, int value, size_t count) {
  unsigned char* t = to;
  while (count-- > 0) {
    *t++ = (unsigned char)value;
  }
  return to;
}
