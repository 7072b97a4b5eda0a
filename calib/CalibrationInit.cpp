// Initial calibration of one camera: the closed-form camera matrix from planar
// views, the pose of a single view, and the combination of both that gives a
// complete first estimate (camera matrix, zero distortion, a pose per view).
//
// Every routine reports failures through the engine's error status and leaves
// through one exit: temporaries are owned by RAII handles, and any exception
// thrown by OpenCV is turned into an "Inner function failed." report.

#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>

#include "calib/Calibration.h"
#include "calib/CameraModel.h"
#include "calib/EngineStatus.h"

namespace {

using namespace engine;

constexpr const char* kInitIntrinsicName = "Orvel_icvInitIntrinsicParams2D";
constexpr const char* kExtrinsicName = "Orvel_cvFindExtrinsicCameraParams2";
constexpr const char* kCalibrateName = "Orvel_cvCalibrateCamera2";

constexpr int kMaxPoseIterations = 20;
constexpr int kUndistortIterations = 20;

// ---------------------------------------------------------------------------
// Matrix shape helpers

bool IsFloatingDepth(int type) {
  const int depth = CV_MAT_DEPTH(type);
  return depth == CV_32F || depth == CV_64F;
}

int NumbersIn(const CvMat* mat) { return mat->rows * mat->cols * CV_MAT_CN(mat->type); }

// Coordinates per point, read the way the point conversion reads a layout:
// points run along the longer side.
int PointDimension(const CvMat* points) {
  const int channels = CV_MAT_CN(points->type);
  return points->rows > points->cols ? channels * points->cols : channels * points->rows;
}

bool IsIntrinsicShape(const CvMat* mat) {
  return mat->rows == 3 && mat->cols == 3 && CV_MAT_CN(mat->type) == 1 && IsFloatingDepth(mat->type);
}

bool IsCountVector(const CvMat* counts) {
  return CV_MAT_TYPE(counts->type) == CV_32SC1 && (counts->rows == 1 || counts->cols == 1);
}

int CountAt(const CvMat* counts, int view) {
  return counts->rows == 1 ? CV_MAT_ELEM(*counts, int, 0, view) : CV_MAT_ELEM(*counts, int, view, 0);
}

int ViewCount(const CvMat* counts) { return counts->rows + counts->cols - 1; }

// A read-only header over the caller's numbers, shaped like `like` but in double.
CvMat DoubleHeaderLike(const CvMat* like, double* data) {
  return cvMat(like->rows, like->cols, CV_64FC(CV_MAT_CN(like->type)), data);
}

// ---------------------------------------------------------------------------
// Small fixed-size algebra on plain doubles (row by row)

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<double, 9>;

double Dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
double Norm(const Vec3& a) { return std::sqrt(Dot(a, a)); }
Vec3 Scale(const Vec3& a, double s) { return {a[0] * s, a[1] * s, a[2] * s}; }
Vec3 Sub(const Vec3& a, const Vec3& b) { return {a[0] - b[0], a[1] - b[1], a[2] - b[2]}; }
Vec3 Add(const Vec3& a, const Vec3& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }
Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 MatVec(const Mat3& m, const Vec3& v) {
  return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
          m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}
Mat3 MatMul(const Mat3& a, const Mat3& b) {
  Mat3 c{};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) c[3 * i + j] = a[3 * i] * b[j] + a[3 * i + 1] * b[3 + j] + a[3 * i + 2] * b[6 + j];
  return c;
}
Vec3 Column(const Mat3& m, int col) { return {m[col], m[3 + col], m[6 + col]}; }
double Det(const Mat3& m) {
  return m[0] * (m[4] * m[8] - m[5] * m[7]) - m[1] * (m[3] * m[8] - m[5] * m[6]) +
         m[2] * (m[3] * m[7] - m[4] * m[6]);
}

// ---------------------------------------------------------------------------
// Closed-form camera matrix

struct PrincipalPoint {
  double cx;
  double cy;
};

// Two rows of the linear system in 1/fx^2, 1/fy^2: the image of the plane's two
// axes, and of its two diagonals, must be orthogonal.
void AddViewConstraints(const double* h, CvMat* A, CvMat* b, int view) {
  Vec3 p{h[0], h[3], h[6]};
  Vec3 q{h[1], h[4], h[7]};
  Vec3 d1 = Scale(Add(p, q), 0.5);
  Vec3 d2 = Scale(Sub(p, q), 0.5);
  p = Scale(p, 1.0 / Norm(p));
  q = Scale(q, 1.0 / Norm(q));
  d1 = Scale(d1, 1.0 / Norm(d1));
  d2 = Scale(d2, 1.0 / Norm(d2));
  const int row = 2 * view;
  CV_MAT_ELEM(*A, double, row, 0) = p[0] * q[0];
  CV_MAT_ELEM(*A, double, row, 1) = p[1] * q[1];
  CV_MAT_ELEM(*b, double, row, 0) = -p[2] * q[2];
  CV_MAT_ELEM(*A, double, row + 1, 0) = d1[0] * d2[0];
  CV_MAT_ELEM(*A, double, row + 1, 1) = d1[1] * d2[1];
  CV_MAT_ELEM(*b, double, row + 1, 0) = -d1[2] * d2[2];
}

