// convert3do._core: the library compiled into the Python package, as zlib
// and lzma are. Inputs are read through the buffer protocol without a copy
// (a non-contiguous one is copied once), outputs are written once into the
// bytes object returned or into the caller's buffer, and the GIL is let go
// while the library walks a whole buffer or a large piece. A Converter or a
// Survey takes one call at a time: a second thread waits for the first.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "convert/convert3do.h"
#include "format/chunk.h"

namespace {

// Below this, a call keeps the GIL: letting it go costs more than the walk.
constexpr Py_ssize_t kReleaseFrom = Py_ssize_t{64} * 1024;

// Runs walk, a call of the library, letting the GIL go for it when it walks
// kReleaseFrom bytes or more (and release says it may).
template <class Walk>
convert3do_status walked(Py_ssize_t length, Walk walk, bool release = true) {
  if (!release || length < kReleaseFrom) {
    return walk();
  }
  convert3do_status status;
  Py_BEGIN_ALLOW_THREADS status = walk();
  Py_END_ALLOW_THREADS return status;
}

// ---- Buffers ---------------------------------------------------------------

// An input's bytes: a view of a contiguous buffer, or a copy of another.
struct Input {
  Py_buffer view{};
  bool held = false;
  unsigned char* copy = nullptr;
  const unsigned char* bytes = nullptr;
  Py_ssize_t length = 0;

  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input() {
    if (held) {
      PyBuffer_Release(&view);
    }
    PyMem_Free(copy);
  }

  // False with TypeError (not bytes-like) or MemoryError set.
  bool take(PyObject* data, const char* name) {
    if (PyUnicode_Check(data)) {
      PyErr_Format(PyExc_TypeError, "%s must be bytes-like, not str", name);
      return false;
    }
    if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) == 0) {
      held = true;
      bytes = static_cast<const unsigned char*>(view.buf);
      length = view.len;
      return true;
    }
    PyErr_Clear();
    if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) != 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "%s must be bytes-like, not %.100s", name,
                   Py_TYPE(data)->tp_name);
      return false;
    }
    held = true;
    length = view.len;
    copy = static_cast<unsigned char*>(PyMem_Malloc(length > 0 ? length : 1));
    if (copy == nullptr || PyBuffer_ToContiguous(copy, &view, length, 'C') != 0) {
      if (PyErr_Occurred() == nullptr) {
        PyErr_NoMemory();
      }
      return false;
    }
    bytes = copy;
    return true;
  }
};

// ---- Results ---------------------------------------------------------------

// The library's text for a result's damage, or None.
PyObject* damageText(const convert3do_result& r) {
  if (convert3do_is_damage(r.outcome) == 0) {
    Py_RETURN_NONE;
  }
  char text[512];
  const std::size_t length = convert3do_result_damage_text(&r, text, sizeof text);
  return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::min(length, sizeof text - 1)),
                              "replace");
}

// (outcome, output_length, chunk_bytes, input_end, damage_offset,
// damage_chunk, damage_payload_length, damage_area_end, damage, exit_status)
PyObject* resultTuple(const convert3do_result& r) {
  PyObject* damage = damageText(r);
  if (damage == nullptr) {
    return nullptr;
  }
  return Py_BuildValue(
      "(iLLLLLiLNi)", static_cast<int>(r.outcome), static_cast<long long>(r.output_length),
      static_cast<long long>(r.chunk_bytes), static_cast<long long>(r.input_end),
      static_cast<long long>(r.damage_offset), static_cast<long long>(r.damage_chunk),
      static_cast<int>(r.damage_payload_length), static_cast<long long>(r.damage_area_end), damage,
      convert3do_exit_status(r.outcome));
}

PyObject* usageError = nullptr;  // convert3do.UsageError, set by the package

// A call the library refused: the package's UsageError (a ValueError).
PyObject* refused(convert3do_status status, const char* what) {
  PyObject* error = usageError != nullptr ? usageError : PyExc_ValueError;
  PyObject* arguments = Py_BuildValue("(is)", static_cast<int>(status), what);
  if (arguments != nullptr) {
    PyErr_SetObject(error, arguments);
    Py_DECREF(arguments);
  }
  return nullptr;
}

// ---- Chunks kept by a survey -------------------------------------------

// The chunks a survey met, in memory of its own (PyMem_Raw*: grown while
// the GIL is let go).
struct Chunks {
  convert3do_chunk* items = nullptr;
  std::size_t count = 0;
  std::size_t room = 0;
  bool failed = false;  // out of memory: the survey stops

  void clear() {
    PyMem_RawFree(items);
    items = nullptr;
    count = room = 0;
    failed = false;
  }

