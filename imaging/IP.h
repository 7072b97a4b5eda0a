#pragma once
// Table-driven image warping of the in-house imaging library.

#include <span>

#include <opencv2/core.hpp>

namespace IP {

// Makes every pixel of `dst` the weighted sum of a 2 x 2 block of `src` as the
// table says (layout in MVG.h; 5 ints per pixel of the frame). `src` is 8-bit
// 3-channel of at least 3 x 2 pixels; `dst` is either empty (it is then
// created) or of the same size and type; the two must not share memory.
// Returns false, leaving `dst` untouched, when any of that does not hold or
// the table does not have 5 ints per pixel. A table made for another frame
// shape gives a wrong picture but never reads outside `src`.
bool WarpByWeightsIndex(const cv::Mat& src, cv::Mat& dst, std::span<const int> table);

}  // namespace IP
