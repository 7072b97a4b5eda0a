// The predicted projection uncertainty against the spread of re-calibrations
// from rendered pictures: a fixed set of board poses seen by the virtual rig's
// left camera is rendered as the rig renders (4 x 4 samples a pixel, blur
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
//   bench_rendered_monte_carlo [--benchmark_...]   (LENTORA_BENCH_REDRAWS: default 200)

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "calib/FitCovariance.h"
#include "grid/GridDetection.h"
#include "sources/media/VirtualRig.h"
#include "support/MonteCarloSpread.h"
#include "synth/BoardRenderer.h"

namespace {


// The found corners put in the true corners' order (the detector may start
// the grid at another corner); false unless each lies within 2 px of its own.
bool InTrueOrder(const PointList& found, const PointList& truth, PointList& ordered) {
  if (found.size() != truth.size()) return false;
  ordered.assign(truth.size(), ImagePoint{});
  std::vector<bool> taken(truth.size(), false);
  for (const ImagePoint& p : found) {
    size_t best = 0;
    double bestDistance = 1e9;
    for (size_t k = 0; k < truth.size(); ++k) {
      const double d = std::hypot(p.x - truth[k].x, p.y - truth[k].y);
      if (d < bestDistance) best = k, bestDistance = d;
    }
    if (bestDistance > 2.0 || taken[best]) return false;
    taken[best] = true;
    ordered[best] = p;
  }
  return true;
}

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

void PrintRange(const char* what, const ProjectionUncertaintyMap& map, const std::vector<double>& measured,
                const std::vector<double>& meanError, double scale) {
  const monte_carlo::RatioRange r = monte_carlo::RatioRangeOf(map, measured);
  std::vector<double> scaled;
  for (double m : measured) scaled.push_back(m * scale);
  const monte_carlo::RatioRange s = monte_carlo::RatioRangeOf(map, scaled);
  const double corner = std::max({map.At(0, 0), map.At(map.columns - 1, 0), map.At(0, map.rows - 1),
                                  map.At(map.columns - 1, map.rows - 1)});
  int outside = 0;  // cells whose prediction is off the spread by more than 20%
  for (size_t c = 0; c < measured.size(); ++c) outside += std::fabs(map.sigma[c] / measured[c] - 1.0) > 0.2;
  double squares = 0.0, worst = 0.0;
  for (size_t c = 0; c < meanError.size(); ++c) {
    squares += std::pow(meanError[c] / map.sigma[c], 2);
    worst = std::max(worst, meanError[c] / map.sigma[c]);
  }
  std::printf("  %-16s predicted/measured %.3f..%.3f (cells %zu, %zu; %d of %zu off by more than 20%%); "
              "predicted worst %.4f px, corner %.4f px, "
              "centre %.4f px; with sigma from the corners' spread alone %.3f..%.3f\n"
              "  %-16s the drawings' mean off the truth, in predicted sigma: rms %.2f, worst %.2f\n",
              what, r.lowest, r.highest, r.lowestCell, r.highestCell, outside, measured.size(), map.worst, corner,
              map.At(map.columns / 2, map.rows / 2), s.lowest, s.highest, "",
              std::sqrt(squares / std::max<size_t>(1, meanError.size())), worst);
}

int Redraws() {
  const char* count = std::getenv("LENTORA_BENCH_REDRAWS");
  return count ? std::max(2, std::atoi(count)) : 200;
}

void BM_RenderedMonteCarlo(benchmark::State& state, bool clustered, double imageNoise) {
  const int redraws = Redraws();
  VirtualRig rig;  // the defaults: 640 x 480, focal 800, mild barrel distortion
  ParseVirtualRig("", rig);
  RenderOptions render = rig.render;
  render.imageNoise = imageNoise;
  const RenderedViews rendered(rig, render);
  for (auto _ : state) {
    std::printf("%s boards, blur %.1f, grey-level noise %.1f, %d redraws\n", clustered ? "clustered" : "spread",
                render.blurSigma, render.imageNoise, redraws);
    const std::vector<SyntheticPose> poses = rendered.Findable(
        clustered ? monte_carlo::ClusteredPoses(rig.grid)
                  : MakeSyntheticPoses(14, rig.grid, rig.left, nullptr, nullptr, 7));
    CornerErrors corners;
    double residualSigma = 0.0;
    const monte_carlo::Result result =
        monte_carlo::Run(rig.left.ToParameters(), poses, rig.grid, redraws, [&](int k, CameraFit& fit) {
          std::vector<PointList> views, truth;
          if (!rendered.Draw(k, poses, views, truth) || !monte_carlo::CalibrateViews(views, rig.grid, rig.left.width,
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
               scale);
    PrintRange("infinity", result.predicted.atInfinity, result.measuredAtInfinity, result.meanErrorAtInfinity, scale);
    std::fflush(stdout);
    const monte_carlo::RatioRange near = monte_carlo::RatioRangeOf(result.predicted.atDistance, result.measuredAtDistance);
    const monte_carlo::RatioRange far = monte_carlo::RatioRangeOf(result.predicted.atInfinity, result.measuredAtInfinity);
    state.counters["ratio_distance_low"] = near.lowest;
    state.counters["ratio_distance_high"] = near.highest;
    state.counters["ratio_infinity_low"] = far.lowest;
    state.counters["ratio_infinity_high"] = far.highest;
    state.counters["residual_over_spread"] = scale;
    state.counters["failed"] = result.failed;
  }
}

BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, spread_noise2, false, 2.0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, clustered_noise2, true, 2.0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, spread_noise16, false, 16.0)->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK_CAPTURE(BM_RenderedMonteCarlo, clustered_noise16, true, 16.0)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
