/* stream_convert: converts a 3do model from standard input to standard
 * output with the streaming interface of libconvert3do, reading the input in
 * pieces of at most PIECE bytes and feeding each to the converter as it
 * arrives.
 *
 *   usage: stream_convert PIECE < IN > OUT
 *
 * Standard output must be a seekable file: the header, with the final
 * length field, is written at offset 0 at the end. Exit status: 0 converted,
 * 4 damaged (the output keeps every complete chunk), 7 not a 3do file (the
 * output is empty), 2 bad arguments, 3 a read or write failed.
 *
 * Build it against an installed libconvert3do:
 *   cc stream_convert.c $(pkg-config --cflags --libs convert3do) -o stream_convert
 */
#define _POSIX_C_SOURCE 200809L

#include <convert3do.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

/* Writes all of bytes[0, count) to fd; 0 on success. */
static int write_all(int fd, const unsigned char* bytes, size_t count) {
  while (count > 0) {
    ssize_t put = write(fd, bytes, count);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return -1;
    }
    bytes += put;
    count -= (size_t)put;
  }
  return 0;
}

static int fail(const char* what) {
  fprintf(stderr, "stream_convert: %s: %s\n", what, strerror(errno));
  return 3;
}

int main(int argc, char** argv) {
  char* end = NULL;
  unsigned long piece = argc == 2 ? strtoul(argv[1], &end, 10) : 0;
  if (argc != 2 || *end != '\0' || piece == 0 || piece > (1ul << 30)) {
    fprintf(stderr, "usage: stream_convert PIECE < IN > OUT\n");
    return 2;
  }
  unsigned char* input = malloc(piece);
  unsigned char output[64 * 1024];
  convert3do_converter* converter = convert3do_converter_new();
  if (input == NULL || converter == NULL) {
    return fail("cannot allocate");
  }
  off_t start = -1; /* where the output began, once the first bytes are due */
  convert3do_status status = CONVERT3DO_MORE;
  while (status == CONVERT3DO_MORE) {
    ssize_t got = read(0, input, piece);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      fail("standard input");
      convert3do_converter_fail(converter);
      break;
    }
    const unsigned char* next = input;
    size_t left = (size_t)got;
    do { /* until the converter has taken the whole piece */
      unsigned char* out = output;
      size_t room = sizeof output;
      status = convert3do_convert(converter, &next, &left, &out, &room, got == 0);
      size_t made = (size_t)(out - output);
      if (made > 0 && start < 0 && (start = lseek(1, 0, SEEK_CUR)) < 0) {
        return fail("standard output must be a seekable file");
      }
      if (write_all(1, output, made) != 0) {
        return fail("standard output");
      }
    } while (status == CONVERT3DO_MORE && left > 0);
  }

  unsigned char header[12];
  convert3do_result result;
  convert3do_status outcome = convert3do_converter_end(converter, header, &result);
  convert3do_converter_free(converter);
  free(input);
  if (result.output_length > 0) {
    /* Cut what a damaged chunk left past the output's end, then put the
     * header over the placeholder. */
    if (ftruncate(1, start + result.output_length) != 0 || lseek(1, start, SEEK_SET) != start ||
        write_all(1, header, sizeof header) != 0) {
      return fail("standard output");
    }
  }
  if (outcome == CONVERT3DO_NOT_3DO) {
    return 7;
  }
  if (convert3do_is_damage(outcome)) {
    fprintf(stderr, "stream_convert: %s\n", convert3do_describe(outcome));
    return 4;
  }
  return outcome == CONVERT3DO_CONVERTED ? 0 : 3;
}
