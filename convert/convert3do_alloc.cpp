// The converter and the survey on the heap: the library's only allocations,
// kept apart so that a build without a C library leaves them out.
#include <cstdlib>

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

void convert3do_converter_free(convert3do_converter* converter) {
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
  std::free(survey);
}

}  // extern "C"
