/* What the browser build adds to the core: the chunks a survey meets, kept
 * in a buffer the page reads after each piece as JSON in the library's words
 * (a callback into JavaScript would be an import, and the module imports
 * nothing), and a conversion's result as a float64 array, so the page needs
 * no knowledge of C layout. Every int64 the core reports is below 2^53, so a
 * double holds it exactly. */
#include <stddef.h>
#include <stdint.h>

#include "convert3do.h"

#define CHUNKS 2048 /* more than a 16 KiB piece can hold */

static convert3do_chunk chunks[CHUNKS];
static int chunkCount;

static void keepChunk(void* context, const convert3do_chunk* chunk) {
  (void)context;
  if (chunkCount < CHUNKS) {
    chunks[chunkCount++] = *chunk;
  }
}

extern unsigned char __heap_base;

/* Where the memory the page may use begins. */
__attribute__((visibility("default"))) size_t web_heap_base(void) {
  return (size_t)&__heap_base;
}

__attribute__((visibility("default"))) convert3do_survey* web_survey_init(void* memory,
                                                                          size_t size) {
  chunkCount = 0;
  return convert3do_survey_init(memory, size, keepChunk, NULL);
}

/* Writes the chunks kept since the last call into out (size bytes) as the
 * JSON array `3do info --json` lists them in, in the library's words, and
 * returns its length; when that is size or more nothing was written and the
 * chunks are kept, for a call with more room. */
__attribute__((visibility("default"))) size_t web_chunks_json(char* out, size_t size) {
  size_t length = 2; /* the brackets */
  for (int i = 0; i < chunkCount; ++i) {
    length += convert3do_chunk_json(&chunks[i], NULL, 0) + (i > 0 ? 1 : 0);
  }
  if (length >= size) {
    return length;
  }
  size_t at = 0;
  out[at++] = '[';
  for (int i = 0; i < chunkCount; ++i) {
    if (i > 0) {
      out[at++] = ',';
    }
    at += convert3do_chunk_json(&chunks[i], out + at, size - at);
  }
  out[at++] = ']';
  out[at] = '\0';
  chunkCount = 0;
  return length;
}

/* Writes the XYZS chunks kept since the last call as pairs of numbers, where
 * each starts and where it ends, and forgets every chunk kept; ranges less
 * than near bytes apart come as one. Returns how many pairs. The page's
 * downloads copy only these bytes: the conversion keeps the others as they
 * are. */
__attribute__((visibility("default"))) int web_take_xyzs(double* out, double near) {
  int pairs = 0;
  for (int i = 0; i < chunkCount; ++i) {
    const convert3do_chunk* c = &chunks[i];
    if (c->tag != 0x58595A53u) {
      continue;
    }
    const double start = (double)c->offset;
    const double end = (double)(c->offset + c->size);
    if (pairs > 0 && start - out[2 * pairs - 1] < near) {
      out[2 * pairs - 1] = end;
    } else {
      out[2 * pairs] = start;
      out[2 * pairs + 1] = end;
      ++pairs;
    }
  }
  chunkCount = 0;
  return pairs;
}

/* Where the XYZS chunk the walk is in starts and ends: 1, or 0 when the walk
 * is in no XYZS chunk. */
__attribute__((visibility("default"))) int web_current_xyzs(const convert3do_survey* survey,
                                                            double* out) {
  convert3do_chunk c;
  if (!convert3do_survey_current(survey, &c) || c.tag != 0x58595A53u) {
    return 0;
  }
  out[0] = (double)c.offset;
  out[1] = (double)(c.offset + c.size);
  return 1;
}

/* A conversion's result, in the order of convert3do_result's fields. */
__attribute__((visibility("default"))) void web_result_numbers(const convert3do_result* r,
                                                               double* out) {
  out[0] = r->outcome;
  out[1] = (double)r->output_length;
  out[2] = (double)r->chunk_bytes;
  out[3] = (double)r->input_end;
  out[4] = (double)r->damage_offset;
  out[5] = (double)r->damage_chunk;
  out[6] = r->damage_payload_length;
  out[7] = (double)r->damage_area_end;
}
