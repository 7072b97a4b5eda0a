#pragma once
// Plain-text record I/O for the workspace files. Numbers are written as C's
// "%d" and "%lf" would write them ("%lf": fixed, six decimals) but without
// depending on the process locale, which a Qt application sets from the
// environment; reading splits on any white space, like the formatted-input
// patterns the files were designed for.

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Longest companion file name accepted when reading.
inline constexpr size_t kMaxFileNameLength = 255;

std::string FormatFixed6(double value);

// Creates (or truncates) a file and writes to it; remembers the first failure.
class TextFileWriter {
 public:
  explicit TextFileWriter(const std::string& path);
  bool IsOpen() const { return file_ != nullptr; }
  TextFileWriter& Int(int value);
  TextFileWriter& Double(double value);
  TextFileWriter& Text(std::string_view text);
  TextFileWriter& Space() { return Text(" "); }
  TextFileWriter& EndLine() { return Text("\n"); }
  // Flushes and closes; true when every write succeeded.
  bool Close();

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
  bool ok_ = true;
};

// Reads a whole text file and hands out its white-space separated fields.
class TextFields {
 public:
  // Empty optional when the file cannot be opened or exceeds maxBytes.
  static std::optional<TextFields> Read(const std::string& path, size_t maxBytes = 256u << 20);
  explicit TextFields(std::string text);

  size_t Remaining() const;  // fields not yet consumed
  bool AtEnd() { return !Peek(); }
  std::optional<int> NextInt();
  std::optional<double> NextDouble();
  // A bounded name: fails for a field longer than kMaxFileNameLength.
  std::optional<std::string> NextName();

 private:
  std::optional<std::string_view> Peek();
  std::optional<std::string_view> Next();
  std::string text_;
  size_t pos_ = 0;
};

// True for a bare file name: not empty, no folder separators, not "." or "..".
bool IsBareFileName(const std::string& name);
