#include "app/JsonWriter.h"

#include <cmath>
#include <cstdio>
#include <iomanip>
#include <limits>

void JsonWriter::Separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.back()) out_ << ',';
  first_.back() = false;
}

JsonWriter& JsonWriter::BeginObject() {
  Separate();
  out_ << '{';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  first_.pop_back();
  out_ << '}';
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Separate();
  out_ << '[';
  first_.push_back(true);
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  first_.pop_back();
  out_ << ']';
  return *this;
}

JsonWriter& JsonWriter::Key(const std::string& key) {
  Value(key);
  out_ << ':';
  afterKey_ = true;
  return *this;
}

JsonWriter& JsonWriter::Value(double value) {
  Separate();
  if (!std::isfinite(value)) {
    out_ << "null";
  } else {
    out_ << std::setprecision(std::numeric_limits<double>::max_digits10) << value;
  }
  return *this;
}

JsonWriter& JsonWriter::Null() {
  Separate();
  out_ << "null";
  return *this;
}

JsonWriter& JsonWriter::Value(int value) {
  Separate();
  out_ << value;
  return *this;
}

JsonWriter& JsonWriter::Value(bool value) {
  Separate();
  out_ << (value ? "true" : "false");
  return *this;
}

JsonWriter& JsonWriter::Value(const std::string& value) {
  Separate();
  out_ << '"';
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out_ << '\\' << c;
    } else if (c < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
      out_ << buffer;
    } else {
      out_ << c;
    }
  }
  out_ << '"';
  return *this;
}
