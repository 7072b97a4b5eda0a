#pragma once
// Overview panel of the small layout: three labelled panes side by side
// ("Image Sources", "Calibration Data", "Visualization"), each a header over a
// grey preview area; the pane last clicked is framed.

#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>
#include <array>
#include <string>

class CStaticWorkspaceView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kPaneCount = 3;

  explicit CStaticWorkspaceView(QWidget* parent = nullptr, int id = 0);

  int Id() const { return id_; }
  void SetApplicationFolder(const std::string& folder) { applicationFolder_ = folder; }
  void Init();
  // A click at panel coordinates; returns whether any highlight changed.
  bool Click(int x, int y);

  bool Highlighted(int pane) const { return pane >= 0 && pane < kPaneCount && highlight_[pane]; }
  int RedrawCount() const { return redrawCount_; }
  bool GraphicsLoaded() const;
  const QImage& BackBuffer() const { return backBuffer_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Redraw();
  void DrawPreviewArt(int pane);

  int id_;
  std::string applicationFolder_;
  QImage backBuffer_;
  QFont font_;
  std::array<bool, kPaneCount> highlight_{};
  std::array<QImage, kPaneCount> headers_;
  QImage bottomBar_;
  std::array<QImage, kPaneCount> previews_;
  int redrawCount_ = 0;
  bool initialised_ = false;
};
