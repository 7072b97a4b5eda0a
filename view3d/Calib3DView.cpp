#include "view3d/Calib3DView.h"

#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions_2_1>
#include <QOpenGLVersionFunctionsFactory>
#include <QPainter>

#include <algorithm>
#include <cstdlib>
#include <numbers>
#include <cstring>

using namespace D3D;

namespace {

// The highlighted camera's edges are drawn this many pixels wide.
constexpr float kHighlightLineWidth = 3.0f;

void SetColour(QOpenGLFunctions_2_1* gl, uint32_t argb) {
  gl->glColor4ub(static_cast<GLubyte>(argb >> 16), static_cast<GLubyte>(argb >> 8), static_cast<GLubyte>(argb),
                 static_cast<GLubyte>(argb >> 24));
}

void ClearColour(QOpenGLFunctions_2_1* gl, uint32_t argb) {
  gl->glClearColor(((argb >> 16) & 0xff) / 255.0f, ((argb >> 8) & 0xff) / 255.0f, (argb & 0xff) / 255.0f,
                   ((argb >> 24) & 0xff) / 255.0f);
}

bool OpenGLSwitchedOff() {
  const char* value = std::getenv("LENTORA_NO_OPENGL");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

bool OpenGLAvailable() {
  if (OpenGLSwitchedOff()) return false;
  QOpenGLContext context;
  if (!context.create() || context.isOpenGLES()) return false;
  QOffscreenSurface surface;
  surface.setFormat(context.format());
  surface.create();
  if (!surface.isValid() || !context.makeCurrent(&surface)) return false;
  const bool hasFixedFunctions = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_2_1>(&context) != nullptr;
  context.doneCurrent();
  return hasFixedFunctions;
}

QString NoOpenGLMessage() {
  return QStringLiteral("The 3D view needs OpenGL, which is not available on this display.");
}

CCalib3DView::CCalib3DView(SceneContent* content, QWidget* parent) : QOpenGLWidget(parent), content_(content) {
  // The fixed-function calls need a compatibility context.
  QSurfaceFormat format = QSurfaceFormat::defaultFormat();
  format.setProfile(QSurfaceFormat::CompatibilityProfile);
  format.setDepthBufferSize(24);
  format.setSamples(4);
  setFormat(format);
}

CCalib3DView::~CCalib3DView() {
  if (gl_ != nullptr) {
    makeCurrent();
    ReleaseTextures();
    doneCurrent();
  }
}

void CCalib3DView::initializeGL() {
  Init();
  connect(context(), &QOpenGLContext::aboutToBeDestroyed, this, [this] {
    makeCurrent();
    ReleaseTextures();
    gl_ = nullptr;
    doneCurrent();
  });
}

bool CCalib3DView::Init() {
  QOpenGLContext* current = context();
  if (current == nullptr || current->isOpenGLES()) return false;
  gl_ = QOpenGLVersionFunctionsFactory::get<QOpenGLFunctions_2_1>(current);
  return gl_ != nullptr;
}

void CCalib3DView::ReleaseTextures() {
  if (gl_ == nullptr) return;
  for (std::vector<unsigned>* textures : {&gridTextures_, &thumbnailTextures_}) {
    if (!textures->empty()) gl_->glDeleteTextures(static_cast<GLsizei>(textures->size()), textures->data());
    textures->clear();
  }
}

unsigned CCalib3DView::UploadTexture(const QImage& image) {
  GLint maximumSide = 0;
  gl_->glGetIntegerv(GL_MAX_TEXTURE_SIZE, &maximumSide);
  if (image.isNull() || image.width() > maximumSide || image.height() > maximumSide) return 0;
  const QImage rgba = image.convertToFormat(QImage::Format_RGBA8888);
  GLuint texture = 0;
  gl_->glGenTextures(1, &texture);
  gl_->glBindTexture(GL_TEXTURE_2D, texture);
  gl_->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  gl_->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  gl_->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
  gl_->glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  gl_->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  gl_->glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(rgba.bytesPerLine() / 4));
  gl_->glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, rgba.width(), rgba.height(), 0, GL_RGBA, GL_UNSIGNED_BYTE,
                    rgba.constBits());
  gl_->glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  gl_->glBindTexture(GL_TEXTURE_2D, 0);
  return texture;
}

