/* convert3do: converting and surveying chunked 3do model files, in memory.
 *
 * A 3do file is a 12-byte header (the magic "3DO4", one opaque word, and the
 * length field: the bytes of the chunk area) followed by chunks, each a
 * 12-byte header (tag, opaque word, payload length) and its payload. The
 * conversion copies the file with the first word of every XYZS entry set to
 * 1, ends the copy at the first unrecognised chunk or where the length field
 * ends the chunk area, and sets the length field to the chunk bytes copied.
 * Damaged input (cut short, or a chunk too large to state) still gives a
 * well-formed file of every complete chunk.
 *
 * The library does no I/O, keeps no global state and allocates nothing but
 * in convert3do_converter_new and convert3do_survey_new: every buffer is the
 * caller's. Converters and surveys are independent of each other, so any
 * number may run at once in as many threads; one converter or survey must
 * not be used by two threads at once (lock it, or give each thread its own).
 * A handle that was never started, or was freed or overwritten, is refused
 * with BAD_ARGUMENT where the call can tell (each carries a check word, as
 * zlib's streams do), never trusted.
 *
 * Three ways in:
 *   - convert3do_convert_buffer: a whole file in memory, converted in one
 *     call (in place if you like: the output is never longer than the input);
 *   - convert3do_convert: streaming, with input in pieces of any size and
 *     output into buffers you own, for files larger than memory;
 *   - convert3do_survey_*: what `3do info` reports, per file and per chunk.
 *
 * All sizes and offsets are bytes; offsets count from the input's first byte.
 * A length is at most INT64_MAX (offsets are int64_t): a larger one is
 * BAD_ARGUMENT.
 * The header is valid C (C99 and later) and C++.
 */
#ifndef CONVERT3DO_H
#define CONVERT3DO_H

#include <stddef.h>
#include <stdint.h>

#define CONVERT3DO_VERSION_MAJOR 1
#define CONVERT3DO_VERSION_MINOR 2
#define CONVERT3DO_VERSION_PATCH 0
#define CONVERT3DO_VERSION_STRING "1.2.0"
/* MAJOR * 10000 + MINOR * 100 + PATCH, for comparisons in the preprocessor. */
#define CONVERT3DO_VERSION_NUMBER 10200

#if defined(_WIN32) && defined(CONVERT3DO_SHARED)
#ifdef CONVERT3DO_BUILDING
#define CONVERT3DO_API __declspec(dllexport)
#else
#define CONVERT3DO_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define CONVERT3DO_API __attribute__((visibility("default")))
#else
#define CONVERT3DO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The version of the library linked, as CONVERT3DO_VERSION_STRING and as
 * CONVERT3DO_VERSION_NUMBER; compare them with the header's to catch a
 * mismatch. */
CONVERT3DO_API const char* convert3do_version(void);
CONVERT3DO_API unsigned long convert3do_version_number(void);

/* What a call or a conversion came to, in three kinds:
 *   - outcomes of a conversion (0 to 5), which convert3do_is_outcome tells;
 *   - how a call of a walk went (6, 7, 11): go on, ended, stopped;
 *   - errors of the caller (8 to 10), which change nothing: the call can be
 *     made again, rightly. */
typedef enum convert3do_status {
  CONVERT3DO_CONVERTED = 0,       /* a 3do file, converted whole */
  CONVERT3DO_NOT_3DO = 1,         /* no magic: nothing is written */
  CONVERT3DO_CUT_HEADER = 2,      /* the input ends inside the file header: nothing is written */
  CONVERT3DO_CUT_CHUNK = 3,       /* the input ends inside a chunk: the complete chunks are kept */
  CONVERT3DO_CHUNK_TOO_LARGE = 4, /* a chunk would take the chunk area past what the length
                                     field can state: the chunks before it are kept */
  CONVERT3DO_READ_FAILED = 5,     /* the caller could not read on (convert3do_converter_fail) */
  CONVERT3DO_MORE = 6,            /* the walk goes on: call again with more input */
  CONVERT3DO_ENDED = 7,           /* the walk has ended: read no more input, call ..._end */
  CONVERT3DO_BAD_ARGUMENT = 8,    /* a null pointer, or a value out of range */
  CONVERT3DO_TOO_LITTLE_ROOM = 9, /* less output room than the call needs (1.2) */
  CONVERT3DO_OUT_OF_TURN = 10,    /* a call the state does not allow: more input after at_end,
                                     or an end before the walk has ended (1.2) */
  CONVERT3DO_STOPPED = 11         /* a survey's chunk function stopped the walk (1.2) */
} convert3do_status;