bool CheckInitIntrinsicArgs(const CvMat* objectPoints, const CvMat* imagePoints, const CvMat* pointCounts,
                            CvSize imageSize, const CvMat* intrinsic) {
  const char* routine = kInitIntrinsicName;
  for (const CvMat* mat : {objectPoints, imagePoints, pointCounts, intrinsic}) {
    if (!CV_IS_MAT(mat) || !mat->data.ptr) {
      Report(routine, InvalidMatrixCode(mat), "One of required arguments is not a valid matrix");
      return false;
    }
  }
  if (CV_MAT_CN(objectPoints->type) != 3 || !IsFloatingDepth(objectPoints->type) ||
      CV_MAT_CN(imagePoints->type) != 2 || !IsFloatingDepth(imagePoints->type)) {
    Report(routine, ORVEL_StsUnsupportedFormat, "Both object points and image points must be 2D");
    return false;
  }
  if (objectPoints->rows != 1 || imagePoints->rows != 1) {
    Report(routine, ORVEL_StsBadSize, "object points and image points must be a single-row matrices");
    return false;
  }
  if (!IsCountVector(pointCounts)) {
    Report(routine, ORVEL_StsBadArg, "Point counts must be a row or column of 32-bit integers");
    return false;
  }
  if (!IsIntrinsicShape(intrinsic)) {
    Report(routine, ORVEL_StsBadSize, "Intrinsic matrix must be 3x3 floating-point matrix");
    return false;
  }
  if (imageSize.width <= 0 || imageSize.height <= 0) {
    Report(routine, ORVEL_StsOutOfRange, "Image size must be positive");
    return false;
  }
  return true;
}

// Every view needs enough points for a homography, and together they must fit in the point rows.
bool CheckViewCounts(const char* routine, const CvMat* counts, long long available) {
  long long total = 0;
  for (int view = 0; view < ViewCount(counts); ++view) {
    const int count = CountAt(counts, view);
    if (count < 4) {
      char message[64];
      std::snprintf(message, sizeof message, "The number of points in the view #%d is <4", view);
      Report(routine, ORVEL_StsOutOfRange, message);
      return false;
    }
    total += count;
  }
  if (total > available) {
    Report(routine, ORVEL_StsUnmatchedSizes, "The point counts do not match the number of points");
    return false;
  }
  return true;
}

// Two constraint rows per view from its plane-to-image homography, taken
// relative to the assumed principal point.
bool BuildFocalSystem(const CvMat* objectPoints, const CvMat* imagePoints, const CvMat* pointCounts,
                      const PrincipalPoint& centre, CvMat* A, CvMat* b) {
  int start = 0;
  for (int view = 0; view < ViewCount(pointCounts); ++view) {
    const int count = CountAt(pointCounts, view);
    CvMat viewObject, viewImage;
    cvGetCols(objectPoints, &viewObject, start, start + count);
    cvGetCols(imagePoints, &viewImage, start, start + count);
    start += count;

    double h[9];
    CvMat H = cvMat(3, 3, CV_64FC1, h);
    Orvel_cvFindHomography(&viewObject, &viewImage, &H);
    if (ReportIfInnerFailed(kInitIntrinsicName)) return false;
    for (int k = 0; k < 3; ++k) {
      h[k] -= h[6 + k] * centre.cx;
      h[3 + k] -= h[6 + k] * centre.cy;
    }
    AddViewConstraints(h, A, b, view);
  }
  return true;
}

void InitIntrinsicBody(const CvMat* objectPoints, const CvMat* imagePoints, const CvMat* pointCounts,
                       CvSize imageSize, CvMat* intrinsic, double aspectRatio) {
  const char* routine = kInitIntrinsicName;
  if (!CheckInitIntrinsicArgs(objectPoints, imagePoints, pointCounts, imageSize, intrinsic)) return;
  if (!CheckViewCounts(routine, pointCounts, std::min(objectPoints->cols, imagePoints->cols))) return;

  const int views = ViewCount(pointCounts);
  MatPtr A = CreateMat(2 * views, 2, CV_64FC1);
  MatPtr b = CreateMat(2 * views, 1, CV_64FC1);
  if (ReportIfInnerFailed(routine)) return;
  const PrincipalPoint centre{(imageSize.width - 1) * 0.5, (imageSize.height - 1) * 0.5};
  if (!BuildFocalSystem(objectPoints, imagePoints, pointCounts, centre, A.get(), b.get())) return;

  double f[2] = {0, 0}, jtj[4], jtErr[2], jtjW[2], jtjV[4];
  CvMat fMat = cvMat(2, 1, CV_64FC1, f);
  CvMat jtjMat = cvMat(2, 2, CV_64FC1, jtj), jtErrMat = cvMat(2, 1, CV_64FC1, jtErr);
  CvMat jtjWMat = cvMat(2, 1, CV_64FC1, jtjW), jtjVMat = cvMat(2, 2, CV_64FC1, jtjV);
  Orvel_icvGaussNewton(A.get(), b.get(), &fMat, &jtjMat, &jtErrMat, &jtjWMat, &jtjVMat);
  // A failed solve would leave f unset; writing a camera matrix from it would hide the failure.
  if (ReportIfInnerFailed(routine)) return;

  double fx = std::sqrt(std::fabs(1.0 / f[0]));
  double fy = std::sqrt(std::fabs(1.0 / f[1]));
  if (aspectRatio != 0) {
    const double tf = (fx + fy) / (aspectRatio + 1.0);
    fx = aspectRatio * tf;
    fy = tf;
  }
  // Views whose grid planes are all parallel to the image leave the focal length
  // undetermined: the solve then gives an infinite or absurdly long one (a field
  // of view far below a thousandth of a degree).
  const double longest = 1e6 * std::hypot(double(imageSize.width), double(imageSize.height));
  if (!(fx > 0 && fx < longest && fy > 0 && fy < longest)) {
    Report(routine, ORVEL_StsBadArg, "The views do not determine the focal length");
    return;
  }
  double a[9] = {fx, 0, centre.cx, 0, fy, centre.cy, 0, 0, 1};
  CvMat aMat = cvMat(3, 3, CV_64FC1, a);
  cvConvertScale(&aMat, intrinsic, 1, 0);
}

