#pragma once
// A titled entry: a coloured title area over an information area that shows
// once the owner makes the window 75 pixels taller. Used for sources and for
// capture devices.

#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>

class CSourceDetailsPanel : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kInformationHeight = 75;
  static constexpr uint32_t kDefaultTitleColour = 0xFF4B4B4B;
  static constexpr uint32_t kInformationColour = 0xFF646464;

  explicit CSourceDetailsPanel(QWidget* parent = nullptr, int id = 0);
  int Id() const { return id_; }

  // Once after creation, when the panel has its size.
  void Layout();
  // A null string keeps the old text.
  void SetTexts(const QString& title, const QString& information);
  void SetTitleColour(uint32_t argb);

  QString Title() const { return title_; }
  QString Information() const { return information_; }
  uint32_t TitleColour() const { return titleColour_; }
  const QImage& BackBuffer() const { return image_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void Redraw();

  int id_;
  int titleHeight_ = 0;
  QImage image_;
  QFont font_;
  QString title_;
  QString information_;
  uint32_t titleColour_ = kDefaultTitleColour;
};