/* A sentence that says what a status means, in English; never NULL, for any
 * value ("unknown status" for one the library does not have). */
CONVERT3DO_API const char* convert3do_describe(int status);

/* A status's name: its constant's, after CONVERT3DO_, in lower case
 * ("cut_chunk"), as `3do info --json`, the Python package and the page's
 * module name it; NULL for a value the library does not have, so that the
 * names of all are those of 0, 1, ... up to the first NULL. (1.2) */
CONVERT3DO_API const char* convert3do_status_name(int status);

/* Whether a status is an outcome of a conversion (CONVERTED to READ_FAILED),
 * and whether one of damaged input (CUT_HEADER to READ_FAILED). */
CONVERT3DO_API int convert3do_is_outcome(int status);
CONVERT3DO_API int convert3do_is_damage(convert3do_status status);

/* What a conversion did. Every field is set for every outcome, and none
 * depends on the pieces the input came in. */
typedef struct convert3do_result {
  convert3do_status outcome; /* CONVERTED to READ_FAILED */
  int64_t output_length;     /* the output's bytes, header included; 0: no output */
  int64_t chunk_bytes;       /* the chunk bytes kept: the output's length field */
  int64_t input_end;         /* the input bytes the walk used: to the end of the last chunk
                                kept (and the tag word of an unrecognised chunk, or the header
                                of a chunk too large, that ends it); the magic, or what there
                                is of it, of a file that is not a 3do file; all of damaged
                                input */
  /* For damaged input (CUT_HEADER to READ_FAILED); 0 for any other outcome: */
  int64_t damage_offset;         /* where the input ends, or where the chunk too large starts */
  int64_t damage_chunk;          /* the chunk the damage is in (0: the file header) */
  int32_t damage_payload_length; /* for CHUNK_TOO_LARGE: that chunk's payload length */
  int64_t damage_area_end;       /* ... and the chunk area it would make */
} convert3do_result;

/* Whether the library linked lays out the structures a caller passes
 * (convert3do_result, convert3do_info, convert3do_chunk) as this header
 * does, and is of this header's major version: 1 when it does, 0 when it
 * does not and no call that passes one may be made. Call it once as
 * CONVERT3DO_ABI_MATCHES(), as zlib's inflateInit checks the size of its
 * stream. */
CONVERT3DO_API int convert3do_abi_matches(unsigned long version, size_t result_size,
                                          size_t info_size, size_t chunk_size);
#define CONVERT3DO_ABI_MATCHES()                                               \
  convert3do_abi_matches(CONVERT3DO_VERSION_NUMBER, sizeof(convert3do_result), \
                         sizeof(struct convert3do_info), sizeof(struct convert3do_chunk))

/* ---- One call: a whole file in memory ------------------------------------
 *
 * Converts in[0, in_length) into out, which has room for out_capacity >=
 * in_length bytes; out may be in itself (in place) but must not otherwise
 * overlap it. The output is out[0, result->output_length), and into another
 * buffer no other byte of out is written, at a cost in proportion to the
 * output. Returns the outcome (CONVERTED to CHUNK_TOO_LARGE), BAD_ARGUMENT
 * (a null pointer, overlapping buffers) or TOO_LITTLE_ROOM. */
CONVERT3DO_API convert3do_status convert3do_convert_buffer(const unsigned char* in,
                                                           size_t in_length, unsigned char* out,
                                                           size_t out_capacity,
                                                           convert3do_result* result);