// ---------------------------------------------------------------------------
// Pose of one view

struct Distortion {
  double k[4] = {0, 0, 0, 0};
  bool given = false;
};

struct Pose {
  double values[6] = {0, 0, 0, 0, 0, 0};  // rotation vector, then translation
  double* rotation() { return values; }
  double* translation() { return values + 3; }
};

bool CheckExtrinsicArgs(const CvMat* objectPoints, const CvMat* imagePoints, const CvMat* intrinsic,
                        const CvMat* distCoeffs, const CvMat* rotation, const CvMat* translation) {
  const char* routine = kExtrinsicName;
  for (const CvMat* mat : {objectPoints, imagePoints, intrinsic, rotation, translation}) {
    if (!CV_IS_MAT(mat) || !mat->data.ptr) {
      Report(routine, ORVEL_StsBadArg, "One of required arguments is not a valid matrix");
      return false;
    }
  }
  if (!IsIntrinsicShape(intrinsic)) {
    Report(routine, ORVEL_StsBadSize, "Intrinsic matrix must be 3x3 floating-point matrix");
    return false;
  }
  if (distCoeffs && (!CV_IS_MAT(distCoeffs) || !distCoeffs->data.ptr || NumbersIn(distCoeffs) != 4 ||
                     !IsFloatingDepth(distCoeffs->type))) {
    Report(routine, ORVEL_StsBadSize, "Distortion coefficients must be 4 floating-point numbers");
    return false;
  }
  for (const CvMat* out : {rotation, translation}) {
    if (NumbersIn(out) != 3 || !IsFloatingDepth(out->type)) {
      Report(routine, ORVEL_StsBadSize, "Rotation and translation vectors must be 3 floating-point numbers each");
      return false;
    }
  }
  if (std::max(objectPoints->rows, objectPoints->cols) < 3) {
    Report(routine, ORVEL_StsBadSize, "At least three points are needed to find a pose");
    return false;
  }
  return true;
}

Distortion ReadDistortion(const CvMat* distCoeffs) {
  Distortion dist;
  if (!distCoeffs) return dist;
  CvMat header = DoubleHeaderLike(distCoeffs, dist.k);
  cvConvertScale(distCoeffs, &header, 1, 0);
  dist.given = true;
  return dist;
}

// Normalised coordinates of the pixels of `m`, with the lens distortion
// compensated by fixed-point iteration.
void NormaliseImagePoints(const CvMat* m, const double* a, const Distortion& dist, CvMat* mn) {
  const double fx = a[0], fy = a[4], cx = a[2], cy = a[5];
  const std::array<double, camera_model::kDistortionCount> k{dist.k[0], dist.k[1], dist.k[2], dist.k[3]};
  const double* src = m->data.db;
  double* dst = mn->data.db;
  for (int i = 0; i < m->cols; ++i) {
    const double x0 = (src[2 * i] - cx) / fx;
    const double y0 = (src[2 * i + 1] - cy) / fy;
    const camera_model::Point2<double> p =
        camera_model::Undistort(k, x0, y0, dist.given ? kUndistortIterations : 0);
    dst[2 * i] = p.x;
    dst[2 * i + 1] = p.y;
  }
}

Vec3 PointAt(const CvMat* M, int i) { return {M->data.db[3 * i], M->data.db[3 * i + 1], M->data.db[3 * i + 2]}; }

Vec3 Centroid(const CvMat* M) {
  Vec3 sum{0, 0, 0};
  for (int i = 0; i < M->cols; ++i) sum = Add(sum, PointAt(M, i));
  return Scale(sum, 1.0 / M->cols);
}

struct PointSpread {
  double w[3];  // singular values of the scatter matrix, largest first
  Mat3 vt;      // principal directions as rows, the last one the plane normal
};

