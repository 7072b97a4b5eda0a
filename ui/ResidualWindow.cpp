#include "ui/ResidualWindow.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

namespace {

constexpr int kMargin = 12;
constexpr int kTitleHeight = 30;
constexpr int kCaptionHeight = 18;
constexpr int kLegendRowHeight = 16;
constexpr int kLegendSwatch = 14;  // the colour square and its gap
constexpr int kLegendGap = 10;     // between one label and the next swatch
constexpr int kLegendMaxColumns = 4;
constexpr uint32_t kTextColour = 0xFFDCDCDC;
constexpr uint32_t kAxisColour = 0xFF808080;
constexpr uint32_t kAccentColour = 0xFFFFBF00;

// The smallest of 1, 2, 5 times a power of ten that is at least `value`.
double NiceCeiling(double value) {
  if (!(value > 0.0)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {1.0, 2.0, 5.0, 10.0})
    if (step * power >= value * (1.0 - 1e-12)) return step * power;
  return 10.0 * power;
}

// The largest of 1, 2, 5 times a power of ten that is at most `value`.
double NiceFloor(double value) {
  if (!(value > 0.0)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {5.0, 2.0, 1.0})
    if (step * power <= value * (1.0 + 1e-12)) return step * power;
  return power;
}

QString Pixels(double value) { return QString::number(value, 'g', 3) + " px"; }

void Caption(QPainter& painter, const QRectF& area, const QString& text) {
  painter.setPen(QColor::fromRgba(kTextColour));
  painter.drawText(QRectF(area.left(), area.top() - kCaptionHeight, area.width(), kCaptionHeight),
                   Qt::AlignLeft | Qt::AlignVCenter, text);
}

void Frame(QPainter& painter, const QRectF& area) {
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromRgba(CResidualWindow::kPlotColour));
  painter.drawRect(area);
  painter.setBrush(Qt::NoBrush);
}

}  // namespace

std::vector<int> LengthHistogram(const std::vector<CornerResidual>& corners, int bins, double maxLength) {
  std::vector<int> counts(static_cast<size_t>(std::max(bins, 1)), 0);
  if (!(maxLength > 0.0)) {
    counts[0] = static_cast<int>(corners.size());
    return counts;
  }
  for (const CornerResidual& c : corners) {
    const double length = std::hypot(c.dx, c.dy);
    const int bin = static_cast<int>(length / maxLength * static_cast<double>(counts.size()));
    ++counts[static_cast<size_t>(std::clamp(bin, 0, static_cast<int>(counts.size()) - 1))];
  }
  return counts;
}

QColor ViewColour(int n) {
  const double hue = std::fmod(0.08 + 0.61803398875 * n, 1.0);
  return QColor::fromHsvF(static_cast<float>(hue), 0.7f, 0.95f);
}

struct CResidualWindow::Layout {
  QRectF scatter, histogram, coverage, legend;
};

CResidualWindow::CResidualWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setWindowTitle("Residuals");
  resize(960, 640);
  setFont(QFont("Verdana", 8));
}

void CResidualWindow::SetResiduals(const QString& title, std::vector<CornerResidual> corners,
                                   std::vector<ViewError> errors, int imageWidth, int imageHeight) {
  title_ = title;
  corners_ = std::move(corners);
  errors_ = std::move(errors);
  imageWidth_ = imageWidth;
  imageHeight_ = imageHeight;
  views_.clear();
  double squares = 0.0;
  for (const CornerResidual& c : corners_) {
    if (views_.empty() || views_.back() != c.view) views_.push_back(c.view);
    squares += c.dx * c.dx + c.dy * c.dy;
  }
  rms_ = corners_.empty() ? 0.0 : std::sqrt(squares / static_cast<double>(corners_.size()));
  setWindowTitle("Residuals - " + title);
  update();
}

int CResidualWindow::ColourIndex(int view) const {
  const auto it = std::find(views_.begin(), views_.end(), view);
  return static_cast<int>(it - views_.begin());
}

double CResidualWindow::ScatterRange() const {
  double largest = 0.0;
  for (const CornerResidual& c : corners_) largest = std::max({largest, std::fabs(c.dx), std::fabs(c.dy)});
  return NiceCeiling(largest * 1.05);
}

double CResidualWindow::MaxLength() const {
  double largest = 0.0;
  for (const CornerResidual& c : corners_) largest = std::max(largest, std::hypot(c.dx, c.dy));
  return NiceCeiling(largest * 1.0001);
}