/* ---- Streaming ------------------------------------------------------------
 *
 * A converter takes the input in pieces of any size, as they arrive, and
 * writes the output into the caller's buffers. The output's first 12 bytes
 * are a placeholder (zeros): the file header, with the final length field, is
 * known only at the end and is handed back by convert3do_converter_end, to be
 * written at the output's offset 0 (a seekable output) or placed before the
 * rest (a caller that holds the output).
 *
 * On damaged input the output streamed may run past result.output_length
 * (the start of a chunk the input cuts short): a caller cuts it there. */
typedef struct convert3do_converter convert3do_converter;

/* The memory a converter takes: a few hundred bytes, aligned as for int64_t. */
CONVERT3DO_API size_t convert3do_converter_size(void);

/* Starts a converter in memory of the caller's (size bytes, at least
 * convert3do_converter_size(), aligned as for int64_t); NULL when it is not.
 * Nothing needs freeing: the memory is the caller's again when done. Also
 * starts an ended converter over, for the next file. */
CONVERT3DO_API convert3do_converter* convert3do_converter_init(void* memory, size_t size);

/* The same on the heap; NULL when out of memory. Free with ..._free. */
CONVERT3DO_API convert3do_converter* convert3do_converter_new(void);
CONVERT3DO_API void convert3do_converter_free(convert3do_converter* converter);

/* The least output room a call needs; also as a function, for bindings. */
#define CONVERT3DO_MIN_OUTPUT 32
CONVERT3DO_API size_t convert3do_min_output(void);

/* Converts what it can of the input at *in (*in_length bytes) into the room
 * at *out (*out_room bytes, at least CONVERT3DO_MIN_OUTPUT; it must not
 * overlap the input), and moves both past what it took and wrote: only the
 * bytes written, no others of the room, at a cost in proportion to them.
 * at_end says that no input follows these bytes; once a call has said so,
 * every later call must too (as liblzma's LZMA_FINISH). Input it takes but
 * cannot walk yet (less than 16 bytes) it keeps until the next call.
 * Returns:
 *   MORE             all the input was taken, or the output room ran out:
 *                    call again with more input, or with the rest and more
 *                    room;
 *   ENDED            the walk has ended: read no more, call ..._end;
 *   BAD_ARGUMENT     a null pointer;
 *   TOO_LITTLE_ROOM  less room than CONVERT3DO_MIN_OUTPUT;
 *   OUT_OF_TURN      at_end clear after a call that set it. */
CONVERT3DO_API convert3do_status convert3do_convert(convert3do_converter* converter,
                                                    const unsigned char** in, size_t* in_length,
                                                    unsigned char** out, size_t* out_room,
                                                    int at_end);

/* The input could not be read on: the conversion ends, keeping the complete
 * chunks, with the outcome READ_FAILED. */
CONVERT3DO_API void convert3do_converter_fail(convert3do_converter* converter);

/* After ENDED: fills in the result and, when result->output_length is not 0,
 * the output's 12-byte header. Returns the outcome, BAD_ARGUMENT, or
 * OUT_OF_TURN when the walk has not ended. */
CONVERT3DO_API convert3do_status convert3do_converter_end(const convert3do_converter* converter,
                                                          unsigned char header[12],
                                                          convert3do_result* result);

/* ---- The survey: what `3do info` reports ---------------------------------- */

/* Why the walk ended. */
typedef enum convert3do_walk_end {
  CONVERT3DO_END_BOUND = 0,        /* the chunks walked reached the length field */
  CONVERT3DO_END_UNRECOGNISED = 1, /* a chunk with a tag that is not recognised */
  CONVERT3DO_END_OF_INPUT = 2,     /* the input ended at a chunk boundary before the bound */
  CONVERT3DO_END_DAMAGED = 3,      /* cut short, a chunk too large, or a read error */
  CONVERT3DO_END_NOT_3DO = 4,      /* the input does not start with the magic */
  CONVERT3DO_END_STOPPED = 5       /* its chunk function stopped the survey (1.2) */
} convert3do_walk_end;

