#pragma once
// Starting values for lens models that the closed-form pinhole start cannot
// serve: grid poses from the rays a camera sees (any model, any field of
// view, rays beyond 90 degrees included) and a fisheye camera found from no
// guess.

#include <array>

#include "records/Records.h"

using Ray3 = std::array<double, 3>;

// Pose (R row by row, t: Xc = R X + t) of a planar grid (object Z = 0) from the
// directions in which the camera sees its points: a homography fitted to the
// rays (each ray parallel to H (X, Y, 1)), split into the nearest rotation and
// a translation in front of the rays. False for fewer than four points or a
// degenerate fit.
bool PlanarPoseFromRays(const ObjectPoint* object, const Ray3* rays, int count, double R[9], double t[3]);

// Pose of one view of a planar grid seen by a known camera of any model.
// Points whose pixel has no ray through the model are left out.
bool ViewPose(const CameraParameters& camera, const ObjectPoint* object, const ImagePoint* image, int count,
              double R[9], double t[3]);

// A fisheye camera for a run started from no guess: an equidistant lens
// (thetaD = theta, zero coefficients) centred on the image, whose focal
// length is searched for the smallest reprojection error of the views'
// ray-fitted poses. fx = aspect * fy (aspect 1 for square pixels). Fills the
// camera and one pose per view (rotations: 9 per view, translations: 3);
// false when no focal length gives poses for most views.
bool FisheyeStart(const ObjectPoint* grid, const ImagePoint* image, int views, int pointsPerView, int width,
                  int height, double aspect, CameraParameters& camera, double* rotations, double* translations);