PointSpread Spread(const CvMat* M, const Vec3& centroid) {
  double scatter[9] = {0};
  for (int i = 0; i < M->cols; ++i) {
    const Vec3 d = Sub(PointAt(M, i), centroid);
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) scatter[3 * r + c] += d[r] * d[c];
  }
  PointSpread spread{};
  CvMat scatterMat = cvMat(3, 3, CV_64FC1, scatter);
  CvMat wMat = cvMat(3, 1, CV_64FC1, spread.w);
  CvMat vtMat = cvMat(3, 3, CV_64FC1, spread.vt.data());
  cvSVD(&scatterMat, &wMat, nullptr, &vtMat, CV_SVD_MODIFY_A | CV_SVD_V_T);
  return spread;
}

// Starting pose from the homography between the best-fit plane of the points
// and their normalised image positions.
Pose PlanePose(const CvMat* M, const Vec3& centroid, const Mat3& principal, const CvMat* mn, CvMat* Mxy) {
  Mat3 Rt = principal;
  if (Rt[2] * Rt[2] + Rt[5] * Rt[5] < 1e-10) Rt = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  if (Det(Rt) < 0)
    for (double& v : Rt) v = -v;
  const Vec3 Tt = Scale(MatVec(Rt, centroid), -1.0);

  for (int i = 0; i < M->cols; ++i) {
    const Vec3 inPlane = Add(MatVec(Rt, PointAt(M, i)), Tt);
    Mxy->data.db[2 * i] = inPlane[0];
    Mxy->data.db[2 * i + 1] = inPlane[1];
  }
  Mat3 h;
  CvMat H = cvMat(3, 3, CV_64FC1, h.data());
  icvFindHomographyRefined(Mxy, mn, &H);

  const double lambda = 2.0 / (Norm(Column(h, 0)) + Norm(Column(h, 1)));
  for (double& v : h) v *= lambda;
  const Vec3 c0 = Column(h, 0), c1 = Column(h, 1);
  const Vec3 r1 = Scale(c0, 1.0 / Norm(c0));
  const Vec3 r2 = Sub(c1, Scale(r1, Dot(r1, c1)));
  const Vec3 r3 = Cross(r1, r2);
  Mat3 R = {r1[0], r2[0], r3[0], r1[1], r2[1], r3[1], r1[2], r2[2], r3[2]};
  Vec3 r;
  icvRodriguesArrays(R.data(), r.data(), 0);  // nearest rotation first
  icvRodriguesArrays(R.data(), r.data(), 1);

  const Vec3 t = Add(MatVec(R, Tt), Column(h, 2));
  R = MatMul(R, Rt);
  Pose pose;
  icvRodriguesArrays(R.data(), pose.rotation(), 0);
  for (int k = 0; k < 3; ++k) pose.translation()[k] = t[k];
  return pose;
}

// Starting pose of a non-planar point set: direct linear estimate of the
// projection [R|t] from the 3D points (centred and scaled for conditioning)
// to their normalised image positions. Needs six points in general position.
bool LinearPose(const CvMat* M, const Vec3& centroid, const CvMat* mn, Pose& pose) {
  const int n = M->cols;
  double scale = 0;
  for (int i = 0; i < n; ++i) scale += Norm(Sub(PointAt(M, i), centroid));
  scale /= n;
  if (n < 6 || !(scale > 0)) return false;

  Eigen::Matrix<double, 12, 12> normal = Eigen::Matrix<double, 12, 12>::Zero();
  for (int i = 0; i < n; ++i) {
    const Vec3 X = Scale(Sub(PointAt(M, i), centroid), 1.0 / scale);
    const double x = mn->data.db[2 * i], y = mn->data.db[2 * i + 1];
    Eigen::Matrix<double, 12, 1> rowU, rowV;
    rowU << X[0], X[1], X[2], 1, 0, 0, 0, 0, -x * X[0], -x * X[1], -x * X[2], -x;
    rowV << 0, 0, 0, 0, X[0], X[1], X[2], 1, -y * X[0], -y * X[1], -y * X[2], -y;
    normal.selfadjointView<Eigen::Lower>().rankUpdate(rowU);
    normal.selfadjointView<Eigen::Lower>().rankUpdate(rowV);
  }
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 12, 12>> solver(normal.selfadjointView<Eigen::Lower>());
  if (solver.info() != Eigen::Success) return false;
  Eigen::Matrix<double, 12, 1> p = solver.eigenvectors().col(0);
  if (p(11) < 0) p = -p;  // the centroid lies in front of the camera

  Eigen::Matrix3d B;
  B << p(0), p(1), p(2), p(4), p(5), p(6), p(8), p(9), p(10);
  // Dynamic-size decomposition: the fixed 3x3 one trips GCC 12's
  // maybe-uninitialized analysis inside Eigen at -O2.
  const Eigen::JacobiSVD<Eigen::MatrixXd> svd(Eigen::MatrixXd(B), Eigen::ComputeFullU | Eigen::ComputeFullV);
  const double meanSingular = svd.singularValues().mean();
  if (!(meanSingular > 0) || !std::isfinite(meanSingular)) return false;
  Eigen::Matrix3d R = svd.matrixU() * svd.matrixV().transpose();
  if (R.determinant() < 0) {
    Eigen::Matrix3d flip = Eigen::Matrix3d::Identity();
    flip(2, 2) = -1;
    R = svd.matrixU() * flip * svd.matrixV().transpose();
  }
  // B = mu*scale*R and the last column is mu*(R*centroid + t).
  const Eigen::Vector3d centreInCamera = Eigen::Vector3d(p(3), p(7), p(11)) * (scale / meanSingular);
  const Eigen::Vector3d t = centreInCamera - R * Eigen::Vector3d(centroid[0], centroid[1], centroid[2]);
  if (!t.allFinite() || !R.allFinite()) return false;

  Mat3 rowMajor;
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 3; ++c) rowMajor[3 * r + c] = R(r, c);
  icvRodriguesArrays(rowMajor.data(), pose.rotation(), 0);
  for (int k = 0; k < 3; ++k) pose.translation()[k] = t(k);
  return true;
}

