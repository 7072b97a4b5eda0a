// A guided collection on the virtual rig's left camera: frames rendered for
// every frame slot at 30 per second go through the preview's guidance with
// automatic capture on, while the board sweeps the whole picture (its middle
// reaching as near the picture's edges as its size allows, 500 to 900 mm
// away, tilted up to 35 degrees). After each captured view from the sixth on
// the camera is calibrated and judged; the run stops at "Enough views" (or
// after LENTORA_BENCH_SECONDS of the rig's time, default 120). Then the
// calibration is set against the rig's true camera, cell by cell of its
// uncertainty map (tests/support/ProjectionAgainstTruth.h): the error of
// each cell against its predicted sigma, and the share of cells within 1, 2
// and 3 sigma, beside the same for the exact corners with independent noise.
//
// Then the captured set is taken apart, to tell where an error beyond sigma
// comes from: the same views calibrated again (the engine alone, tight
// tolerances) from the detected corners, from the exact corners (what the
// lens model itself leaves), from the exact corners with independent noise of
// the residual's size (whether sigma is scaled right for this set), and from
// the exact corners with the detected corners' own errors rearranged: shuffled
// over all corners, shuffled within each view, and handed whole from view to
// view (which keeps each view's pattern of errors but not its tie to the
// board's pose). How alike the errors of neighbouring views are, how many of
// the views are near-repeats of another, where in the picture the error
// exceeds sigma, which parts of the grid and which views carry the error on
// the picture's right edge (each part's errors alone, the other corners
// exact), and the same views rendered with samples instead of areas, without
// blur and with more.
//
//   bench_guided_capture [--benchmark_...]   (LENTORA_VIRTUAL_RIG sets the camera, lens and grid)

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "CornersInTrueOrder.h"
#include "app/CalibrationService.h"
#include "app/LiveCoverage.h"
#include "app/ViewGuidance.h"
#include "calib/CalibrationDiagnostics.h"
#include "calib/FitCovariance.h"
#include <opencv2/imgproc.hpp>

#include "core/CalibrationData.h"
#include "grid/CornerRefinement.h"
#include "grid/GridDetection.h"
#include "support/MonteCarloSpread.h"
#include "sources/media/VirtualRig.h"
#include "support/ProjectionAgainstTruth.h"
#include "support/SweepingBoard.h"
#include "synth/BoardRenderer.h"
#include "ui/LiveGuidance.h"

