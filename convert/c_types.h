// The C interface's structures (convert3do.h) of what the walk found, for the
// library's C functions and for the programs that print them with the
// library's words.
#ifndef CONVERT3DO_CONVERT_C_TYPES_H
#define CONVERT3DO_CONVERT_C_TYPES_H

#include "convert/convert.h"
#include "convert/convert3do.h"
#include "convert/survey.h"

namespace convert3do {

convert3do_status statusOf(Outcome outcome);
convert3do_result resultOf(const ConversionResult& result);
convert3do_info infoOf(const SurveyInfo& survey);
convert3do_chunk chunkOf(const ChunkRecord& chunk);
// How a survey's call went: on, ended, or stopped by its chunk function.
convert3do_status surveyStatus(const Survey& survey);

}  // namespace convert3do

#endif  // CONVERT3DO_CONVERT_C_TYPES_H