// Gauss-Newton on the reprojection error. mn is reused for the projections.
bool RefinePose(const CvMat* M, const CvMat* m, const double* a, const Distortion& dist, CvMat* mn, CvMat* J,
                Pose& pose) {
  const int n = M->cols;
  double aCopy[9];
  std::copy(a, a + 9, aCopy);
  CvMat aMat = cvMat(3, 3, CV_64FC1, aCopy);
  double kCopy[4];
  std::copy(dist.k, dist.k + 4, kCopy);
  CvMat kMat = cvMat(1, 4, CV_64FC1, kCopy);
  CvMat rvec = cvMat(1, 3, CV_64FC1, pose.rotation());
  CvMat tvec = cvMat(1, 3, CV_64FC1, pose.translation());
  CvMat dpdrot, dpdt, err;
  cvGetCols(J, &dpdrot, 0, 3);
  cvGetCols(J, &dpdt, 3, 6);
  cvReshape(mn, &err, 1, 2 * n);

  double jtj[36], jtErr[6], w[6], vt[36], delta[6];
  CvMat jtjMat = cvMat(6, 6, CV_64FC1, jtj), jtErrMat = cvMat(6, 1, CV_64FC1, jtErr);
  CvMat wMat = cvMat(6, 1, CV_64FC1, w), vtMat = cvMat(6, 6, CV_64FC1, vt);
  CvMat deltaMat = cvMat(6, 1, CV_64FC1, delta);
  CvMat poseMat = cvMat(6, 1, CV_64FC1, pose.values);

  for (int iter = 0; iter < kMaxPoseIterations; ++iter) {
    Orvel_cvProjectPoints2(M, &rvec, &tvec, &aMat, dist.given ? &kMat : nullptr, mn, &dpdrot, &dpdt);
    // A failed projection leaves J and the projections undefined; do not step on them.
    if (ReportIfInnerFailed(kExtrinsicName)) return false;
    cvSub(m, mn, mn);
    cvMulTransposed(J, &jtjMat, 1);
    cvGEMM(J, &err, 1, nullptr, 0, &jtErrMat, CV_GEMM_A_T);
    cvSVD(&jtjMat, &wMat, nullptr, &vtMat, CV_SVD_MODIFY_A | CV_SVD_V_T);
    if (!(w[5] >= 1e-12 * w[0])) break;  // rank-deficient (or not finite): keep the pose
    cvSVBkSb(&wMat, &vtMat, &vtMat, &jtErrMat, &deltaMat, CV_SVD_U_T | CV_SVD_V_T);
    cvAdd(&deltaMat, &poseMat, &poseMat);
    if (cvNorm(&deltaMat, nullptr, CV_L2) / cvNorm(&poseMat, nullptr, CV_L2) < 1e-10) break;
  }
  return true;
}

void WritePoseOutputs(Pose& pose, CvMat* rotation, CvMat* translation) {
  CvMat r = DoubleHeaderLike(rotation, pose.rotation());
  CvMat t = DoubleHeaderLike(translation, pose.translation());
  cvConvertScale(&r, rotation, 1, 0);
  cvConvertScale(&t, translation, 1, 0);
}

// Object points given with two coordinates lie on the plane Z = 0; the layout
// conversion would otherwise lift them to the homogeneous Z = 1.
void FlattenPoints(CvMat* M) {
  for (int i = 0; i < M->cols; ++i) M->data.db[3 * i + 2] = 0;
}