  // Called without the GIL: PyMem_Raw* only.
  void add(const convert3do_chunk& chunk) {
    if (count == room) {
      const std::size_t more = room == 0 ? 256 : room * 2;
      void* grown = PyMem_RawRealloc(items, more * sizeof(convert3do_chunk));
      if (grown == nullptr) {
        failed = true;
        return;
      }
      items = static_cast<convert3do_chunk*>(grown);
      room = more;
    }
    items[count++] = chunk;
  }
};

// The JSON of `3do info --json` (minus "file"), as bytes: with the chunks
// given, or the summary alone (chunks null).
PyObject* infoJson(const convert3do_info& info, const Chunks* chunks) {
  const std::size_t count = chunks != nullptr ? chunks->count : 0;
  const convert3do_chunk* items = chunks != nullptr ? chunks->items : nullptr;
  std::size_t length = chunks != nullptr ? convert3do_info_json(&info, items, count, nullptr, 0)
                                         : convert3do_info_json_members(&info, nullptr, 0) + 2;
  PyObject* json = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length + 1));
  if (json == nullptr) {
    return nullptr;
  }
  char* text = PyBytes_AS_STRING(json);
  if (chunks != nullptr) {
    (void)convert3do_info_json(&info, items, count, text, length + 1);
  } else {
    text[0] = '{';
    (void)convert3do_info_json_members(&info, text + 1, length - 1);
    text[length - 1] = '}';
  }
  if (_PyBytes_Resize(&json, static_cast<Py_ssize_t>(length)) != 0) {
    return nullptr;
  }
  return json;
}

// ---- Chunks as Python objects ---------------------------------------------
//
// Each chunk's dict has the members of the library's JSON for it, in its
// order: the names are learned from convert3do_chunk_json at import, on two
// sample chunks (an XYZS chunk and another), each field known by the sample
// value it was given. Building the dicts here costs a fraction of parsing
// the JSON of millions of chunks.

enum Field : unsigned char {
  kOffset,
  kTag,
  kChunkWord,
  kPayloadLength,
  kSize,
  kEntries,
  kEntriesToChange,
  kFields
};

struct Member {
  PyObject* name;  // interned
  Field field;
};

struct Layout {
  Member members[kFields];
  int count;
};

Layout xyzsLayout{};   // of an XYZS chunk
Layout otherLayout{};  // of any other

constexpr std::int64_t kSampleBase = 1000;  // a field's sample value: base + its number

// Learns the layout from the JSON the library writes for sample.
bool learnLayout(const convert3do_chunk& sample, Layout* layout) {
  char text[512];
  const std::size_t length = convert3do_chunk_json(&sample, text, sizeof text);
  if (length >= sizeof text) {
    return false;
  }
  layout->count = 0;
  const char* at = text;
  while ((at = std::strchr(at, '"')) != nullptr && layout->count < kFields) {
    const char* name = at + 1;
    const char* nameEnd = std::strchr(name, '"');
    if (nameEnd == nullptr || nameEnd[1] != ':') {
      return false;
    }
    const char* value = nameEnd + 2;
    Field field = kTag;
    if (*value != '"') {
      const long long number = std::strtoll(value, nullptr, 10) - kSampleBase;
      if (number < 0 || number >= kFields || number == kTag) {
        return false;
      }
      field = static_cast<Field>(number);
    }
    PyObject* key = PyUnicode_FromStringAndSize(name, nameEnd - name);
    if (key == nullptr) {
      return false;
    }
    PyUnicode_InternInPlace(&key);
    layout->members[layout->count++] = Member{key, field};
    at = *value == '"' ? std::strchr(value + 1, '"') + 1 : value;
  }
  return true;
}

bool learnLayouts() {
  convert3do_chunk sample{kSampleBase + kOffset,         0,
                          kSampleBase + kChunkWord,      kSampleBase + kPayloadLength,
                          kSampleBase + kSize,           kSampleBase + kEntries,
                          kSampleBase + kEntriesToChange};
  sample.tag = static_cast<std::uint32_t>(convert3do::ChunkTag::Xyzs);
  if (!learnLayout(sample, &xyzsLayout)) {
    return false;
  }
  sample.tag = static_cast<std::uint32_t>(convert3do::ChunkTag::Hand);
  return learnLayout(sample, &otherLayout);
}

// The texts of the tags met, by tag: few are met in a file.
struct TagTexts {
  std::uint32_t tags[16];
  PyObject* texts[16];
  int count = 0;

  TagTexts() = default;
  TagTexts(const TagTexts&) = delete;
  TagTexts& operator=(const TagTexts&) = delete;
  ~TagTexts() {
    for (int i = 0; i < count; ++i) {
      Py_DECREF(texts[i]);
    }
  }

