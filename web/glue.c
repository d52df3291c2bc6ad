/* What the browser build adds to the core: the chunks a survey meets, kept
 * in a buffer the page reads after each piece (a callback into JavaScript
 * would be an import, and the module imports nothing), and the library's
 * structures as float64 arrays, so the page needs no knowledge of C layout.
 * Every int64 the core reports is below 2^53, so a double holds it exactly. */
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

/* Writes the chunks kept since the last call, 7 numbers each (offset, tag,
 * chunk word, payload length, size, entries, entries to change), and
 * returns how many there were. */
__attribute__((visibility("default"))) int web_take_chunks(double* out) {
  for (int i = 0; i < chunkCount; ++i) {
    const convert3do_chunk* c = &chunks[i];
    double* o = out + 7 * i;
    o[0] = (double)c->offset;
    o[1] = (double)c->tag;
    o[2] = (double)c->chunk_word;
    o[3] = (double)c->payload_length;
    o[4] = (double)c->size;
    o[5] = (double)c->entries;
    o[6] = (double)c->entries_to_change;
  }
  const int taken = chunkCount;
  chunkCount = 0;
  return taken;
}

/* The survey's findings, in the order of convert3do_info's fields. */
__attribute__((visibility("default"))) void web_info_numbers(const convert3do_info* info,
                                                             double* out) {
  const double numbers[] = {(double)info->size,
                            info->is_3do,
                            info->header_complete,
                            info->header_word,
                            info->length_field,
                            (double)info->chunk_count,
                            (double)info->chunk_bytes,
                            info->walk_end,
                            (double)info->overrun,
                            (double)info->end_offset,
                            info->end_tag,
                            (double)info->damage_offset,
                            (double)info->damage_chunk,
                            info->damage_payload_length,
                            (double)info->damage_area_end,
                            info->outcome,
                            (double)info->output_size,
                            (double)info->words_changed,
                            (double)info->bytes_dropped,
                            info->already_converted};
  for (size_t i = 0; i < sizeof numbers / sizeof numbers[0]; ++i) {
    out[i] = numbers[i];
  }
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
