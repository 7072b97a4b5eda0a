#include "calib/Calibration.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "calib/vnl/vgl_h_matrix_2d_optimize_lmq.h"
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


void report(int code, const char* routine, const char* message, int line) {
  Orvel_SetError(code, routine, message, kModule, line);
}

bool innerFailed() { return Orvel_GetErrStatus() < 0; }

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
  OrvelStatusScope status;
  try {
    return rodrigues(src, dst, jacobian);
  } catch (...) {
    report(-1, "Orvel_cvRodrigues2", kInnerFailed, __LINE__);
    return 0;
  }
}

void Orvel_cvConvertPointsHomogenious(const CvMat* src, CvMat* dst) {
  OrvelStatusScope status;
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

namespace {

// ---------------------------------------------------------------------------
// Gauss-Newton step.

void gaussNewton(const CvMat* J, const CvMat* err, CvMat* delta, CvMat* JtJ, CvMat* JtErr, CvMat* JtJW,
                 CvMat* JtJV) {
  static constexpr const char* kRoutine = "Orvel_icvGaussNewton";
  if (!CV_IS_MAT(J) || !CV_IS_MAT(err) || !CV_IS_MAT(delta)) {
    report(-5, kRoutine, "Some of required arguments is not a valid matrix", __LINE__);
    return;
  }
  const int n = J->cols;
  const int type = CV_MAT_TYPE(J->type);
  struct Work {
    CvMat*& mat;
    int rows, cols;
    const char* invalid;
  } work[] = {{JtJ, n, n, "JtJ is not a valid matrix"},
              {JtErr, n, 1, "JtErr is not a valid matrix"},
              {JtJW, n, 1, "JtJW is not a valid matrix"},
              {JtJV, n, n, "JtJV is not a valid matrix"}};
  MatGuard owned[4];
  for (int i = 0; i < 4; ++i) {
    if (!work[i].mat) {
      owned[i].reset(cvCreateMat(work[i].rows, work[i].cols, type));
      work[i].mat = owned[i].get();
    } else if (!CV_IS_MAT(work[i].mat)) {
      report(-5, kRoutine, work[i].invalid, __LINE__);
      return;
    }
  }
  cvMulTransposed(J, JtJ, 1);
  cvGEMM(J, err, 1, nullptr, 0, JtErr, CV_GEMM_A_T);
  cvSVD(JtJ, JtJW, nullptr, JtJV, CV_SVD_MODIFY_A + CV_SVD_V_T);
  cvSVBkSb(JtJW, JtJV, JtJV, JtErr, delta, CV_SVD_U_T + CV_SVD_V_T);
}

// ---------------------------------------------------------------------------
// Homography.

// Converts both point lists into the 1xN two-channel double working layout.
bool loadCorrespondences(const CvMat* object_points, const CvMat* image_points, int count, MatGuard& objectPts,
                         MatGuard& imagePts) {
  imagePts.reset(cvCreateMat(1, count, CV_64FC2));
  objectPts.reset(cvCreateMat(1, count, CV_64FC2));
  Orvel_cvConvertPointsHomogenious(image_points, imagePts.get());
  if (innerFailed()) return false;
  Orvel_cvConvertPointsHomogenious(object_points, objectPts.get());
  return !innerFailed();
}

// Linear estimate from the normalised image points: the null vector of L
// (or of L^T L for more than four points), un-normalised, with h8 = 1.
// L (2N x 9) is created here and kept for the caller's refinement.
void linearHomography(const CvMat* objectPts, const CvMat* imagePts, MatGuard& L, double h[9]) {
  const int count = imagePts->cols;
  const CvPoint2D64f* M = reinterpret_cast<const CvPoint2D64f*>(objectPts->data.db);
  const CvPoint2D64f* m = reinterpret_cast<const CvPoint2D64f*>(imagePts->data.db);
  CvPoint2D64f cm = {0, 0}, sm = {0, 0};
  for (int i = 0; i < count; ++i) cm.x += m[i].x, cm.y += m[i].y;
  cm.x /= count, cm.y /= count;
  for (int i = 0; i < count; ++i) sm.x += std::abs(m[i].x - cm.x), sm.y += std::abs(m[i].y - cm.y);
  sm.x /= count, sm.y /= count;
  // All image points on one vertical or horizontal line: no spread to divide by.
  if (sm.x == 0) sm.x = 1;
  if (sm.y == 0) sm.y = 1;

  L.reset(cvCreateMat(2 * count, 9, CV_64FC1));
  double* row = L.get()->data.db;
  for (int i = 0; i < count; ++i, row += 18) {
    const double X = M[i].x, Y = M[i].y;
    const double x = (m[i].x - cm.x) / sm.x, y = (m[i].y - cm.y) / sm.y;
    const double rows[18] = {X, Y, 1, 0, 0, 0, -x * X, -x * Y, -x, 0, 0, 0, X, Y, 1, -y * X, -y * Y, -y};
    std::copy(rows, rows + 18, row);
  }

  double LtL[81], W[9], Vt[81];
  CvMat LtLm = cvMat(9, 9, CV_64FC1, LtL), Vtm = cvMat(9, 9, CV_64FC1, Vt);
  CvMat* A = L.get();
  if (count > 4) {
    cvMulTransposed(L.get(), &LtLm, 1);
    A = &LtLm;
  }
  CvMat Wm = cvMat(std::min(2 * count, 9), 1, CV_64FC1, W);
  cvSVD(A, &Wm, nullptr, &Vtm, CV_SVD_MODIFY_A + CV_SVD_V_T);
  const double* last = Vt + 72;
  double H0[9];
  for (int k = 0; k < 9; ++k) H0[k] = last[k] / last[8];
  const double Hinv[9] = {sm.x, 0, cm.x, 0, sm.y, cm.y, 0, 0, 1};
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c)
      h[r * 3 + c] = Hinv[r * 3] * H0[c] + Hinv[r * 3 + 1] * H0[3 + c] + Hinv[r * 3 + 2] * H0[6 + c];
}

// Ten Gauss-Newton steps on h0..h7 minimising the image distances; the
// Jacobian and error vector live in L's buffer.
bool refineHomography(const CvMat* objectPts, const CvMat* imagePts, CvMat* L, double h[9]) {
  const int count = imagePts->cols;
  const CvPoint2D64f* M = reinterpret_cast<const CvPoint2D64f*>(objectPts->data.db);
  const CvPoint2D64f* m = reinterpret_cast<const CvPoint2D64f*>(imagePts->data.db);
  CvMat J = cvMat(2 * count, 8, CV_64FC1, L->data.db);
  CvMat e = cvMat(2 * count, 1, CV_64FC1, L->data.db + 16 * count);
  double JtJ[64], JtErr[8], W[8], V[64], step[8];
  CvMat JtJm = cvMat(8, 8, CV_64FC1, JtJ), JtErrm = cvMat(8, 1, CV_64FC1, JtErr);
  CvMat Wm = cvMat(8, 1, CV_64FC1, W), Vm = cvMat(8, 8, CV_64FC1, V), stepm = cvMat(8, 1, CV_64FC1, step);
  for (int iteration = 0; iteration < 10; ++iteration) {
    double* j = J.data.db;
    double* err = e.data.db;
    for (int i = 0; i < count; ++i, j += 16, err += 2) {
      const double X = M[i].x, Y = M[i].y;
      const double d = 1.0 / (h[6] * X + h[7] * Y + 1.0);
      const double xh = (h[0] * X + h[1] * Y + h[2]) * d;
      const double yh = (h[3] * X + h[4] * Y + h[5]) * d;
      err[0] = m[i].x - xh;
      err[1] = m[i].y - yh;
      const double rows[16] = {X * d, Y * d, d, 0, 0, 0, -X * d * xh, -Y * d * xh,
                               0, 0, 0, X * d, Y * d, d, -X * d * yh, -Y * d * yh};
      std::copy(rows, rows + 16, j);
    }
    Orvel_icvGaussNewton(&J, &e, &stepm, &JtJm, &JtErrm, &Wm, &Vm);
    if (innerFailed()) return false;
    for (int k = 0; k < 8; ++k) h[k] += step[k];
  }
  return true;
}

void findHomography(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  static constexpr const char* kRoutine = "Orvel_cvFindHomography";
  if (!CV_IS_MAT(object_points) || !CV_IS_MAT(image_points) || !CV_IS_MAT(H)) {
    report(-5, kRoutine, "one of arguments is not a valid matrix", __LINE__);
    return;
  }
  if (CV_MAT_TYPE(H->type) != CV_32FC1 && CV_MAT_TYPE(H->type) != CV_64FC1) {
    report(-210, kRoutine, "Homography matrix must have 32fC1 or 64fC1 type", __LINE__);
    return;
  }
  if (H->rows != 3 || H->cols != 3) {
    report(-201, kRoutine, "Homography matrix must be 3x3", __LINE__);
    return;
  }
  const int count = std::max(image_points->rows, image_points->cols);
  if (count != std::max(object_points->rows, object_points->cols)) {
    report(-209, kRoutine, "Numbers of image and object points do not match", __LINE__);
    return;
  }
  // Fewer than four correspondences leave a family of solutions; any one of
  // them would be an arbitrary answer.
  if (count < 4) {
    report(-201, kRoutine, "At least four point correspondences are needed", __LINE__);
    return;
  }
  MatGuard objectPts, imagePts, L;
  if (!loadCorrespondences(object_points, image_points, count, objectPts, imagePts)) {
    report(-1, kRoutine, kInnerFailed, __LINE__);
    return;
  }
  double h[9];
  linearHomography(objectPts.get(), imagePts.get(), L, h);
  if (count > 4 && !refineHomography(objectPts.get(), imagePts.get(), L.get(), h)) {
    report(-1, kRoutine, kInnerFailed, __LINE__);
    return;
  }
  CvMat result = cvMat(3, 3, CV_64FC1, h);
  cvConvertScale(&result, H, 1, 0);
}

void findHomographyRefined(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  // No reports here, but nothing is read through an invalid header either.
  if (!CV_IS_MAT(object_points) || !CV_IS_MAT(image_points) || !CV_IS_MAT(H)) return;
  const int count = std::max(image_points->rows, image_points->cols);
  MatGuard objectPts, imagePts, L;
  // The caller has checked the arguments; a failed conversion (already
  // reported by the conversion) still leaves H untouched.
  if (!loadCorrespondences(object_points, image_points, count, objectPts, imagePts)) return;
  double h[9];
  linearHomography(objectPts.get(), imagePts.get(), L, h);

  const CvPoint2D64f* M = reinterpret_cast<const CvPoint2D64f*>(objectPts.get()->data.db);
  const CvPoint2D64f* m = reinterpret_cast<const CvPoint2D64f*>(imagePts.get()->data.db);
  std::vector<vgl_homg_point_2d<double>> planePoints, imagePoints;
  planePoints.reserve(static_cast<size_t>(count));
  imagePoints.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) {
    planePoints.emplace_back(M[i].x, M[i].y, 1.0);
    imagePoints.emplace_back(m[i].x, m[i].y, 1.0);
  }
  vgl_h_matrix_2d_optimize_lmq optimiser{vgl_h_matrix_2d<double>(h)};
  vgl_h_matrix_2d<double> refined;
  optimiser.optimize(planePoints, imagePoints, refined);
  double values[9];
  refined.get(values);
  const double last = values[8];
  for (double& v : values) v /= last;
  CvMat result = cvMat(3, 3, CV_64FC1, values);
  cvConvertScale(&result, H, 1, 0);
}

