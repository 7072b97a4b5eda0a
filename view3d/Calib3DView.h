#pragma once
// The view area of the 3D results window: draws a SceneContent with OpenGL
// (fixed-function pipeline of a compatibility context) and turns mouse drags
// into world rotation, translation and zoom. Box labels are painted with
// QPainter over the GL picture.

#include <QOpenGLWidget>
#include <QString>
#include <vector>

#include "view3d/D3DBaseScene.h"
#include "view3d/SceneContent.h"

class QOpenGLFunctions_2_1;

// True when this process can create an OpenGL context whose fixed-function
// calls the view needs. LENTORA_NO_OPENGL=1 answers false, to try the
// window's fallback.
bool OpenGLAvailable();

// The text shown in place of the picture when there is no OpenGL.
QString NoOpenGLMessage();

class CCalib3DView : public QOpenGLWidget, public D3D::CD3DBaseScene {
  Q_OBJECT
 public:
  CCalib3DView(D3D::SceneContent* content, QWidget* parent = nullptr);
  ~CCalib3DView() override;

  bool Init() override;
  // True once the context is up and has the functions the view draws with.
  bool Ready() const { return gl_ != nullptr; }

 protected:
  void initializeGL() override;
  void paintGL() override;
  void resizeGL(int width, int height) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void ReleaseTextures();
  void UploadTextures();
  unsigned UploadTexture(const QImage& image);
  void SetRenderStates();
  void LoadMatrices(const D3D::SceneMatrices& matrices);
  void DrawCameraCentred();
  void DrawObjectCentred();
  void DrawAxes();
  void DrawMeshes();
  void DrawPyramids();
  void DrawBox(const D3D::SceneBox& box);
  void DrawLineList(const D3D::ColouredVertex* vertices, const uint16_t* indices, int indexCount,
                    const uint32_t* colourOverride);
  void DrawPolyline(const D3D::Vector3* points, int count, uint32_t colour);
  void DrawLabels();
  void DrawMessage(const QString& text);

  D3D::SceneContent* content_;
  QOpenGLFunctions_2_1* gl_ = nullptr;
  D3D::SceneMatrices matrices_;
  std::vector<unsigned> gridTextures_;
  std::vector<unsigned> thumbnailTextures_;
  int uploadedGeneration_ = -1;
};
