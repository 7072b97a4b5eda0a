#include "calib/Calibration.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "calib/vnl/vnl_svd.h"

// Every routine reports a failed check through Orvel_SetError with its own
// name and the line of the check, then returns at once; temporaries live in
// MatGuard objects so that every way out releases them. OpenCV's C functions
// throw on failure; each public routine turns such an exception into the
// back-trace report, so nothing escapes to the caller.

namespace {

constexpr const char* kModule = "Calibration";
constexpr double kDoubleEpsilon = 2.220446049250313e-16;
constexpr const char* kInnerFailed = "Inner function failed.";

// Owns a matrix made with cvCreateMat.
class MatGuard {
 public:
  MatGuard() = default;
  explicit MatGuard(CvMat* mat) : mat_(mat) {}
  ~MatGuard() { reset(); }
  MatGuard(const MatGuard&) = delete;
  MatGuard& operator=(const MatGuard&) = delete;
  void reset(CvMat* mat = nullptr) {
    if (mat_) cvReleaseMat(&mat_);
    mat_ = mat;
  }
  CvMat* get() const { return mat_; }

 private:
  CvMat* mat_ = nullptr;
};

// A routine starts with a clean status so that an earlier, unrelated failure
// is not mistaken for one of its inner calls. When the routine itself
// succeeds, an earlier failure is put back: the status stays sticky for
// callers until they clear it, as the matrix library's status did.
class StatusScope {
 public:
  StatusScope() : saved_(Orvel_GetErrStatus()) {
    if (saved_ < 0) Orvel_SetErrStatus(0);
  }
  ~StatusScope() {
    if (saved_ < 0 && Orvel_GetErrStatus() >= 0) Orvel_SetErrStatus(saved_);
  }
  StatusScope(const StatusScope&) = delete;
  StatusScope& operator=(const StatusScope&) = delete;