// ---------------------------------------------------------------------------
// Projection.

// Point lists in the working layout: N consecutive points of `dim` doubles.
bool isWorkingLayout(const CvMat* m, int count, int dim) {
  if (!CV_IS_MAT_CONT(m->type) || depthOf(m) != CV_64F) return false;
  const int cn = channelsOf(m);
  const bool oneRow = m->rows == 1 && cn == dim && m->cols == count;
  const bool pointPerRow = m->rows == count && cn * m->cols == dim;
  return oneRow || pointPerRow;
}

bool isFloatVector(const CvMat* m, int length) {
  return isFloatingDepth(depthOf(m)) && isVectorShape(m) && vectorLength(m) == length;
}

bool isFloatMatrix(const CvMat* m, int rows, int cols) {
  return CV_IS_MAT(m) && channelsOf(m) == 1 && isFloatingDepth(depthOf(m)) && m->rows == rows && m->cols == cols;
}

// A requested derivative matrix: filled directly when double, else through a
// double temporary that is converted into it at the end.
struct DerivativeOutput {
  CvMat* caller = nullptr;
  MatGuard temporary;
  CvMat* target() const { return temporary.get() ? temporary.get() : caller; }
  void prepare() {
    if (caller && depthOf(caller) != CV_64F) temporary.reset(cvCreateMat(caller->rows, caller->cols, CV_64FC1));
  }
  void finish() const {
    if (temporary.get()) cvConvertScale(temporary.get(), caller, 1, 0);
  }
  double* rows(int point) const {
    CvMat* m = target();
    return m ? reinterpret_cast<double*>(m->data.ptr + static_cast<size_t>(2 * point) * m->step) : nullptr;
  }
  int step() const { return target()->step / static_cast<int>(sizeof(double)); }
};

