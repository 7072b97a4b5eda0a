// Point layouts: a point list is N points of d coordinates, one point per row
// or one point per column (see describePoints); conversion between layouts and
// to or from homogeneous coordinates.

#include <cmath>
#include <cstdlib>

#include "calib/Calibration.h"
#include "calib/EngineStatus.h"
#include "calib/MatrixAccess.h"

namespace {

using namespace engine;

struct PointLayout {
  int count = 0;
  int dim = 0;
  unsigned char* base = nullptr;
  size_t pointStride = 0;  // bytes from one point to the next
  size_t coordStride = 0;  // bytes from one coordinate to the next
  int depth = 0;
  unsigned char* at(int point, int coord) const {
    return base + pointStride * static_cast<size_t>(point) + coordStride * static_cast<size_t>(coord);
  }
};

bool describePoints(const CvMat* m, PointLayout& layout) {
  const int cn = ChannelsOf(m);
  const size_t element = static_cast<size_t>(CV_ELEM_SIZE1(m->type));
  layout.base = m->data.ptr;
  layout.depth = DepthOf(m);
  if (m->rows > m->cols) {
    if ((cn > 1) == (m->cols > 1)) return false;
    layout.dim = cn * m->cols;
    layout.count = m->rows;
    layout.pointStride = static_cast<size_t>(m->step);
    layout.coordStride = element;
    return true;
  }
  if ((cn > 1) == (m->rows > 1)) return false;
  layout.dim = cn * m->rows;
  layout.count = m->cols;
  if (m->rows == 1) {
    layout.pointStride = element * static_cast<size_t>(cn);
    layout.coordStride = element;
  } else {
    layout.pointStride = element;
    layout.coordStride = static_cast<size_t>(m->step);
  }
  return true;
}

// Same dimension or one more in the destination (appends w = 1).
void copyPoints(const PointLayout& from, const PointLayout& to) {
  for (int p = 0; p < from.count; ++p) {
    for (int j = 0; j < from.dim; ++j) WriteValue(to.at(p, j), to.depth, ReadValue(from.at(p, j), from.depth));
    if (to.dim > from.dim) WriteValue(to.at(p, to.dim - 1), to.depth, 1.0);
  }
}

// One less in the destination: divides by w, leaving points with w = 0 unscaled.
// The arithmetic runs in the destination's precision.
template <class T>
void dehomogenise(const PointLayout& from, const PointLayout& to) {
  for (int p = 0; p < from.count; ++p) {
    T w = static_cast<T>(ReadValue(from.at(p, from.dim - 1), from.depth));
    if (w == T(0)) w = T(1);
    const T inverse = T(1) / w;
    for (int j = 0; j < to.dim; ++j) {
      const T value = static_cast<T>(ReadValue(from.at(p, j), from.depth));
      *reinterpret_cast<T*>(to.at(p, j)) = value * inverse;
    }
  }
}

void convertPoints(const CvMat* src, CvMat* dst) {
  static constexpr const char* kRoutine = "Orvel_cvConvertPointsHomogenious";
  if (!CV_IS_MAT(src)) {
    Report(kRoutine, InvalidMatrixCode(src), "The input parameter is not a valid matrix");
    return;
  }
  if (!CV_IS_MAT(dst)) {
    Report(kRoutine, InvalidMatrixCode(dst), "The output parameter is not a valid matrix");
    return;
  }
  if (src == dst) return;
  if (src->data.ptr == dst->data.ptr) {
    if (CV_MAT_TYPE(src->type) == CV_MAT_TYPE(dst->type) && src->rows == dst->rows && src->cols == dst->cols)
      return;
    Report(kRoutine, ORVEL_StsBadArg, "Invalid inplace operation");
    return;
  }
  PointLayout from, to;
  if (!describePoints(src, from)) {
    Report(kRoutine, ORVEL_StsBadSize, "Either the number of channels or columns or rows must be =1");
    return;
  }
  if (!describePoints(dst, to)) {
    Report(kRoutine, ORVEL_StsBadSize, "Either the number of channels or columns or rows in the output matrix must be =1");
    return;
  }
  if (from.count != to.count) {
    Report(kRoutine, ORVEL_StsUnmatchedSizes, "Both matrices must have the same number of points");
    return;
  }
  if (!IsFloatingDepth(from.depth) || !IsFloatingDepth(to.depth)) {
    Report(kRoutine, ORVEL_StsUnsupportedFormat, "Both matrices must be floating-point (single or double precision)");
    return;
  }
  if (from.dim < 2 || from.dim > 4 || to.dim < 2 || to.dim > 4) {
    Report(kRoutine, ORVEL_StsOutOfRange, "Both input and output point dimensionality must be 2, 3 or 4");
    return;
  }
  if (std::abs(from.dim - to.dim) > 1) {
    Report(kRoutine, ORVEL_StsUnmatchedSizes, "The dimensionalities of input and output point sets differ too much");
    return;
  }
  if (from.dim <= to.dim)
    copyPoints(from, to);
  else if (to.depth == CV_64F)
    dehomogenise<double>(from, to);
  else
    dehomogenise<float>(from, to);
}

}  // namespace

void Orvel_cvConvertPointsHomogenious(const CvMat* src, CvMat* dst) {
  RunGuarded("Orvel_cvConvertPointsHomogenious", [&] { convertPoints(src, dst); });
}