void FindExtrinsicBody(const CvMat* objectPoints, const CvMat* imagePoints, const CvMat* intrinsic,
                       const CvMat* distCoeffs, CvMat* rotation, CvMat* translation) {
  const char* routine = kExtrinsicName;
  if (!CheckExtrinsicArgs(objectPoints, imagePoints, intrinsic, distCoeffs, rotation, translation)) return;

  const int n = std::max(objectPoints->rows, objectPoints->cols);
  MatPtr M = CreateMat(1, n, CV_64FC3);
  MatPtr Mxy = CreateMat(1, n, CV_64FC2);
  MatPtr m = CreateMat(1, n, CV_64FC2);
  MatPtr mn = CreateMat(1, n, CV_64FC2);
  if (ReportIfInnerFailed(routine)) return;
  Orvel_cvConvertPointsHomogenious(objectPoints, M.get());
  if (ReportIfInnerFailed(routine)) return;
  Orvel_cvConvertPointsHomogenious(imagePoints, m.get());
  if (ReportIfInnerFailed(routine)) return;
  if (PointDimension(objectPoints) == 2) FlattenPoints(M.get());

  double a[9];
  CvMat aMat = cvMat(3, 3, CV_64FC1, a);
  cvConvertScale(intrinsic, &aMat, 1, 0);
  const Distortion dist = ReadDistortion(distCoeffs);
  NormaliseImagePoints(m.get(), a, dist, mn.get());

  const Vec3 centroid = Centroid(M.get());
  const PointSpread spread = Spread(M.get(), centroid);
  if (!(spread.w[1] > 1e-12 * spread.w[0])) {
    Report(routine, ORVEL_StsBadArg, "The object points are collinear: the pose is undetermined");
    return;
  }
  Pose pose;
  const bool planar = spread.w[2] / spread.w[1] < 1e-3 || n < 4;
  if (planar || !LinearPose(M.get(), centroid, mn.get(), pose))
    pose = PlanePose(M.get(), centroid, spread.vt, mn.get(), Mxy.get());

  MatPtr J = CreateMat(2 * n, 6, CV_64FC1);
  if (ReportIfInnerFailed(routine)) return;
  if (!RefinePose(M.get(), m.get(), a, dist, mn.get(), J.get(), pose)) return;
  // Degenerate or non-finite input (NaN pixels, all points at one pixel) must not pass as a pose.
  if (!std::all_of(std::begin(pose.values), std::end(pose.values), [](double v) { return std::isfinite(v); })) {
    Report(routine, ORVEL_StsBadArg, "The points do not determine a pose");
    return;
  }
  WritePoseOutputs(pose, rotation, translation);
}

// ---------------------------------------------------------------------------
// Initial calibration

// Where one view's rotation or translation goes in a caller's output matrix.
struct EntryLayout {
  enum Kind { Invalid, PerRow, InOneRow, InOneColumn } kind = Invalid;
  int numbers = 3;  // 9 when each row takes a rotation matrix
};

EntryLayout DetectLayout(const CvMat* out, int views, bool allowMatrixRows) {
  EntryLayout layout;
  if (!CV_IS_MAT(out) || !out->data.ptr || !IsFloatingDepth(out->type)) return layout;
  const int channels = CV_MAT_CN(out->type);
  const int perRow = out->cols * channels;
  if (out->rows == views && (perRow == 3 || (allowMatrixRows && perRow == 9))) {
    layout.kind = EntryLayout::PerRow;
    layout.numbers = perRow;
  } else if (out->rows == 1 && perRow == 3 * views && (channels == 1 || channels == 3)) {
    layout.kind = EntryLayout::InOneRow;
  } else if (out->cols == 1 && channels == 1 && out->rows == 3 * views) {
    layout.kind = EntryLayout::InOneColumn;
  }
  return layout;
}

CvMat EntryOf(CvMat* out, const EntryLayout& layout, int view) {
  CvMat entry;
  const int channels = CV_MAT_CN(out->type);
  switch (layout.kind) {
    case EntryLayout::PerRow:
      cvGetRow(out, &entry, view);
      break;
    case EntryLayout::InOneRow:
      cvGetCols(out, &entry, 3 * view / channels, 3 * (view + 1) / channels);
      break;
    default:
      cvGetRows(out, &entry, 3 * view, 3 * view + 3);
      break;
  }
  return entry;
}

void WriteEntry(CvMat* out, const EntryLayout& layout, int view, double* values) {
  CvMat entry = EntryOf(out, layout, view);
  CvMat source = DoubleHeaderLike(&entry, values);
  cvConvertScale(&source, &entry, 1, 0);
}

struct CalibrateOutputs {
  EntryLayout rotations;
  EntryLayout translations;
};

bool CheckCalibrateOutputs(const CvMat* intrinsic, const CvMat* distCoeffs, const CvMat* rotations,
                           const CvMat* translations, CvSize imageSize, int views, CalibrateOutputs& layouts) {
  const char* routine = kCalibrateName;
  for (const CvMat* mat : {intrinsic, distCoeffs}) {
    if (!CV_IS_MAT(mat) || !mat->data.ptr) {
      Report(routine, InvalidMatrixCode(mat), "One of required arguments is not a valid matrix");
      return false;
    }
  }
  if (!IsIntrinsicShape(intrinsic)) {
    Report(routine, ORVEL_StsBadSize, "Intrinsic matrix must be 3x3 floating-point matrix");
    return false;
  }
  if (NumbersIn(distCoeffs) != 4 || !IsFloatingDepth(distCoeffs->type)) {
    Report(routine, ORVEL_StsBadSize, "Distortion coefficients must be 4 floating-point numbers");
    return false;
  }
  if (imageSize.width <= 0 || imageSize.height <= 0) {
    Report(routine, ORVEL_StsOutOfRange, "Image size must be positive");
    return false;
  }
  if (rotations) layouts.rotations = DetectLayout(rotations, views, true);
  if (translations) layouts.translations = DetectLayout(translations, views, false);
  if ((rotations && layouts.rotations.kind == EntryLayout::Invalid) ||
      (translations && layouts.translations.kind == EntryLayout::Invalid)) {
    Report(routine, ORVEL_StsBadSize, "Rotation and translation outputs must hold one entry per view");
    return false;
  }
  return true;
}