struct CameraModel {
  double R[9];
  double dRdr[27];
  double t[3];
  double fx, fy, cx, cy;
  double k[4];  // k1, k2, p1, p2
};

// The rotation as a matrix plus dR/dr. A 3x3 argument is used as given; its
// derivative is that of the equivalent rotation vector.
bool loadRotation(const CvMat* rotation, CameraModel& model) {
  CvMat Rm = cvMat(3, 3, CV_64FC1, model.R), Jm = cvMat(3, 9, CV_64FC1, model.dRdr);
  double r[3];
  CvMat rv = cvMat(1, 3, CV_64FC1, r);
  if (isVectorShape(rotation)) {
    readVector(rotation, r, 3);
  } else {
    Orvel_cvRodrigues2(rotation, &rv, nullptr);
    if (innerFailed()) return false;
  }
  Orvel_cvRodrigues2(&rv, &Rm, &Jm);
  if (innerFailed()) return false;
  if (!isVectorShape(rotation)) cvConvertScale(rotation, &Rm, 1, 0);
  return true;
}

void projectAll(const CameraModel& cam, const double* objects, double* images, int count,
                const DerivativeOutput* d) {
  const bool anyDerivative = d[0].caller || d[1].caller || d[2].caller || d[3].caller || d[4].caller;
  const double* R = cam.R;
  const double k1 = cam.k[0], k2 = cam.k[1], p1 = cam.k[2], p2 = cam.k[3];
  for (int i = 0; i < count; ++i) {
    const double X = objects[3 * i], Y = objects[3 * i + 1], Z = objects[3 * i + 2];
    const double Xc = R[0] * X + R[1] * Y + R[2] * Z + cam.t[0];
    const double Yc = R[3] * X + R[4] * Y + R[5] * Z + cam.t[1];
    const double Zc = R[6] * X + R[7] * Y + R[8] * Z + cam.t[2];
    const double z = Zc != 0 ? 1.0 / Zc : 1.0;
    const double x = Xc * z, y = Yc * z;
    const double r2 = x * x + y * y, r4 = r2 * r2;
    const double a1 = 2 * x * y, a2 = r2 + 2 * x * x, a3 = r2 + 2 * y * y;
    const double cdist = 1 + k1 * r2 + k2 * r4;
    const double xd = x * cdist + p1 * a1 + p2 * a2;
    const double yd = y * cdist + p1 * a3 + p2 * a1;
    images[2 * i] = cam.fx * xd + cam.cx;
    images[2 * i + 1] = cam.fy * yd + cam.cy;
    if (!anyDerivative) continue;

    // d(u, v)/dq from the derivatives of the normalised point; a2 = r2 + 2x^2
    // and a3 = r2 + 2y^2 change by dr2 + 4x dx and dr2 + 4y dy.
    auto chain = [&](double dxdq, double dydq, double& du, double& dv) {
      const double dr2 = 2 * x * dxdq + 2 * y * dydq;
      const double dcdist = k1 * dr2 + 2 * k2 * r2 * dr2;
      const double da1 = 2 * (x * dydq + y * dxdq);
      du = cam.fx * (dxdq * cdist + x * dcdist + p1 * da1 + p2 * (dr2 + 4 * x * dxdq));
      dv = cam.fy * (dydq * cdist + y * dcdist + p1 * (dr2 + 4 * y * dydq) + p2 * da1);
    };
    if (double* u = d[0].rows(i)) {  // rotation
      double* v = u + d[0].step();
      for (int j = 0; j < 3; ++j) {
        const double* dR = cam.dRdr + 9 * j;
        const double dXc = dR[0] * X + dR[1] * Y + dR[2] * Z;
        const double dYc = dR[3] * X + dR[4] * Y + dR[5] * Z;
        const double dZc = dR[6] * X + dR[7] * Y + dR[8] * Z;
        chain(z * (dXc - x * dZc), z * (dYc - y * dZc), u[j], v[j]);
      }
    }
    if (double* u = d[1].rows(i)) {  // translation
      double* v = u + d[1].step();
      chain(z, 0, u[0], v[0]);
      chain(0, z, u[1], v[1]);
      chain(-x * z, -y * z, u[2], v[2]);
    }
    if (double* u = d[2].rows(i)) {  // focal lengths
      double* v = u + d[2].step();
      u[0] = xd, u[1] = 0, v[0] = 0, v[1] = yd;
    }
    if (double* u = d[3].rows(i)) {  // principal point
      double* v = u + d[3].step();
      u[0] = 1, u[1] = 0, v[0] = 0, v[1] = 1;
    }
    if (double* u = d[4].rows(i)) {  // distortion
      double* v = u + d[4].step();
      u[0] = cam.fx * x * r2, u[1] = cam.fx * x * r4;
      v[0] = cam.fy * y * r2, v[1] = cam.fy * y * r4;
      if (d[4].target()->cols == 4) {
        u[2] = cam.fx * a1, u[3] = cam.fx * a2;
        v[2] = cam.fy * a3, v[3] = cam.fy * a1;
      }
    }
  }
}

