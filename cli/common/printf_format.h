// Marks a function that takes a printf format and its arguments, so that
// the compiler checks each call (a message of the table is a constant it
// can read): CONVERT3DO_PRINTF(FORMAT_INDEX, FIRST_ARGUMENT_INDEX).
#ifndef CONVERT3DO_CLI_COMMON_PRINTF_FORMAT_H
#define CONVERT3DO_CLI_COMMON_PRINTF_FORMAT_H

#if defined(__MINGW32__)
#define CONVERT3DO_PRINTF(at, from) __attribute__((__format__(gnu_printf, at, from)))
#elif defined(__GNUC__)
#define CONVERT3DO_PRINTF(at, from) __attribute__((__format__(__printf__, at, from)))
#else
#define CONVERT3DO_PRINTF(at, from)
#endif

#endif  // CONVERT3DO_CLI_COMMON_PRINTF_FORMAT_H
