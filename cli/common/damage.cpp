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

namespace {

// What the library's text function says of a survey, with why a read failed.
DamageText surveyText(const SurveyInfo& survey,
                      std::size_t (*say)(const convert3do_info*, char*, std::size_t)) {
  DamageText out{};
  const convert3do_info info = infoOf(survey);
  addWhy(out, say(&info, out.text, sizeof out.text), survey.outcome, survey.error);
  return out;
}

}  // namespace

DamageText describeDamage(const SurveyInfo& survey) {
  return surveyText(survey, convert3do_damage_text);
}

DamageText describeWalkEnd(const SurveyInfo& survey) {
  return surveyText(survey, convert3do_walk_end_text);
}

}  // namespace convert3do
