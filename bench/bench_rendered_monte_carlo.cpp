// The predicted projection uncertainty against the spread of re-calibrations
// from rendered pictures: a fixed set of board poses seen by the virtual rig's
// left camera is rendered as the rig renders (each pixel's exact area, blur
// 0.6 px) with grey-level noise, the corners are found in the pictures and
// calibrated; then the pictures are rendered again with fresh noise and
// calibrated, 200 times, and each cell's spread is set against the map the
// first calibration predicts (tests/support/MonteCarloSpread.h), at the median
// board distance and at infinity, for boards spread over the image and boards
// clustered in its centre.
//
// The corners are found by the product's detection. It leaves an error that
// depends on how the board lies, not on the noise: the same in every drawing,
// it moves where the re-calibrations land but not their spread, while the
// prediction's scale (the residual RMS) includes it. The per-corner spread
// over the drawings and the per-corner mean error are printed apart, the
// ratios again with the prediction scaled to the spread alone, and how far
// the drawings' mean calibration lands from the truth (the part of a single
// calibration's error that the noise does not explain). The rig itself
// adds no grey-level noise; the cases take the tests' 2 grey levels, where the
// fixed error outweighs the noise, and 16, where the noise outweighs it.
//
// The jittered cases move every board a little in each drawing (a shift of
// up to half a pixel on each image axis and a turn of up to a quarter degree
// about its middle), so that the detector's error, which depends on where
// the corners fall on the pixel grid, is drawn afresh with the noise, while
// the set's geometry stays as it was. The prediction is still the first
// drawing's (the unmoved boards); the spread is printed about the drawings'
// mean and about the truth.
//
// BM_JitteredErrorCorrelation keeps the jittered drawings' corner errors and
// hands them to the true corners again, arranged to keep or break what ties
// them: as found, each view's errors whole from another drawing, each corner's
// from another drawing, and independent Gaussian noise of one size for all
// corners, of each view's own spread, of each corner's own spread and
// directions, and of each corner's own size in every direction. It also says
// how much the corners of one view err together.
//
//   bench_rendered_monte_carlo [--benchmark_...]   (LENTORA_BENCH_REDRAWS: default 200)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <tuple>
#include <functional>
#include <vector>

#include <opencv2/calib3d.hpp>

#include "CornersInTrueOrder.h"
#include "calib/FitCovariance.h"
#include "grid/GridDetection.h"
#include "sources/media/VirtualRig.h"
#include "support/MonteCarloSpread.h"
#include "synth/BoardRenderer.h"

namespace {

// Per true corner, the mean and the spread of its error over the drawings.
struct CornerErrors {
  std::vector<Eigen::Vector2d> sum;
  std::vector<Eigen::Vector2d> squares;
  int drawings = 0;

  void Add(const std::vector<PointList>& found, const std::vector<PointList>& truth) {
    size_t n = 0;
    for (const PointList& view : truth) n += view.size();
    if (sum.empty()) sum.assign(n, Eigen::Vector2d::Zero()), squares.assign(n, Eigen::Vector2d::Zero());
    size_t k = 0;
    for (size_t v = 0; v < truth.size(); ++v)
      for (size_t c = 0; c < truth[v].size(); ++c, ++k) {
        const Eigen::Vector2d e(found[v][c].x - truth[v][c].x, found[v][c].y - truth[v][c].y);
        sum[k] += e;
        squares[k] += e.cwiseProduct(e);
      }
    ++drawings;
  }
  // RMS over the corners of the mean error (per axis).
  double BiasRms() const {
    double total = 0.0;
    for (const Eigen::Vector2d& s : sum) total += (s / drawings).squaredNorm();
    return std::sqrt(total / (2.0 * sum.size()));
  }
  // RMS over the corners of the spread about the mean (per axis).
  double NoiseRms() const {
    double total = 0.0;
    for (size_t k = 0; k < sum.size(); ++k) {
      const Eigen::Vector2d mean = sum[k] / drawings;
      total += ((squares[k] - drawings * mean.cwiseProduct(mean)) / (drawings - 1.0)).sum();
    }
    return std::sqrt(total / (2.0 * sum.size()));
  }
};

class RenderedViews {
 public:
  RenderedViews(const VirtualRig& rig, RenderOptions render) : rig_(rig), renderer_(rig.left), render_(render) {}

