// The converter and the survey on the heap: the library's only allocations,
// kept apart so that a build without a C library leaves them out.
#include <cstdlib>
#include <cstring>

#include "convert/convert3do.h"

extern "C" {

convert3do_converter* convert3do_converter_new(void) {
  void* memory = std::malloc(convert3do_converter_size());
  convert3do_converter* converter = convert3do_converter_init(memory, convert3do_converter_size());
  if (converter == nullptr) {
    std::free(memory);
  }
  return converter;
}

// The memory is cleared first, its check word with it: a freed handle used
// again is refused (where the memory was not reused in between).
void convert3do_converter_free(convert3do_converter* converter) {
  if (converter != nullptr) {
    std::memset(static_cast<void*>(converter), 0, convert3do_converter_size());
  }
  std::free(converter);
}

convert3do_survey* convert3do_survey_new(convert3do_chunk_fn visit, void* context) {
  void* memory = std::malloc(convert3do_survey_size());
  convert3do_survey* survey =
      convert3do_survey_init(memory, convert3do_survey_size(), visit, context);
  if (survey == nullptr) {
    std::free(memory);
  }
  return survey;
}

void convert3do_survey_free(convert3do_survey* survey) {
  if (survey != nullptr) {
    std::memset(static_cast<void*>(survey), 0, convert3do_survey_size());
  }
  std::free(survey);
}

}  // extern "C"