  // A new reference.
  PyObject* of(std::uint32_t tag) {
    for (int i = 0; i < count; ++i) {
      if (tags[i] == tag) {
        Py_INCREF(texts[i]);
        return texts[i];
      }
    }
    char text[16];
    const std::size_t length = convert3do_tag_text(tag, text, sizeof text);
    PyObject* made = PyUnicode_DecodeUTF8(
        text, static_cast<Py_ssize_t>(std::min(length, sizeof text - 1)), "replace");
    if (made != nullptr && count < 16) {
      tags[count] = tag;
      texts[count++] = made;
      Py_INCREF(made);
    }
    return made;
  }
};

PyObject* chunkObject(const convert3do_chunk& c, TagTexts& tags) {
  const Layout& layout =
      c.tag == static_cast<std::uint32_t>(convert3do::ChunkTag::Xyzs) ? xyzsLayout : otherLayout;
  PyObject* dict = PyDict_New();
  for (int i = 0; dict != nullptr && i < layout.count; ++i) {
    const Member& m = layout.members[i];
    PyObject* value = nullptr;
    switch (m.field) {
      case kTag:
        value = tags.of(c.tag);
        break;
      case kOffset:
        value = PyLong_FromLongLong(c.offset);
        break;
      case kChunkWord:
        value = PyLong_FromLong(c.chunk_word);
        break;
      case kPayloadLength:
        value = PyLong_FromLong(c.payload_length);
        break;
      case kSize:
        value = PyLong_FromLongLong(c.size);
        break;
      case kEntries:
        value = PyLong_FromLongLong(c.entries);
        break;
      default:
        value = PyLong_FromLongLong(c.entries_to_change);
        break;
    }
    if (value == nullptr || PyDict_SetItem(dict, m.name, value) != 0) {
      Py_CLEAR(dict);
    }
    Py_XDECREF(value);
  }
  return dict;
}

// (the chunks' dicts, the JSON of the other members of `3do info --json`).
PyObject* infoObjects(const convert3do_info& info, const Chunks& chunks) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(chunks.count));
  if (list == nullptr) {
    return nullptr;
  }
  TagTexts tags;
  for (std::size_t i = 0; i < chunks.count; ++i) {
    PyObject* chunk = chunkObject(chunks.items[i], tags);
    if (chunk == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), chunk);
  }
  PyObject* members = infoJson(info, nullptr);
  if (members == nullptr) {
    Py_DECREF(list);
    return nullptr;
  }
  return Py_BuildValue("(NN)", list, members);
}

void keepChunk(void* context, const convert3do_chunk* chunk) {
  static_cast<Chunks*>(context)->add(*chunk);
}

// ---- A lock per object, as lzma's compressors have -------------------

struct Lock {
  PyThread_type_lock lock = nullptr;
  unsigned long owner = 0;  // the thread in a call, to refuse re-entry
};

// Takes the object's lock, letting the GIL go while another thread has it;
// false with RuntimeError set when this thread has it already (a chunk
// function that calls back into its survey).
bool acquire(Lock& l) {
  if (PyThread_acquire_lock(l.lock, 0) == 0) {
    if (l.owner == PyThread_get_thread_ident()) {
      PyErr_SetString(PyExc_RuntimeError,
                      "convert3do: a survey's chunk function cannot call the survey");
      return false;
    }
    Py_BEGIN_ALLOW_THREADS PyThread_acquire_lock(l.lock, 1);
    Py_END_ALLOW_THREADS
  }
  l.owner = PyThread_get_thread_ident();
  return true;
}

void release(Lock& l) {
  l.owner = 0;
  PyThread_release_lock(l.lock);
}

// Holds an object's lock for a scope.
class Locked {
 public:
  explicit Locked(Lock& l) : lock_(l), held_(acquire(l)) {}
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  ~Locked() {
    if (held_) {
      release(lock_);
    }
  }
  bool held() const { return held_; }

 private:
  Lock& lock_;
  bool held_;
};

PyObject* closedError(const char* what) {
  PyErr_Format(PyExc_ValueError, "convert3do: the %s is closed", what);
  return nullptr;
}

PyObject* endedError(const char* what) {
  PyErr_Format(PyExc_EOFError, "convert3do: the %s has ended: it takes no more input", what);
  return nullptr;
}

// ---- Module functions --------------------------------------------------

