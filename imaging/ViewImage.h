#pragma once
// A view's picture as the store keeps it: the image file it came from, the
// pixels of a grabbed frame (until a save writes them to a file), or the grey
// stand-in of a view whose file could not be read. Pixels are decoded
// only when asked for. A source never changes once made and its copies share
// it, so any thread may decode it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

// An 8-bit BGR image whose rows start on 4-byte boundaries, as a display bitmap
// wrapping its pixels needs them; black.
cv::Mat NewViewImage(int width, int height);

// Identity of an image file on disk: a file replaced or rewritten since shows
// another stamp.
struct FileStamp {
  uint64_t device = 0;
  uint64_t inode = 0;
  int64_t size = -1;
  int64_t modifiedNanoseconds = 0;
  bool operator==(const FileStamp&) const = default;
};

class ViewImageSource {
 public:
  enum class Kind { None, File, Frame, Placeholder };

  ViewImageSource() = default;  // no picture

  // Checks an image file and keeps its name. A JPEG is not decoded: its header
  // gives the size and its markers must run whole from start to end (a cut-off
  // copy is refused here; damage inside the coded data shows when it is
  // decoded). Other formats are decoded once to check them. On failure the
  // source is empty and `problem` says why ("cannot be read (...)", "does not
  // decode cleanly (...)").
  static ViewImageSource OpenFile(const std::string& path, std::string* problem = nullptr);
  // A grabbed frame (CV_8UC3), kept as it is.
  static ViewImageSource FromFrame(const cv::Mat& bgr);
  // Neutral grey of the given size, for a view that has no picture.
  static ViewImageSource Placeholder(cv::Size size);

  Kind kind() const;
  bool empty() const { return kind() == Kind::None; }
  cv::Size Size() const;
  const std::string& Path() const;  // the file's path; "" for other kinds
  // True when the encoded picture is a JPEG file a save can write byte for byte.
  bool IsJpeg() const;
  // Bytes the source itself holds in memory (a frame's pixels).
  size_t HeldBytes() const;

  // The picture as a view image: CV_8UC3 BGR, rows 4-byte aligned. Empty, with
  // `problem` set, when a file no longer is the one opened or does not decode.
  cv::Mat Decode(std::string* problem = nullptr) const;
  // A smaller picture for display, at least `atLeast` along both sides where
  // the image is that large (a JPEG is decoded at 1/2, 1/4 or 1/8 of its size).
  cv::Mat DecodeReduced(cv::Size atLeast, std::string* problem = nullptr) const;
  // A JPEG file's bytes as they are to be saved; false for other kinds and
  // formats, or when the file changed (`problem` says so).
  bool ReadJpeg(std::vector<uint8_t>& bytes, std::string* problem = nullptr) const;
  // True while the file is the one opened (or the source is no file).
  bool Unchanged() const;

 private:
  struct State;
  explicit ViewImageSource(std::shared_ptr<const State> state);
  std::shared_ptr<const State> state_;
};
