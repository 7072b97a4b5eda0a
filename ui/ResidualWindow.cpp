#include "ui/ResidualWindow.h"

#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QResizeEvent>
#include <QTabBar>
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

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
constexpr uint32_t kEnoughColour = 0xFF7CE07C;
constexpr uint32_t kNoRayColour = 0xFF808080;
constexpr int kScaleWidth = 16;       // the colour scale's bar
constexpr int kScaleLabelWidth = 64;  // and its labels
constexpr int kVerdictHeight = 40;

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

// The smallest of 1, 1.5, 2, 2.5, 3, 4, 5, 6, 8 times a power of ten that is at least `value`: a scale's top
// close above its largest value.
double FineCeiling(double value) {
  if (!(value > 0.0)) return 1.0;
  const double power = std::pow(10.0, std::floor(std::log10(value)));
  for (double step : {1.0, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0})
    if (step * power >= value * (1.0 - 1e-12)) return step * power;
  return 10.0 * power;
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

QColor HeatColour(double value, double top) {
  if (!std::isfinite(value)) return QColor::fromRgba(kNoRayColour);
  struct Stop {
    double at;
    int r, g, b;
  };
  static constexpr std::array<Stop, 5> kStops{
      {{0.0, 25, 30, 110}, {0.25, 30, 110, 200}, {0.5, 40, 175, 120}, {0.75, 240, 210, 40}, {1.0, 215, 45, 35}}};
  const double f = top > 0.0 ? std::clamp(value / top, 0.0, 1.0) : 1.0;
  size_t i = 1;
  while (i + 1 < kStops.size() && kStops[i].at < f) ++i;
  const Stop& a = kStops[i - 1];
  const Stop& b = kStops[i];
  const double t = (f - a.at) / (b.at - a.at);
  const auto mix = [t](int from, int to) { return static_cast<int>(std::lround(from + t * (to - from))); };
  return QColor(mix(a.r, b.r), mix(a.g, b.g), mix(a.b, b.b));
}

double HeatScaleTop(const ProjectionUncertaintyMap& map) {
  if (!map.valid || !(map.worst > 0.0)) return 1.0;
  return std::min(FineCeiling(map.worst), FineCeiling(3.0 * std::max(map.centre90, 1e-6)));
}

std::vector<double> ContourLevels(double top) {
  std::vector<double> levels;
  if (!(top > 0.0)) return levels;
  const double step = NiceCeiling(top / 6.0);
  for (int k = 1; k * step < top * (1.0 - 1e-9); ++k) levels.push_back(k * step);
  return levels;
}

double InterpolatedSigma(const ProjectionUncertaintyMap& map, double x, double y) {
  if (!map.valid || map.columns < 1 || map.rows < 1) return std::numeric_limits<double>::infinity();
  const double u = std::clamp(x * map.columns / map.width - 0.5, 0.0, map.columns - 1.0);
  const double v = std::clamp(y * map.rows / map.height - 0.5, 0.0, map.rows - 1.0);
  const int c0 = static_cast<int>(u), r0 = static_cast<int>(v);
  const int c1 = std::min(c0 + 1, map.columns - 1), r1 = std::min(r0 + 1, map.rows - 1);
  const double fu = u - c0, fv = v - r0;
  const double top = (1 - fu) * map.At(c0, r0) + fu * map.At(c1, r0);
  const double bottom = (1 - fu) * map.At(c0, r1) + fu * map.At(c1, r1);
  return (1 - fv) * top + fv * bottom;
}

struct CResidualWindow::Layout {
  QRectF scatter, histogram, coverage, legend;
};

CResidualWindow::CResidualWindow(QWidget* parent) : QWidget(parent, Qt::Window), tabs_(new QTabBar(this)) {
  setWindowTitle("Residuals");
  setFont(QFont("Verdana", 8));
  tabs_->addTab("Residuals and coverage");
  tabs_->addTab("Projection uncertainty");
  tabs_->setDrawBase(false);
  connect(tabs_, &QTabBar::currentChanged, this, [this] { update(); });
  resize(960, 660);
}

int CResidualWindow::CurrentTab() const { return tabs_->currentIndex(); }

void CResidualWindow::SetUncertainty(ProjectionUncertaintyMap map, const QString& unit, const QString& verdict) {
  uncertainty_ = std::move(map);
  distanceUnit_ = unit;
  verdict_ = verdict;
  update();
}

QSize CResidualWindow::PictureSize() const {
  return QSize(width(), std::max(1, height() - tabs_->sizeHint().height()));
}

QImage CResidualWindow::Picture() const {
  return CurrentTab() == kUncertaintyTab ? RenderUncertainty(PictureSize()) : Render(PictureSize());
}

void CResidualWindow::resizeEvent(QResizeEvent* event) {
  tabs_->setGeometry(0, 0, event->size().width(), tabs_->sizeHint().height());
  QWidget::resizeEvent(event);
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
  const int tabsHeight = tabs_->sizeHint().height();
  painter.fillRect(QRect(0, 0, width(), tabsHeight), QColor::fromRgba(kBackgroundColour));
  painter.drawImage(0, tabsHeight, Picture());
}

// ---- Projection uncertainty ----

QRectF CResidualWindow::HeatMapRect(const QSize& size) const {
  const double top = kTitleHeight + kCaptionHeight;
  const double maxWidth = std::max(60.0, size.width() - 3.0 * kMargin - kScaleWidth - kScaleLabelWidth);
  const double maxHeight = std::max(45.0, size.height() - top - kMargin - kVerdictHeight);
  const double aspect = uncertainty_.width > 0 && uncertainty_.height > 0
                            ? static_cast<double>(uncertainty_.height) / uncertainty_.width
                            : 0.75;
  const double width = std::min(maxWidth, maxHeight / aspect);
  return QRectF(kMargin, top, width, width * aspect);
}

QImage CResidualWindow::RenderUncertainty(const QSize& size) const {
  QImage image(size, QImage::Format_ARGB32_Premultiplied);
  image.fill(QColor::fromRgba(kBackgroundColour));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  QFont titleFont = font();
  titleFont.setBold(true);
  titleFont.setPointSize(titleFont.pointSize() + 2);
  painter.setFont(titleFont);
  painter.setPen(QColor::fromRgba(kTextColour));
  painter.drawText(QRectF(kMargin, 0, size.width() - 2 * kMargin, kTitleHeight), Qt::AlignLeft | Qt::AlignVCenter,
                   title_ + "   Projection uncertainty");
  painter.setFont(font());
  const QRectF area = HeatMapRect(size);
  if (!uncertainty_.valid) {
    painter.drawText(area, Qt::AlignCenter | Qt::TextWordWrap,
                     "This run's projection uncertainty cannot be estimated (too few points, or a fit with no "
                     "unique solution).");
    return image;
  }
  Caption(painter, area,
          QString("Uncertainty at %1 %2 (the median board distance): worst %3, central 90% %4")
              .arg(uncertainty_.distance, 0, 'f', 1)
              .arg(distanceUnit_, Pixels(uncertainty_.worst), Pixels(uncertainty_.centre90)));
  const double top = HeatScaleTop(uncertainty_);
  DrawHeatMap(painter, area, top);
  DrawContours(painter, area, top);
  // The central 90% the verdict looks at.
  const double inset = 0.5 * (1.0 - kCentralShare);
  painter.setPen(QPen(QColor::fromRgba(kTextColour), 1.0, Qt::DashLine));
  painter.drawRect(area.adjusted(inset * area.width(), inset * area.height(), -inset * area.width(), -inset * area.height()));
  DrawColourScale(painter, QRectF(area.right() + kMargin, area.top(), kScaleWidth, area.height()), top);
  painter.setPen(QColor::fromRgba(verdict_.startsWith("Enough") ? kEnoughColour : kAccentColour));
  painter.drawText(QRectF(kMargin, area.bottom() + 6, size.width() - 2 * kMargin, kVerdictHeight - 6),
                   Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, verdict_);
  return image;
}

void CResidualWindow::DrawHeatMap(QPainter& painter, const QRectF& area, double top) const {
  const QRect pixels = area.toAlignedRect();
  QImage heat(pixels.size(), QImage::Format_RGB32);
  const double scale = uncertainty_.width / area.width();
  for (int py = 0; py < heat.height(); ++py) {
    auto* line = reinterpret_cast<QRgb*>(heat.scanLine(py));
    for (int px = 0; px < heat.width(); ++px)
      line[px] = HeatColour(InterpolatedSigma(uncertainty_, (px + 0.5) * scale, (py + 0.5) * scale), top).rgb();
  }
  painter.drawImage(pixels.topLeft(), heat);
  painter.setPen(QPen(QColor::fromRgba(kAxisColour), 1.0));
  painter.drawRect(area);
}

namespace {

// Where `level` crosses the edge from a (value va) to b (value vb).
QPointF Crossing(QPointF a, QPointF b, double va, double vb, double level) {
  const double t = (level - va) / (vb - va);
  return a + (b - a) * t;
}

}  // namespace

void CResidualWindow::DrawContours(QPainter& painter, const QRectF& area, double top) const {
  const ProjectionUncertaintyMap& map = uncertainty_;
  const double scale = area.width() / map.width;
  const auto node = [&](int column, int row) {
    return QPointF(area.left() + map.CellX(column) * scale, area.top() + map.CellY(row) * scale);
  };
  for (double level : ContourLevels(top)) {
    painter.setPen(QPen(QColor(255, 255, 255, 200), 1.0));
    QPointF labelAt;
    bool labelled = false;
    for (int row = 0; row + 1 < map.rows; ++row)
      for (int column = 0; column + 1 < map.columns; ++column) {
        // Corners of the square around it, in order.
        const std::array<QPointF, 4> p{node(column, row), node(column + 1, row), node(column + 1, row + 1),
                                       node(column, row + 1)};
        const std::array<double, 4> v{map.At(column, row), map.At(column + 1, row), map.At(column + 1, row + 1),
                                      map.At(column, row + 1)};
        if (!std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); })) continue;
        std::vector<QPointF> crossings;
        for (int e = 0; e < 4; ++e) {
          const int f = (e + 1) % 4;
          if ((v[e] < level) != (v[f] < level)) crossings.push_back(Crossing(p[e], p[f], v[e], v[f], level));
        }
        // Four crossings (a saddle) pair up along the square's edges in order.
        for (size_t k = 0; k + 1 < crossings.size(); k += 2) painter.drawLine(crossings[k], crossings[k + 1]);
        if (!labelled && !crossings.empty() && column > 0 && column + 2 < map.columns) {
          labelAt = crossings[0];
          labelled = true;
        }
      }
    if (labelled) {
      painter.setPen(QColor(255, 255, 255));
      painter.drawText(QRectF(labelAt.x() + 2, labelAt.y() - 14, 60, 14), Qt::AlignLeft | Qt::AlignBottom,
                       QString::number(level, 'g', 3));
    }
  }
}