PyObject* convertBuffer(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"data", "out", nullptr};
  PyObject* data = nullptr;
  PyObject* out = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:convert", const_cast<char**>(names), &data,
                                   &out)) {
    return nullptr;
  }
  Input in;
  if (!in.take(data, "data")) {
    return nullptr;
  }
  convert3do_result result{};
  convert3do_status status;
  if (out == Py_None) {
    PyObject* output = PyBytes_FromStringAndSize(nullptr, in.length);
    if (output == nullptr) {
      return nullptr;
    }
    auto* to = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(output));
    const auto length = static_cast<std::size_t>(in.length);
    status = walked(in.length, [&] {
      return convert3do_convert_buffer(in.bytes, length, to, length, &result);
    });
    if (convert3do_is_outcome(status) == 0) {
      Py_DECREF(output);
      return refused(status, convert3do_describe(status));
    }
    if (_PyBytes_Resize(&output, static_cast<Py_ssize_t>(result.output_length)) != 0) {
      return nullptr;
    }
    return Py_BuildValue("(NN)", output, resultTuple(result));
  }
  Py_buffer target{};
  if (PyObject_GetBuffer(out, &target, PyBUF_WRITABLE) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "out must be a writable contiguous buffer, not %.100s",
                 Py_TYPE(out)->tp_name);
    return nullptr;
  }
  if (target.len < in.length) {
    PyErr_Format(PyExc_ValueError,
                 "out has room for %zd bytes; the conversion of %zd bytes may need all of them",
                 target.len, in.length);
    PyBuffer_Release(&target);
    return nullptr;
  }
  auto* to = static_cast<unsigned char*>(target.buf);
  const auto length = static_cast<std::size_t>(in.length);
  const auto room = static_cast<std::size_t>(target.len);
  status = walked(in.length,
                  [&] { return convert3do_convert_buffer(in.bytes, length, to, room, &result); });
  PyBuffer_Release(&target);
  if (convert3do_is_outcome(status) == 0) {
    return refused(status, status == CONVERT3DO_BAD_ARGUMENT
                               ? "out overlaps data without being the same buffer"
                               : convert3do_describe(status));
  }
  return Py_BuildValue("(ON)", Py_None, resultTuple(result));
}

PyObject* surveyBuffer(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"data", "chunks", nullptr};
  PyObject* data = nullptr;
  int withChunks = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:info", const_cast<char**>(names), &data,
                                   &withChunks)) {
    return nullptr;
  }
  Input in;
  if (!in.take(data, "data")) {
    return nullptr;
  }
  struct Kept {
    Chunks chunks;
    Kept() = default;
    Kept(const Kept&) = delete;
    Kept& operator=(const Kept&) = delete;
    ~Kept() { chunks.clear(); }
  } kept;
  convert3do_info info{};
  const auto length = static_cast<std::size_t>(in.length);
  Py_BEGIN_ALLOW_THREADS(void) convert3do_survey_buffer(
      in.bytes, length, withChunks != 0 ? keepChunk : nullptr, &kept.chunks, &info);
  Py_END_ALLOW_THREADS if (kept.chunks.failed) {
    return PyErr_NoMemory();
  }
  return withChunks != 0 ? infoObjects(info, kept.chunks) : infoJson(info, nullptr);
}

PyObject* statusNames(PyObject*, PyObject*) {
  PyObject* names = PyList_New(0);
  for (int status = 0; names != nullptr; ++status) {
    const char* name = convert3do_status_name(status);
    if (name == nullptr) {
      break;
    }
    PyObject* text = PyUnicode_FromString(name);
    if (text == nullptr || PyList_Append(names, text) != 0) {
      Py_XDECREF(text);
      Py_CLEAR(names);
      break;
    }
    Py_DECREF(text);
  }
  if (names == nullptr) {
    return nullptr;
  }
  PyObject* tuple = PyList_AsTuple(names);
  Py_DECREF(names);
  return tuple;
}