// Textures are built on the CPU whenever the content changes and sent to the
// GL here, because the content may be filled before the view has a context.
void CCalib3DView::UploadTextures() {
  if (uploadedGeneration_ != content_->Generation()) {
    ReleaseTextures();
    uploadedGeneration_ = content_->Generation();
  }
  const auto& grids = content_->GridTextures();
  while (gridTextures_.size() < grids.size()) gridTextures_.push_back(UploadTexture(grids[gridTextures_.size()]));
  const auto& thumbnails = content_->Thumbnails();
  while (thumbnailTextures_.size() < thumbnails.size())
    thumbnailTextures_.push_back(UploadTexture(thumbnails[thumbnailTextures_.size()]));
}

void CCalib3DView::SetRenderStates() {
  gl_->glUseProgram(0);
  gl_->glBindBuffer(GL_ARRAY_BUFFER, 0);
  gl_->glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, 0);
  gl_->glActiveTexture(GL_TEXTURE0);
  gl_->glDisable(GL_SCISSOR_TEST);
  gl_->glDisable(GL_STENCIL_TEST);
  gl_->glEnable(GL_DEPTH_TEST);
  gl_->glDepthFunc(GL_LEQUAL);
  gl_->glDepthMask(GL_TRUE);
  gl_->glDisable(GL_CULL_FACE);
  gl_->glDisable(GL_LIGHTING);
  gl_->glEnable(GL_BLEND);
  gl_->glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  gl_->glEnable(GL_ALPHA_TEST);
  gl_->glAlphaFunc(GL_GREATER, 16.0f / 255.0f);
  gl_->glDisable(GL_TEXTURE_2D);
  gl_->glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
}

void CCalib3DView::LoadMatrices(const SceneMatrices& matrices) {
  const auto projection = ToOpenGL(matrices.projection * DepthRangeToOpenGL());
  const auto modelView = ToOpenGL(matrices.world * matrices.view);
  gl_->glMatrixMode(GL_PROJECTION);
  gl_->glLoadMatrixf(projection.data());
  gl_->glMatrixMode(GL_MODELVIEW);
  gl_->glLoadMatrixf(modelView.data());
}

void CCalib3DView::paintGL() {
  if (gl_ == nullptr) {
    DrawMessage(NoOpenGLMessage());
    return;
  }
  auto lock = content_->Lock();
  const qreal ratio = devicePixelRatioF();
  gl_->glViewport(0, 0, static_cast<GLsizei>(width() * ratio), static_cast<GLsizei>(height() * ratio));
  ClearColour(gl_, kClearColour);
  gl_->glClearDepth(1.0);
  gl_->glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  SetRenderStates();
  UploadTextures();
  SetDragScale(std::numbers::pi / std::max(1, width()), content_->ViewHeightAtTargetLocked() / std::max(1, height()));
  const int mode = content_->ViewModeLocked();
  if (mode == kCameraCentred) {
    DrawCameraCentred();
  } else if (mode == kObjectCentred) {
    DrawObjectCentred();
  }
}

void CCalib3DView::resizeGL(int, int) { update(); }

void CCalib3DView::DrawCameraCentred() {
  matrices_ = content_->SetUpMatricesLocked(World());
  LoadMatrices(matrices_);
  DrawAxes();
  DrawMeshes();
  if (content_->BoxPresent()) {
    DrawBox(content_->MeshBox());
    DrawLabels();
  }
}

void CCalib3DView::DrawObjectCentred() {
  matrices_ = content_->SetUpMatricesLocked(World());
  LoadMatrices(matrices_);
  DrawPyramids();
  DrawAxes();
  if (content_->BoxPresent()) DrawBox(content_->PyramidBox());
}

