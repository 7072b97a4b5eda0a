#pragma once
// Element access on the engine's CvMat arguments: vectors of either
// orientation, 32-bit or 64-bit floating point, read and written as double.

#include <opencv2/core/core_c.h>

#include <cstddef>

namespace engine {

inline int DepthOf(const CvMat* m) { return CV_MAT_DEPTH(m->type); }
inline int ChannelsOf(const CvMat* m) { return CV_MAT_CN(m->type); }
inline bool IsFloatingDepth(int depth) { return depth == CV_32F || depth == CV_64F; }

inline bool IsVectorShape(const CvMat* m) { return m->rows == 1 || m->cols == 1; }
inline int VectorLength(const CvMat* m) { return ChannelsOf(m) * m->cols + m->rows - 1; }

// Element `index` of a one-row or one-column vector: one element apart along
// a row, one row step apart down a column.
inline unsigned char* VectorElement(const CvMat* m, int index) {
  const size_t stride = m->rows == 1 ? static_cast<size_t>(CV_ELEM_SIZE1(m->type)) : static_cast<size_t>(m->step);
  return m->data.ptr + stride * static_cast<size_t>(index);
}

inline double ReadValue(const unsigned char* p, int depth) {
  return depth == CV_64F ? *reinterpret_cast<const double*>(p) : *reinterpret_cast<const float*>(p);
}

inline void WriteValue(unsigned char* p, int depth, double value) {
  if (depth == CV_64F)
    *reinterpret_cast<double*>(p) = value;
  else
    *reinterpret_cast<float*>(p) = static_cast<float>(value);
}

inline void ReadVector(const CvMat* m, double* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = ReadValue(VectorElement(m, i), DepthOf(m));
}

inline void WriteVector(CvMat* m, const double* values, int count) {
  for (int i = 0; i < count; ++i) WriteValue(VectorElement(m, i), DepthOf(m), values[i]);
}

inline bool IsFloatVector(const CvMat* m, int length) {
  return IsFloatingDepth(DepthOf(m)) && IsVectorShape(m) && VectorLength(m) == length;
}

inline bool IsFloatMatrix(const CvMat* m, int rows, int cols) {
  return CV_IS_MAT(m) && ChannelsOf(m) == 1 && IsFloatingDepth(DepthOf(m)) && m->rows == rows && m->cols == cols;
}

}  // namespace engine
