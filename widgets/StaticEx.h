#pragma once
// A strip of text drawn off-screen: caption bars and title bands.

#include <QImage>
#include <QPoint>
#include <QString>
#include <QWidget>
#include <cstdint>

class CStaticEx : public QWidget {
  Q_OBJECT
 public:
  explicit CStaticEx(QWidget* parent = nullptr, int id = 0);

  int Id() const { return id_; }
  // Prepares the off-screen image and draws the current text; call once
  // after the control has its size (later resizes rebuild the image).
  void Init();
  void SetText(const QString& text);
  QString Text() const { return text_; }
  void SetColours(uint32_t background, uint32_t textColour);
  void SetTextOrigin(const QPoint& origin);
  const QImage& Image() const { return image_; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  void Redraw();

  int id_;
  QString text_;
  QImage image_;
  QFont font_;
  uint32_t background_ = 0xFF4B4B4B;
  uint32_t textColour_ = 0xFFFFFFFF;
  QPoint origin_{1, 3};
  bool initialised_ = false;
};