void CCalib3DView::DrawLineList(const ColouredVertex* vertices, const uint16_t* indices, int indexCount,
                                const uint32_t* colourOverride) {
  gl_->glBegin(GL_LINES);
  for (int i = 0; i < indexCount; ++i) {
    const ColouredVertex& v = vertices[indices[i]];
    SetColour(gl_, colourOverride != nullptr ? *colourOverride : v.colour);
    gl_->glVertex3f(v.x, v.y, v.z);
  }
  gl_->glEnd();
}

// The anti-aliased line: one smoothed strip through the points.
void CCalib3DView::DrawPolyline(const Vector3* points, int count, uint32_t colour) {
  gl_->glEnable(GL_LINE_SMOOTH);
  gl_->glHint(GL_LINE_SMOOTH_HINT, GL_NICEST);
  SetColour(gl_, colour);
  gl_->glBegin(GL_LINE_STRIP);
  for (int i = 0; i < count; ++i)
    gl_->glVertex3d(points[i].x, points[i].y, points[i].z);
  gl_->glEnd();
  gl_->glDisable(GL_LINE_SMOOTH);
}

void CCalib3DView::DrawAxes() {
  if (!content_->AxesShownLocked()) return;
  AxisBuffers axis = content_->Axis();
  const auto scale = static_cast<float>(content_->AxisScaleLocked());
  for (ColouredVertex& v : axis.vertices) {
    v.x *= scale;
    v.y *= scale;
    v.z *= scale;
  }
  if (!content_->AntiAliasedLocked()) {
    DrawLineList(axis.vertices.data(), axis.indices.data(), static_cast<int>(axis.indices.size()), nullptr);
    return;
  }
  for (int line = 0; line < 3; ++line) {
    const ColouredVertex& a = axis.vertices[2 * line];
    const ColouredVertex& b = axis.vertices[2 * line + 1];
    const Vector3 ends[2] = {{a.x, a.y, a.z}, {b.x, b.y, b.z}};
    DrawPolyline(ends, 2, a.colour);
  }
}

void CCalib3DView::DrawMeshes() {
  const auto& meshes = content_->Meshes();
  const int highlighted = content_->HighlightedViewLocked();
  gl_->glPolygonMode(GL_FRONT_AND_BACK, GL_FILL);
  for (size_t i = 0; i < meshes.size(); ++i) {
    const GridMesh& mesh = meshes[i];
    const unsigned texture =
        mesh.texture >= 0 && static_cast<size_t>(mesh.texture) < gridTextures_.size() ? gridTextures_[mesh.texture] : 0;
    if (texture != 0) {
      gl_->glEnable(GL_TEXTURE_2D);
      gl_->glBindTexture(GL_TEXTURE_2D, texture);
    }
    const bool lit = static_cast<int>(i) == highlighted;
    // The highlighted grid's white squares take the highlight colour.
    gl_->glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, lit ? GL_MODULATE : GL_REPLACE);
    gl_->glBegin(GL_TRIANGLES);
    for (uint32_t index : mesh.indices) {
      const MeshVertex& v = mesh.vertices[index];
      SetColour(gl_, lit ? kHighlightColour : v.colour);
      gl_->glTexCoord2f(v.u, v.v);
      gl_->glVertex3f(v.x, v.y, v.z);
    }
    gl_->glEnd();
    gl_->glBindTexture(GL_TEXTURE_2D, 0);
    gl_->glDisable(GL_TEXTURE_2D);
  }
  gl_->glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
}