CResidualWindow::Layout CResidualWindow::LayoutFor(const QSize& size) const {
  const double width = size.width(), height = size.height();
  const double top = kTitleHeight + kCaptionHeight;
  const double column = std::max(100.0, (width - 3 * kMargin) * 0.42);
  const double side = std::max(60.0, std::min(column, height - top - kMargin - 2 * kCaptionHeight - 120.0));
  Layout layout;
  layout.scatter = QRectF(kMargin, top, side, side);
  const double histogramTop = top + side + kCaptionHeight + kMargin;
  layout.histogram = QRectF(kMargin, histogramTop, column, std::max(40.0, height - histogramTop - kMargin - kCaptionHeight));
  const double right = 2 * kMargin + column;
  const double rightWidth = std::max(100.0, width - right - kMargin);
  const double legendRows =
      std::ceil(static_cast<double>(std::max<size_t>(views_.size(), 1)) / LegendColumns(rightWidth));
  const double legendHeight = legendRows * kLegendRowHeight;
  const double coverageMaxHeight = std::max(60.0, height - top - 2 * kMargin - legendHeight);
  const double aspect = imageWidth_ > 0 && imageHeight_ > 0 ? static_cast<double>(imageHeight_) / imageWidth_ : 0.75;
  const double coverageWidth = std::min(rightWidth, coverageMaxHeight / aspect);
  layout.coverage = QRectF(right, top, coverageWidth, coverageWidth * aspect);
  layout.legend = QRectF(right, layout.coverage.bottom() + kMargin, rightWidth, legendHeight);
  return layout;
}

QPointF CResidualWindow::ScatterOrigin(const QSize& size) const { return LayoutFor(size).scatter.center(); }

double CResidualWindow::ScatterScale(const QSize& size) const {
  return LayoutFor(size).scatter.width() / (2.0 * ScatterRange());
}

QImage CResidualWindow::Render(const QSize& size) const {
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor::fromRgba(kBackgroundColour));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setFont(font());
  QFont titleFont = font();
  titleFont.setBold(true);
  titleFont.setPointSize(titleFont.pointSize() + 2);
  painter.setFont(titleFont);
  painter.setPen(QColor::fromRgba(kTextColour));
  painter.drawText(QRectF(kMargin, 0, size.width() - 2 * kMargin, kTitleHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   title_ + QString("   %1 corners in %2 views, RMS %3").arg(corners_.size()).arg(views_.size()).arg(Pixels(rms_)));
  painter.setFont(font());
  const Layout layout = LayoutFor(size);
  DrawScatter(painter, layout.scatter);
  DrawHistogram(painter, layout.histogram);
  DrawCoverage(painter, layout.coverage);
  DrawLegend(painter, layout.legend);
  return image;
}

void CResidualWindow::DrawScatter(QPainter& painter, const QRectF& area) const {
  const double range = ScatterRange();
  Caption(painter, area, "Residual vectors (dx right, dy down), ±" + Pixels(range));
  Frame(painter, area);
  const QPointF origin = area.center();
  const double scale = area.width() / (2.0 * range);
  painter.setPen(QPen(QColor::fromRgba(kAxisColour), 1.0, Qt::DotLine));
  for (double f : {-0.5, 0.5}) {
    painter.drawLine(QPointF(origin.x() + f * area.width(), area.top()), QPointF(origin.x() + f * area.width(), area.bottom()));
    painter.drawLine(QPointF(area.left(), origin.y() + f * area.height()), QPointF(area.right(), origin.y() + f * area.height()));
  }
  painter.setPen(QPen(QColor::fromRgba(kAxisColour), 1.0));
  painter.drawLine(QPointF(area.left(), origin.y()), QPointF(area.right(), origin.y()));
  painter.drawLine(QPointF(origin.x(), area.top()), QPointF(origin.x(), area.bottom()));
  painter.setPen(Qt::NoPen);
  for (const CornerResidual& c : corners_) {
    painter.setBrush(ViewColour(ColourIndex(c.view)));
    painter.drawEllipse(QPointF(origin.x() + c.dx * scale, origin.y() + c.dy * scale), 2.0, 2.0);
  }
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(QColor::fromRgba(kAccentColour), 1.5));
  painter.drawEllipse(origin, rms_ * scale, rms_ * scale);
  painter.drawText(QRectF(area.left() + 4, area.bottom() - 18, area.width() - 8, 16), Qt::AlignRight, "RMS " + Pixels(rms_));
  painter.setPen(QColor::fromRgba(kTextColour));
  painter.drawText(QRectF(area.left() + 4, area.top() + 2, area.width() / 2, 16), Qt::AlignLeft, Pixels(range / 2) + " grid");
}