void projectPoints(const CvMat* object_points, const CvMat* rotation_vector, const CvMat* translation_vector,
                   const CvMat* intrinsic_matrix, const CvMat* dist_coeffs, CvMat* image_points, CvMat* dpdrot,
                   CvMat* dpdt, CvMat* dpdf, CvMat* dpdc, CvMat* dpdk) {
  static constexpr const char* kRoutine = "Orvel_cvProjectPoints2";
  if (!CV_IS_MAT(object_points) || !CV_IS_MAT(rotation_vector) || !CV_IS_MAT(translation_vector) ||
      !CV_IS_MAT(intrinsic_matrix) || !CV_IS_MAT(image_points)) {
    report(-5, kRoutine, "One of required arguments is not a valid matrix", __LINE__);
    return;
  }
  const int count = std::max(object_points->rows, object_points->cols);

  MatGuard objectCopy, imageCopy;
  const CvMat* objects = object_points;
  if (!isWorkingLayout(object_points, count, 3)) {
    objectCopy.reset(cvCreateMat(1, count, CV_64FC3));
    Orvel_cvConvertPointsHomogenious(object_points, objectCopy.get());
    if (innerFailed()) {
      report(-1, kRoutine, kInnerFailed, __LINE__);
      return;
    }
    objects = objectCopy.get();
  }
  CvMat* images = image_points;
  if (!isWorkingLayout(image_points, count, 2)) {
    imageCopy.reset(cvCreateMat(1, count, CV_64FC2));
    images = imageCopy.get();
  }

  CameraModel cam;
  const bool rotationIsMatrix =
      rotation_vector->rows == 3 && rotation_vector->cols == 3 && channelsOf(rotation_vector) == 1;
  if (!isFloatingDepth(depthOf(rotation_vector)) ||
      !(rotationIsMatrix || (isVectorShape(rotation_vector) && vectorLength(rotation_vector) == 3))) {
    report(-5, kRoutine,
           "Rotation must be represented by 1x3 or 3x1 floating-point rotation vector, or 3x3 rotation matrix",
           __LINE__);
    return;
  }
  if (!loadRotation(rotation_vector, cam)) {
    report(-1, kRoutine, kInnerFailed, __LINE__);
    return;
  }
  if (!isFloatVector(translation_vector, 3)) {
    report(-5, kRoutine, "Translation vector must be 1x3 or 3x1 floating-point vector", __LINE__);
    return;
  }
  readVector(translation_vector, cam.t, 3);
  if (!isFloatMatrix(intrinsic_matrix, 3, 3)) {
    report(-5, kRoutine, "Instrinsic parameters must be 3x3 floating-point matrix", __LINE__);
    return;
  }
  double A[9];
  CvMat Am = cvMat(3, 3, CV_64FC1, A);
  cvConvertScale(intrinsic_matrix, &Am, 1, 0);
  cam.fx = A[0], cam.fy = A[4], cam.cx = A[2], cam.cy = A[5];
  std::fill(cam.k, cam.k + 4, 0.0);
  if (dist_coeffs) {
    if (!CV_IS_MAT(dist_coeffs) || !isFloatVector(dist_coeffs, 4)) {
      report(-5, kRoutine, "Distortion coefficients must be 1x4 or 4x1 floating-point vector", __LINE__);
      return;
    }
    readVector(dist_coeffs, cam.k, 4);
  }

  const struct {
    CvMat* mat;
    int cols;
    const char* message;
  } derivatives[] = {{dpdrot, 3, "dp/drot must be 2Nx3 floating-point matrix"},
                     {dpdt, 3, "dp/dT must be 2Nx3 floating-point matrix"},
                     {dpdf, 2, "dp/df must be 2Nx2 floating-point matrix"},
                     {dpdc, 2, "dp/dc must be 2Nx2 floating-point matrix"}};
  for (const auto& d : derivatives)
    if (d.mat && !isFloatMatrix(d.mat, 2 * count, d.cols)) {
      report(-5, kRoutine, d.message, __LINE__);
      return;
    }
  if (dpdk) {
    if (!isFloatMatrix(dpdk, 2 * count, 4) && !isFloatMatrix(dpdk, 2 * count, 2)) {
      report(-5, kRoutine, "dp/dk must be 2Nx4 or 2Nx2 floating-point matrix", __LINE__);
      return;
    }
    if (!dist_coeffs) {
      report(-27, kRoutine, "dist_coeffs is NULL while dpdk is not", __LINE__);
      return;
    }
  }
  DerivativeOutput outputs[5];
  CvMat* callers[5] = {dpdrot, dpdt, dpdf, dpdc, dpdk};
  for (int i = 0; i < 5; ++i) {
    outputs[i].caller = callers[i];
    outputs[i].prepare();
  }

  projectAll(cam, objects->data.db, images->data.db, count, outputs);

  if (imageCopy.get()) {
    Orvel_cvConvertPointsHomogenious(imageCopy.get(), image_points);
    if (innerFailed()) {
      report(-1, kRoutine, kInnerFailed, __LINE__);
      return;
    }
  }
  for (const auto& output : outputs) output.finish();
}

}  // namespace

