// Rotation vector <-> rotation matrix conversions with their Jacobians.

#include <algorithm>
#include <cmath>
#include <cstring>

#include "calib/Calibration.h"
#include "calib/EngineStatus.h"
#include "calib/MatrixAccess.h"
#include "calib/vnl/vnl_svd.h"

namespace {

using namespace engine;

constexpr double kDoubleEpsilon = 2.220446049250313e-16;

// J is 3x9 row by row: row i for r_i, column k for R
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
  const int depth = DepthOf(jacobian);
  const bool transposed = jacobian->rows == 9;
  for (int i = 0; i < 3; ++i)
    for (int k = 0; k < 9; ++k) {
      const int row = transposed ? k : i, col = transposed ? i : k;
      WriteValue(jacobian->data.ptr + static_cast<size_t>(row) * jacobian->step +
                     static_cast<size_t>(col) * CV_ELEM_SIZE1(jacobian->type),
                 depth, J[i * 9 + k]);
    }
}

int rodrigues(const CvMat* src, CvMat* dst, CvMat* jacobian) {
  static constexpr const char* kRoutine = "Orvel_cvRodrigues2";
  if (!CV_IS_MAT(src)) {
    Report(kRoutine, InvalidMatrixCode(src), "Input argument is not a valid matrix");
    return 0;
  }
  if (!CV_IS_MAT(dst)) {
    Report(kRoutine, InvalidMatrixCode(dst), "The first output argument is not a valid matrix");
    return 0;
  }
  const int depth = DepthOf(src);
  if (!IsFloatingDepth(depth)) {
    Report(kRoutine, ORVEL_StsUnsupportedFormat, "The matrices must have 32f or 64f data type");
    return 0;
  }
  if (DepthOf(dst) != depth) {
    Report(kRoutine, ORVEL_StsUnmatchedFormats, "All the matrices must have the same data type");
    return 0;
  }
  if (jacobian) {
    if (!CV_IS_MAT(jacobian)) {
      Report(kRoutine, ORVEL_StsBadArg, "Jacobian is not a valid matrix");
      return 0;
    }
    if (DepthOf(jacobian) != depth || ChannelsOf(jacobian) != 1) {
      Report(kRoutine, ORVEL_StsUnmatchedFormats, "Jacobian must have 32fC1 or 64fC1 datatype");
      return 0;
    }
    if (!((jacobian->rows == 3 && jacobian->cols == 9) || (jacobian->rows == 9 && jacobian->cols == 3))) {
      Report(kRoutine, ORVEL_StsBadSize, "Jacobian must be 3x9 or 9x3");
      return 0;
    }
  }

  double J[27];
  if (IsVectorShape(src)) {
    if (VectorLength(src) != 3) {
      Report(kRoutine, ORVEL_StsBadSize, "Input matrix must be 1x3, 3x1 or 3x3");
      return 0;
    }
    if (dst->rows != 3 || dst->cols != 3 || ChannelsOf(dst) != 1) {
      Report(kRoutine, ORVEL_StsBadSize, "Output matrix must be 3x3, single-channel floating point matrix");
      return 0;
    }
    double r[3], R[9];
    ReadVector(src, r, 3);
    rotationFromVector(r, R, jacobian ? J : nullptr);
    CvMat Rheader = cvMat(3, 3, CV_64FC1, R);
    cvConvertScale(&Rheader, dst, 1, 0);
  } else if (src->rows == 3 && src->cols == 3 && ChannelsOf(src) == 1) {
    const bool oneRow = dst->rows == 1 && ChannelsOf(dst) * dst->cols == 3;
    const bool oneColumn = dst->rows == 3 && dst->cols == 1 && ChannelsOf(dst) == 1;
    if (!oneRow && !oneColumn) {
      Report(kRoutine, ORVEL_StsBadSize, "Output matrix must be 1x3 or 3x1");
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
    WriteVector(dst, r, 3);
  } else {
    // Neither a vector nor a 3x3 matrix: nothing sensible can be written, so
    // the call fails instead of returning success with `dst` untouched.
    Report(kRoutine, ORVEL_StsBadSize, "Input matrix must be 1x3, 3x1 or 3x3");
    return 0;
  }
  if (jacobian) writeJacobian(J, jacobian);
  return 1;
}

}  // namespace

int Orvel_cvRodrigues2(const CvMat* src, CvMat* dst, CvMat* jacobian) {
  int result = 0;
  RunGuarded("Orvel_cvRodrigues2", [&] { result = rodrigues(src, dst, jacobian); });
  return result;
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