namespace {

QCoreApplication& Application() {
  static int argc = 1;
  static char name[] = "bench_guided_capture";
  static char* argv[] = {name, nullptr};
  static QCoreApplication* application = new QCoreApplication(argc, argv);
  return *application;
}

// A set of views calibrated by the engine alone and set against the truth.
struct Judged {
  bool ok = false;
  truth_comparison::Comparison compared;
  ProjectionUncertaintyMap map;
  double residualSigma = 0.0;  // px per axis
};

Judged Judge(const std::vector<PointList>& views, const std::vector<SyntheticPose>& poses, const VirtualRig& rig,
             const ProjectionUncertaintyMap* against = nullptr) {
  Judged judged;
  CameraFit fit;
  if (!monte_carlo::CalibrateViews(views, rig.grid, rig.left.width, rig.left.height, fit)) return judged;
  const MarginalisedCovariance covariance = MarginalisedCovarianceOf(fit);
  judged.residualSigma = std::sqrt(covariance.residualVariance);
  judged.map = against ? *against : ProjectionUncertaintyReportOf(fit, rig.left.width, rig.left.height).atDistance;
  judged.compared = truth_comparison::CompareWithTruth(fit, poses, rig.left.ToParameters(), rig.grid, judged.map);
  judged.ok = true;
  return judged;
}

// Shares of the compared cells whose error lies within 1, 2 and 3 predicted sigma.
std::array<double, 3> WithinShares(const truth_comparison::Comparison& compared, const ProjectionUncertaintyMap& map) {
  std::array<double, 3> within{0.0, 0.0, 0.0};
  int cells = 0;
  for (size_t c = 0; c < compared.errors.size(); ++c) {
    if (!std::isfinite(compared.errors[c]) || map.sigma[c] <= 0.0) continue;
    for (int k = 0; k < 3; ++k) within[k] += compared.errors[c] <= (k + 1) * map.sigma[c];
    ++cells;
  }
  for (double& share : within) share /= std::max(1, cells);
  return within;
}

// The map's rightmost sixth of columns: where the default rig's excess lay.
bool OnRightEdge(const ProjectionUncertaintyMap& map, size_t cell) {
  return static_cast<int>(cell) % map.columns >= map.columns - map.columns / 6;
}

// RMS of error / sigma over the cells of the right edge.
double RightEdgeRms(const truth_comparison::Comparison& compared, const ProjectionUncertaintyMap& map) {
  double squares = 0.0;
  int cells = 0;
  for (size_t c = 0; c < compared.errors.size(); ++c) {
    if (!OnRightEdge(map, c) || !std::isfinite(compared.errors[c]) || map.sigma[c] <= 0.0) continue;
    squares += std::pow(compared.errors[c] / map.sigma[c], 2);
    ++cells;
  }
  return cells ? std::sqrt(squares / cells) : 0.0;
}

// Error / sigma over drawings of a rearrangement: RMS over the drawings of each drawing's RMS over cells.
void JudgeDrawings(const char* what, int drawings, const std::vector<SyntheticPose>& poses, const VirtualRig& rig,
                   const std::function<std::vector<PointList>(std::mt19937&)>& draw) {
  std::mt19937 random(5);
  double squares = 0.0, lowest = 1e9, highest = 0.0, worstError = 0.0, worstRatio = 0.0, highestWorst = 0.0;
  double rightSquares = 0.0, rightHighest = 0.0;
  std::array<double, 3> within{0.0, 0.0, 0.0};
  int done = 0;
  for (int k = 0; k < drawings; ++k) {
    const Judged j = Judge(draw(random), poses, rig);
    if (!j.ok) continue;
    squares += j.compared.rmsRatio * j.compared.rmsRatio;
    const double right = RightEdgeRms(j.compared, j.map);
    rightSquares += right * right;
    rightHighest = std::max(rightHighest, right);
    lowest = std::min(lowest, j.compared.rmsRatio);
    highest = std::max(highest, j.compared.rmsRatio);
    worstError += j.compared.worstError;
    worstRatio += j.compared.worstRatio;
    highestWorst = std::max(highestWorst, j.compared.worstRatio);
    const std::array<double, 3> shares = WithinShares(j.compared, j.map);
    for (int s = 0; s < 3; ++s) within[s] += shares[s];
    ++done;
  }
  const double n = std::max(1, done);
  std::printf("  %-52s error/sigma rms %.2f over %d drawings (each %.2f..%.2f); worst error %.4f px on average\n"
              "  %-52s error/sigma worst %.2f on average (highest %.2f); cells within 1/2/3 sigma %.2f/%.2f/%.2f\n"
              "  %-52s error/sigma on the right edge rms %.2f (highest drawing %.2f)\n",
              what, done ? std::sqrt(squares / done) : 0.0, done, lowest, highest, worstError / n, "",
              worstRatio / n, highestWorst, within[0] / n, within[1] / n, within[2] / n, "",
              done ? std::sqrt(rightSquares / done) : 0.0, rightHighest);
}

std::vector<PointList> WithErrors(const std::vector<PointList>& truth, const std::vector<Eigen::Vector2d>& errors) {
  std::vector<PointList> views = truth;
  size_t k = 0;
  for (PointList& view : views)
    for (ImagePoint& p : view) p.x += errors[k].x(), p.y += errors[k].y(), ++k;
  return views;
}

// Where the error exceeds sigma: RMS of error / sigma over blocks of cells.
void PrintRatioMap(const truth_comparison::Comparison& compared, const ProjectionUncertaintyMap& map) {
  constexpr int kColumns = 6, kRows = 4;
  std::printf("  error / sigma by region of the picture (RMS over its cells):\n");
  for (int br = 0; br < kRows; ++br) {
    std::printf("   ");
    for (int bc = 0; bc < kColumns; ++bc) {
      double squares = 0.0;
      int cells = 0;
      for (int row = br * map.rows / kRows; row < (br + 1) * map.rows / kRows; ++row)
        for (int column = bc * map.columns / kColumns; column < (bc + 1) * map.columns / kColumns; ++column) {
          const size_t c = static_cast<size_t>(row * map.columns + column);
          if (!std::isfinite(compared.errors[c]) || map.sigma[c] <= 0.0) continue;
          squares += std::pow(compared.errors[c] / map.sigma[c], 2);
          ++cells;
        }
      std::printf(" %5.2f", cells ? std::sqrt(squares / cells) : 0.0);
    }
    std::printf("\n");
  }
}

double AngleBetween(const SyntheticPose& a, const SyntheticPose& b) {
  const Eigen::Matrix3d d = monte_carlo::RotationOf(a.r).transpose() * monte_carlo::RotationOf(b.r);
  return std::acos(std::clamp(0.5 * (d.trace() - 1.0), -1.0, 1.0)) * 180.0 / M_PI;
}

// How alike two views' corner errors are, corner by corner in the board's order.
double Likeness(const std::vector<Eigen::Vector2d>& errors, size_t a, size_t b, size_t perView) {
  double ab = 0.0, aa = 0.0, bb = 0.0;
  for (size_t k = 0; k < perView; ++k) {
    const Eigen::Vector2d& x = errors[a * perView + k];
    const Eigen::Vector2d& y = errors[b * perView + k];
    ab += x.dot(y), aa += x.squaredNorm(), bb += y.squaredNorm();
  }
  return ab / std::sqrt(aa * bb);
}

void PrintRepeats(const std::vector<SyntheticPose>& poses, const std::vector<PointList>& truth,
                  const std::vector<Eigen::Vector2d>& errors, const VirtualRig& rig) {
  const size_t n = poses.size(), perView = truth.front().size();
  int nearRepeats = 0;
  double nearestLikeness = 0.0, allLikeness = 0.0, smallestMeasureDistance = 1e9;
  int pairs = 0;
  for (size_t a = 0; a < n; ++a) {
    size_t nearest = a;
    double nearestCost = 1e9;
    for (size_t b = 0; b < n; ++b) {
      if (b == a) continue;
      const double moved = std::sqrt(std::pow(poses[a].t[0] - poses[b].t[0], 2) + std::pow(poses[a].t[1] - poses[b].t[1], 2) +
                                     std::pow(poses[a].t[2] - poses[b].t[2], 2));
      const double cost = AngleBetween(poses[a], poses[b]) + moved / 10.0;  // 1 degree ~ 10 mm
      if (cost < nearestCost) nearestCost = cost, nearest = b;
      if (b > a) {
        allLikeness += Likeness(errors, a, b, perView);
        ++pairs;
        smallestMeasureDistance =
            std::min(smallestMeasureDistance, BoardDistance(MeasureBoard(truth[a], rig.grid, rig.left.width, rig.left.height),
                                                            MeasureBoard(truth[b], rig.grid, rig.left.width, rig.left.height)));
      }
    }
    nearRepeats += nearestCost < 3.0;
    nearestLikeness += Likeness(errors, a, nearest, perView);
  }
  std::printf("  %zu views; %d have another within 3 (degrees + cm); smallest distance in the four measures %.3f\n"
              "  likeness of corner errors (cosine, board order): with the nearest view %.3f, all pairs %.3f\n",
              n, nearRepeats, smallestMeasureDistance, nearestLikeness / n, allLikeness / std::max(1, pairs));
}

// The corners' error by where they lie on the board: on the grid's outer ring
// or inside it, with its part along the line from the board's middle
// (positive outwards).
void PrintByPlaceOnBoard(const std::vector<PointList>& truth, const std::vector<Eigen::Vector2d>& errors,
                         const GridDescription& grid) {
  double squares[2] = {0, 0}, radial[2] = {0, 0}, radialSquares[2] = {0, 0};
  int count[2] = {0, 0};
  size_t k = 0;
  for (const PointList& view : truth) {
    Eigen::Vector2d middle = Eigen::Vector2d::Zero();
    for (const ImagePoint& p : view) middle += Eigen::Vector2d(p.x, p.y);
    middle /= static_cast<double>(view.size());
    for (size_t c = 0; c < view.size(); ++c, ++k) {
      const int i = static_cast<int>(c) / grid.nx, j = static_cast<int>(c) % grid.nx;
      const int ring = (i == 0 || j == 0 || i == grid.ny - 1 || j == grid.nx - 1) ? 0 : 1;
      const Eigen::Vector2d out = (Eigen::Vector2d(view[c].x, view[c].y) - middle).normalized();
      const double along = errors[k].dot(out);
      squares[ring] += errors[k].squaredNorm();
      radial[ring] += along;
      radialSquares[ring] += along * along;
      ++count[ring];
    }
  }
  for (int ring : {0, 1})
    std::printf("  corners %-8s %5d: error %.4f px per axis RMS; outward part mean %+.4f px, RMS %.4f px\n",
                ring == 0 ? "on edge" : "inside", count[ring], std::sqrt(squares[ring] / (2.0 * count[ring])),
                radial[ring] / count[ring], std::sqrt(radialSquares[ring] / count[ring]));
}

// The edge corners' error across the edge (positive outwards, from the inner
// neighbour towards the corner) against how large the board appears there:
// the spacing to the inner neighbour over the view's median spacing, less 1
// (positive on the near side of a tilted board).
void PrintEdgeAgainstPerspective(const std::vector<PointList>& truth, const std::vector<Eigen::Vector2d>& errors,
                                 const GridDescription& grid) {
  std::vector<double> across, along, larger;
  double awaySum = 0.0, awaySquares = 0.0;  // along the edge, positive away from the edge's middle
  int awayCount = 0;
  size_t k = 0;
  const auto at = [&grid](const PointList& view, int i, int j) {
    return Eigen::Vector2d(view[static_cast<size_t>(i * grid.nx + j)].x, view[static_cast<size_t>(i * grid.nx + j)].y);
  };
  for (const PointList& view : truth) {
    std::vector<double> spacing;
    for (int i = 0; i < grid.ny; ++i)
      for (int j = 0; j + 1 < grid.nx; ++j) spacing.push_back((at(view, i, j + 1) - at(view, i, j)).norm());
    std::nth_element(spacing.begin(), spacing.begin() + static_cast<ptrdiff_t>(spacing.size() / 2), spacing.end());
    const double median = spacing[spacing.size() / 2];
    for (int c = 0; c < static_cast<int>(view.size()); ++c, ++k) {
      const int i = c / grid.nx, j = c % grid.nx;
      int ii = i, jj = j;
      if (i == 0) ii = 1;
      else if (i == grid.ny - 1) ii = grid.ny - 2;
      else if (j == 0) jj = 1;
      else if (j == grid.nx - 1) jj = grid.nx - 2;
      else continue;
      const Eigen::Vector2d step = at(view, i, j) - at(view, ii, jj);
      const Eigen::Vector2d out = step.normalized();
      across.push_back(errors[k].dot(out));
      along.push_back(errors[k].dot(Eigen::Vector2d(-out.y(), out.x())));
      // Along a row or column of the edge, from its middle outwards.
      const bool rowEdge = ii != i;
      const double offset = rowEdge ? j - 0.5 * (grid.nx - 1) : i - 0.5 * (grid.ny - 1);
      if (std::fabs(offset) > 0.6) {
        const Eigen::Vector2d middleward = rowEdge ? at(view, i, offset > 0 ? j - 1 : j + 1) : at(view, offset > 0 ? i - 1 : i + 1, j);
        const double away = errors[k].dot((at(view, i, j) - middleward).normalized());
        awaySum += away, awaySquares += away * away, ++awayCount;
      }
      larger.push_back(step.norm() / median - 1.0);
    }
  }
  const double n = static_cast<double>(across.size());
  double mx = 0, my = 0;
  for (size_t m = 0; m < across.size(); ++m) mx += larger[m], my += across[m];
  mx /= n, my /= n;
  double sxy = 0, sxx = 0, syy = 0, alongSquares = 0, near = 0, far = 0;
  int nearCount = 0, farCount = 0;
  for (size_t m = 0; m < across.size(); ++m) {
    sxy += (larger[m] - mx) * (across[m] - my), sxx += std::pow(larger[m] - mx, 2), syy += std::pow(across[m] - my, 2);
    alongSquares += along[m] * along[m];
    if (larger[m] > 0.05) near += across[m], ++nearCount;
    if (larger[m] < -0.05) far += across[m], ++farCount;
  }
  std::printf("  edge corners: across the edge RMS %.4f px, along it %.4f px; across against apparent size: "
              "correlation %+.2f, slope %+.4f px per 100 %%; mean across %+.4f px where larger by > 5 %% (%d), "
              "%+.4f px where smaller (%d)\n",
              std::sqrt((syy + n * my * my) / n), std::sqrt(alongSquares / n), sxy / std::sqrt(sxx * syy), sxy / sxx,
              nearCount ? near / nearCount : 0.0, nearCount, farCount ? far / farCount : 0.0, farCount);
  std::printf("  edge corners along the edge, away from its middle: mean %+.4f px, RMS %.4f px (%d)\n",
              awaySum / std::max(1, awayCount), std::sqrt(awaySquares / std::max(1, awayCount)), awayCount);
}

bool Rendered(const std::vector<SyntheticPose>& poses, const VirtualRig& rig, RenderOptions render,
              std::vector<PointList>& views) {
  const BoardRenderer renderer(rig.left);
  views.clear();
  for (const SyntheticPose& pose : poses) {
    const GridDetection found = DetectGridInImage(renderer.Render(pose, rig.grid, render), rig.grid);
    views.emplace_back();
    if (found.status != GridStatus::Ok || !InTrueOrder(found.corners, ProjectGrid(rig.left, pose, rig.grid), views.back()))
      return false;
  }
  return true;
}

// Where the error on the right edge comes from. The corners are sorted into
// the grid's four corners, the rest of its outer ring and the inside, each
// with its grid window (0.6 of the true corners' steps each way, at most
// 40 px) inside the picture or reaching past its edge. A calibration from one
// part's detected errors alone (the other corners exact) gives that part's
// share of the error: its error vectors projected on the whole set's, over
// sigma squared, summed over the cells (the shares of disjoint parts add up
// to about 1, as the fit is nearly linear in small corner errors).
constexpr int kKinds = 3;
constexpr const char* kKindNames[kKinds] = {"grid corners", "other border", "inside"};

int KindOf(int row, int column, const GridDescription& grid) {
  const bool rowBorder = row == 0 || row == grid.ny - 1, columnBorder = column == 0 || column == grid.nx - 1;
  return rowBorder && columnBorder ? 0 : (rowBorder || columnBorder ? 1 : 2);
}

bool GridWindowClipped(const PointList& view, const GridDescription& grid, int row, int column, int width,
                       int height) {
  const auto at = [&](int r, int c) {
    const ImagePoint& q = view[static_cast<size_t>(r * grid.nx + c)];
    return Eigen::Vector2d(q.x, q.y);
  };
  const Eigen::Vector2d p = at(row, column);
  const auto step = [&](int dRow, int dColumn) {
    const bool forward = row + dRow < grid.ny && column + dColumn < grid.nx;
    const bool backward = row - dRow >= 0 && column - dColumn >= 0;
    const Eigen::Vector2d a = forward ? Eigen::Vector2d(at(row + dRow, column + dColumn) - p) : Eigen::Vector2d::Zero();
    const Eigen::Vector2d b = backward ? Eigen::Vector2d(p - at(row - dRow, column - dColumn)) : Eigen::Vector2d::Zero();
    if (forward && backward) return Eigen::Vector2d(std::min(a.norm(), b.norm()) * (a + b).normalized());
    return Eigen::Vector2d(forward ? a : b);
  };
  const Eigen::Vector2d along = step(0, 1), across = step(1, 0);
  const double reachX = 0.6 * (std::fabs(along.x()) + std::fabs(across.x()));
  const double reachY = 0.6 * (std::fabs(along.y()) + std::fabs(across.y()));
  const double shrink = std::min(1.0, kMaxHalfWindow / std::max(reachX, reachY));
  return p.x() - shrink * reachX < 1.0 || p.x() + shrink * reachX > width - 2.0 || p.y() - shrink * reachY < 1.0 ||
         p.y() + shrink * reachY > height - 2.0;
}

// One part's share of the whole set's error (see above), over all cells and on the right edge.
std::array<double, 2> ShareOf(const truth_comparison::Comparison& part, const truth_comparison::Comparison& whole,
                              const ProjectionUncertaintyMap& map) {
  std::array<double, 2> dot{0.0, 0.0}, squares{0.0, 0.0};
  for (size_t c = 0; c < whole.errorVectors.size(); ++c) {
    const Eigen::Vector2d& e = whole.errorVectors[c];
    const Eigen::Vector2d& k = part.errorVectors[c];
    if (!e.allFinite() || !k.allFinite() || map.sigma[c] <= 0.0) continue;
    const double weight = 1.0 / (map.sigma[c] * map.sigma[c]);
    for (int right : {0, 1}) {
      if (right && !OnRightEdge(map, c)) continue;
      dot[right] += weight * k.dot(e), squares[right] += weight * e.squaredNorm();
    }
  }
  return {dot[0] / std::max(1e-300, squares[0]), dot[1] / std::max(1e-300, squares[1])};
}

void LocateRightEdge(const std::vector<PointList>& truth, const std::vector<Eigen::Vector2d>& errors,
                     const std::vector<SyntheticPose>& poses, const VirtualRig& rig, const Judged& base) {
  const size_t perView = truth.front().size();
  std::vector<int> kind(errors.size()), clipped(errors.size());
  for (size_t k = 0; k < errors.size(); ++k) {
    const int c = static_cast<int>(k % perView), row = c / rig.grid.nx, column = c % rig.grid.nx;
    kind[k] = KindOf(row, column, rig.grid);
    clipped[k] = GridWindowClipped(truth[k / perView], rig.grid, row, column, rig.left.width, rig.left.height);
  }
  const auto alone = [&](const std::function<bool(size_t)>& keep) {
    std::vector<Eigen::Vector2d> part(errors.size(), Eigen::Vector2d::Zero());
    for (size_t k = 0; k < errors.size(); ++k)
      if (keep(k)) part[k] = errors[k];
    return Judge(WithErrors(truth, part), poses, rig, &base.map);
  };
  std::printf("  right edge (rightmost %d of %d columns): error/sigma rms %.2f; by part of the grid, each part's\n"
              "  detected errors alone (the other corners exact), against the detected set's sigma:\n",
              base.map.columns / 6, base.map.columns, RightEdgeRms(base.compared, base.map));
  const auto print = [&](const std::string& what, const std::function<bool(size_t)>& keep) {
    int count = 0;
    double squares = 0.0, outward = 0.0;
    Eigen::Vector2d mean = Eigen::Vector2d::Zero();
    const Eigen::Vector2d centre(0.5 * (rig.left.width - 1), 0.5 * (rig.left.height - 1));
    for (size_t k = 0; k < errors.size(); ++k)
      if (keep(k)) {
        ++count, squares += errors[k].squaredNorm(), mean += errors[k];
        const ImagePoint& p = truth[k / perView][k % perView];
        outward += errors[k].dot((Eigen::Vector2d(p.x, p.y) - centre).normalized());
      }
    if (count == 0) return std::array<double, 2>{0.0, 0.0};
    mean /= count;
    const Judged j = alone(keep);
    const std::array<double, 2> share = ShareOf(j.compared, base.compared, base.map);
    std::printf("    %-30s %5d corners, %.4f px per axis; alone: error/sigma rms %.2f, right edge %.2f; "
                "share %+.2f, on the right edge %+.2f\n",
                what.c_str(), count, std::sqrt(squares / (2.0 * count)), j.compared.rmsRatio,
                RightEdgeRms(j.compared, base.map), share[0], share[1]);
    std::printf("    %-30s mean error (%+.4f, %+.4f) px, away from the picture's centre %+.4f px\n", "", mean.x(),
                mean.y(), outward / count);
    return share;
  };
  std::array<double, 2> sum{0.0, 0.0};
  for (int g = 0; g < kKinds; ++g)
    for (int out : {0, 1}) {
      const std::array<double, 2> share =
          print(std::string(kKindNames[g]) + (out ? ", window clipped" : ", window inside"),
                [&](size_t k) { return kind[k] == g && clipped[k] == out; });
      sum[0] += share[0], sum[1] += share[1];
    }
  std::printf("    %-30s shares add up to %.2f, on the right edge %.2f\n", "", sum[0], sum[1]);
  for (int g = 0; g < kKinds; ++g) print(std::string(kKindNames[g]) + ", all", [&](size_t k) { return kind[k] == g; });
  const auto inRightSixth = [&](size_t k) { return truth[k / perView][k % perView].x >= rig.left.width * 5.0 / 6.0; };
  const auto nextToGridCorner = [&](size_t k) {
    const int c = static_cast<int>(k % perView), row = c / rig.grid.nx, column = c % rig.grid.nx;
    const bool rowBorder = row == 0 || row == rig.grid.ny - 1;
    return kind[k] == 1 && (rowBorder ? (column == 1 || column == rig.grid.nx - 2) : (row == 1 || row == rig.grid.ny - 2));
  };
  for (int g = 0; g < kKinds; ++g)
    for (int right : {1, 0})
      print(std::string(kKindNames[g]) + (right ? ", in the right sixth" : ", elsewhere"),
            [&](size_t k) { return kind[k] == g && inRightSixth(k) == static_cast<bool>(right); });
  print("other border, next to a grid corner", nextToGridCorner);
  print("other border, further along", [&](size_t k) { return kind[k] == 1 && !nextToGridCorner(k); });
  std::vector<size_t> largest(errors.size());
  std::iota(largest.begin(), largest.end(), 0);
  const size_t shown = std::min<size_t>(10, largest.size());
  std::partial_sort(largest.begin(), largest.begin() + static_cast<ptrdiff_t>(shown), largest.end(),
                    [&](size_t a, size_t b) { return errors[a].squaredNorm() > errors[b].squaredNorm(); });
  std::printf("  the largest corner errors (view, row, column: kind; at; error px):\n");
  for (size_t n = 0; n < shown; ++n) {
    const size_t k = largest[n];
    const int c = static_cast<int>(k % perView);
    const ImagePoint& p = truth[k / perView][k % perView];
    std::printf("    %2zu %d,%2d: %s%s; (%5.1f, %5.1f); %+.4f, %+.4f\n", k / perView, c / rig.grid.nx, c % rig.grid.nx,
                kKindNames[kind[k]], clipped[k] ? ", clipped" : "", p.x, p.y, errors[k].x(), errors[k].y());
  }
  // View by view: which views carry the right edge, and where their boards lie.
  struct ViewShare {
    size_t view;
    std::array<double, 2> share;
  };
  std::vector<ViewShare> views;
  double rightSum = 0.0;
  for (size_t v = 0; v < truth.size(); ++v) {
    const Judged j = alone([&](size_t k) { return k / perView == v; });
    views.push_back({v, ShareOf(j.compared, base.compared, base.map)});
    rightSum += views.back().share[1];
  }
  std::sort(views.begin(), views.end(), [](const ViewShare& a, const ViewShare& b) { return a.share[1] > b.share[1]; });
  std::printf("  views' shares on the right edge add up to %.2f; the largest (view: share on the right edge, overall;\n"
              "  board middle in the picture; normal's x, y; corners with a clipped window; by part 0/1/2):\n",
              rightSum);
  double running = 0.0;
  int toHalf = 0;
  for (const ViewShare& s : views)
    if (running < 0.5 * rightSum) running += s.share[1], ++toHalf;
  std::printf("    %d of %zu views carry half of it\n", toHalf, views.size());
  for (size_t n = 0; n < std::min<size_t>(8, views.size()); ++n) {
    const size_t v = views[n].view;
    Eigen::Vector2d middle = Eigen::Vector2d::Zero();
    for (const ImagePoint& p : truth[v]) middle += Eigen::Vector2d(p.x, p.y);
    middle /= static_cast<double>(perView);
    const Eigen::Vector3d normal = truth_comparison::FromPose(poses[v]).R.col(2);
    int clippedCount = 0;
    for (size_t c = 0; c < perView; ++c) clippedCount += clipped[v * perView + c];
    std::array<double, kKinds> byKind{};
    for (int g = 0; g < kKinds; ++g)
      byKind[static_cast<size_t>(g)] =
          ShareOf(alone([&](size_t k) { return k / perView == v && kind[k] == g; }).compared, base.compared,
                  base.map)[1];
    std::printf("    view %2zu: %+.3f, %+.3f; (%5.1f, %5.1f); %+.2f, %+.2f; %2d clipped; %+.3f/%+.3f/%+.3f\n", v,
                views[n].share[1], views[n].share[0], middle.x(), middle.y(), normal.x(), normal.y(), clippedCount,
                byKind[0], byKind[1], byKind[2]);
    std::printf("             grid corners' errors (px):");
    for (int corner : {0, rig.grid.nx - 1, static_cast<int>(perView) - rig.grid.nx, static_cast<int>(perView) - 1}) {
      const size_t k = v * perView + static_cast<size_t>(corner);
      std::printf(" (%.0f,%.0f)%s %+.3f,%+.3f;", truth[v][static_cast<size_t>(corner)].x,
                  truth[v][static_cast<size_t>(corner)].y, clipped[k] ? "c" : "", errors[k].x(), errors[k].y());
    }
    std::printf("\n");
  }
  std::fflush(stdout);
}

void TakeApart(CCalibrationData& store, const CameraFit& fit, const std::vector<SyntheticPose>& poses,
               const VirtualRig& rig) {
  std::vector<PointList> truth, detected;
  for (size_t i = 0; i < poses.size(); ++i) {
    truth.push_back(ProjectGrid(rig.left, poses[i], rig.grid));
    detected.emplace_back();
    if (!InTrueOrder(*store.GetGridPoints(0, fit.views[i]), truth.back(), detected.back())) {
      std::printf("  view %d: corners not matched to the truth; not taken apart\n", fit.views[i]);
      return;
    }
  }
  std::vector<Eigen::Vector2d> errors;
  double squares = 0.0;
  for (size_t v = 0; v < truth.size(); ++v)
    for (size_t c = 0; c < truth[v].size(); ++c) {
      errors.emplace_back(detected[v][c].x - truth[v][c].x, detected[v][c].y - truth[v][c].y);
      squares += errors.back().squaredNorm();
    }
  std::printf("Taken apart (%zu views; detected corners' error %.4f px per axis RMS):\n", poses.size(),
              std::sqrt(squares / (2.0 * errors.size())));
  const Judged base = Judge(detected, poses, rig);
  if (!base.ok) return;
  std::printf("  %-52s error/sigma rms %.2f worst %.2f; residual sigma %.4f px; predicted worst %.4f px; "
              "worst error %.4f px\n",
              "detected corners (engine alone)", base.compared.rmsRatio, base.compared.worstRatio, base.residualSigma,
              base.map.worst, base.compared.worstError);
  const std::array<double, 3> within = WithinShares(base.compared, base.map);
  std::printf("  %-52s cells within 1/2/3 sigma %.2f/%.2f/%.2f\n", "", within[0], within[1], within[2]);
  PrintRatioMap(base.compared, base.map);
  LocateRightEdge(truth, errors, poses, rig, base);
  const Judged exact = Judge(truth, poses, rig, &base.map);
  std::printf("  %-52s error worst %.6f px; error/sigma (sigma of the detected set) rms %.4f\n",
              "exact corners (the lens model's own error)", exact.compared.worstError, exact.compared.rmsRatio);
  constexpr int kDrawings = 20;
  const size_t perView = truth.front().size();
  JudgeDrawings("exact corners + independent noise of the residual", kDrawings, poses, rig, [&](std::mt19937& random) {
    std::normal_distribution<double> noise(0.0, base.residualSigma);
    std::vector<Eigen::Vector2d> drawn(errors.size());
    for (Eigen::Vector2d& e : drawn) e = Eigen::Vector2d(noise(random), noise(random));
    return WithErrors(truth, drawn);
  });
  JudgeDrawings("detected errors shuffled over all corners", kDrawings, poses, rig, [&](std::mt19937& random) {
    std::vector<Eigen::Vector2d> shuffled = errors;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    return WithErrors(truth, shuffled);
  });
  JudgeDrawings("detected errors shuffled within each view", kDrawings, poses, rig, [&](std::mt19937& random) {
    std::vector<Eigen::Vector2d> shuffled = errors;
    for (size_t v = 0; v < truth.size(); ++v)
      std::shuffle(shuffled.begin() + static_cast<ptrdiff_t>(v * perView),
                   shuffled.begin() + static_cast<ptrdiff_t>((v + 1) * perView), random);
    return WithErrors(truth, shuffled);
  });
  JudgeDrawings("each view's errors handed whole to another view", kDrawings, poses, rig, [&](std::mt19937& random) {
    std::vector<size_t> order(truth.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), random);
    std::vector<Eigen::Vector2d> handed;
    for (size_t v : order) handed.insert(handed.end(), errors.begin() + static_cast<ptrdiff_t>(v * perView),
                                         errors.begin() + static_cast<ptrdiff_t>((v + 1) * perView));
    return WithErrors(truth, handed);
  });
  PrintRepeats(poses, truth, errors, rig);
  PrintByPlaceOnBoard(truth, errors, rig.grid);
  PrintEdgeAgainstPerspective(truth, errors, rig.grid);
  const auto onEdge = [&rig](size_t k) {
    const int c = static_cast<int>(k % static_cast<size_t>(rig.grid.nx * rig.grid.ny));
    const int i = c / rig.grid.nx, j = c % rig.grid.nx;
    return i == 0 || j == 0 || i == rig.grid.ny - 1 || j == rig.grid.nx - 1;
  };
  for (const bool keepEdge : {false, true})
    JudgeDrawings(keepEdge ? "detected errors on the edge, the inside's shuffled" : "detected errors inside, the edge's shuffled",
                  kDrawings, poses, rig, [&](std::mt19937& random) {
                    std::vector<size_t> others;
                    for (size_t k = 0; k < errors.size(); ++k)
                      if (onEdge(k) != keepEdge) others.push_back(k);
                    std::vector<size_t> shuffled = others;
                    std::shuffle(shuffled.begin(), shuffled.end(), random);
                    std::vector<Eigen::Vector2d> mixed = errors;
                    for (size_t n = 0; n < others.size(); ++n) mixed[others[n]] = errors[shuffled[n]];
                    return WithErrors(truth, mixed);
                  });
  struct Rendering {
    const char* what;
    int samples;
    double blur;
  };
  for (const Rendering& r : {Rendering{"4 x 4 samples a pixel", 4, rig.render.blurSigma},
                             Rendering{"no blur", rig.render.supersampling, 0.0},
                             Rendering{"blur 1.2 px", rig.render.supersampling, 1.2}}) {
    RenderOptions render = rig.render;
    render.supersampling = r.samples;
    render.blurSigma = r.blur;
    std::vector<PointList> views;
    if (!Rendered(poses, rig, render, views)) {
      std::printf("  rendered with %s: not every view detected\n", r.what);
      continue;
    }
    const Judged j = Judge(views, poses, rig);
    std::printf("  %-52s error/sigma rms %.2f worst %.2f; residual sigma %.4f px; worst error %.4f px\n",
                (std::string("rendered with ") + r.what).c_str(), j.compared.rmsRatio, j.compared.worstRatio,
                j.residualSigma, j.compared.worstError);
  }
  // Another refinement on the same pictures: OpenCV's, started at the true corners.
  std::vector<PointList> refined;
  const BoardRenderer renderer(rig.left);
  for (size_t i = 0; i < poses.size(); ++i) {
    cv::Mat grey;
    cv::cvtColor(renderer.Render(poses[i], rig.grid, rig.render), grey, cv::COLOR_BGR2GRAY);
    std::vector<cv::Point2f> corners;
    for (const ImagePoint& p : truth[i]) corners.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    cv::cornerSubPix(grey, corners, cv::Size(5, 5), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 100, 1e-4));
    refined.emplace_back();
    for (const cv::Point2f& p : corners) refined.back().push_back(ImagePoint{p.x, p.y});
  }
  const Judged opencv = Judge(refined, poses, rig);
  std::printf("  %-52s error/sigma rms %.2f worst %.2f; residual sigma %.4f px; worst error %.4f px\n",
              "same pictures, OpenCV's cornerSubPix from the truth", opencv.compared.rmsRatio,
              opencv.compared.worstRatio, opencv.residualSigma, opencv.compared.worstError);
  // The detected corners with one part of the grid refined again in the
  // detector's own pixel window (the rule for single corners) instead of the grid window.
  for (const bool edge : {true, false}) {
    std::vector<PointList> again = detected;
    bool refinedAll = true;
    for (size_t v = 0; v < again.size(); ++v) {
      cv::Mat grey;
      if (MakeGrayImage(renderer.Render(poses[v], rig.grid, rig.render), grey) != GridStatus::Ok) return;
      for (size_t c = 0; c < again[v].size(); ++c) {
        if (onEdge(c) != edge) continue;
        const int row = static_cast<int>(c) / rig.grid.nx, column = static_cast<int>(c) % rig.grid.nx;
        const int half = FittingHalfWindow(ShortestSquareExtent(detected[v], rig.grid.nx, rig.grid.ny, row, column));
        const CornerRefinement r = RefineCorner(grey, detected[v][c], ClampHalfWindow(grey, half));
        refinedAll = refinedAll && r.status == GridStatus::Ok;
        again[v][c] = r.point;
      }
    }
    const Judged j = Judge(again, poses, rig);
    std::printf("  %-52s error/sigma rms %.2f worst %.2f; residual sigma %.4f px; worst error %.4f px%s\n",
                edge ? "detected, the outer ring in the pixel window" : "detected, the inside in the pixel window",
                j.compared.rmsRatio, j.compared.worstRatio, j.residualSigma, j.compared.worstError,
                refinedAll ? "" : " (some corners not refined)");
  }
  // The detected corners with one part of the grid taken from OpenCV's refinement instead.
  for (const bool edge : {true, false}) {
    std::vector<PointList> mixed = detected;
    for (size_t v = 0; v < mixed.size(); ++v)
      for (size_t c = 0; c < mixed[v].size(); ++c)
        if (onEdge(c) == edge) mixed[v][c] = refined[v][c];
    const Judged j = Judge(mixed, poses, rig);
    std::printf("  %-52s error/sigma rms %.2f worst %.2f; residual sigma %.4f px; worst error %.4f px\n",
                edge ? "detected, the outer ring from OpenCV's refinement" : "detected, the inside from OpenCV's refinement",
                j.compared.rmsRatio, j.compared.worstRatio, j.residualSigma, j.compared.worstError);
  }
  std::fflush(stdout);
}