bool ReadIntrinsicGuess(const CvMat* intrinsic, CvSize imageSize, Mat3& A) {
  const char* routine = kCalibrateName;
  CvMat aMat = cvMat(3, 3, CV_64FC1, A.data());
  cvConvertScale(intrinsic, &aMat, 1, 0);
  if (A[0] <= 0 || A[4] <= 0) {
    Report(routine, ORVEL_StsOutOfRange, "Focal length (fx and fy) must be positive");
    return false;
  }
  if (A[2] < 0 || A[2] >= imageSize.width || A[5] < 0 || A[5] >= imageSize.height) {
    Report(routine, ORVEL_StsOutOfRange, "Principal point must be within the image");
    return false;
  }
  if (std::fabs(A[1]) > 1e-5) {
    Report(routine, ORVEL_StsOutOfRange, "Non-zero skew is not supported by the function");
    return false;
  }
  if (std::fabs(A[3]) > 1e-5 || std::fabs(A[6]) > 1e-5 || std::fabs(A[7]) > 1e-5 || std::fabs(A[8] - 1) > 1e-5) {
    Report(routine, ORVEL_StsOutOfRange, "The intrinsic matrix must have [fx 0 cx; 0 fy cy; 0 0 1] shape");
    return false;
  }
  A[1] = A[3] = A[6] = A[7] = 0;
  A[8] = 1;
  return true;
}

// Without a camera matrix to start from, only planar rigs (Z = 0 or Z = 1) can be calibrated.
bool IsPlanarRig(const CvMat* M) {
  double sum = 0;
  for (int i = 0; i < M->cols; ++i) sum += M->data.db[3 * i + 2];
  const double mean = sum / M->cols;
  double squares = 0;
  for (int i = 0; i < M->cols; ++i) {
    const double d = M->data.db[3 * i + 2] - mean;
    squares += d * d;
  }
  const double sdv = std::sqrt(squares / M->cols);
  return (std::fabs(mean) <= 1e-5 || std::fabs(mean - 1) <= 1e-5) && sdv <= 1e-5;
}

bool ComputeInitialIntrinsic(const CvMat* objectPoints, CvMat* M, const CvMat* m, const CvMat* counts,
                             CvSize imageSize, const CvMat* intrinsic, bool fixAspect, Mat3& A) {
  const char* routine = kCalibrateName;
  if (PointDimension(objectPoints) == 3 && !IsPlanarRig(M)) {
    Report(routine, ORVEL_StsBadArg, "For non-planar calibration rigs the initial intrinsic matrix must be specified");
    return false;
  }
  FlattenPoints(M);
  double aspectRatio = 0;
  if (fixAspect) {
    aspectRatio = cvGetReal2D(intrinsic, 0, 0) / cvGetReal2D(intrinsic, 1, 1);
    if (!(aspectRatio >= 0.01 && aspectRatio <= 100)) {
      Report(routine, ORVEL_StsOutOfRange, "The specified aspect ratio (=a(0,0)/a(1,1)) is incorrect");
      return false;
    }
  }
  CvMat aMat = cvMat(3, 3, CV_64FC1, A.data());
  Orvel_icvInitIntrinsicParams2D(M, m, counts, imageSize, &aMat, aspectRatio);
  return !ReportIfInnerFailed(routine);
}

// Every view gets its pose even when an earlier one failed: each estimation
// starts from a clean status, and a failure stays visible to the caller.
void EstimateViewPoses(const CvMat* M, const CvMat* m, const CvMat* counts, Mat3& A, CvMat* params) {
  double zeroDist[4] = {0, 0, 0, 0};
  CvMat distMat = cvMat(1, 4, CV_64FC1, zeroDist);
  CvMat aMat = cvMat(3, 3, CV_64FC1, A.data());
  int start = 0;
  for (int view = 0; view < ViewCount(counts); ++view) {
    const int count = CountAt(counts, view);
    CvMat viewObject, viewImage, rotationSlot, translationSlot;
    cvGetCols(M, &viewObject, start, start + count);
    cvGetCols(m, &viewImage, start, start + count);
    start += count;
    cvGetRows(params, &rotationSlot, 8 + 6 * view, 11 + 6 * view);
    cvGetRows(params, &translationSlot, 11 + 6 * view, 14 + 6 * view);
    Orvel_cvFindExtrinsicCameraParams2(&viewObject, &viewImage, &aMat, &distMat, &rotationSlot, &translationSlot);
  }
}

void WriteCalibrateOutputs(const Mat3& A, const CvMat* params, const CalibrateOutputs& layouts, CvMat* intrinsic,
                           CvMat* distCoeffs, CvMat* rotations, CvMat* translations) {
  Mat3 aCopy = A;
  CvMat aMat = cvMat(3, 3, CV_64FC1, aCopy.data());
  cvConvertScale(&aMat, intrinsic, 1, 0);
  cvSetZero(distCoeffs);
  const int views = (params->rows - 8) / 6;
  for (int view = 0; view < views; ++view) {
    double* pose = params->data.db + 8 + 6 * view;
    if (rotations) {
      Mat3 R;
      double* values = pose;
      if (layouts.rotations.numbers == 9) {
        icvRodriguesArrays(R.data(), pose, 1);
        values = R.data();
      }
      WriteEntry(rotations, layouts.rotations, view, values);
    }
    if (translations) WriteEntry(translations, layouts.translations, view, pose + 3);
  }
}