 private:
  int saved_;
};

void report(int code, const char* routine, const char* message, int line) {
  Orvel_SetError(code, routine, message, kModule, line);
}

[[maybe_unused]] bool innerFailed() { return Orvel_GetErrStatus() < 0; }

bool isFloatingDepth(int depth) { return depth == CV_32F || depth == CV_64F; }

int depthOf(const CvMat* m) { return CV_MAT_DEPTH(m->type); }
int channelsOf(const CvMat* m) { return CV_MAT_CN(m->type); }

bool isVectorShape(const CvMat* m) { return m->rows == 1 || m->cols == 1; }
int vectorLength(const CvMat* m) { return channelsOf(m) * m->cols + m->rows - 1; }

// Reads or writes element `index` of a one-row or one-column vector; one
// element apart along a row, one row step apart down a column.
unsigned char* vectorElement(const CvMat* m, int index) {
  const size_t stride = m->rows == 1 ? static_cast<size_t>(CV_ELEM_SIZE1(m->type)) : static_cast<size_t>(m->step);
  return m->data.ptr + stride * static_cast<size_t>(index);
}

double readValue(const unsigned char* p, int depth) {
  return depth == CV_64F ? *reinterpret_cast<const double*>(p) : *reinterpret_cast<const float*>(p);
}

void writeValue(unsigned char* p, int depth, double value) {
  if (depth == CV_64F)
    *reinterpret_cast<double*>(p) = value;
  else
    *reinterpret_cast<float*>(p) = static_cast<float>(value);
}

void readVector(const CvMat* m, double* out, int count) {
  for (int i = 0; i < count; ++i) out[i] = readValue(vectorElement(m, i), depthOf(m));
}

void writeVector(CvMat* m, const double* values, int count) {
  for (int i = 0; i < count; ++i) writeValue(vectorElement(m, i), depthOf(m), values[i]);
}

// ---------------------------------------------------------------------------
// Rotation conversions. J is 3x9 row by row: row i for r_i, column k for R
// element k counted row by row.

void rotationFromVector(const double r[3], double R[9], double* J) {
  const double theta = std::sqrt(r[0] * r[0] + r[1] * r[1] + r[2] * r[2]);
  if (theta < kDoubleEpsilon) {
    static const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    std::memcpy(R, identity, sizeof identity);
    if (J) {
      std::fill(J, J + 27, 0.0);
      J[5] = J[9 + 6] = J[18 + 1] = -1;
      J[7] = J[9 + 2] = J[18 + 3] = 1;
    }
    return;
  }
  const double c = std::cos(theta), s = std::sin(theta), c1 = 1.0 - c;
  const double itheta = theta != 0.0 ? 1.0 / theta : 0.0;
  const double n[3] = {r[0] * itheta, r[1] * itheta, r[2] * itheta};
  const double I[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  const double nnT[9] = {n[0] * n[0], n[0] * n[1], n[0] * n[2], n[1] * n[0], n[1] * n[1],
                         n[1] * n[2], n[2] * n[0], n[2] * n[1], n[2] * n[2]};
  const double cross[9] = {0, -n[2], n[1], n[2], 0, -n[0], -n[1], n[0], 0};
  for (int k = 0; k < 9; ++k) R[k] = c * I[k] + c1 * nnT[k] + s * cross[k];
  if (!J) return;

  const double dnnT[27] = {2 * n[0], n[1], n[2], n[1], 0, 0, n[2], 0, 0,
                           0, n[0], 0, n[0], 2 * n[1], n[2], 0, n[2], 0,
                           0, 0, n[0], 0, 0, n[1], n[0], n[1], 2 * n[2]};
  const double dcross[27] = {0, 0, 0, 0, 0, -1, 0, 1, 0,
                             0, 0, 1, 0, 0, 0, -1, 0, 0,
                             0, -1, 0, 1, 0, 0, 0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    const double a0 = -s * n[i], a1 = (s - 2 * c1 * itheta) * n[i], a2 = c1 * itheta;
    const double a3 = (c - s * itheta) * n[i], a4 = s * itheta;
    for (int k = 0; k < 9; ++k)
      J[i * 9 + k] = a0 * I[k] + a1 * nnT[k] + a2 * dnnT[i * 9 + k] + a3 * cross[k] + a4 * dcross[i * 9 + k];
  }
}

// Rotation by (nearly) pi: R = 2nn^T - I, so the axis magnitudes come from
// the diagonal and their relative signs from the off-diagonal elements. The
// signs are taken relative to the x component; when that component vanishes
// its row carries no sign information, and the largest component serves as
// the reference instead (the result is then turned so that r_x >= 0).
void vectorNearPi(const double R[9], double theta, double r[3]) {
  const double m[3] = {std::sqrt(std::max((R[0] + 1) * 0.5, 0.0)), std::sqrt(std::max((R[4] + 1) * 0.5, 0.0)),
                       std::sqrt(std::max((R[8] + 1) * 0.5, 0.0))};
  const int ref = static_cast<int>(std::max_element(m, m + 3) - m);
  if (ref == 0) {
    r[0] = m[0] * theta;
    r[1] = (R[1] < 0 ? -m[1] : m[1]) * theta;
    r[2] = (R[2] < 0 ? -m[2] : m[2]) * theta;
    return;
  }
  double n[3];
  for (int j = 0; j < 3; ++j) {
    const double pair = R[ref * 3 + j] + R[j * 3 + ref];
    n[j] = j == ref ? m[j] : (pair < 0 ? -m[j] : m[j]);
  }
  const double sign = n[0] < 0 ? -1.0 : 1.0;
  for (int j = 0; j < 3; ++j) r[j] = sign * n[j] * theta;
}

// R is used as it is (no orthonormalisation). Returns the vector in r and,
// when J is given, dr/dR.
void vectorFromRotation(const double R[9], double r[3], double* J) {
  const double v[3] = {R[7] - R[5], R[2] - R[6], R[3] - R[1]};
  const double c = std::clamp((R[0] + R[4] + R[8] - 1) * 0.5, -1.0, 1.0);
  const double theta = std::acos(c);
  const double s = std::sin(theta);
  if (J) std::fill(J, J + 27, 0.0);

  if (std::abs(s) >= 1e-5) {
    const double vth = 1.0 / (2 * s);
    const double scale = theta * vth;
    for (int i = 0; i < 3; ++i) r[i] = scale * v[i];
    if (!J) return;
    // r = f(theta) v with f = theta / (2 sin theta), theta = acos(c), c = (trace - 1) / 2.
    const double dvthDtheta = -vth * c / s;
    const double dfDtheta = vth + theta * dvthDtheta;
    const double dthetaDc = -1.0 / std::sqrt(1.0 - c * c);
    const double dfDdiagonal = dfDtheta * dthetaDc * 0.5;
    // dv/dR: vx = R21 - R12, vy = R02 - R20, vz = R10 - R01.
    const int plus[3] = {7, 2, 3}, minus[3] = {5, 6, 1};
    for (int i = 0; i < 3; ++i) {
      J[i * 9 + plus[i]] += scale;
      J[i * 9 + minus[i]] -= scale;
      for (int k : {0, 4, 8}) J[i * 9 + k] += v[i] * dfDdiagonal;
    }
    return;
  }
  if (c > 0) {
    r[0] = r[1] = r[2] = 0;
    if (J) {
      J[5] = -0.5, J[7] = 0.5;
      J[9 + 2] = 0.5, J[9 + 6] = -0.5;
      J[18 + 1] = -0.5, J[18 + 3] = 0.5;
    }
    return;
  }
  vectorNearPi(R, theta, r);
}

void writeJacobian(const double J[27], CvMat* jacobian) {
  const int depth = depthOf(jacobian);
  const bool transposed = jacobian->rows == 9;
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 9; ++k) {
      const int row = transposed ? k : i, col = transposed ? i : k;
      writeValue(jacobian->data.ptr + static_cast<size_t>(row) * jacobian->step +
                     static_cast<size_t>(col) * CV_ELEM_SIZE1(jacobian->type),
                 depth, J[i * 9 + k]);
    }
}

int rodrigues(const CvMat* src, CvMat* dst, CvMat* jacobian) {
  static constexpr const char* kRoutine = "Orvel_cvRodrigues2";
  if (!CV_IS_MAT(src)) {
    report(src ? -5 : -27, kRoutine, "Input argument is not a valid matrix", __LINE__);
    return 0;
  }
  if (!CV_IS_MAT(dst)) {
    report(dst ? -5 : -27, kRoutine, "The first output argument is not a valid matrix", __LINE__);
    return 0;
  }
  const int depth = depthOf(src);
  if (!isFloatingDepth(depth)) {
    report(-210, kRoutine, "The matrices must have 32f or 64f data type", __LINE__);
    return 0;
  }
  if (depthOf(dst) != depth) {
    report(-205, kRoutine, "All the matrices must have the same data type", __LINE__);
    return 0;
  }
  if (jacobian) {
    if (!CV_IS_MAT(jacobian)) {
      report(-5, kRoutine, "Jacobian is not a valid matrix", __LINE__);
      return 0;
    }
    if (depthOf(jacobian) != depth || channelsOf(jacobian) != 1) {
      report(-205, kRoutine, "Jacobian must have 32fC1 or 64fC1 datatype", __LINE__);
      return 0;
    }
    if (!((jacobian->rows == 3 && jacobian->cols == 9) || (jacobian->rows == 9 && jacobian->cols == 3))) {
      report(-201, kRoutine, "Jacobian must be 3x9 or 9x3", __LINE__);
      return 0;
    }
  }

  double J[27];
  if (isVectorShape(src)) {
    if (vectorLength(src) != 3) {
      report(-201, kRoutine, "Input matrix must be 1x3, 3x1 or 3x3", __LINE__);
      return 0;
    }
    if (dst->rows != 3 || dst->cols != 3 || channelsOf(dst) != 1) {
      report(-201, kRoutine, "Output matrix must be 3x3, single-channel floating point matrix", __LINE__);
      return 0;
    }
    double r[3], R[9];
    readVector(src, r, 3);
    rotationFromVector(r, R, jacobian ? J : nullptr);
    CvMat Rheader = cvMat(3, 3, CV_64FC1, R);
    cvConvertScale(&Rheader, dst, 1, 0);
  } else if (src->rows == 3 && src->cols == 3 && channelsOf(src) == 1) {
    const bool oneRow = dst->rows == 1 && channelsOf(dst) * dst->cols == 3;
    const bool oneColumn = dst->rows == 3 && dst->cols == 1 && channelsOf(dst) == 1;
    if (!oneRow && !oneColumn) {
      report(-201, kRoutine, "Output matrix must be 1x3 or 3x1", __LINE__);
      return 0;
    }
    double R[9], r[3];
    CvMat Rheader = cvMat(3, 3, CV_64FC1, R);
    cvConvertScale(src, &Rheader, 1, 0);
    if (!cvCheckArr(&Rheader, CV_CHECK_RANGE | CV_CHECK_QUIET, -100, 100)) {
      cvSetZero(dst);
      if (jacobian) cvSetZero(jacobian);
      return 0;
    }
    vectorFromRotation(R, r, jacobian ? J : nullptr);
    writeVector(dst, r, 3);
  } else {
    // Neither a vector nor a 3x3 matrix: nothing sensible can be written, so
    // the call fails instead of returning success with `dst` untouched.
    report(-201, kRoutine, "Input matrix must be 1x3, 3x1 or 3x3", __LINE__);
    return 0;
  }
  if (jacobian) writeJacobian(J, jacobian);
  return 1;
}

// ---------------------------------------------------------------------------
// Point layouts: a point list is N points of d coordinates, one point per row
// or one point per column (see describePoints).

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
  const int cn = channelsOf(m);
  const size_t element = static_cast<size_t>(CV_ELEM_SIZE1(m->type));
  layout.base = m->data.ptr;
  layout.depth = depthOf(m);
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
    for (int j = 0; j < from.dim; ++j) writeValue(to.at(p, j), to.depth, readValue(from.at(p, j), from.depth));
    if (to.dim > from.dim) writeValue(to.at(p, to.dim - 1), to.depth, 1.0);
  }
}

