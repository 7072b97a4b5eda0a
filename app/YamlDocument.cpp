#include "app/YamlDocument.h"

#include <yaml.h>

#include <charconv>
#include <cmath>

namespace {

// Parameter files nest three or four levels; anything far deeper is not one,
// and a bound keeps a hostile file from exhausting the stack.
constexpr int kMaxDepth = 32;

class Parser {
 public:
  explicit Parser(const std::string& text) {
    yaml_parser_initialize(&parser_);
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  }
  ~Parser() { yaml_parser_delete(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  YamlParse Run() {
    YamlParse result;
    Event event;
    if (!Next(event) || event.e.type != YAML_STREAM_START_EVENT || !Next(event)) return Failed();
    if (event.e.type != YAML_DOCUMENT_START_EVENT) return Failed("the file holds no YAML document");
    if (!Next(event) || !Build(event, result.root, 0)) return Failed();
    result.ok = true;
    return result;
  }

 private:
  struct Event {
    yaml_event_t e{};
    bool held = false;
    ~Event() { Release(); }
    void Release() {
      if (held) yaml_event_delete(&e);
      held = false;
    }
  };

  bool Next(Event& event) {
    event.Release();
    if (!yaml_parser_parse(&parser_, &event.e)) {
      error_ = parser_.problem ? parser_.problem : "not YAML";
      line_ = static_cast<int>(parser_.problem_mark.line) + 1;
      return false;
    }
    event.held = true;
    line_ = static_cast<int>(event.e.start_mark.line) + 1;
    return true;
  }

  bool Fail(const std::string& what) {
    error_ = what;
    return false;
  }

  YamlParse Failed(const std::string& what = "") {
    YamlParse result;
    result.error = "line " + std::to_string(line_) + ": " + (what.empty() ? error_ : what);
    return result;
  }

  bool Build(Event& event, YamlValue& out, int depth) {
    if (depth > kMaxDepth) return Fail("nested too deeply for a parameter file");
    switch (event.e.type) {
      case YAML_SCALAR_EVENT:
        out.kind = YamlValue::Kind::Scalar;
        out.scalar.assign(reinterpret_cast<const char*>(event.e.data.scalar.value), event.e.data.scalar.length);
        return true;
      case YAML_SEQUENCE_START_EVENT:
        out.kind = YamlValue::Kind::Sequence;
        return BuildSequence(out, depth);
      case YAML_MAPPING_START_EVENT:
        out.kind = YamlValue::Kind::Mapping;
        return BuildMapping(out, depth);
      case YAML_ALIAS_EVENT:
        return Fail("aliases are not read in parameter files");
      default:
        return Fail("unexpected YAML structure");
    }
  }

  bool BuildSequence(YamlValue& out, int depth) {
    Event event;
    while (Next(event)) {
      if (event.e.type == YAML_SEQUENCE_END_EVENT) return true;
      out.items.emplace_back();
      if (!Build(event, out.items.back(), depth + 1)) return false;
    }
    return false;
  }

  bool BuildMapping(YamlValue& out, int depth) {
    Event event;
    while (Next(event)) {
      if (event.e.type == YAML_MAPPING_END_EVENT) return true;
      if (event.e.type != YAML_SCALAR_EVENT) return Fail("a mapping key that is not a plain name");
      std::string key(reinterpret_cast<const char*>(event.e.data.scalar.value), event.e.data.scalar.length);
      if (!Next(event)) return false;
      YamlValue value;
      if (!Build(event, value, depth + 1)) return false;
      out.fields.emplace_back(std::move(key), std::move(value));
    }
    return false;
  }

  yaml_parser_t parser_{};
  std::string error_;
  int line_ = 1;
};

}  // namespace

const YamlValue* YamlValue::Find(const std::string& key) const {
  for (const auto& [name, value] : fields)
    if (name == key) return &value;
  return nullptr;
}

std::optional<double> YamlValue::Number() const {
  if (!IsScalar() || scalar.empty()) return std::nullopt;
  const char* begin = scalar.data();
  const char* end = begin + scalar.size();
  if (*begin == '+') ++begin;
  double value = 0.0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || !std::isfinite(value)) return std::nullopt;
  return value;
}

YamlParse ParseYaml(const std::string& text) { return Parser(text).Run(); }