void CResidualWindow::DrawColourScale(QPainter& painter, const QRectF& area, double top) const {
  const int steps = std::max(2, static_cast<int>(area.height()));
  for (int i = 0; i < steps; ++i) {
    const double value = top * (1.0 - (i + 0.5) / steps);
    painter.fillRect(QRectF(area.left(), area.top() + area.height() * i / steps, area.width(),
                            area.height() / steps + 1.0),
                     HeatColour(value, top));
  }
  painter.setPen(QPen(QColor::fromRgba(kAxisColour), 1.0));
  painter.drawRect(area);
  std::vector<double> ticks{0.0};
  for (double level : ContourLevels(top)) ticks.push_back(level);
  ticks.push_back(top);
  painter.setPen(QColor::fromRgba(kTextColour));
  for (double tick : ticks) {
    const double y = area.bottom() - area.height() * tick / top;
    painter.drawLine(QPointF(area.right(), y), QPointF(area.right() + 4, y));
    QString label = QString::number(tick, 'g', 3) + " px";
    if (tick == top && uncertainty_.worst > top) label = "\u2265 " + label;
    painter.drawText(QRectF(area.right() + 6, y - 8, kScaleLabelWidth, 16), Qt::AlignLeft | Qt::AlignVCenter, label);
  }
}