void StoreParameters(const Mat3& A, CvMat* params) {
  double* p = params->data.db;
  p[0] = A[0];
  p[1] = A[4];
  p[2] = A[2];
  p[3] = A[5];
  for (int k = 4; k < 8; ++k) p[k] = 0;  // the initial estimate has no distortion
}

void CalibrateBody(const CvMat* objectPoints, const CvMat* imagePoints, const CvMat* pointCounts, CvSize imageSize,
                   CvMat* intrinsic, CvMat* distCoeffs, CvMat* rotations, CvMat* translations, int flags) {
  const char* routine = kCalibrateName;
  for (const CvMat* mat : {objectPoints, imagePoints, pointCounts}) {
    if (!CV_IS_MAT(mat) || !mat->data.ptr) {
      Report(routine, InvalidMatrixCode(mat), "One of required arguments is not a valid matrix");
      return;
    }
  }
  if (pointCounts->rows != 1 && pointCounts->cols != 1) {
    Report(routine, ORVEL_StsBadSize, "Point counts must be a row or column of 32-bit integers");
    return;
  }
  MatPtr counts = CreateMat(pointCounts->rows, pointCounts->cols, CV_32SC1);
  if (ReportIfInnerFailed(routine)) return;
  cvCopy(pointCounts, counts.get());
  const int views = ViewCount(counts.get());
  // Bound the total by what the caller holds before allocating anything for it.
  const long long available = static_cast<long long>(objectPoints->rows) * objectPoints->cols;
  if (!CheckViewCounts(routine, counts.get(), available)) return;
  int total = 0;
  for (int view = 0; view < views; ++view) total += CountAt(counts.get(), view);

  CalibrateOutputs layouts;
  if (!CheckCalibrateOutputs(intrinsic, distCoeffs, rotations, translations, imageSize, views, layouts)) return;

  MatPtr M = CreateMat(1, total, CV_64FC3);
  MatPtr m = CreateMat(1, total, CV_64FC2);
  MatPtr params = CreateMat(8 + 6 * views, 1, CV_64FC1);
  if (ReportIfInnerFailed(routine)) return;
  cvSetZero(params.get());  // a view whose pose fails keeps a defined (zero) pose
  Orvel_cvConvertPointsHomogenious(objectPoints, M.get());
  if (ReportIfInnerFailed(routine)) return;
  Orvel_cvConvertPointsHomogenious(imagePoints, m.get());
  if (ReportIfInnerFailed(routine)) return;

  Mat3 A{};
  if (flags & ORVEL_CALIB_USE_INTRINSIC_GUESS) {
    if (!ReadIntrinsicGuess(intrinsic, imageSize, A)) return;
    if (PointDimension(objectPoints) == 2) FlattenPoints(M.get());
  } else if (!ComputeInitialIntrinsic(objectPoints, M.get(), m.get(), counts.get(), imageSize, intrinsic,
                                      (flags & ORVEL_CALIB_FIX_ASPECT_RATIO) != 0, A)) {
    return;
  }
  StoreParameters(A, params.get());
  EstimateViewPoses(M.get(), m.get(), counts.get(), A, params.get());
  WriteCalibrateOutputs(A, params.get(), layouts, intrinsic, distCoeffs, rotations, translations);
}

}  // namespace

void Orvel_icvInitIntrinsicParams2D(const CvMat* object_points, const CvMat* image_points, const CvMat* point_counts,
                                    CvSize image_size, CvMat* intrinsic_matrix, double aspect_ratio) {
  RunGuarded(kInitIntrinsicName, [&] {
    InitIntrinsicBody(object_points, image_points, point_counts, image_size, intrinsic_matrix, aspect_ratio);
  });
}

void Orvel_cvFindExtrinsicCameraParams2(const CvMat* object_points, const CvMat* image_points,
                                        const CvMat* intrinsic_matrix, const CvMat* dist_coeffs,
                                        CvMat* rotation_vector, CvMat* translation_vector) {
  RunGuarded(kExtrinsicName, [&] {
    FindExtrinsicBody(object_points, image_points, intrinsic_matrix, dist_coeffs, rotation_vector,
                      translation_vector);
  });
}

void Orvel_cvCalibrateCamera2(const CvMat* object_points, const CvMat* image_points, const CvMat* point_counts,
                              CvSize image_size, CvMat* intrinsic_matrix, CvMat* dist_coeffs,
                              CvMat* rotation_vectors, CvMat* translation_vectors, int flags) {
  RunGuarded(kCalibrateName, [&] {
    CalibrateBody(object_points, image_points, point_counts, image_size, intrinsic_matrix, dist_coeffs,
                  rotation_vectors, translation_vectors, flags);
  });
}