// One less in the destination: divides by w, leaving points with w = 0 unscaled.
// The arithmetic runs in the destination's precision.
template <class T>
void dehomogenise(const PointLayout& from, const PointLayout& to) {
  for (int p = 0; p < from.count; ++p) {
    T w = static_cast<T>(readValue(from.at(p, from.dim - 1), from.depth));
    if (w == T(0)) w = T(1);
    const T inverse = T(1) / w;
    for (int j = 0; j < to.dim; ++j) {
      const T value = static_cast<T>(readValue(from.at(p, j), from.depth));
      *reinterpret_cast<T*>(to.at(p, j)) = value * inverse;
    }
  }
}

void convertPoints(const CvMat* src, CvMat* dst) {
  static constexpr const char* kRoutine = "Orvel_cvConvertPointsHomogenious";
  if (!CV_IS_MAT(src)) {
    report(src ? -5 : -27, kRoutine, "The input parameter is not a valid matrix", __LINE__);
    return;
  }
  if (!CV_IS_MAT(dst)) {
    report(dst ? -5 : -27, kRoutine, "The output parameter is not a valid matrix", __LINE__);
    return;
  }
  if (src == dst) return;
  if (src->data.ptr == dst->data.ptr) {
    if (CV_MAT_TYPE(src->type) == CV_MAT_TYPE(dst->type) && src->rows == dst->rows && src->cols == dst->cols)
      return;
    report(-5, kRoutine, "Invalid inplace operation", __LINE__);
    return;
  }
  PointLayout from, to;
  if (!describePoints(src, from)) {
    report(-201, kRoutine, "Either the number of channels or columns or rows must be =1", __LINE__);
    return;
  }
  if (!describePoints(dst, to)) {
    report(-201, kRoutine, "Either the number of channels or columns or rows in the output matrix must be =1",
           __LINE__);
    return;
  }
  if (from.count != to.count) {
    report(-209, kRoutine, "Both matrices must have the same number of points", __LINE__);
    return;
  }
  if (!isFloatingDepth(from.depth) || !isFloatingDepth(to.depth)) {
    report(-210, kRoutine, "Both matrices must be floating-point (single or double precision)", __LINE__);
    return;
  }
  if (from.dim < 2 || from.dim > 4 || to.dim < 2 || to.dim > 4) {
    report(-211, kRoutine, "Both input and output point dimensionality must be 2, 3 or 4", __LINE__);
    return;
  }
  if (std::abs(from.dim - to.dim) > 1) {
    report(-209, kRoutine, "The dimensionalities of input and output point sets differ too much", __LINE__);
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

int Orvel_cvRodrigues2(const CvMat* src, CvMat* dst, CvMat* jacobian) {
  StatusScope status;
  try {
    return rodrigues(src, dst, jacobian);
  } catch (...) {
    report(-1, "Orvel_cvRodrigues2", kInnerFailed, __LINE__);
    return 0;
  }
}

void Orvel_cvConvertPointsHomogenious(const CvMat* src, CvMat* dst) {
  StatusScope status;
  try {
    convertPoints(src, dst);
  } catch (...) {
    report(-1, "Orvel_cvConvertPointsHomogenious", kInnerFailed, __LINE__);
  }
}

int icvRodriguesArrays(double* R, double* r, int direction) {
  if (direction == 1) {
    rotationFromVector(r, R, nullptr);
    return 0;
  }
  vnl_matrix<double> M(3, 3);
  for (int k = 0; k < 9; ++k) M(k / 3, k % 3) = R[k];
  const vnl_svd<double> svd(M, 0.0);
  const vnl_matrix<double> nearest = svd.U() * svd.V().transpose();
  double orthonormal[9];
  for (int k = 0; k < 9; ++k) orthonormal[k] = nearest(k / 3, k % 3);
  vectorFromRotation(orthonormal, r, nullptr);
  return 0;
}
