#include "core/TextIO.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <iterator>
#include <sstream>

std::string FormatFixed6(double value) {
  if (std::isnan(value)) return std::signbit(value) ? "-nan" : "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[400];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  return std::string(buffer, result.ptr);
}

TextFileWriter::TextFileWriter(const std::string& path) : file_(std::fopen(path.c_str(), "w+")) {
  ok_ = file_ != nullptr;
}

TextFileWriter& TextFileWriter::Text(std::string_view text) {
  if (file_ && ok_ && std::fwrite(text.data(), 1, text.size(), file_.get()) != text.size()) ok_ = false;
  return *this;
}

TextFileWriter& TextFileWriter::Int(int value) { return Text(std::to_string(value)); }

TextFileWriter& TextFileWriter::Double(double value) { return Text(FormatFixed6(value)); }

bool TextFileWriter::Close() {
  if (!file_) return false;
  if (std::fflush(file_.get()) != 0) ok_ = false;
  if (std::fclose(file_.release()) != 0) ok_ = false;
  return ok_;
}

std::optional<TextFields> TextFields::Read(const std::string& path, size_t maxBytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(in.gcount()));
    if (text.size() > maxBytes) return std::nullopt;
  }
  return TextFields(std::move(text));
}

TextFields::TextFields(std::string text) : text_(std::move(text)) {}

static bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::optional<std::string_view> TextFields::Peek() {
  while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
  if (pos_ >= text_.size()) return std::nullopt;
  size_t end = pos_;
  while (end < text_.size() && !IsSpace(text_[end])) ++end;
  return std::string_view(text_).substr(pos_, end - pos_);
}

std::optional<std::string_view> TextFields::Next() {
  auto field = Peek();
  if (field) pos_ += field->size();
  return field;
}

size_t TextFields::Remaining() const {
  size_t count = 0;
  bool inField = false;
  for (size_t i = pos_; i < text_.size(); ++i) {
    const bool space = IsSpace(text_[i]);
    if (!space && !inField) ++count;
    inField = !space;
  }
  return count;
}

std::optional<int> TextFields::NextInt() {
  auto field = Peek();
  if (!field) return std::nullopt;
  std::string_view f = *field;
  if (!f.empty() && f.front() == '+') f.remove_prefix(1);
  int value = 0;
  auto [ptr, ec] = std::from_chars(f.data(), f.data() + f.size(), value);
  if (ec != std::errc() || ptr != f.data() + f.size()) return std::nullopt;
  Next();
  return value;
}

std::optional<double> TextFields::NextDouble() {
  auto field = Peek();
  if (!field) return std::nullopt;
  std::string_view f = *field;
  if (!f.empty() && f.front() == '+') f.remove_prefix(1);
  double value = 0;
  auto [ptr, ec] = std::from_chars(f.data(), f.data() + f.size(), value);
  if (ec != std::errc() || ptr != f.data() + f.size()) return std::nullopt;
  Next();
  return value;
}

std::optional<std::string> TextFields::NextName() {
  auto field = Peek();
  if (!field || field->size() > kMaxFileNameLength) return std::nullopt;
  Next();
  return std::string(*field);
}

bool IsBareFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find('/') == std::string::npos && name.find('\\') == std::string::npos;
}
