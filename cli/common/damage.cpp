#include "cli/common/damage.h"

#include <cstdio>
#include <cstring>

#include "convert/c_types.h"

namespace convert3do {

namespace {

// Adds why a read failed to the library's words.
void addWhy(DamageText& out, std::size_t length, Outcome outcome, int error) {
  if (outcome == Outcome::ReadFailed && length < sizeof out.text) {
    (void)std::snprintf(out.text + length, sizeof out.text - length, ": %s", std::strerror(error));
  }
}

}  // namespace

DamageText describeDamage(const ConversionResult& result) {
  DamageText out{};
  const convert3do_result r = resultOf(result);
  addWhy(out, convert3do_result_damage_text(&r, out.text, sizeof out.text), result.outcome,
         result.error);
  return out;
}

DamageText describeDamage(const SurveyInfo& survey) {
  DamageText out{};
  const convert3do_info info = infoOf(survey);
  addWhy(out, convert3do_damage_text(&info, out.text, sizeof out.text), survey.outcome,
         survey.error);
  return out;
}

DamageText describeWalkEnd(const SurveyInfo& survey) {
  DamageText out{};
  const convert3do_info info = infoOf(survey);
  addWhy(out, convert3do_walk_end_text(&info, out.text, sizeof out.text), survey.outcome,
         survey.error);
  return out;
}

}  // namespace convert3do
