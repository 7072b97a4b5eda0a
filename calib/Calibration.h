#pragma once
// The calibration module: rotation conversions, point layout conversion,
// homography estimation, projection with Jacobians, intrinsic initialisation,
// extrinsic estimation and the initial camera calibration, on OpenCV's CvMat
// headers. All arithmetic is in double; errors go through CalibError.h and
// never escape as exceptions.

#include <opencv2/core/core_c.h>

#include "calib/CalibError.h"

// Flags of Orvel_cvCalibrateCamera2.
enum {
  ORVEL_CALIB_USE_INTRINSIC_GUESS = 1,
  ORVEL_CALIB_FIX_ASPECT_RATIO = 2,
};

// Rotation vector <-> 3x3 matrix, optional 3x9 or 9x3 Jacobian. 1 on success, 0 on failure.
int Orvel_cvRodrigues2(const CvMat* src, CvMat* dst, CvMat* jacobian = nullptr);

// Converts a point array between layouts and to or from homogeneous coordinates.
void Orvel_cvConvertPointsHomogenious(const CvMat* src, CvMat* dst);

// R: 9 doubles row by row, r: 3 doubles. direction 1: r -> R; otherwise R -> r
// (R first replaced by the nearest rotation). No checks; returns 0.
int icvRodriguesArrays(double* R, double* r, int direction);

// Plane-to-image homography with H(2,2) = 1; ten Gauss-Newton steps for more than four points.
void Orvel_cvFindHomography(const CvMat* object_points, const CvMat* image_points, CvMat* H);
// The same linear solve refined by vgl_h_matrix_2d_optimize_lmq; no argument checks.
void icvFindHomographyRefined(const CvMat* object_points, const CvMat* image_points, CvMat* H);
// One Gauss-Newton step: solves J^T J delta = J^T err by SVD. Work matrices optional.
void Orvel_icvGaussNewton(const CvMat* J, const CvMat* err, CvMat* delta, CvMat* JtJ = nullptr,
                          CvMat* JtErr = nullptr, CvMat* JtJW = nullptr, CvMat* JtJV = nullptr);

// Projects object points through pose, camera matrix and distortion; optional derivatives.
void Orvel_cvProjectPoints2(const CvMat* object_points, const CvMat* rotation_vector,
                            const CvMat* translation_vector, const CvMat* intrinsic_matrix,
                            const CvMat* dist_coeffs, CvMat* image_points, CvMat* dpdrot = nullptr,
                            CvMat* dpdt = nullptr, CvMat* dpdf = nullptr, CvMat* dpdc = nullptr,
                            CvMat* dpdk = nullptr);

// Closed-form camera matrix from planar views, principal point at the image centre.
void Orvel_icvInitIntrinsicParams2D(const CvMat* object_points, const CvMat* image_points,
                                    const CvMat* point_counts, CvSize image_size, CvMat* intrinsic_matrix,
                                    double aspect_ratio);

// Pose of one view from a homography start and up to 20 Gauss-Newton steps.
void Orvel_cvFindExtrinsicCameraParams2(const CvMat* object_points, const CvMat* image_points,
                                        const CvMat* intrinsic_matrix, const CvMat* dist_coeffs,
                                        CvMat* rotation_vector, CvMat* translation_vector);

// First complete calibration of one camera: camera matrix, zero distortion, a pose per view.
void Orvel_cvCalibrateCamera2(const CvMat* object_points, const CvMat* image_points,
                              const CvMat* point_counts, CvSize image_size, CvMat* intrinsic_matrix,
                              CvMat* dist_coeffs, CvMat* rotation_vectors, CvMat* translation_vectors,
                              int flags);
