#pragma once
// Base of a 3D scene: the world rotation and translation that the mouse
// drives. Rotating turns the world about the screen's vertical and
// horizontal axes, translating shifts it in the screen plane, zooming moves
// it along the viewing direction. The world matrix of a scene is
// rotation * translation.

#include "view3d/D3DMath.h"

namespace D3D {

class CD3DBaseScene {
 public:
  // Radians of turn and world units of shift per pixel of mouse travel,
  // until the scene sets its own (translating and zooming share the shift).
  static constexpr double kRotationPerPixel = 0.01;
  static constexpr double kTranslationPerPixel = 0.5;

  virtual ~CD3DBaseScene() = default;

  // Sets up the scene's drawing resources; true on success.
  virtual bool Init() = 0;

  void MouseRotateBegin(int x, int y);
  void MouseRotate(int x, int y);
  void MouseRotateEnd();
  void MouseTranslateBegin(int x, int y);
  void MouseTranslate(int x, int y);
  // Where a zoom drag starts; without it the zoom measures from the last
  // position any mouse operation saw.
  void MouseZoomBegin(int x, int y);
  void MouseZoom(int x, int y);
  // Back to no rotation and no translation.
  void ResetWorld();
  // Drag speeds: a view scales them to its size and to the scene's extent.
  void SetDragScale(double radiansPerPixel, double unitsPerPixel);
  double RotationPerPixel() const { return rotationPerPixel_; }
  double TranslationPerPixel() const { return translationPerPixel_; }

  const Matrix4& Rotation() const { return rotation_; }
  const Matrix4& Translation() const { return translation_; }
  Matrix4 World() const { return rotation_ * translation_; }
  bool Rotating() const { return rotating_; }

 protected:
  Matrix4 rotation_;
  Matrix4 translation_;

 private:
  void Remember(int x, int y);

  double rotationPerPixel_ = kRotationPerPixel;
  double translationPerPixel_ = kTranslationPerPixel;
  bool rotating_ = false;
  int startX_ = 0;
  int startY_ = 0;
  int lastX_ = 0;
  int lastY_ = 0;
  Matrix4 rotationAtStart_;
  Matrix4 translationAtStart_;
};

}  // namespace D3D
