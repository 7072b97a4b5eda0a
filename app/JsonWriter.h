#pragma once

#include <sstream>
#include <string>
#include <vector>

// Streaming JSON writer with no pretty printing. Doubles are written with
// full round-trip precision; non-finite values as null.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(const std::string& key);
  JsonWriter& Value(double value);
  JsonWriter& Value(int value);
  JsonWriter& Value(bool value);
  JsonWriter& Value(const std::string& value);
  JsonWriter& Null();
  template <class It>
  JsonWriter& Array(It begin, It end) {
    BeginArray();
    for (; begin != end; ++begin) Value(*begin);
    return EndArray();
  }
  std::string str() const { return out_.str(); }

 private:
  void Separate();
  std::ostringstream out_;
  std::vector<bool> first_{true};
  bool afterKey_ = false;
};