/* A chunk the walk keeps. The tag is the word as stored: its four
 * characters, first to last, are bits 24-31, 16-23, 8-15 and 0-7. */
typedef struct convert3do_chunk {
  int64_t offset; /* of its header */
  uint32_t tag;
  int32_t chunk_word; /* the opaque second word */
  int32_t payload_length;
  int64_t size;              /* the bytes it takes, header included */
  int64_t entries;           /* XYZS entries; 0 for other tags */
  int64_t entries_to_change; /* XYZS entries whose first word is not 1 yet */
} convert3do_chunk;

/* Called for every chunk the walk keeps, in order. It may stop the survey
 * there with convert3do_survey_stop. */
typedef void (*convert3do_chunk_fn)(void* context, const convert3do_chunk* chunk);

/* What the survey found: the fields of one line of `3do info --json`. */
typedef struct convert3do_info {
  int64_t size;        /* the input's bytes, or -1 when not known (convert3do_survey_end) */
  int is_3do;          /* it starts with the magic */
  int header_complete; /* and holds a whole file header */
  int32_t header_word; /* the header's opaque word */
  int32_t length_field;
  int64_t chunk_count; /* the chunks the walk keeps */
  int64_t chunk_bytes; /* and their bytes: the converted length field */
  convert3do_walk_end walk_end;
  int64_t overrun;       /* BOUND: how far the last chunk runs past the length field */
  int64_t end_offset;    /* UNRECOGNISED: where that chunk starts */
  uint32_t end_tag;      /* ... and its tag */
  int64_t damage_offset; /* DAMAGED: as in convert3do_result */
  int64_t damage_chunk;
  int32_t damage_payload_length;
  int64_t damage_area_end;
  convert3do_status outcome; /* what a conversion comes to */
  int64_t output_size;       /* the bytes it writes */
  int64_t words_changed;     /* the words in which output and input differ */
  int64_t bytes_dropped;     /* size - output_size; -1 when the size is not known */
  int already_converted;     /* a conversion would change nothing (never when the size is
                                not known) */
} convert3do_info;

/* Surveys a whole file in memory; visit (which may be NULL) is called for
 * each chunk. Returns the outcome a conversion comes to, or BAD_ARGUMENT. */
CONVERT3DO_API convert3do_status convert3do_survey_buffer(const unsigned char* bytes, size_t length,
                                                          convert3do_chunk_fn visit, void* context,
                                                          convert3do_info* info);

/* A survey in pieces, as the converter: memory of the caller's or the heap. */
typedef struct convert3do_survey convert3do_survey;
CONVERT3DO_API size_t convert3do_survey_size(void);
CONVERT3DO_API convert3do_survey* convert3do_survey_init(void* memory, size_t size,
                                                         convert3do_chunk_fn visit, void* context);
CONVERT3DO_API convert3do_survey* convert3do_survey_new(convert3do_chunk_fn visit, void* context);
CONVERT3DO_API void convert3do_survey_free(convert3do_survey* survey);

/* Takes length more bytes of the input; at_end says no input follows, and
 * once it has, every later call must say it too. Returns MORE, ENDED (read
 * no more, call ..._end), STOPPED (the chunk function stopped it),
 * BAD_ARGUMENT or OUT_OF_TURN. */
CONVERT3DO_API convert3do_status convert3do_survey_feed(convert3do_survey* survey,
                                                        const unsigned char* bytes, size_t length,
                                                        int at_end);

/* The opaque payload bytes the survey will pass over next without looking at
 * them: a caller reading a seekable file may seek over up to this many and
 * tell the survey with convert3do_survey_skip, rather than read them. */
CONVERT3DO_API int64_t convert3do_survey_skippable(const convert3do_survey* survey);
CONVERT3DO_API convert3do_status convert3do_survey_skip(convert3do_survey* survey, int64_t count);

/* The chunk the walk is in: one whose header it has read but not all of
 * its payload. Returns 1 and fills in *chunk (its entries so far), or 0
 * between chunks. A caller that holds the bytes of a piece only while it
 * walks it learns here what the bytes after the last chunk handed out
 * belong to. (1.2) */
