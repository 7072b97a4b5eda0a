#pragma once
// A small YAML document tree read with libyaml: scalars, sequences and
// mappings, enough for the camchain files other calibration programs write.
// Files come from users, so the reader refuses aliases and nesting deeper than
// a parameter file ever needs instead of following them.

#include <map>
#include <optional>
#include <string>
#include <vector>

struct YamlValue {
  enum class Kind { Scalar, Sequence, Mapping };
  Kind kind = Kind::Scalar;
  std::string scalar;
  std::vector<YamlValue> items;
  std::vector<std::pair<std::string, YamlValue>> fields;  // in file order

  bool IsScalar() const { return kind == Kind::Scalar; }
  bool IsSequence() const { return kind == Kind::Sequence; }
  bool IsMapping() const { return kind == Kind::Mapping; }
  // The value of a mapping's key, or nullptr.
  const YamlValue* Find(const std::string& key) const;
  // A scalar read as a number, locale independent; nullopt when it is none.
  std::optional<double> Number() const;
};

struct YamlParse {
  bool ok = false;
  std::string error;  // "line N: what" when !ok
  YamlValue root;
};

// Parses the first document of `text`.
YamlParse ParseYaml(const std::string& text);
