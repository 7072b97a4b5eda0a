#pragma once
// Image button drawn from a strip of four state pictures (normal, pressed,
// hover, disabled), with hover tracking, a tooltip and an optional window
// region. Inside a region each picture is blended over the pixels that lay
// under the button when it was first drawn (or over a solid colour).

#include <QImage>
#include <QPoint>
#include <QPushButton>
#include <QRegion>
#include <QSize>
#include <QString>
#include <cstdint>
#include <string>

// folder + a graphics path written with backslashes ("\Graphics\x.png").
std::string GraphicsFile(const std::string& applicationFolder, const std::string& graphicsPath);

class CHoverButtonEx : public QPushButton {
  Q_OBJECT
 public:
  enum BackgroundMode { kBackgroundFromScreen = 0, kBackgroundSolid = 1 };
  enum RegionShape { kEllipse, kRectangle };

  explicit CHoverButtonEx(QWidget* parent = nullptr, int id = 0);

  int Id() const { return id_; }
  bool LoadImage(const std::string& path);
  void SetRegion(const QRegion& region);
  void SetTooltip(const QString& text, bool activate);
  void SetHorizontalStrip(bool horizontal) { horizontalStrip_ = horizontal; }
  // colour is a window colour (0x00BBGGRR).
  void SetSolidBackground(uint32_t windowColour);

  // Which picture of the strip the button shows now: 1 pressed, 2 hover,
  // 0 enabled, 3 disabled.
  int FrameIndex() const;
  // The picture of the given state blended over the captured background.
  QImage ComposeFrame(int index);

  bool Hover() const { return hover_; }
  bool HasRegion() const { return hasRegion_; }
  bool HasImage() const { return frameWidth_ > 0 && frameHeight_ > 0; }
  QSize FrameSize() const { return QSize(frameWidth_, frameHeight_); }
  QString TooltipText() const { return tooltipText_; }
  int BackgroundModeValue() const { return backgroundMode_; }
  bool BackgroundCaptured() const { return backgroundCaptured_; }
  // Forgets the captured background so the next draw takes it again.
  void RecaptureBackground() { backgroundCaptured_ = false; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void CaptureBackground();
  QImage BackgroundFromBelow() const;

  int id_;
  bool hover_ = false;
  bool tracking_ = false;
  int frameWidth_ = 0;
  int frameHeight_ = 0;
  bool horizontalStrip_ = true;
  QRegion region_;
  bool hasRegion_ = false;
  QImage image_;       // ARGB32, the whole strip
  QImage background_;  // ARGB32, one frame
  bool backgroundCaptured_ = false;
  int backgroundMode_ = kBackgroundFromScreen;
  uint32_t solidColour_ = 0xFF000000;  // window colour
  QString tooltipText_;
};

// How every panel creates its image buttons.
struct ImageButtonSpec {
  QString text;
  int id = 0;
  bool horizontalStrip = true;
  QPoint position;
  QSize regionSize{24, 24};
  CHoverButtonEx::RegionShape regionShape = CHoverButtonEx::kEllipse;
  std::string graphicsPath;  // "\Graphics\....png"
  QString tooltip;
  bool solidBackground = false;
  uint32_t solidColour = 0;  // window colour
};

CHoverButtonEx* CreateImageButton(QWidget* parent, const std::string& applicationFolder,
                                  const ImageButtonSpec& spec);
