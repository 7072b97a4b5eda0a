// Projection of object points through a pose, the camera matrix and the
// distortion (the model of calib/CameraModel.h), with optional derivatives.

#include <algorithm>

#include "calib/Calibration.h"
#include "calib/CameraModel.h"
#include "calib/EngineStatus.h"
#include "calib/MatrixAccess.h"

namespace {

using namespace engine;

// Point lists in the working layout: N consecutive points of `dim` doubles.
bool isWorkingLayout(const CvMat* m, int count, int dim) {
  if (!CV_IS_MAT_CONT(m->type) || DepthOf(m) != CV_64F) return false;
  const int cn = ChannelsOf(m);
  const bool oneRow = m->rows == 1 && cn == dim && m->cols == count;
  const bool pointPerRow = m->rows == count && cn * m->cols == dim;
  return oneRow || pointPerRow;
}

// A requested derivative matrix: filled directly when double, else through a
// double temporary that is converted into it at the end.
struct DerivativeOutput {
  CvMat* caller = nullptr;
  MatPtr temporary;
  CvMat* target() const { return temporary.get() ? temporary.get() : caller; }
  void prepare() {
    if (caller && DepthOf(caller) != CV_64F) temporary.reset(cvCreateMat(caller->rows, caller->cols, CV_64FC1));
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

// The pose as a rotation matrix with dR/dr and a translation, and the camera.
struct ProjectionSetup {
  double R[9];
  double dRdr[27];
  double t[3];
  camera_model::Intrinsics<double> camera;
};

// The rotation as a matrix plus dR/dr. A 3x3 argument is used as given; its
// derivative is that of the equivalent rotation vector.
bool loadRotation(const CvMat* rotation, ProjectionSetup& setup) {
  CvMat Rm = cvMat(3, 3, CV_64FC1, setup.R), Jm = cvMat(3, 9, CV_64FC1, setup.dRdr);
  double r[3];
  CvMat rv = cvMat(1, 3, CV_64FC1, r);
  if (IsVectorShape(rotation)) {
    ReadVector(rotation, r, 3);
  } else {
    Orvel_cvRodrigues2(rotation, &rv, nullptr);
    if (InnerFailed()) return false;
  }
  Orvel_cvRodrigues2(&rv, &Rm, &Jm);
  if (InnerFailed()) return false;
  if (!IsVectorShape(rotation)) cvConvertScale(rotation, &Rm, 1, 0);
  return true;
}

// Writes d(u, v)/dq for two parameters q given d(x, y)/dq of the normalised point.
void chainNormalised(const camera_model::PixelJacobian<double>& J, double dxdq, double dydq, double& du,
                     double& dv) {
  du = J.byNormalised[0][0] * dxdq + J.byNormalised[0][1] * dydq;
  dv = J.byNormalised[1][0] * dxdq + J.byNormalised[1][1] * dydq;
}

// Copies `count` intrinsic derivatives from `first` on into the two rows u, v.
void copyIntrinsicColumns(const camera_model::PixelJacobian<double>& J, int first, int count, double* u, double* v) {
  for (int j = 0; j < count; ++j) {
    u[j] = J.byIntrinsics[0][first + j];
    v[j] = J.byIntrinsics[1][first + j];
  }
}

void projectAll(const ProjectionSetup& setup, const double* objects, double* images, int count,
                const DerivativeOutput* d) {
  const bool anyDerivative = d[0].caller || d[1].caller || d[2].caller || d[3].caller || d[4].caller;
  camera_model::PixelJacobian<double> J;
  for (int i = 0; i < count; ++i) {
    const double X = objects[3 * i], Y = objects[3 * i + 1], Z = objects[3 * i + 2];
    const camera_model::CameraPoint<double> p = camera_model::ToNormalised(setup.R, setup.t, X, Y, Z);
    const camera_model::Point2<double> image =
        camera_model::ProjectNormalised(setup.camera, p.x, p.y, anyDerivative ? &J : nullptr);
    images[2 * i] = image.x;
    images[2 * i + 1] = image.y;
    if (!anyDerivative) continue;

    const double z = p.inverseDepth, x = p.x, y = p.y;
    if (double* u = d[0].rows(i)) {  // rotation
      double* v = u + d[0].step();
      for (int j = 0; j < 3; ++j) {
        const double* dR = setup.dRdr + 9 * j;
        const double dXc = dR[0] * X + dR[1] * Y + dR[2] * Z;
        const double dYc = dR[3] * X + dR[4] * Y + dR[5] * Z;
        const double dZc = dR[6] * X + dR[7] * Y + dR[8] * Z;
        chainNormalised(J, z * (dXc - x * dZc), z * (dYc - y * dZc), u[j], v[j]);
      }
    }
    if (double* u = d[1].rows(i)) {  // translation
      double* v = u + d[1].step();
      chainNormalised(J, z, 0, u[0], v[0]);
      chainNormalised(J, 0, z, u[1], v[1]);
      chainNormalised(J, -x * z, -y * z, u[2], v[2]);
    }
    if (double* u = d[2].rows(i)) copyIntrinsicColumns(J, 0, 2, u, u + d[2].step());  // focal lengths
    if (double* u = d[3].rows(i)) copyIntrinsicColumns(J, 2, 2, u, u + d[3].step());  // principal point
    if (double* u = d[4].rows(i)) copyIntrinsicColumns(J, 4, d[4].target()->cols, u, u + d[4].step());  // distortion
  }
}

void projectPoints(const CvMat* object_points, const CvMat* rotation_vector, const CvMat* translation_vector,
                   const CvMat* intrinsic_matrix, const CvMat* dist_coeffs, CvMat* image_points, CvMat* dpdrot,
                   CvMat* dpdt, CvMat* dpdf, CvMat* dpdc, CvMat* dpdk) {
  static constexpr const char* kRoutine = "Orvel_cvProjectPoints2";
  if (!CV_IS_MAT(object_points) || !CV_IS_MAT(rotation_vector) || !CV_IS_MAT(translation_vector) ||
      !CV_IS_MAT(intrinsic_matrix) || !CV_IS_MAT(image_points)) {
    Report(kRoutine, ORVEL_StsBadArg, "One of required arguments is not a valid matrix");
    return;
  }
  const int count = std::max(object_points->rows, object_points->cols);

  MatPtr objectCopy, imageCopy;
  const CvMat* objects = object_points;
  if (!isWorkingLayout(object_points, count, 3)) {
    objectCopy.reset(cvCreateMat(1, count, CV_64FC3));
    Orvel_cvConvertPointsHomogenious(object_points, objectCopy.get());
    if (ReportIfInnerFailed(kRoutine)) return;
    objects = objectCopy.get();
  }
  CvMat* images = image_points;
  if (!isWorkingLayout(image_points, count, 2)) {
    imageCopy.reset(cvCreateMat(1, count, CV_64FC2));
    images = imageCopy.get();
  }

  ProjectionSetup setup;
  const bool rotationIsMatrix =
      rotation_vector->rows == 3 && rotation_vector->cols == 3 && ChannelsOf(rotation_vector) == 1;
  if (!IsFloatingDepth(DepthOf(rotation_vector)) ||
      !(rotationIsMatrix || (IsVectorShape(rotation_vector) && VectorLength(rotation_vector) == 3))) {
    Report(kRoutine, ORVEL_StsBadArg,
           "Rotation must be represented by 1x3 or 3x1 floating-point rotation vector, or 3x3 rotation matrix");
    return;
  }
  if (!loadRotation(rotation_vector, setup)) {
    Report(kRoutine, ORVEL_StsBackTrace, kInnerFailed);
    return;
  }
  if (!IsFloatVector(translation_vector, 3)) {
    Report(kRoutine, ORVEL_StsBadArg, "Translation vector must be 1x3 or 3x1 floating-point vector");
    return;
  }
  ReadVector(translation_vector, setup.t, 3);
  if (!IsFloatMatrix(intrinsic_matrix, 3, 3)) {
    Report(kRoutine, ORVEL_StsBadArg, "Instrinsic parameters must be 3x3 floating-point matrix");
    return;
  }
  double A[9];
  CvMat Am = cvMat(3, 3, CV_64FC1, A);
  cvConvertScale(intrinsic_matrix, &Am, 1, 0);
  double distortion[camera_model::kDistortionCount] = {0, 0, 0, 0};
  if (dist_coeffs) {
    if (!CV_IS_MAT(dist_coeffs) || !IsFloatVector(dist_coeffs, 4)) {
      Report(kRoutine, ORVEL_StsBadArg, "Distortion coefficients must be 1x4 or 4x1 floating-point vector");
      return;
    }
    ReadVector(dist_coeffs, distortion, 4);
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
    if (d.mat && !IsFloatMatrix(d.mat, 2 * count, d.cols)) {
      Report(kRoutine, ORVEL_StsBadArg, d.message);
      return;
    }
  if (dpdk) {
    if (!IsFloatMatrix(dpdk, 2 * count, 4) && !IsFloatMatrix(dpdk, 2 * count, 2)) {
      Report(kRoutine, ORVEL_StsBadArg, "dp/dk must be 2Nx4 or 2Nx2 floating-point matrix");
      return;
    }
    if (!dist_coeffs) {
      Report(kRoutine, ORVEL_StsNullPtr, "dist_coeffs is NULL while dpdk is not");
      return;
    }
  }
  setup.camera = camera_model::Intrinsics<double>::FromMatrix(A, distortion);
  DerivativeOutput outputs[5];
  CvMat* callers[5] = {dpdrot, dpdt, dpdf, dpdc, dpdk};
  for (int i = 0; i < 5; ++i) {
    outputs[i].caller = callers[i];
    outputs[i].prepare();
  }

  projectAll(setup, objects->data.db, images->data.db, count, outputs);

  if (imageCopy.get()) {
    Orvel_cvConvertPointsHomogenious(imageCopy.get(), image_points);
    if (ReportIfInnerFailed(kRoutine)) return;
  }
  for (const auto& output : outputs) output.finish();
}

}  // namespace

void Orvel_cvProjectPoints2(const CvMat* object_points, const CvMat* rotation_vector,
                            const CvMat* translation_vector, const CvMat* intrinsic_matrix,
                            const CvMat* dist_coeffs, CvMat* image_points, CvMat* dpdrot, CvMat* dpdt, CvMat* dpdf,
                            CvMat* dpdc, CvMat* dpdk) {
  RunGuarded("Orvel_cvProjectPoints2", [&] {
    projectPoints(object_points, rotation_vector, translation_vector, intrinsic_matrix, dist_coeffs, image_points,
                  dpdrot, dpdt, dpdf, dpdc, dpdk);
  });
}