PyObject* describe(PyObject*, PyObject* arg) {
  const long status = PyLong_AsLong(arg);
  if (status == -1 && PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  return PyUnicode_FromString(convert3do_describe(static_cast<int>(status)));
}

PyObject* exitStatus(PyObject*, PyObject* arg) {
  const long status = PyLong_AsLong(arg);
  if (status == -1 && PyErr_Occurred() != nullptr) {
    return nullptr;
  }
  return PyLong_FromLong(convert3do_exit_status(static_cast<convert3do_status>(status)));
}

PyObject* version(PyObject*, PyObject*) {
  return PyUnicode_FromString(convert3do_version());
}

PyObject* setUsageError(PyObject*, PyObject* error) {
  Py_XINCREF(error);
  Py_XSETREF(usageError, error);
  Py_RETURN_NONE;
}

// ---- What a Converter and a Survey share -----------------------------------
//
// Each holds a library handle, takes one call at a time, and knows where its
// input stands: open or closed, taking input, given its last piece
// (at_end), or ended (end() called).

struct StreamObject;
using CloseHandle = void (*)(StreamObject*);

struct StreamObject {
  PyObject_HEAD void* handle;  // null once closed
  CloseHandle closeHandle;
  Lock lock;
  bool finishing;  // given at_end: no more input
  bool ended;      // end() was called
  convert3do_status status;
};

// Starts the stream's state (again, for __init__); false with MemoryError.
bool startStream(StreamObject* s, CloseHandle close) {
  if (s->lock.lock == nullptr && (s->lock.lock = PyThread_allocate_lock()) == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  s->closeHandle = close;
  s->finishing = s->ended = false;
  s->status = CONVERT3DO_MORE;
  return true;
}

void freeStream(StreamObject* s) {
  if (s->handle != nullptr) {
    s->closeHandle(s);
  }
  if (s->lock.lock != nullptr) {
    PyThread_free_lock(s->lock.lock);
    s->lock.lock = nullptr;
  }
}

// A call's turn: the lock held and the stream open and not ended; a push's
// also still taking input (its at_end is recorded). ok() is false with the
// exception set.
class Turn {
 public:
  Turn(StreamObject* s, const char* what, bool push = false, int atEnd = 0) : locked_(s->lock) {
    if (!locked_.held()) {
      return;
    }
    if (s->handle == nullptr) {
      (void)closedError(what);
    } else if (s->ended || (push && s->finishing)) {
      (void)endedError(what);
    } else {
      s->finishing = s->finishing || atEnd != 0;
      ok_ = true;
    }
  }
  bool ok() const { return ok_; }

 private:
  Locked locked_;
  bool ok_ = false;
};

// push(data, at_end=False)'s arguments: false with the exception set.
bool pieceArguments(PyObject* args, PyObject* kwargs, Input& in, int* atEnd) {
  static const char* names[] = {"data", "at_end", nullptr};
  PyObject* data = nullptr;
  return PyArg_ParseTupleAndKeywords(args, kwargs, "O|p:push", const_cast<char**>(names), &data,
                                     atEnd) != 0 &&
         in.take(data, "data");
}

// The last push, of nothing, that an end() makes when the walk still wants
// input: push's result, or None when none is needed.
PyObject* lastPush(PyObject* self, PyCFunctionWithKeywords push) {
  auto* s = reinterpret_cast<StreamObject*>(self);
  if (s->status != CONVERT3DO_MORE || s->ended || s->handle == nullptr || s->finishing) {
    Py_RETURN_NONE;
  }
  PyObject* args = Py_BuildValue("(y#O)", "", Py_ssize_t{0}, Py_True);
  if (args == nullptr) {
    return nullptr;
  }
  PyObject* pushed = push(self, args, nullptr);
  Py_DECREF(args);
  return pushed;
}

PyObject* closeMethod(PyObject* self, PyObject*) {
  auto* s = reinterpret_cast<StreamObject*>(self);
  const Locked locked(s->lock);
  if (!locked.held()) {
    return nullptr;
  }
  if (s->handle != nullptr) {
    s->closeHandle(s);
  }
  Py_RETURN_NONE;
}

PyObject* enterMethod(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* exitMethod(PyObject* self, PyObject*) {
  PyObject* done = closeMethod(self, nullptr);
  if (done == nullptr) {
    return nullptr;
  }
  Py_DECREF(done);
  Py_RETURN_FALSE;
}

PyObject* wantedGetter(PyObject* self, void*) {
  const auto* s = reinterpret_cast<StreamObject*>(self);
  return PyBool_FromLong(s->handle != nullptr && !s->ended && s->status == CONVERT3DO_MORE ? 1 : 0);
}

PyObject* closedGetter(PyObject* self, void*) {
  return PyBool_FromLong(reinterpret_cast<StreamObject*>(self)->handle == nullptr ? 1 : 0);
}

PyGetSetDef streamGetters[] = {
    {"wanted", wantedGetter, nullptr, "Whether the walk wants more input.", nullptr},
    {"closed", closedGetter, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class F>
PyCFunction method(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---- Converter -------------------------------------------------------------

using ConverterObject = StreamObject;

convert3do_converter* converterOf(StreamObject* s) {
  return static_cast<convert3do_converter*>(s->handle);
}

void closeConverter(StreamObject* s) {
  convert3do_converter_free(converterOf(s));
  s->handle = nullptr;
}

int converterInit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {nullptr};
  if (PyArg_ParseTupleAndKeywords(args, kwargs, ":Converter", const_cast<char**>(names)) == 0) {
    return -1;
  }
  auto* c = reinterpret_cast<ConverterObject*>(self);
  if (!startStream(c, closeConverter)) {
    return -1;
  }
  if (c->handle == nullptr && (c->handle = convert3do_converter_new()) == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  convert3do_converter_init(c->handle, convert3do_converter_size());
  return 0;
}

void converterDealloc(PyObject* self) {
  freeStream(reinterpret_cast<StreamObject*>(self));
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Converts the walk's next input into output (grown when short, which a
// piece with a carried rest never is); the bytes made, or -1 with the
// exception set.
Py_ssize_t convertPiece(ConverterObject* c, const Input& in, int atEnd, PyObject** output) {
  const unsigned char* next = in.bytes;
  auto left = static_cast<std::size_t>(in.length);
  Py_ssize_t room = PyBytes_GET_SIZE(*output);
  Py_ssize_t made = 0;
  for (;;) {
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(*output)) + made;
    const auto free = static_cast<std::size_t>(room - made);
    std::size_t leftRoom = free;
    const convert3do_status status = walked(in.length, [&] {
      return convert3do_convert(converterOf(c), &next, &left, &out, &leftRoom, atEnd);
    });
    if (status != CONVERT3DO_MORE && status != CONVERT3DO_ENDED) {
      (void)refused(status, convert3do_describe(status));
      return -1;
    }
    c->status = status;
    made += static_cast<Py_ssize_t>(free - leftRoom);
    if (status != CONVERT3DO_MORE || left == 0) {
      return made;
    }
    room += Py_ssize_t{2} * CONVERT3DO_MIN_OUTPUT + static_cast<Py_ssize_t>(left);
    if (_PyBytes_Resize(output, room) != 0) {
      return -1;
    }
  }
}

// Converts the piece; the output it makes, in one bytes object.
PyObject* converterPush(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* c = reinterpret_cast<ConverterObject*>(self);
  Input in;
  int atEnd = 0;
  if (!pieceArguments(args, kwargs, in, &atEnd)) {
    return nullptr;
  }
  const Turn turn(c, "Converter", true, atEnd);
  if (!turn.ok()) {
    return nullptr;
  }
  if (c->status != CONVERT3DO_MORE) {
    return PyBytes_FromStringAndSize(nullptr, 0);  // the walk ended: the rest is not output
  }
  // Room for the piece and a carried rest: one call walks it all.
  PyObject* output =
      PyBytes_FromStringAndSize(nullptr, in.length + Py_ssize_t{2} * CONVERT3DO_MIN_OUTPUT);
  if (output == nullptr) {
    return nullptr;
  }
  const Py_ssize_t made = convertPiece(c, in, atEnd, &output);
  if (made < 0 || _PyBytes_Resize(&output, made) != 0) {
    Py_XDECREF(output);
    return nullptr;
  }
  return output;
}

// (the output's last bytes, the header, the result): the input ends here.
PyObject* converterEnd(PyObject* self, PyObject*) {
  auto* c = reinterpret_cast<ConverterObject*>(self);
  PyObject* tail = lastPush(self, converterPush);
  if (tail == nullptr) {
    return nullptr;
  }
  if (tail == Py_None) {
    Py_DECREF(tail);
    tail = PyBytes_FromStringAndSize(nullptr, 0);
  }
  const Turn turn(c, "Converter");
  if (!turn.ok() || tail == nullptr) {
    Py_XDECREF(tail);
    return nullptr;
  }
  unsigned char header[12];
  convert3do_result result{};
  const convert3do_status status = convert3do_converter_end(converterOf(c), header, &result);
  if (convert3do_is_outcome(status) == 0) {
    Py_DECREF(tail);
    return refused(status, convert3do_describe(status));
  }
  c->ended = true;
  return Py_BuildValue("(Ny#N)", tail, reinterpret_cast<const char*>(header),
                       static_cast<Py_ssize_t>(result.output_length > 0 ? 12 : 0),
                       resultTuple(result));
}

PyMethodDef converterMethods[] = {
    {"push", method(converterPush), METH_VARARGS | METH_KEYWORDS,
     "push(data, at_end=False) -> bytes: takes the next piece; the output it makes."},
    {"_end", converterEnd, METH_NOARGS, "(tail, header, result)"},
    {"close", closeMethod, METH_NOARGS, "Frees the converter; later calls raise."},
    {"__enter__", enterMethod, METH_NOARGS, nullptr},
    {"__exit__", exitMethod, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot converterSlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(converterInit)},
    {Py_tp_dealloc, reinterpret_cast<void*>(converterDealloc)},
    {Py_tp_methods, converterMethods},
    {Py_tp_getset, streamGetters},
    {Py_tp_doc, const_cast<char*>("A conversion of input given in pieces (the library's).")},
    {0, nullptr},
};

PyType_Spec converterSpec = {"convert3do._core.Converter", sizeof(ConverterObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, converterSlots};

// ---- Survey ----------------------------------------------------------------

struct SurveyObject {
  StreamObject stream;  // first: a SurveyObject is a StreamObject
  Chunks chunks;        // kept for end(), when keep
  bool keep;            // unless on_chunk or chunks=False
  PyObject* onChunk;    // called with each chunk's JSON (bytes)
  // What on_chunk raised, for the caller of push.
  PyObject* raisedType;
  PyObject* raisedValue;
  PyObject* raisedTrace;
  long long given;  // the bytes pushed
};

convert3do_survey* surveyOf(SurveyObject* s) {
  return static_cast<convert3do_survey*>(s->stream.handle);
}

void closeSurvey(StreamObject* stream) {
  auto* s = reinterpret_cast<SurveyObject*>(stream);
  convert3do_survey_free(surveyOf(s));
  stream->handle = nullptr;
  s->chunks.clear();
}

void handChunk(void* context, const convert3do_chunk* chunk) {
  auto* s = static_cast<SurveyObject*>(context);
  if (s->raisedType != nullptr) {
    return;
  }
  char text[512];
  const std::size_t length = convert3do_chunk_json(chunk, text, sizeof text);
  PyObject* called = PyObject_CallFunction(s->onChunk, "y#", text, static_cast<Py_ssize_t>(length));
  if (called == nullptr) {
    PyErr_Fetch(&s->raisedType, &s->raisedValue, &s->raisedTrace);
    convert3do_survey_stop(surveyOf(s));
    return;
  }
  Py_DECREF(called);
}

int surveyInit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"on_chunk", "chunks", nullptr};
  PyObject* onChunk = Py_None;
  int keep = 1;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "|Op:Survey", const_cast<char**>(names), &onChunk,
                                  &keep) == 0) {
    return -1;
  }
  if (onChunk != Py_None && PyCallable_Check(onChunk) == 0) {
    PyErr_SetString(PyExc_TypeError, "on_chunk must be callable");
    return -1;
  }
  auto* s = reinterpret_cast<SurveyObject*>(self);
  if (!startStream(&s->stream, closeSurvey)) {
    return -1;
  }
  Py_XINCREF(onChunk == Py_None ? nullptr : onChunk);
  Py_XSETREF(s->onChunk, onChunk == Py_None ? nullptr : onChunk);
  if (s->stream.handle != nullptr) {
    closeSurvey(&s->stream);
  }
  s->keep = keep != 0 && s->onChunk == nullptr;
  s->stream.handle = s->onChunk != nullptr ? convert3do_survey_new(handChunk, s)
                     : s->keep             ? convert3do_survey_new(keepChunk, &s->chunks)
                                           : convert3do_survey_new(nullptr, nullptr);
  if (s->stream.handle == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  s->given = 0;
  return 0;
}

int surveyTraverse(PyObject* self, visitproc visit, void* arg) {
  auto* s = reinterpret_cast<SurveyObject*>(self);
  Py_VISIT(s->onChunk);
  Py_VISIT(s->raisedType);
  Py_VISIT(s->raisedValue);
  Py_VISIT(s->raisedTrace);
  Py_VISIT(Py_TYPE(self));
  return 0;
}

int surveyClear(PyObject* self) {
  auto* s = reinterpret_cast<SurveyObject*>(self);
  Py_CLEAR(s->onChunk);
  Py_CLEAR(s->raisedType);
  Py_CLEAR(s->raisedValue);
  Py_CLEAR(s->raisedTrace);
  return 0;
}

void surveyDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  freeStream(reinterpret_cast<StreamObject*>(self));
  (void)surveyClear(self);
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// Walks the piece; whether more input is wanted.
PyObject* surveyPush(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* s = reinterpret_cast<SurveyObject*>(self);
  Input in;
  int atEnd = 0;
  if (!pieceArguments(args, kwargs, in, &atEnd)) {
    return nullptr;
  }
  const Turn turn(&s->stream, "Survey", true, atEnd);
  if (!turn.ok()) {
    return nullptr;
  }
  s->given += in.length;
  if (s->stream.status != CONVERT3DO_MORE) {
    Py_RETURN_FALSE;
  }
  const auto length = static_cast<std::size_t>(in.length);
  // A chunk function is Python's: the GIL stays for it.
  const convert3do_status status = walked(
      in.length, [&] { return convert3do_survey_feed(surveyOf(s), in.bytes, length, atEnd); },
      s->onChunk == nullptr);
  if (s->raisedType != nullptr) {
    s->stream.status = CONVERT3DO_STOPPED;
    PyErr_Restore(s->raisedType, s->raisedValue, s->raisedTrace);
    s->raisedType = s->raisedValue = s->raisedTrace = nullptr;
    return nullptr;
  }
  if (s->chunks.failed) {
    return PyErr_NoMemory();
  }
  if (status != CONVERT3DO_MORE && status != CONVERT3DO_ENDED && status != CONVERT3DO_STOPPED) {
    return refused(status, convert3do_describe(status));
  }
  s->stream.status = status;
  return PyBool_FromLong(status == CONVERT3DO_MORE ? 1 : 0);
}

// The size end() was given: -1 when not known, the bytes pushed for None;
// false with the exception set.
bool sizeArgument(PyObject* args, PyObject* kwargs, long long given, long long* size) {
  static const char* names[] = {"size", nullptr};
  PyObject* sizeObject = Py_None;
  if (PyArg_ParseTupleAndKeywords(args, kwargs, "|O:end", const_cast<char**>(names), &sizeObject) ==
      0) {
    return false;
  }
  if (sizeObject == Py_None) {
    *size = given;
    return true;
  }
  if (!PyLong_Check(sizeObject)) {
    PyErr_Format(PyExc_TypeError, "size must be an int or None, not %.100s",
                 Py_TYPE(sizeObject)->tp_name);
    return false;
  }
  *size = PyLong_AsLongLong(sizeObject);
  return *size != -1 || PyErr_Occurred() == nullptr;
}

// What `3do info --json` says: its JSON (bytes), or with the chunks kept,
// (their dicts, the JSON of the rest).
PyObject* surveyEnd(PyObject* self, PyObject* args, PyObject* kwargs) {
  auto* s = reinterpret_cast<SurveyObject*>(self);
  long long size = -1;
  PyObject* pushed = lastPush(self, surveyPush);
  if (pushed == nullptr) {
    return nullptr;
  }
  Py_DECREF(pushed);
  const Turn turn(&s->stream, "Survey");
  if (!turn.ok() || !sizeArgument(args, kwargs, s->given, &size)) {
    return nullptr;
  }
  convert3do_info info{};
  const convert3do_status status = convert3do_survey_end(surveyOf(s), size, &info);
  if (convert3do_is_outcome(status) == 0 && status != CONVERT3DO_STOPPED) {
    return refused(status, status == CONVERT3DO_BAD_ARGUMENT
                               ? "size is less than the bytes given, or below -1"
                               : convert3do_describe(status));
  }
  s->stream.ended = true;
  return s->keep ? infoObjects(info, s->chunks) : infoJson(info, nullptr);
}

PyMethodDef surveyMethods[] = {
    {"push", method(surveyPush), METH_VARARGS | METH_KEYWORDS,
     "push(data, at_end=False) -> bool: takes the next piece; whether more is wanted."},
    {"_end", method(surveyEnd), METH_VARARGS | METH_KEYWORDS,
     "_end(size=None): what 3do info --json says."},
    {"close", closeMethod, METH_NOARGS, "Frees the survey; later calls raise."},
    {"__enter__", enterMethod, METH_NOARGS, nullptr},
    {"__exit__", exitMethod, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot surveySlots[] = {
    {Py_tp_init, reinterpret_cast<void*>(surveyInit)},
    {Py_tp_dealloc, reinterpret_cast<void*>(surveyDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(surveyTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(surveyClear)},
    {Py_tp_methods, surveyMethods},
    {Py_tp_getset, streamGetters},
    {Py_tp_doc, const_cast<char*>("A survey of input given in pieces (the library's).")},
    {0, nullptr},
};

PyType_Spec surveySpec = {"convert3do._core.Survey", sizeof(SurveyObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
                          surveySlots};

// ---- The module ------------------------------------------------------------

PyMethodDef moduleMethods[] = {
    {"convert", method(convertBuffer), METH_VARARGS | METH_KEYWORDS,
     "convert(data, out=None) -> (output or None, result)"},
    {"info", method(surveyBuffer), METH_VARARGS | METH_KEYWORDS,
     "info(data, chunks=True) -> bytes: 3do info --json's object"},
    {"status_names", statusNames, METH_NOARGS, "The library's status names, by number."},
    {"describe", describe, METH_O, "The library's sentence for a status."},
    {"exit_status", exitStatus, METH_O, "convert3do's exit status for an outcome."},
    {"version", version, METH_NOARGS, "The library's version."},
    {"_set_usage_error", setUsageError, METH_O, "The exception class refusals raise."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef moduleDef = {PyModuleDef_HEAD_INIT,
                         "convert3do._core",
                         "The convert3do library, compiled into the package.",
                         -1,
                         moduleMethods,
                         nullptr,
                         nullptr,
                         nullptr,
                         nullptr};

bool addType(PyObject* module, PyType_Spec* typeSpec, const char* name) {
  PyObject* type = PyType_FromSpec(typeSpec);
  if (type == nullptr) {
    return false;
  }
  const int added = PyModule_AddObject(module, name, type);
  if (added != 0) {
    Py_DECREF(type);
  }
  return added == 0;
}

}  // namespace

// The name Python looks for, reserved or not.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
PyMODINIT_FUNC PyInit__core(void) {
  if (CONVERT3DO_ABI_MATCHES() == 0 || !learnLayouts()) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_ImportError, "convert3do: the library does not match its header");
    }
    return nullptr;
  }
  PyObject* module = PyModule_Create(&moduleDef);
  if (module == nullptr) {
    return nullptr;
  }
  if (!addType(module, &converterSpec, "Converter") || !addType(module, &surveySpec, "Survey") ||
      PyModule_AddStringConstant(module, "VERSION", CONVERT3DO_VERSION_STRING) != 0 ||
      PyModule_AddIntConstant(module, "VERSION_NUMBER", CONVERT3DO_VERSION_NUMBER) != 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