  // The poses whose noise-free pictures give corners (the others are printed and left out).
  std::vector<SyntheticPose> Findable(const std::vector<SyntheticPose>& poses) const {
    std::vector<SyntheticPose> kept;
    RenderOptions clean = render_;
    clean.imageNoise = 0.0;
    for (size_t i = 0; i < poses.size(); ++i) {
      PointList corners;
      if (Find(renderer_.Render(poses[i], rig_.grid, clean), ProjectGrid(rig_.left, poses[i], rig_.grid), corners))
        kept.push_back(poses[i]);
      else
        std::printf("  pose %zu: no corners in the noise-free picture, left out\n", i);
    }
    return kept;
  }

  // Drawing k of every pose's picture, its corners in grid order.
  bool Draw(int k, const std::vector<SyntheticPose>& poses, std::vector<PointList>& views,
            std::vector<PointList>& truth) const {
    views.clear();
    truth.clear();
    RenderOptions options = render_;
    for (size_t i = 0; i < poses.size(); ++i) {
      options.seed = static_cast<uint32_t>(1 + 1000 * k + i);
      truth.push_back(ProjectGrid(rig_.left, poses[i], rig_.grid));
      views.emplace_back();
      if (!Find(renderer_.Render(poses[i], rig_.grid, options), truth.back(), views.back())) return false;
    }
    return true;
  }

 private:
  bool Find(const cv::Mat& image, const PointList& truth, PointList& corners) const {
    const GridDetection found = DetectGridInImage(image, rig_.grid);
    return found.status == GridStatus::Ok && InTrueOrder(found.corners, truth, corners);
  }

