#include "cli/CliSupport.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <iostream>
#include <limits>

std::string NoSuchCamera(int option, int cameraCount) {
  std::string text = "--camera " + std::to_string(option) + ": the workspace has " + std::to_string(cameraCount) +
                     (cameraCount == 1 ? " camera" : " cameras");
  if (cameraCount > 0) text += " (--camera 0 to " + std::to_string(cameraCount - 1) + ")";
  return text;
}

std::string NoSuchView(int camera, int option, int viewCount) {
  std::string text = "--view " + std::to_string(option) + ": camera " + std::to_string(camera + 1) + " has " +
                     std::to_string(viewCount) + (viewCount == 1 ? " view" : " views");
  if (viewCount > 0) text += " (--view 0 to " + std::to_string(viewCount - 1) + ")";
  return text;
}

bool ParsedArguments::Has(const std::string& name) const {
  return std::any_of(options.begin(), options.end(), [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> ParsedArguments::Value(const std::string& name) const {
  for (auto it = options.rbegin(); it != options.rend(); ++it)
    if (it->first == name) return it->second;
  return std::nullopt;
}

std::vector<std::vector<std::string>> ParsedArguments::Groups(const std::string& name) const {
  std::vector<std::vector<std::string>> found;
  for (const auto& [option, arguments] : groups)
    if (option == name) found.push_back(arguments);
  return found;
}

namespace {

bool IsOption(const std::string& a) { return a.size() > 2 && a.compare(0, 2, "--") == 0; }

// Up to `count` arguments after args[i] that are not options, joined by '\n'; i moves past them.
std::string TakeList(const Arguments& args, size_t& i, int count) {
  std::string value;
  for (int k = 0; k < count && i + 1 < args.size() && !IsOption(args[i + 1]); ++k)
    value += (k ? "\n" : "") + args[++i];
  return value;
}

}  // namespace

bool ParseArguments(const Arguments& args, const std::vector<std::string>& valueOptions,
                    const std::vector<std::string>& flagOptions, ParsedArguments& parsed, std::string& error,
                    const std::vector<std::pair<std::string, int>>& listOptions,
                    const std::vector<std::string>& groupOptions) {
  auto listed = [](const std::vector<std::string>& list, const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (IsOption(a)) {
      const auto list = std::find_if(listOptions.begin(), listOptions.end(), [&](const auto& o) { return o.first == a; });
      if (listed(groupOptions, a)) {
        parsed.groups.emplace_back(a, std::vector<std::string>{});
        while (i + 1 < args.size() && !IsOption(args[i + 1])) parsed.groups.back().second.push_back(args[++i]);
      } else if (list != listOptions.end()) {
        if (parsed.Has(a)) {
          error = a + " given twice";
          return false;
        }
        parsed.options.emplace_back(a, TakeList(args, i, list->second));
      } else if (listed(flagOptions, a)) {
        parsed.options.emplace_back(a, "");
      } else if (listed(valueOptions, a)) {
        if (i + 1 >= args.size()) {
          error = "option " + a + " needs a value";
          return false;
        }
        parsed.options.emplace_back(a, args[++i]);
      } else {
        error = "unknown option " + a;
        return false;
      }
    } else {
      parsed.positional.push_back(a);
    }
  }
  return true;
}

bool ParseInt(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && !text.empty();
}

bool ParseDouble(const std::string& text, double& value) {
  if (text.empty()) return false;
  const char* begin = text.data();
  if (*begin == '+') ++begin;
  const char* end = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(begin, end, value);
  return ec == std::errc() && ptr == end && std::isfinite(value);
}

bool ParseDoubleList(const std::string& text, std::vector<double>& values) {
  values.clear();
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    double v = 0;
    if (!ParseDouble(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start), v))
      return false;
    values.push_back(v);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

namespace {

const std::vector<std::string>& ModelFlagOptions() {
  static const std::vector<std::string> flags = {"--fix-aspect-ratio", "--fix-principal-point", "--zero-tangential",
                                                 "--poses-only"};
  return flags;
}

}  // namespace

const std::vector<std::string>& ModelValueOptions() {
  static const std::vector<std::string> values = {"--model", "--fix"};
  return values;
}

std::vector<std::string> WithModelFlags(std::vector<std::string> flags) {
  flags.insert(flags.end(), ModelFlagOptions().begin(), ModelFlagOptions().end());
  return flags;
}

const char* const kModelOptionsUsage =
    "  --model NAME calibrates with a lens model: pinhole-radtan (k1 k2 p1 p2, the default),\n"
    "  pinhole-radtan-k3 (k1 k2 p1 p2 k3), rational (k1 k2 p1 p2 k3 k4 k5 k6) or fisheye (k1 k2 k3 k4).\n"
    "  --fix-aspect-ratio keeps fx/fy, --fix-principal-point keeps cx, cy at the image centre,\n"
    "  --zero-tangential keeps p1 = p2 = 0, --fix k1,k3 keeps those coefficients at the camera's\n"
    "  values (0 when it has none of that model), --poses-only refines the views' poses alone with\n"
    "  the camera's own parameters. The choice is kept in the workspace (saved with --save).\n";

bool SettingsFromOptions(const ParsedArguments& parsed, const CalibrationSettings& stored,
                         std::optional<CalibrationSettings>& settings, std::string& error) {
  bool any = false;
  for (const std::string& name : ModelValueOptions()) any = any || parsed.Has(name);
  for (const std::string& name : ModelFlagOptions()) any = any || parsed.Has(name);
  settings.reset();
  if (!any) return true;
  CalibrationSettings result = stored;
  if (const auto model = parsed.Value("--model")) {
    const auto found = LensModelFromName(*model);
    if (!found) {
      error = "unknown lens model \"" + *model + "\" (pinhole-radtan, pinhole-radtan-k3, rational or fisheye)";
      return false;
    }
    result = CalibrationSettings{};
    result.model = *found;
  }
  result.fixAspectRatio = result.fixAspectRatio || parsed.Has("--fix-aspect-ratio");
  result.fixPrincipalPoint = result.fixPrincipalPoint || parsed.Has("--fix-principal-point");
  result.zeroTangential = result.zeroTangential || parsed.Has("--zero-tangential");
  result.posesOnly = result.posesOnly || parsed.Has("--poses-only");
  if (const auto fixed = parsed.Value("--fix")) {
    std::stringstream names(*fixed);
    std::string name;
    while (std::getline(names, name, ',')) {
      const int index = CoefficientIndex(result.model, name);
      if (index < 0) {
        error = "the " + std::string(LensModelName(result.model)) + " model has no coefficient \"" + name + "\"";
        return false;
      }
      result.fixedCoefficients |= 1u << index;
    }
  }
  if (result.zeroTangential && !HasTangential(result.model)) {
    error = std::string("the ") + LensModelName(result.model) + " model has no tangential terms";
    return false;
  }
  settings = result;
  return true;
}
