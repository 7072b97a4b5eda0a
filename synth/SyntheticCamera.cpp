#include "synth/SyntheticCamera.h"

CameraParameters SyntheticCamera::ToParameters() const {
  CameraParameters p;
  p.K = {fx, 0, cx, 0, fy, cy, 0, 0, 1};
  p.distortion = {k1, k2, p1, p2, 0.0};
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
  camera.k1 = -0.12;
  camera.k2 = 0.04;
  camera.p1 = 0.0005;
  camera.p2 = -0.0003;
  return camera;
}
