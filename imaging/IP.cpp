#include "imaging/IP.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "imaging/MVG.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace IP {

namespace {

// Where a table entry's read window starts, as a byte offset from the first
// source row. Clamping keeps both 8-byte windows (this row and the next)
// inside the image whatever the entry holds.
struct WindowBounds {
  size_t step;
  size_t lastOffset;
};

inline size_t WindowOffset(const int* entry, const WindowBounds& bounds) {
  const size_t offset = static_cast<size_t>(static_cast<uint32_t>(entry[0])) * bounds.step +
                        static_cast<uint32_t>(entry[1]);
  return std::min(offset, bounds.lastOffset);
}

#if defined(__SSE2__)

inline __m128i LoadWindow(const uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}

// One destination row. Both rows' windows are interleaved byte by byte so that
// each 16-bit multiply-add pairs a top tap with the bottom tap below it.
void WarpRow(const uint8_t* src, const WindowBounds& bounds, const int* entry, uint8_t* out, int width) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i rounding = _mm_set1_epi32(1 << (MVG::kWeightBits - 1));
  for (int x = 0; x < width; ++x, entry += MVG::kTableIntsPerPixel, out += 3) {
    const uint8_t* top = src + WindowOffset(entry, bounds);
    const __m128i shift = _mm_cvtsi32_si128(entry[2] & 16);
    const __m128i topRow = _mm_srl_epi64(LoadWindow(top), shift);
    const __m128i bottomRow = _mm_srl_epi64(LoadWindow(top + bounds.step), shift);
    // b g r of the left pair, then of the right pair, each as (top, bottom).
    const __m128i pairs = _mm_unpacklo_epi8(topRow, bottomRow);
    const __m128i left = _mm_unpacklo_epi8(pairs, zero);
    const __m128i right = _mm_unpacklo_epi8(_mm_srli_si128(pairs, 6), zero);
    __m128i sum = _mm_add_epi32(_mm_madd_epi16(left, _mm_set1_epi32(entry[3])),
                                _mm_madd_epi16(right, _mm_set1_epi32(entry[4])));
    sum = _mm_srai_epi32(_mm_add_epi32(sum, rounding), MVG::kWeightBits);
    sum = _mm_packs_epi32(sum, sum);
    const uint32_t bgr = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_packus_epi16(sum, sum)));
    out[0] = static_cast<uint8_t>(bgr);
    out[1] = static_cast<uint8_t>(bgr >> 8);
    out[2] = static_cast<uint8_t>(bgr >> 16);
  }
}

#else

// Portable version of the same arithmetic.
void WarpRow(const uint8_t* src, const WindowBounds& bounds, const int* entry, uint8_t* out, int width) {
  constexpr int rounding = 1 << (MVG::kWeightBits - 1);
  for (int x = 0; x < width; ++x, entry += MVG::kTableIntsPerPixel, out += 3) {
    const uint8_t* top = src + WindowOffset(entry, bounds) + ((entry[2] & 16) >> 3);
    const uint8_t* bottom = top + bounds.step;
    const int topLeft = entry[3] & 0xFFFF, bottomLeft = (entry[3] >> 16) & 0xFFFF;
    const int topRight = entry[4] & 0xFFFF, bottomRight = (entry[4] >> 16) & 0xFFFF;
    for (int c = 0; c < 3; ++c) {
      const int sum = top[c] * topLeft + bottom[c] * bottomLeft + top[c + 3] * topRight + bottom[c + 3] * bottomRight;
      out[c] = static_cast<uint8_t>(std::min((sum + rounding) >> MVG::kWeightBits, 255));
    }
  }
}

#endif

bool SharesMemory(const cv::Mat& a, const cv::Mat& b) {
  return a.datastart < b.dataend && b.datastart < a.dataend;
}

bool IsValidWarp(const cv::Mat& src, const cv::Mat& dst, size_t tableSize) {
  if (src.type() != CV_8UC3 || src.cols < 3 || src.rows < 2) return false;
  if (!dst.empty() && (dst.type() != CV_8UC3 || dst.size() != src.size() || SharesMemory(src, dst))) return false;
  return tableSize == static_cast<size_t>(src.cols) * static_cast<size_t>(src.rows) * MVG::kTableIntsPerPixel;
}

}  // namespace

bool WarpByWeightsIndex(const cv::Mat& src, cv::Mat& dst, std::span<const int> table) {
  if (!IsValidWarp(src, dst, table.size())) return false;
  if (dst.empty()) dst.create(src.size(), CV_8UC3);
  const WindowBounds bounds{src.step[0], (src.rows - 2) * src.step[0] + static_cast<size_t>(src.cols) * 3 - 8};
  const size_t entriesPerRow = static_cast<size_t>(src.cols) * MVG::kTableIntsPerPixel;
  // Rows are independent; bands of rows go to the library's worker threads.
  cv::parallel_for_(cv::Range(0, dst.rows), [&](const cv::Range& rows) {
    for (int y = rows.start; y < rows.end; ++y)
      WarpRow(src.data, bounds, table.data() + y * entriesPerRow, dst.ptr(y), dst.cols);
  });
  return true;
}

}  // namespace IP