void CResidualWindow::DrawHistogram(QPainter& painter, const QRectF& area) const {
  const double maxLength = MaxLength();
  Caption(painter, area, "Residual lengths, 0 to " + Pixels(maxLength));
  Frame(painter, area);
  const std::vector<int> counts = LengthHistogram(corners_, kHistogramBins, maxLength);
  const int highest = std::max(1, *std::max_element(counts.begin(), counts.end()));
  const QRectF plot = area.adjusted(4, 18, -4, -4);
  const double barWidth = plot.width() / static_cast<double>(counts.size());
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor::fromRgba(kTextColour));
  for (size_t i = 0; i < counts.size(); ++i) {
    const double h = plot.height() * counts[i] / highest;
    painter.drawRect(QRectF(plot.left() + i * barWidth + 1, plot.bottom() - h, std::max(1.0, barWidth - 2), h));
  }
  painter.setBrush(Qt::NoBrush);
  const double rmsX = plot.left() + plot.width() * std::min(1.0, rms_ / maxLength);
  painter.setPen(QPen(QColor::fromRgba(kAccentColour), 1.5));
  painter.drawLine(QPointF(rmsX, plot.top()), QPointF(rmsX, plot.bottom()));
  painter.setPen(QColor::fromRgba(kTextColour));
  painter.drawText(QRectF(area.left() + 4, area.top() + 2, area.width() - 8, 16), Qt::AlignRight,
                   QString("highest bin %1 corners").arg(highest));
}

void CResidualWindow::DrawCoverage(QPainter& painter, const QRectF& area) const {
  const double scale = imageWidth_ > 0 ? area.width() / imageWidth_ : 1.0;
  // Residuals are drawn magnified so that the longest is a few percent of the image.
  const double magnification = NiceFloor(0.04 * std::max(imageWidth_, 1) / std::max(MaxLength(), 1e-9));
  Caption(painter, area, QString("Coverage %1 x %2, residuals x%3").arg(imageWidth_).arg(imageHeight_).arg(magnification));
  Frame(painter, area);
  painter.setPen(QPen(QColor::fromRgba(kAxisColour), 1.0));
  painter.drawRect(area);
  for (const CornerResidual& c : corners_) {
    const QColor colour = ViewColour(ColourIndex(c.view));
    const QPointF at(area.left() + (c.observed.x + 0.5) * scale, area.top() + (c.observed.y + 0.5) * scale);
    painter.setPen(QPen(colour, 1.0));
    painter.drawLine(at, at + QPointF(c.dx, c.dy) * magnification * scale);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(at, 1.6, 1.6);
    painter.setBrush(Qt::NoBrush);
  }
}

QString CResidualWindow::LegendText(size_t i, bool* outlier) const {
  QString text = QString("View %1").arg(views_[i] + 1);
  bool isOutlier = false;
  for (const ViewError& e : errors_)
    if (e.view == views_[i]) {
      text += ": " + QString::number(e.rms, 'f', 3);
      isOutlier = e.outlier;
    }
  if (outlier) *outlier = isOutlier;
  return isOutlier ? text + " outlier" : text;
}

int CResidualWindow::LegendCellWidth() const {
  const QFontMetrics metrics(font());
  int widest = 0;
  for (size_t i = 0; i < views_.size(); ++i) widest = std::max(widest, metrics.horizontalAdvance(LegendText(i)));
  return widest + kLegendSwatch + kLegendGap;
}

int CResidualWindow::LegendColumns(double width) const {
  return std::clamp(static_cast<int>(width / LegendCellWidth()), 1, kLegendMaxColumns);
}

void CResidualWindow::DrawLegend(QPainter& painter, const QRectF& area) const {
  const int columns = LegendColumns(area.width());
  const double columnWidth = area.width() / columns;
  for (size_t i = 0; i < views_.size(); ++i) {
    const double x = area.left() + static_cast<double>(i % columns) * columnWidth;
    const double y = area.top() + static_cast<double>(i / columns) * kLegendRowHeight;
    painter.setPen(Qt::NoPen);
    painter.setBrush(ViewColour(static_cast<int>(i)));
    painter.drawRect(QRectF(x, y + 3, 10, 10));
    painter.setBrush(Qt::NoBrush);
    bool outlier = false;
    const QString text = LegendText(i, &outlier);
    painter.setPen(QColor::fromRgba(outlier ? kAccentColour : kTextColour));
    // Only a window narrower than one label elides it.
    const QRectF cell(x + kLegendSwatch, y, columnWidth - kLegendSwatch - 2, kLegendRowHeight);
    painter.drawText(cell, Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(text, Qt::ElideRight, static_cast<int>(cell.width())));
  }
}

void CResidualWindow::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.drawImage(0, 0, Render(size()));
}
