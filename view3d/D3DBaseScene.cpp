#include "view3d/D3DBaseScene.h"

#include <cmath>

namespace D3D {

void CD3DBaseScene::Remember(int x, int y) {
  lastX_ = x;
  lastY_ = y;
}

void CD3DBaseScene::MouseRotateBegin(int x, int y) {
  rotating_ = true;
  startX_ = x;
  startY_ = y;
  rotationAtStart_ = rotation_;
  Remember(x, y);
}

void CD3DBaseScene::MouseRotate(int x, int y) {
  if (!rotating_) return;
  // Dragging to the right turns the world to the left about the vertical
  // axis; dragging down tips it towards the viewer.
  const double yaw = -(x - startX_) * rotationPerPixel_;
  const double pitch = -(y - startY_) * rotationPerPixel_;
  rotation_ = rotationAtStart_ * MatrixRotationY(yaw) * MatrixRotationX(pitch);
  Remember(x, y);
}

void CD3DBaseScene::MouseRotateEnd() { rotating_ = false; }

void CD3DBaseScene::MouseTranslateBegin(int x, int y) {
  startX_ = x;
  startY_ = y;
  translationAtStart_ = translation_;
  Remember(x, y);
}

void CD3DBaseScene::MouseTranslate(int x, int y) {
  // Screen y grows downwards, world y upwards.
  translation_ = translationAtStart_ * MatrixTranslation((x - startX_) * translationPerPixel_,
                                                         -(y - startY_) * translationPerPixel_, 0.0);
  Remember(x, y);
}

void CD3DBaseScene::MouseZoomBegin(int x, int y) { Remember(x, y); }

void CD3DBaseScene::MouseZoom(int x, int y) {
  // Dragging down pulls the world towards the viewer.
  translation_ = translation_ * MatrixTranslation(0.0, 0.0, (lastY_ - y) * translationPerPixel_);
  Remember(x, y);
}

void CD3DBaseScene::SetDragScale(double radiansPerPixel, double unitsPerPixel) {
  if (std::isfinite(radiansPerPixel) && radiansPerPixel > 0.0) rotationPerPixel_ = radiansPerPixel;
  if (std::isfinite(unitsPerPixel) && unitsPerPixel > 0.0) translationPerPixel_ = unitsPerPixel;
}

void CD3DBaseScene::ResetWorld() {
  rotation_ = MatrixIdentity();
  translation_ = MatrixIdentity();
  rotating_ = false;
}

}  // namespace D3D