  const VirtualRig& rig_;
  BoardRenderer renderer_;
  RenderOptions render_;
};

// Drawing k's boards: the poses themselves for drawing 0, else each moved by
// a random shift of up to half a pixel on each image axis (at its middle's
// depth) and a random turn of up to a quarter degree about its middle.
std::vector<SyntheticPose> Jittered(const std::vector<SyntheticPose>& poses, int k, const GridDescription& grid,
                                    const CameraParameters& camera) {
  if (k == 0) return poses;
  std::mt19937 random(static_cast<uint32_t>(7919 * k));
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  const Eigen::Vector3d centre(0.5 * (grid.nx - 1) * grid.dX, 0.5 * (grid.ny - 1) * grid.dY, 0.0);
  std::vector<SyntheticPose> moved;
  for (const SyntheticPose& pose : poses) {
    const Eigen::Vector3d axis = Eigen::Vector3d(gauss(random), gauss(random), gauss(random)).normalized();
    const Eigen::Matrix3d turn(Eigen::AngleAxisd(0.25 * M_PI / 180.0 * unit(random), axis));
    const Eigen::Matrix3d R = turn * monte_carlo::RotationOf(pose.r);
    const Eigen::Vector3d middle = monte_carlo::RotationOf(pose.r) * centre + Eigen::Vector3d(pose.t.data());
    const Eigen::Vector3d shift(0.5 * unit(random) * middle.z() / camera.K[0],
                                0.5 * unit(random) * middle.z() / camera.K[4], 0.0);
    const Eigen::Vector3d t = middle + shift - R * centre;
    cv::Vec3d r;
    cv::Rodrigues(cv::Matx33d(R(0, 0), R(0, 1), R(0, 2), R(1, 0), R(1, 1), R(1, 2), R(2, 0), R(2, 1), R(2, 2)), r);
    moved.push_back(PoseFromVectors({r[0], r[1], r[2]}, {t.x(), t.y(), t.z()}));
  }
  return moved;
}

int OutsideTwentyPercent(const ProjectionUncertaintyMap& map, const std::vector<double>& measured) {
  int outside = 0;
  for (size_t c = 0; c < measured.size(); ++c) outside += std::fabs(map.sigma[c] / measured[c] - 1.0) > 0.2;
  return outside;
}

void PrintRange(const char* what, const ProjectionUncertaintyMap& map, const std::vector<double>& measured,
                const std::vector<double>& meanError, const std::vector<double>& aboutTruth, double scale) {
  const monte_carlo::RatioRange r = monte_carlo::RatioRangeOf(map, measured);
  std::vector<double> scaled;
  for (double m : measured) scaled.push_back(m * scale);
  const monte_carlo::RatioRange s = monte_carlo::RatioRangeOf(map, scaled);
  const double corner = std::max({map.At(0, 0), map.At(map.columns - 1, 0), map.At(0, map.rows - 1),
                                  map.At(map.columns - 1, map.rows - 1)});
  const int outside = OutsideTwentyPercent(map, measured);
  const monte_carlo::RatioRange t = monte_carlo::RatioRangeOf(map, aboutTruth);
  double squares = 0.0, worst = 0.0;
  for (size_t c = 0; c < meanError.size(); ++c) {
    squares += std::pow(meanError[c] / map.sigma[c], 2);
    worst = std::max(worst, meanError[c] / map.sigma[c]);
  }
  std::printf("  %-16s predicted/measured %.3f..%.3f (cells %zu, %zu; %d of %zu off by more than 20%%); "
              "predicted worst %.4f px, corner %.4f px, "
              "centre %.4f px; with sigma from the corners' spread alone %.3f..%.3f\n"
              "  %-16s the drawings' mean off the truth, in predicted sigma: rms %.2f, worst %.2f\n"
              "  %-16s predicted/spread about the truth %.3f..%.3f (%d of %zu off by more than 20%%)\n",
              what, r.lowest, r.highest, r.lowestCell, r.highestCell, outside, measured.size(), map.worst, corner,
              map.At(map.columns / 2, map.rows / 2), s.lowest, s.highest, "",
              std::sqrt(squares / std::max<size_t>(1, meanError.size())), worst, "", t.lowest, t.highest,
              OutsideTwentyPercent(map, aboutTruth), aboutTruth.size());
}

int Redraws() {
  const char* count = std::getenv("LENTORA_BENCH_REDRAWS");
  return count ? std::max(2, std::atoi(count)) : 200;
}

void BM_RenderedMonteCarlo(benchmark::State& state, bool clustered, double imageNoise, bool jitter) {
  const int redraws = Redraws();
  VirtualRig rig;  // the defaults: 640 x 480, focal 800, mild barrel distortion
  ParseVirtualRig("", rig);
  RenderOptions render = rig.render;
  render.imageNoise = imageNoise;
  const RenderedViews rendered(rig, render);
  for (auto _ : state) {
    std::printf("%s boards%s, blur %.1f, grey-level noise %.1f, %d redraws\n", clustered ? "clustered" : "spread",
                jitter ? " moved a little in each drawing" : "", render.blurSigma, render.imageNoise, redraws);
    const std::vector<SyntheticPose> poses = rendered.Findable(
        clustered ? monte_carlo::ClusteredPoses(rig.grid)
                  : MakeSyntheticPoses(14, rig.grid, rig.left, nullptr, nullptr, 7));
    CornerErrors corners;
    double residualSigma = 0.0;
    const CameraParameters camera = rig.left.ToParameters();
    const auto posesOf = [&](int k) { return jitter ? Jittered(poses, k, rig.grid, camera) : poses; };
    const monte_carlo::Result result =
        monte_carlo::Run(camera, posesOf, rig.grid, redraws, [&](int k, CameraFit& fit) {
          std::vector<PointList> views, truth;
          if (!rendered.Draw(k, posesOf(k), views, truth) || !monte_carlo::CalibrateViews(views, rig.grid, rig.left.width,
                                                                                       rig.left.height, fit))
            return false;
          corners.Add(views, truth);
          if (k == 0) residualSigma = std::sqrt(MarginalisedCovarianceOf(fit).residualVariance);
          return true;
        });
    if (!result.calibrated || result.done < 2) {
      state.SkipWithError("the views did not calibrate");
      return;
    }
    const double noise = corners.NoiseRms();
    std::printf("  %zu views, %d drawings calibrated, %d failed; residual sigma %.4f px; corners over the drawings: "
                "spread %.4f px, mean error %.4f px (per axis, RMS over corners)\n",
                poses.size(), result.done, result.failed, residualSigma, noise, corners.BiasRms());
    const double scale = residualSigma / noise;
    PrintRange("median distance", result.predicted.atDistance, result.measuredAtDistance, result.meanErrorAtDistance,
               result.aboutTruthAtDistance, scale);
    PrintRange("infinity", result.predicted.atInfinity, result.measuredAtInfinity, result.meanErrorAtInfinity,
               result.aboutTruthAtInfinity, scale);
    std::fflush(stdout);
    const monte_carlo::RatioRange near = monte_carlo::RatioRangeOf(result.predicted.atDistance, result.measuredAtDistance);
    const monte_carlo::RatioRange far = monte_carlo::RatioRangeOf(result.predicted.atInfinity, result.measuredAtInfinity);
    state.counters["ratio_distance_low"] = near.lowest;
    state.counters["ratio_distance_high"] = near.highest;
    state.counters["ratio_infinity_low"] = far.lowest;
    state.counters["ratio_infinity_high"] = far.highest;
    state.counters["residual_over_spread"] = scale;
    state.counters["outside_20pct_distance"] = OutsideTwentyPercent(result.predicted.atDistance, result.measuredAtDistance);
    state.counters["outside_20pct_infinity"] = OutsideTwentyPercent(result.predicted.atInfinity, result.measuredAtInfinity);
    state.counters["failed"] = result.failed;
  }
}

// The jittered drawings' corners, kept so that their errors can be handed
// out again in other arrangements: [drawing][view][corner].
struct JitteredDrawings {
  std::vector<std::vector<PointList>> truth;
  std::vector<std::vector<PointList>> error;  // found minus true; empty where the drawing failed
};

JitteredDrawings DrawAll(const RenderedViews& rendered, const std::vector<SyntheticPose>& poses, int redraws,
                         const VirtualRig& rig) {
  JitteredDrawings all;
  for (int k = 0; k <= redraws; ++k) {
    std::vector<PointList> views, truth;
    const bool found = rendered.Draw(k, Jittered(poses, k, rig.grid, rig.left.ToParameters()), views, truth);
    all.truth.push_back(truth);
    all.error.emplace_back();
    if (!found) continue;
    for (size_t v = 0; v < views.size(); ++v) {
      all.error.back().emplace_back();
      for (size_t c = 0; c < views[v].size(); ++c)
        all.error.back().back().push_back({views[v][c].x - truth[v][c].x, views[v][c].y - truth[v][c].y});
    }
  }
  return all;
}

// How much the corners of one view err together from drawing to drawing:
// per axis, the variance of the view's mean deviation times its corner count
// over a corner's variance (1 for independent corners, 1 + (n - 1) r for a
// common correlation r), and the share of the deviations a per-view affine
// map of the image (6 numbers) explains (6 / 2n for independent corners).
void PrintWithinViewCorrelation(const JitteredDrawings& all) {
  std::vector<int> used;
  for (size_t k = 1; k < all.error.size(); ++k)
    if (!all.error[k].empty()) used.push_back(static_cast<int>(k));
  const size_t views = all.truth[0].size();
  double inflation[2] = {0.0, 0.0}, explained = 0.0, total = 0.0, corners = 0.0;
  for (size_t v = 0; v < views; ++v) {
    const size_t n = all.truth[0][v].size();
    corners += static_cast<double>(n) / static_cast<double>(views);
    std::vector<Eigen::Vector2d> mean(n, Eigen::Vector2d::Zero());
    for (int k : used)
      for (size_t c = 0; c < n; ++c) mean[c] += Eigen::Vector2d(all.error[k][v][c].x, all.error[k][v][c].y) / used.size();
    Eigen::MatrixXd design(n, 3);
    for (size_t c = 0; c < n; ++c) design.row(c) << 1.0, all.truth[0][v][c].x, all.truth[0][v][c].y;
    const Eigen::MatrixXd hat = design * (design.transpose() * design).inverse() * design.transpose();
    Eigen::Vector2d cornerVariance = Eigen::Vector2d::Zero(), viewMeanVariance = Eigen::Vector2d::Zero();
    for (int k : used) {
      Eigen::MatrixXd d(n, 2);
      for (size_t c = 0; c < n; ++c)
        d.row(c) = Eigen::Vector2d(all.error[k][v][c].x, all.error[k][v][c].y).transpose() - mean[c].transpose();
      cornerVariance += d.colwise().squaredNorm().transpose() / static_cast<double>(n);
      viewMeanVariance += d.colwise().mean().cwiseAbs2().transpose();
      explained += (hat * d).squaredNorm();
      total += d.squaredNorm();
    }
    for (int a = 0; a < 2; ++a) inflation[a] += n * viewMeanVariance[a] / cornerVariance[a] / static_cast<double>(views);
  }
  std::printf("  within a view, over %zu drawings: variance of the view's mean deviation x n / a corner's variance "
              "%.2f (x), %.2f (y) (independent: 1; n = %.0f, so a mean correlation of %.3f, %.3f); share of the "
              "deviations a per-view affine map explains %.3f (independent: %.3f)\n",
              used.size(), inflation[0], inflation[1], corners, (inflation[0] - 1.0) / (corners - 1.0),
              (inflation[1] - 1.0) / (corners - 1.0), explained / total, 3.0 / corners);
}

// The jittered drawings' corner errors handed to the true corners again,
// arranged in ways that keep or break their tie within a view; each
// arrangement's re-calibrations against the first drawing's prediction.
void BM_JitteredErrorCorrelation(benchmark::State& state, bool clustered) {
  const int redraws = Redraws();
  VirtualRig rig;
  ParseVirtualRig("", rig);
  RenderOptions render = rig.render;
  render.imageNoise = 2.0;
  const RenderedViews rendered(rig, render);
  const CameraParameters camera = rig.left.ToParameters();
  for (auto _ : state) {
    std::printf("%s boards moved a little in each drawing, grey-level noise 2, %d redraws\n",
                clustered ? "clustered" : "spread", redraws);
    const std::vector<SyntheticPose> poses = rendered.Findable(
        clustered ? monte_carlo::ClusteredPoses(rig.grid) : MakeSyntheticPoses(14, rig.grid, rig.left, nullptr, nullptr, 7));
    const JitteredDrawings all = DrawAll(rendered, poses, redraws, rig);
    if (all.error[0].empty()) {
      state.SkipWithError("the first drawing found no corners");
      return;
    }
    PrintWithinViewCorrelation(all);
    std::vector<int> used;
    for (int k = 1; k <= redraws; ++k)
      if (!all.error[k].empty()) used.push_back(k);
    const size_t views = poses.size(), n = all.truth[0][0].size();
    std::mt19937 random(5);
    // source[k][v][c]: the drawing whose error corner c of view v takes in drawing k.
    const auto arrange = [&](bool wholeViews) {
      std::vector<std::vector<std::vector<int>>> source(redraws + 1, std::vector<std::vector<int>>(views, std::vector<int>(n, 0)));
      for (size_t v = 0; v < views; ++v) {
        std::vector<int> order = used;
        for (size_t c = 0; c < n; ++c) {
          if (c == 0 || !wholeViews) std::shuffle(order.begin(), order.end(), random);
          for (size_t i = 0; i < used.size(); ++i) source[used[i]][v][c] = order[i];
        }
      }
      return source;
    };
    const double residual = [&] {
      double squares = 0.0, count = 0.0;
      for (const PointList& view : all.error[0])
        for (const ImagePoint& e : view) squares += e.x * e.x + e.y * e.y, count += 2.0;
      return std::sqrt(squares / count);
    }();
    const auto posesOf = [&](int k) { return Jittered(poses, k, rig.grid, camera); };
    const auto report = [&](const char* what, const std::function<ImagePoint(int, size_t, size_t)>& errorOf) {
      const monte_carlo::Result result = monte_carlo::Run(camera, posesOf, rig.grid, redraws, [&](int k, CameraFit& fit) {
        if (all.error[k].empty()) return false;
        std::vector<PointList> views = all.truth[k];
        for (size_t v = 0; v < views.size(); ++v)
          for (size_t c = 0; c < views[v].size(); ++c) {
            const ImagePoint e = errorOf(k, v, c);
            views[v][c].x += e.x, views[v][c].y += e.y;
          }
        return monte_carlo::CalibrateViews(views, rig.grid, rig.left.width, rig.left.height, fit);
      });
      for (const auto& [where, map, measured] :
           {std::make_tuple("median distance", &result.predicted.atDistance, &result.measuredAtDistance),
            std::make_tuple("infinity", &result.predicted.atInfinity, &result.measuredAtInfinity)}) {
        const monte_carlo::RatioRange r = monte_carlo::RatioRangeOf(*map, *measured);
        const size_t centre = static_cast<size_t>(map->rows / 2 * map->columns + map->columns / 2);
        std::printf("  %-44s %-16s predicted/measured %.3f..%.3f (cells %zu, %zu; %d of %zu off by more than 20%%); "
                    "centre cell %.3f (predicted %.5f px)\n",
                    what, where, r.lowest, r.highest, r.lowestCell, r.highestCell, OutsideTwentyPercent(*map, *measured),
                    measured->size(), map->sigma[centre] / (*measured)[centre], map->sigma[centre]);
      }
      std::fflush(stdout);
    };
    const auto sourced = [&](const std::vector<std::vector<std::vector<int>>>& source) {
      return [&all, source](int k, size_t v, size_t c) { return all.error[k == 0 ? 0 : source[k][v][c]][v][c]; };
    };
    report("as found", [&](int k, size_t v, size_t c) { return all.error[k][v][c]; });
    report("each view's errors whole from another drawing", sourced(arrange(true)));
    report("each corner's error from another drawing", sourced(arrange(false)));
    std::normal_distribution<double> gauss(0.0, residual);
    std::vector<std::vector<PointList>> iid = all.error;
    for (auto& drawing : iid)
      for (PointList& view : drawing)
        for (ImagePoint& e : view) e = {gauss(random), gauss(random)};
    report("independent noise of the first residual's size", [&](int k, size_t v, size_t c) { return iid[k][v][c]; });
    // Independent noise again, but of each corner's (or each view's) own
    // spread over the drawings, in its own directions.
    std::vector<std::vector<Eigen::Matrix2d>> cornerRoot(views), roundRoot(views), viewRoot(views);
    std::vector<double> viewSpread;
    for (size_t v = 0; v < views; ++v) {
      Eigen::Matrix2d viewCovariance = Eigen::Matrix2d::Zero();
      for (size_t c = 0; c < n; ++c) {
        Eigen::Vector2d mean = Eigen::Vector2d::Zero();
        Eigen::Matrix2d outer = Eigen::Matrix2d::Zero();
        for (int k : used) {
          const Eigen::Vector2d e(all.error[k][v][c].x, all.error[k][v][c].y);
          mean += e, outer += e * e.transpose();
        }
        mean /= used.size();
        const Eigen::Matrix2d covariance = (outer - used.size() * mean * mean.transpose()) / (used.size() - 1.0);
        cornerRoot[v].push_back(Eigen::LLT<Eigen::Matrix2d>(covariance).matrixL());
        roundRoot[v].push_back(std::sqrt(0.5 * covariance.trace()) * Eigen::Matrix2d::Identity());
        viewCovariance += covariance / static_cast<double>(n);
      }
      viewRoot[v].assign(n, Eigen::LLT<Eigen::Matrix2d>(viewCovariance).matrixL());
      viewSpread.push_back(std::sqrt(0.5 * viewCovariance.trace()));
    }
    std::printf("  each view's corner spread, px per axis RMS, view by view:");
    for (double spread : viewSpread) std::printf(" %.4f", spread);
    std::printf("\n");
    const auto shaped = [&](const std::vector<std::vector<Eigen::Matrix2d>>& root) {
      std::vector<std::vector<PointList>> drawn = all.error;
      for (auto& drawing : drawn)
        for (size_t v = 0; v < drawing.size(); ++v)
          for (size_t c = 0; c < drawing[v].size(); ++c) {
            const Eigen::Vector2d e = root[v][c] * Eigen::Vector2d(gauss(random), gauss(random)) / residual;
            drawing[v][c] = {e.x(), e.y()};
          }
      drawn[0] = iid[0];
      return drawn;
    };
    const std::vector<std::vector<PointList>> perCorner = shaped(cornerRoot), perView = shaped(viewRoot),
                                              perCornerRound = shaped(roundRoot);
    report("independent noise of each view's own spread", [&](int k, size_t v, size_t c) { return perView[k][v][c]; });
    report("independent noise of each corner's own spread", [&](int k, size_t v, size_t c) { return perCorner[k][v][c]; });
    report("... of each corner's own size, in every direction",
           [&](int k, size_t v, size_t c) { return perCornerRound[k][v][c]; });
  }
}

BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, spread_noise2, false, 2.0, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, clustered_noise2, true, 2.0, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, spread_noise16, false, 16.0, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, clustered_noise16, true, 16.0, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, spread_noise2_jittered, false, 2.0, true)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, clustered_noise2_jittered, true, 2.0, true)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, spread_noise16_jittered, false, 16.0, true)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, clustered_noise16_jittered, true, 16.0, true)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_JitteredErrorCorrelation, spread_noise2, false)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_JitteredErrorCorrelation, clustered_noise2, true)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
