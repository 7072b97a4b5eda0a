#pragma once
// Image files, hit tests and frame splitting of the in-house imaging library.

#include <QImage>
#include <QRect>
#include <QRectF>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

namespace GDI {

// Loads bmp, jpg, png, tif or gif. Returns a null image on failure. Opaque
// files come back as 24-bit BGR rows (3 bytes per pixel), files with an alpha
// channel as 32-bit ARGB (4 bytes per pixel); rows are top-down, `stride`
// bytes apart, and `pixels` points into the returned image.
QImage LoadBitmap(const std::string& path, const uint8_t** pixels, int* width, int* height, int* stride);

// Bytes per pixel of a bitmap returned by LoadBitmap (3 or 4).
int BytesPerPixel(const QImage& bitmap);

// Writes the bitmap as JPEG ("jpg"/"jpeg") or any format Qt writes; false on failure.
bool SaveImage(const std::string& path, const QImage& bitmap, const char* format);

// A 24-bit display bitmap over the view image's own pixels (no copy). The
// image must outlive the bitmap.
QImage WrapViewImage(cv::Mat& image);

bool IsPointInRect(int x, int y, const QRect& rect);
QRectF GetRectF(const QRect& rect);

}  // namespace GDI
