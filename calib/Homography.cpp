// Plane-to-image homographies and the Gauss-Newton step they share with the
// rest of the engine.

#include <algorithm>
#include <cmath>
#include <vector>

#include "calib/Calibration.h"
#include "calib/EngineStatus.h"
#include "calib/MatrixAccess.h"
#include "calib/vnl/vgl_h_matrix_2d_optimize_lmq.h"

namespace {

using namespace engine;
// Gauss-Newton step.

void gaussNewton(const CvMat* J, const CvMat* err, CvMat* delta, CvMat* JtJ, CvMat* JtErr, CvMat* JtJW,
                 CvMat* JtJV) {
  static constexpr const char* kRoutine = "Orvel_icvGaussNewton";
  if (!CV_IS_MAT(J) || !CV_IS_MAT(err) || !CV_IS_MAT(delta)) {
    Report(kRoutine, ORVEL_StsBadArg, "Some of required arguments is not a valid matrix");
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
  MatPtr owned[4];
  for (int i = 0; i < 4; ++i) {
    if (!work[i].mat) {
      owned[i].reset(cvCreateMat(work[i].rows, work[i].cols, type));
      work[i].mat = owned[i].get();
    } else if (!CV_IS_MAT(work[i].mat)) {
      Report(kRoutine, ORVEL_StsBadArg, work[i].invalid);
      return;
    }
  }
  cvMulTransposed(J, JtJ, 1);
  cvGEMM(J, err, 1, nullptr, 0, JtErr, CV_GEMM_A_T);
  cvSVD(JtJ, JtJW, nullptr, JtJV, CV_SVD_MODIFY_A + CV_SVD_V_T);
  cvSVBkSb(JtJW, JtJV, JtJV, JtErr, delta, CV_SVD_U_T + CV_SVD_V_T);
}

// Homography.

// Converts both point lists into the 1xN two-channel double working layout.
bool loadCorrespondences(const CvMat* object_points, const CvMat* image_points, int count, MatPtr& objectPts,
                         MatPtr& imagePts) {
  imagePts.reset(cvCreateMat(1, count, CV_64FC2));
  objectPts.reset(cvCreateMat(1, count, CV_64FC2));
  Orvel_cvConvertPointsHomogenious(image_points, imagePts.get());
  if (InnerFailed()) return false;
  Orvel_cvConvertPointsHomogenious(object_points, objectPts.get());
  return !InnerFailed();
}

// Linear estimate from the normalised image points: the null vector of L
// (or of L^T L for more than four points), un-normalised, with h8 = 1.
// L (2N x 9) is created here and kept for the caller's refinement.
void linearHomography(const CvMat* objectPts, const CvMat* imagePts, MatPtr& L, double h[9]) {
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
    if (InnerFailed()) return false;
    for (int k = 0; k < 8; ++k) h[k] += step[k];
  }
  return true;
}

void findHomography(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  static constexpr const char* kRoutine = "Orvel_cvFindHomography";
  if (!CV_IS_MAT(object_points) || !CV_IS_MAT(image_points) || !CV_IS_MAT(H)) {
    Report(kRoutine, ORVEL_StsBadArg, "one of arguments is not a valid matrix");
    return;
  }
  if (CV_MAT_TYPE(H->type) != CV_32FC1 && CV_MAT_TYPE(H->type) != CV_64FC1) {
    Report(kRoutine, ORVEL_StsUnsupportedFormat, "Homography matrix must have 32fC1 or 64fC1 type");
    return;
  }
  if (H->rows != 3 || H->cols != 3) {
    Report(kRoutine, ORVEL_StsBadSize, "Homography matrix must be 3x3");
    return;
  }
  const int count = std::max(image_points->rows, image_points->cols);
  if (count != std::max(object_points->rows, object_points->cols)) {
    Report(kRoutine, ORVEL_StsUnmatchedSizes, "Numbers of image and object points do not match");
    return;
  }
  // Fewer than four correspondences leave a family of solutions; any one of
  // them would be an arbitrary answer.
  if (count < 4) {
    Report(kRoutine, ORVEL_StsBadSize, "At least four point correspondences are needed");
    return;
  }
  MatPtr objectPts, imagePts, L;
  if (!loadCorrespondences(object_points, image_points, count, objectPts, imagePts)) {
    Report(kRoutine, ORVEL_StsBackTrace, kInnerFailed);
    return;
  }
  double h[9];
  linearHomography(objectPts.get(), imagePts.get(), L, h);
  if (count > 4 && !refineHomography(objectPts.get(), imagePts.get(), L.get(), h)) {
    Report(kRoutine, ORVEL_StsBackTrace, kInnerFailed);
    return;
  }
  CvMat result = cvMat(3, 3, CV_64FC1, h);
  cvConvertScale(&result, H, 1, 0);
}

void findHomographyRefined(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  // No reports here, but nothing is read through an invalid header either.
  if (!CV_IS_MAT(object_points) || !CV_IS_MAT(image_points) || !CV_IS_MAT(H)) return;
  const int count = std::max(image_points->rows, image_points->cols);
  MatPtr objectPts, imagePts, L;
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

}  // namespace

void Orvel_icvGaussNewton(const CvMat* J, const CvMat* err, CvMat* delta, CvMat* JtJ, CvMat* JtErr, CvMat* JtJW,
                          CvMat* JtJV) {
  RunGuarded("Orvel_icvGaussNewton", [&] { gaussNewton(J, err, delta, JtJ, JtErr, JtJW, JtJV); });
}

void Orvel_cvFindHomography(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  RunGuarded("Orvel_cvFindHomography", [&] { findHomography(object_points, image_points, H); });
}

void icvFindHomographyRefined(const CvMat* object_points, const CvMat* image_points, CvMat* H) {
  // Nothing is reported from here: a library failure leaves H as it was.
  OrvelStatusScope status;
  try {
    findHomographyRefined(object_points, image_points, H);
  } catch (...) {
  }
}
