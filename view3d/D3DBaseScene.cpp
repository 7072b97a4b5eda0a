#include "view3d/D3DBaseScene.h"

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
  const double yaw = -(x - startX_) * kRotationPerPixel;
  const double pitch = -(y - startY_) * kRotationPerPixel;
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
  translation_ = translationAtStart_ * MatrixTranslation((x - startX_) * kTranslationPerPixel,
                                                         -(y - startY_) * kTranslationPerPixel, 0.0);
  Remember(x, y);
}

void CD3DBaseScene::MouseZoomBegin(int x, int y) { Remember(x, y); }

void CD3DBaseScene::MouseZoom(int x, int y) {
  // Dragging down pulls the world towards the viewer.
  translation_ = translation_ * MatrixTranslation(0.0, 0.0, (lastY_ - y) * kTranslationPerPixel);
  Remember(x, y);
}

void CD3DBaseScene::ResetWorld() {
  rotation_ = MatrixIdentity();
  translation_ = MatrixIdentity();
  rotating_ = false;
}

}  // namespace D3D
