// The library's statuses, one row each: the name, what the status means, and
// the exit status convert3do gives it. Every program, the Python package and
// the page's module take these from here.
#include <algorithm>
#include <iterator>

#include "convert/convert3do.h"

namespace {

// What a status is: an outcome of a conversion, one of damaged input (an
// outcome too), or the answer to a call.
enum class Kind { Outcome, Damage, Call };

struct StatusRow {
  convert3do_status status;
  const char* name;
  Kind kind;
  int exitStatus;  // convert3do's: 2, a usage error, for a status that is no outcome
  const char* sentence;
};

constexpr StatusRow kStatuses[] = {
    {CONVERT3DO_CONVERTED, "converted", Kind::Outcome, 0, "converted"},
    {CONVERT3DO_NOT_3DO, "not_3do", Kind::Outcome, 0,
     "not a 3do file: it does not start with the magic 3DO4"},
    {CONVERT3DO_CUT_HEADER, "cut_header", Kind::Damage, 4,
     "damaged: the input ends inside the 12-byte file header"},
    {CONVERT3DO_CUT_CHUNK, "cut_chunk", Kind::Damage, 4,
     "damaged: the input ends inside a chunk; the complete chunks are kept"},
    {CONVERT3DO_CHUNK_TOO_LARGE, "chunk_too_large", Kind::Damage, 4,
     "damaged: a chunk would take the chunk area past what the length field can state; "
     "the chunks before it are kept"},
    {CONVERT3DO_READ_FAILED, "read_failed", Kind::Damage, 4,
     "damaged: the input could not be read on; the complete chunks are kept"},
    {CONVERT3DO_MORE, "more", Kind::Call, 2, "the walk goes on: more input is wanted"},
    {CONVERT3DO_ENDED, "ended", Kind::Call, 2, "the walk has ended: no more input is wanted"},
    {CONVERT3DO_BAD_ARGUMENT, "bad_argument", Kind::Call, 2,
     "bad argument: a null pointer, or a value out of range"},
    {CONVERT3DO_TOO_LITTLE_ROOM, "too_little_room", Kind::Call, 2,
     "too little room: the call needs more output room"},
    {CONVERT3DO_OUT_OF_TURN, "out_of_turn", Kind::Call, 2,
     "a call out of turn: more input after the end was said, or an end before the walk has "
     "ended"},
    {CONVERT3DO_STOPPED, "stopped", Kind::Call, 2,
     "stopped: the survey's chunk function stopped the walk"},
};

// The row of a status; null for a value the library does not have.
const StatusRow* rowOf(int status) {
  const StatusRow* row =
      std::find_if(std::begin(kStatuses), std::end(kStatuses),
                   [status](const StatusRow& r) { return static_cast<int>(r.status) == status; });
  return row != std::end(kStatuses) ? row : nullptr;
}

}  // namespace

extern "C" {

const char* convert3do_describe(int status) {
  const StatusRow* row = rowOf(status);
  return row != nullptr ? row->sentence : "unknown status";
}

const char* convert3do_status_name(int status) {
  const StatusRow* row = rowOf(status);
  return row != nullptr ? row->name : nullptr;
}

int convert3do_exit_status(convert3do_status outcome) {
  const StatusRow* row = rowOf(outcome);
  return row != nullptr ? row->exitStatus : 2;
}

int convert3do_is_outcome(int status) {
  const StatusRow* row = rowOf(status);
  return row != nullptr && row->kind != Kind::Call ? 1 : 0;
}

int convert3do_is_damage(convert3do_status status) {
  const StatusRow* row = rowOf(status);
  return row != nullptr && row->kind == Kind::Damage ? 1 : 0;
}

}  // extern "C"