void Orvel_icvGaussNewton(const CvMat* J, const CvMat* err, CvMat* delta, CvMat* JtJ, CvMat* JtErr, CvMat* JtJW,
                          CvMat* JtJV) {
  OrvelStatusScope status;
  try {
    gaussNewton(J, err, delta, JtJ, JtErr, JtJW, JtJV);
  } catch (...) {
    report(-1, "Orvel_icvGaussNewton", kInnerFailed, __LINE__);
  }
}

void Orvel_cvFindHomography(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  OrvelStatusScope status;
  try {
    findHomography(object_points, image_points, H);
  } catch (...) {
    report(-1, "Orvel_cvFindHomography", kInnerFailed, __LINE__);
  }
}

void icvFindHomographyRefined(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  OrvelStatusScope status;
  try {
    findHomographyRefined(object_points, image_points, H);
  } catch (...) {
    // Nothing is reported from here; a library failure leaves H as it was.
  }
}

void Orvel_cvProjectPoints2(const CvMat* object_points, const CvMat* rotation_vector,
                            const CvMat* translation_vector, const CvMat* intrinsic_matrix,
                            const CvMat* dist_coeffs, CvMat* image_points, CvMat* dpdrot, CvMat* dpdt, CvMat* dpdf,
                            CvMat* dpdc, CvMat* dpdk) {
  OrvelStatusScope status;
  try {
    projectPoints(object_points, rotation_vector, translation_vector, intrinsic_matrix, dist_coeffs, image_points,
                  dpdrot, dpdt, dpdf, dpdc, dpdk);
  } catch (...) {
    report(-1, "Orvel_cvProjectPoints2", kInnerFailed, __LINE__);
  }
}