CONVERT3DO_API int convert3do_survey_current(const convert3do_survey* survey,
                                             convert3do_chunk* chunk);

/* Called by the survey's chunk function (or between calls): the walk ends
 * after the chunk being handed out, and the survey is STOPPED; ..._end then
 * fills in what it found so far, with walk_end END_STOPPED. (1.2) */
CONVERT3DO_API void convert3do_survey_stop(convert3do_survey* survey);

/* After ENDED or STOPPED: fills in info. size is the input's size where the
 * caller knows it (a file, or a stream read to its end; no less than the
 * bytes the survey was given or skipped), or -1 when it does not (a stream
 * not read past the walk's end): the size and the bytes dropped are then -1,
 * and the file is not said to be converted already, as no survey can tell
 * what follows the walk's end. Returns the outcome (STOPPED for a stopped
 * survey), BAD_ARGUMENT (a size less than the bytes given) or OUT_OF_TURN
 * (the walk has not ended). A size below -1 is BAD_ARGUMENT. */
CONVERT3DO_API convert3do_status convert3do_survey_end(const convert3do_survey* survey,
                                                       int64_t size, convert3do_info* info);

/* ---- In words: what `3do info` says ----------------------------------------
 *
 * The texts the programs, the page and the Python package show, made here
 * once. Each writes into buffer (size bytes, the NUL included; size may be
 * 0) and returns the length of the whole text, as snprintf does: a return of
 * size or more means it was cut. */

/* The exit status convert3do gives an outcome: 0 for CONVERTED and NOT_3DO,
 * 4 for damaged input, 2 for a status that is no outcome. */
CONVERT3DO_API int convert3do_exit_status(convert3do_status outcome);

/* A tag as its four characters, or as 0x and eight hex digits when one of
 * them is not printable ASCII: 11 bytes at most, and the NUL. */
CONVERT3DO_API size_t convert3do_tag_text(uint32_t tag, char* buffer, size_t size);

/* The damage a survey found, as both programs say it ("cut at byte 28,
 * inside the chunk at byte 12", ...); empty for a file that is not damaged.
 * A read that failed is "cannot read at byte N": a caller that knows why
 * adds it. */
CONVERT3DO_API size_t convert3do_damage_text(const convert3do_info* info, char* buffer,
                                             size_t size);
/* The same for a conversion's result. */
CONVERT3DO_API size_t convert3do_result_damage_text(const convert3do_result* result, char* buffer,
                                                    size_t size);

/* Where and why the walk ended, as `3do info` says it ("the length bound
 * (268), which the last chunk runs 3 bytes past", "an unrecognised tag,
 * LGHT, at byte 280", "damage: cut at byte 28, ...", ...): the text of
 * "walk_end_text" in `3do info --json`. A read that failed is said as in
 * convert3do_damage_text. */
CONVERT3DO_API size_t convert3do_walk_end_text(const convert3do_info* info, char* buffer,
                                               size_t size);

/* One chunk as `3do info --json` lists it: {"offset":12,"tag":"HAND",...}. */
CONVERT3DO_API size_t convert3do_chunk_json(const convert3do_chunk* chunk, char* buffer,
                                            size_t size);

/* The object `3do info --json` prints for a file, minus "file":
 * {"chunks":[...],"size":170,...,"exit_status":0}, with the count chunks
 * given (chunks may be NULL when count is 0). A size not known is null, as
 * are the bytes dropped. */
CONVERT3DO_API size_t convert3do_info_json(const convert3do_info* info,
                                           const convert3do_chunk* chunks, size_t count,
                                           char* buffer, size_t size);

/* Its members after "chunks", without braces ("size":170,...,"exit_status":0),
 * for a caller that writes the chunks as they come. */
CONVERT3DO_API size_t convert3do_info_json_members(const convert3do_info* info, char* buffer,
                                                   size_t size);

#ifdef __cplusplus
}
#endif

#endif /* CONVERT3DO_H */
