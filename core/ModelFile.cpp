#include "core/ModelFile.h"

#include <charconv>
#include <cmath>

namespace {

std::string Shortest(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

struct OptionWord {
  const char* word;
  bool CalibrationSettings::*flag;
};

constexpr OptionWord kOptions[] = {{"fix-aspect-ratio", &CalibrationSettings::fixAspectRatio},
                                   {"fix-principal-point", &CalibrationSettings::fixPrincipalPoint},
                                   {"zero-tangential", &CalibrationSettings::zeroTangential},
                                   {"poses-only", &CalibrationSettings::posesOnly}};

}  // namespace

std::string FormatModelFile(const CameraParameters& parameters, const CalibrationSettings& settings) {
  std::string text = std::string("parameters ") + LensModelName(parameters.model);
  for (int i = 0; i < DistortionCount(parameters.model); ++i)
    text.append(" ").append(Shortest(parameters.distortion[static_cast<size_t>(i)]));
  text += std::string("\ncalibrate ") + LensModelName(settings.model);
  for (const OptionWord& option : kOptions)
    if (settings.*option.flag) text += std::string(" ") + option.word;
  const LensModelInfo& info = InfoOf(settings.model);
  for (int i = 0; i < info.coefficients; ++i)
    if (settings.fixedCoefficients & (1u << i)) text += std::string(" fix ") + info.coefficientNames[static_cast<size_t>(i)];
  return text + "\n";
}

bool ParseModelFile(TextFields& fields, CameraParameters& parameters, CalibrationSettings& settings) {
  CameraParameters readParameters = parameters;
  CalibrationSettings readSettings;
  bool sawParameters = false, sawCalibrate = false;
  while (!fields.AtEnd()) {
    const auto word = fields.NextName();
    if (!word) return false;
    if (*word == "parameters" && !sawParameters) {
      const auto name = fields.NextName();
      const auto model = name ? LensModelFromName(*name) : std::nullopt;
      if (!model) return false;
      readParameters.model = *model;
      readParameters.distortion.fill(0.0);
      for (int i = 0; i < DistortionCount(*model); ++i) {
        const auto value = fields.NextDouble();
        if (!value || !std::isfinite(*value)) return false;
        readParameters.distortion[static_cast<size_t>(i)] = *value;
      }
      sawParameters = true;
    } else if (*word == "calibrate" && !sawCalibrate) {
      const auto name = fields.NextName();
      const auto model = name ? LensModelFromName(*name) : std::nullopt;
      if (!model) return false;
      readSettings.model = *model;
      sawCalibrate = true;
    } else if (*word == "fix" && sawCalibrate) {
      const auto name = fields.NextName();
      const int index = name ? CoefficientIndex(readSettings.model, *name) : -1;
      if (index < 0) return false;
      readSettings.fixedCoefficients |= 1u << index;
    } else {
      bool known = false;
      for (const OptionWord& option : kOptions)
        if (sawCalibrate && *word == option.word) readSettings.*option.flag = known = true;
      if (!known) return false;
    }
  }
  if (!sawParameters && !sawCalibrate) return false;
  parameters = readParameters;
  settings = readSettings;
  return true;
}

std::string ModelFileNameFor(const std::string& intrinsicName) {
  const std::string suffix = "Intrinsic.txt";
  if (intrinsicName.size() >= suffix.size() &&
      intrinsicName.compare(intrinsicName.size() - suffix.size(), suffix.size(), suffix) == 0)
    return intrinsicName.substr(0, intrinsicName.size() - suffix.size()) + "Model.txt";
  // The extension is the file name's own, not a dot in a folder's name.
  const size_t nameStart = intrinsicName.find_last_of('/') + 1;  // 0 without a folder
  const size_t dot = intrinsicName.find_last_of('.');
  return dot == std::string::npos || dot <= nameStart ? intrinsicName + ".model"
                                                      : intrinsicName.substr(0, dot) + ".model" + intrinsicName.substr(dot);
}