void BM_GuidedCaptureUntilEnough(benchmark::State& state) {
  Application();
  const char* seconds = std::getenv("LENTORA_BENCH_SECONDS");
  const double rigSeconds = seconds ? std::max(1, std::atoi(seconds)) : 120;
  const char* description = std::getenv(kVirtualRigVariable);
  VirtualRig rig;
  if (!ParseVirtualRig(description ? description : "size=640x480", rig).empty()) {
    state.SkipWithError("bad rig description");
    return;
  }
  for (auto _ : state) {
    CCalibrationData store;
    store.AddCamera();
    store.SetGrid(0, rig.grid);
    SourceSettings settings;
    settings.subViewCamera[0] = 0;
    LiveGuidanceOptions options;
    options.autoCapture = true;
    SetLiveGuidanceOptions(options);
    CLiveGuidance::Hooks hooks;
    hooks.store = [&store] { return &store; };
    hooks.settings = [&settings] { return settings; };
    CLiveGuidance guidance(hooks);
    guidance.SetPacing({0.0, 0.0});  // the rig's clock is not the wall clock here: every frame is searched
    const BoardRenderer renderer(rig.left);
    std::vector<SyntheticPose> capturedPoses;
    CameraGuidance judged;
    int frames = 0;
    QElapsedTimer wall;
    wall.start();
    for (double tick = 0.0; tick < 1000.0 * rigSeconds && !judged.verdict.enough; tick += rig.FramePeriodMs()) {
      const SyntheticPose pose = SweepingPoseAt(rig, tick / 1000.0);
      const int views = store.GetViewCount(0);
      guidance.OfferFrame(renderer.Render(pose, rig.grid, FrameRenderOptions(rig, RigSide::kLeft, frames)));
      ++frames;
      while (guidance.Searching()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
      if (store.GetViewCount(0) == views) continue;
      capturedPoses.push_back(pose);
      if (store.GetViewCount(0) < 6 || !CalibrateCamera(store, 0).ok) continue;
      judged = GuidanceOf(store, 0);
      std::printf("%6.1f s: %2d views, %s\n", tick / 1000.0, store.GetViewCount(0), judged.verdict.text.c_str());
      std::fflush(stdout);
    }
    state.counters["rig_seconds"] = frames * rig.FramePeriodMs() / 1000.0;
    state.counters["wall_seconds"] = wall.elapsed() / 1000.0;
    state.counters["views"] = store.GetViewCount(0);
    state.counters["enough"] = judged.verdict.enough ? 1.0 : 0.0;
    if (!judged.hasRun) continue;
    const CameraFit fit = FitOf(store.GetCalibrationProblem(0));
    std::vector<SyntheticPose> truePoses;
    for (int view : fit.views) truePoses.push_back(capturedPoses[static_cast<size_t>(view)]);
    const truth_comparison::Comparison compared =
        truth_comparison::CompareWithTruth(fit, truePoses, rig.left.ToParameters(), rig.grid, judged.uncertainty);
    state.counters["predicted_centre90_px"] = judged.uncertainty.centre90;
    state.counters["predicted_worst_px"] = judged.uncertainty.worst;
    state.counters["error_central_worst_px"] = compared.centralWorstError;
    state.counters["error_worst_px"] = compared.worstError;
    state.counters["error_vs_sigma_worst"] = compared.worstRatio;
    state.counters["error_vs_sigma_rms"] = compared.rmsRatio;
    state.counters["cells_within_2sigma"] = compared.withinTwoSigma;
    state.counters["cells_within_3sigma"] = compared.withinThreeSigma;
    std::printf("error/sigma rms %.2f worst %.2f (the store's calibration)\n", compared.rmsRatio, compared.worstRatio);
    TakeApart(store, fit, truePoses, rig);
  }
}
BENCHMARK(BM_GuidedCaptureUntilEnough)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
