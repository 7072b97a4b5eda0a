#pragma once
// JPEG files read with libjpeg directly: the marker structure checked without
// decoding, and pixels decoded at full or reduced size straight into a view
// image's rows. Any warning of the decoder about the data (a premature end,
// corrupt data) fails a decode: the image readers would fill the rest with grey
// and only print the warning.

#include <cstddef>
#include <cstdint>
#include <string>

#include <opencv2/core.hpp>

struct JpegLayout {
  cv::Size size;       // as coded, before any orientation tag is applied
  int components = 0;  // 1 (gray), 3 (YCbCr or RGB) or 4 (CMYK)
};

// True when the bytes start as a JPEG file (a start-of-image marker and another marker).
bool StartsAsJpeg(const uint8_t* data, size_t size);

// Walks the markers from the start of the image to its end, stepping over every
// segment by its length and through the entropy-coded data of every scan
// (stuffed bytes, restart markers): "" when the structure is whole, else what is
// wrong ("Premature end of JPEG file", ...). Reads the frame's size without
// decoding anything. Damage inside the coded data itself shows only when decoding.
std::string JpegStructureProblem(const uint8_t* data, size_t size, JpegLayout* layout = nullptr);

// Decodes at 1/scaleDenominator of the size (1, 2, 4 or 8) into an 8-bit BGR
// image whose rows start on 4-byte boundaries. Gray and colour files only (the
// layout's components 1 or 3). `fast` trades the last bit of accuracy for speed
// (integer transform, plain upsampling), for pictures only looked at. False,
// with the decoder's message in `problem`, on any error or warning.
bool DecodeJpeg(const uint8_t* data, size_t size, int scaleDenominator, bool fast, cv::Mat& bgr,
                std::string* problem = nullptr);

// Decodes the whole file at an eighth of its size only to find damage: every
// bit of the compressed data is still read. "" when it decodes cleanly.
std::string JpegDataProblem(const uint8_t* data, size_t size);