void CCalib3DView::DrawPyramids() {
  // Image planes without a picture are a faint grey pane.
  constexpr uint32_t kBlankImageColour = 0x80c0c0c0;
  const auto& pyramids = content_->Pyramids();
  const int highlighted = content_->HighlightedViewLocked();
  const bool antiAliased = content_->AntiAliasedLocked();
  for (size_t i = 0; i < pyramids.size(); ++i) {
    const CameraPyramid& pyramid = pyramids[i];
    const unsigned texture = i < thumbnailTextures_.size() ? thumbnailTextures_[i] : 0;
    if (texture != 0) {
      gl_->glEnable(GL_TEXTURE_2D);
      gl_->glBindTexture(GL_TEXTURE_2D, texture);
    }
    gl_->glBegin(GL_TRIANGLE_STRIP);
    for (const TexturedVertex& v : pyramid.imageQuad) {
      SetColour(gl_, texture != 0 ? v.colour : kBlankImageColour);
      gl_->glTexCoord2f(v.u, v.v);
      gl_->glVertex3f(v.x, v.y, v.z);
    }
    gl_->glEnd();
    gl_->glBindTexture(GL_TEXTURE_2D, 0);
    gl_->glDisable(GL_TEXTURE_2D);

    const bool lit = static_cast<int>(i) == highlighted;
    const uint32_t edgeColour = lit ? kHighlightColour : kPyramidColour;
    gl_->glLineWidth(lit ? kHighlightLineWidth : 1.0f);
    if (antiAliased) {
      DrawPolyline(pyramid.points.data(), kPyramidPolylinePoints, edgeColour);
      DrawPolyline(pyramid.points.data() + kPyramidPolylinePoints, 2, kPyramidAxisColour);
    } else {
      DrawLineList(pyramid.edges.data(), pyramid.edgeIndices.data(), static_cast<int>(pyramid.edgeIndices.size()),
                   lit ? &kHighlightColour : nullptr);
    }
    gl_->glLineWidth(1.0f);
  }
}

void CCalib3DView::DrawBox(const SceneBox& box) {
  DrawLineList(box.vertices.data(), box.indices.data(), static_cast<int>(box.indices.size()), nullptr);
}

void CCalib3DView::DrawLabels() {
  const SceneBox& box = content_->MeshBox();
  const Viewport viewport{0, 0, width(), height(), matrices_.nearPlane, matrices_.farPlane};
  const Matrix4 worldView = matrices_.world * matrices_.view;
  QPainter painter(this);
  painter.setFont(QFont(QStringLiteral("Verdana"), 8));
  painter.setPen(QColor::fromRgba(kLabelColour));
  auto drawAt = [&](const Vector3& p, const QString& text) {
    // Corners behind the eye would project mirrored into the picture.
    if (TransformCoord(p, worldView).z <= 0.0) return;
    const Vector3 screen = Project(p, viewport, matrices_.product);
    painter.drawText(QPointF(screen.x, screen.y), text);
  };
  drawAt({0, 0, 0}, QStringLiteral("0,0,0"));
  for (int k = 0; k < 8; ++k) drawAt(BoxCorner(box, k), QString::fromStdString(box.labels[k]));
}

void CCalib3DView::DrawMessage(const QString& text) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::white);
  painter.setPen(Qt::black);
  painter.drawText(rect().adjusted(10, 10, -10, -10), Qt::AlignCenter | Qt::TextWordWrap, text);
}

void CCalib3DView::mousePressEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  if (event->button() == Qt::LeftButton) {
    MouseRotateBegin(p.x(), p.y());
  } else if (event->button() == Qt::RightButton) {
    MouseTranslateBegin(p.x(), p.y());
    update();
  } else if (event->button() == Qt::MiddleButton) {
    MouseZoomBegin(p.x(), p.y());
  }
}

void CCalib3DView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    MouseRotateEnd();
    update();
  }
}

void CCalib3DView::mouseMoveEvent(QMouseEvent* event) {
  const QPoint p = event->position().toPoint();
  const Qt::MouseButtons held = event->buttons();
  if (held & Qt::LeftButton) {
    MouseRotate(p.x(), p.y());
  } else if (held & Qt::RightButton) {
    MouseTranslate(p.x(), p.y());
  } else if (held & Qt::MiddleButton) {
    MouseZoom(p.x(), p.y());
  } else {
    return;
  }
  update();
}
