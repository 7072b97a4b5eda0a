#pragma once
// Image files, hit tests and frame splitting of the in-house imaging library.

#include <QByteArray>
#include <QImage>
#include <QRect>
#include <QRectF>
#include <array>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace GDI {

// Loads bmp, jpg, png, tif or gif. Returns a null image on failure, with the
// reason in `problem` when given. Opaque files come back as 24-bit BGR rows
// (3 bytes per pixel), files with an alpha channel as 32-bit ARGB (4 bytes
// per pixel); rows are top-down, `stride` bytes apart, and `pixels` points
// into the returned image. A file that does not decode cleanly (a truncated
// or corrupt JPEG, which decoders fill up with grey and only warn about) is
// refused: half a photograph is no photograph.
QImage LoadBitmap(const std::string& path, const uint8_t** pixels, int* width, int* height, int* stride,
                  std::string* problem = nullptr);

// Why a JPEG file does not decode cleanly ("" when it does, or when the file
// is no JPEG): the decoder's first warning or error, such as a premature end
// of the data.
std::string JpegDecodeProblem(const std::string& path);

// LoadBitmap for a whole image file already read into memory; the format is
// decided by the content.
QImage DecodeBitmap(const QByteArray& bytes, const uint8_t** pixels, int* width, int* height, int* stride,
                    std::string* problem = nullptr);

// True when the bytes are a JPEG file (they start with a JPEG start-of-image marker).
bool IsJpegFile(const QByteArray& bytes);

// Bytes per pixel of a bitmap returned by LoadBitmap (3 or 4).
int BytesPerPixel(const QImage& bitmap);

// Writes the bitmap as JPEG ("jpg"/"jpeg") or any format Qt writes; false on failure.
bool SaveImage(const std::string& path, const QImage& bitmap, const char* format);

// A 24-bit display bitmap over the view image's own pixels (no copy). The
// image must outlive the bitmap.
QImage WrapViewImage(cv::Mat& image);

bool IsPointInRect(int x, int y, const QRect& rect);
QRectF GetRectF(const QRect& rect);

// Frame splitting for sources that carry several camera views in one frame.
// `src` is an 8-bit 3-channel frame of w x h. The destinations are made by the
// caller, 8-bit 3-channel, of exactly (w/2, h/f) for stereo and (w/2, h/(2f))
// for quad, where f = 2 with `fields` and 1 without.
//
// `flip`: the frame's rows are stored bottom-up and the views come out
// upright. `fields`: the frame holds two interlaced fields and only the one
// on the even rows of the upright picture is kept, so every view gets half
// the height. The quad quarters are cut from that field picture, so all rows
// of every view come from the same field.
//
// Stereo fills left then right half; quad fills top-left, top-right,
// bottom-left, bottom-right. For odd sizes the last column or row is dropped.
// Returns false, writing nothing, when a type or size is wrong or a
// destination shares memory with the frame.
bool SplitFrameStereo(const cv::Mat& src, std::array<cv::Mat, 2>& dst, bool flip, bool fields);
bool SplitFrameQuad(const cv::Mat& src, std::array<cv::Mat, 4>& dst, bool flip, bool fields);

}  // namespace GDI
