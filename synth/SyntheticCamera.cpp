#include "synth/SyntheticCamera.h"

#include <cmath>

CameraParameters SyntheticCamera::ToParameters() const {
  CameraParameters p;
  p.model = model;
  p.K = {fx, 0, cx, 0, fy, cy, 0, 0, 1};
  for (int i = 0; i < DistortionCount(model); ++i)
    p.distortion[static_cast<size_t>(i)] = coefficients[static_cast<size_t>(i)];
  p.width = width;
  p.height = height;
  return p;
}

SyntheticCamera TypicalSyntheticCamera(int width, int height) {
  SyntheticCamera camera;
  camera.width = width;
  camera.height = height;
  camera.fx = camera.fy = 1.25 * width;
  camera.cx = (width - 1) / 2.0;
  camera.cy = (height - 1) / 2.0;
  camera.coefficients = {-0.12, 0.04, 0.0005, -0.0003};
  return camera;
}

SyntheticCamera TypicalSyntheticCamera(LensModel model, int width, int height, double fieldOfView) {
  SyntheticCamera camera = TypicalSyntheticCamera(width, height);
  camera.model = model;
  switch (model) {
    case LensModel::PinholeRadtan:
      break;
    case LensModel::PinholeRadtanK3:
      camera.coefficients[4] = 0.01;
      break;
    case LensModel::Rational:
      camera.coefficients = {0.3, 0.05, 0.0005, -0.0003, 0.002, 0.42, 0.03, 0.004};
      break;
    case LensModel::Fisheye: {
      // thetaD = theta (1 + k1 theta^2 + ...) reaches half the width at half the field of view.
      camera.coefficients = {0.03, -0.008, 0.0015, 0.0};
      const double half = 0.5 * fieldOfView * M_PI / 180.0;
      const double h2 = half * half;
      const double thetaD = half * (1.0 + h2 * (0.03 + h2 * (-0.008 + h2 * 0.0015)));
      camera.fx = camera.fy = 0.5 * width / thetaD;
      break;
    }
  }
  return camera;
}
