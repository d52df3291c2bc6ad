// Damage, in the library's words (convert3do_damage_text), for both programs:
// convert3do, 3do info, check and convert all say it alike; a read that
// failed also says why.
#ifndef CONVERT3DO_CLI_COMMON_DAMAGE_H
#define CONVERT3DO_CLI_COMMON_DAMAGE_H

#include "convert/convert.h"
#include "convert/survey.h"

namespace convert3do {

// "cut at byte N, inside the 12-byte header", "cut at byte N, inside the chunk
// at byte C", "the chunk at byte C (payload length P) would take the chunk
// area to N bytes, more than a 3do file can hold (2147483647)" or "cannot
// read at byte N: why"; kept in the value, so convert3do needs no C++
// runtime.
struct DamageText {
  char text[256];
};
DamageText describeDamage(const ConversionResult& result);
DamageText describeDamage(const SurveyInfo& survey);
// Where and why the walk ended, in the library's words and with why a read
// failed.
DamageText describeWalkEnd(const SurveyInfo& survey);

}  // namespace convert3do

#endif  // CONVERT3DO_CLI_COMMON_DAMAGE_H
