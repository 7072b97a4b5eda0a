// Engine primitives against OpenCV's calib3d on the same inputs: projection
// with pose derivatives (one pose-refinement iteration's worth), rotation
// conversion with Jacobian, and plane homography estimation.

#include <benchmark/benchmark.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include <vector>

#include "calib/Calibration.h"

namespace {

struct Grid {
  std::vector<cv::Point3d> object;
  std::vector<cv::Point2d> plane, image;
  double r[3] = {0.2, -0.35, 0.1};
  double t[3] = {-40.0, 25.0, 600.0};
  double K[9] = {800, 0, 320, 0, 780, 240, 0, 0, 1};
  double k[4] = {-0.21, 0.08, 0.0012, -0.0007};

  explicit Grid(int nx, int ny) {
    for (int i = 0; i < ny; ++i)
      for (int j = 0; j < nx; ++j) {
        object.emplace_back(j * 30.0, i * 30.0, 0.0);
        plane.emplace_back(j * 30.0, i * 30.0);
      }
    cv::projectPoints(object, cv::Mat(3, 1, CV_64F, r), cv::Mat(3, 1, CV_64F, t), cv::Mat(3, 3, CV_64F, K),
                      cv::Mat(1, 4, CV_64F, k), image);
  }
  int count() const { return static_cast<int>(object.size()); }
};

void BM_ProjectWithPoseDerivatives_Ours(benchmark::State& state) {
  Grid g(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
  const int n = g.count();
  std::vector<double> image(2 * n), drot(6 * n), dt(6 * n);
  CvMat obj = cvMat(n, 3, CV_64FC1, g.object.data()), rv = cvMat(3, 1, CV_64FC1, g.r);
  CvMat tv = cvMat(3, 1, CV_64FC1, g.t), K = cvMat(3, 3, CV_64FC1, g.K), dist = cvMat(1, 4, CV_64FC1, g.k);
  CvMat img = cvMat(n, 2, CV_64FC1, image.data());
  CvMat Drot = cvMat(2 * n, 3, CV_64FC1, drot.data()), Dt = cvMat(2 * n, 3, CV_64FC1, dt.data());
  for (auto _ : state) {
    Orvel_cvProjectPoints2(&obj, &rv, &tv, &K, &dist, &img, &Drot, &Dt);
    benchmark::DoNotOptimize(image.data());
  }
}

void BM_ProjectWithPoseDerivatives_OpenCV(benchmark::State& state) {
  Grid g(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
  const cv::Mat rv(3, 1, CV_64F, g.r), tv(3, 1, CV_64F, g.t), K(3, 3, CV_64F, g.K), dist(1, 4, CV_64F, g.k);
  std::vector<cv::Point2d> image;
  cv::Mat jacobian;
  for (auto _ : state) {
    cv::projectPoints(g.object, rv, tv, K, dist, image, jacobian);
    benchmark::DoNotOptimize(image.data());
  }
}

void BM_RodriguesWithJacobian_Ours(benchmark::State& state) {
  double r[3] = {0.2, -0.35, 0.1}, R[9], J[27], back[3];
  CvMat rv = cvMat(3, 1, CV_64FC1, r), Rm = cvMat(3, 3, CV_64FC1, R), Jm = cvMat(3, 9, CV_64FC1, J);
  CvMat bv = cvMat(3, 1, CV_64FC1, back);
  for (auto _ : state) {
    Orvel_cvRodrigues2(&rv, &Rm, &Jm);
    Orvel_cvRodrigues2(&Rm, &bv, &Jm);
    benchmark::DoNotOptimize(back);
  }
}

void BM_RodriguesWithJacobian_OpenCV(benchmark::State& state) {
  double r[3] = {0.2, -0.35, 0.1};
  const cv::Mat rv(3, 1, CV_64F, r);
  cv::Mat R, J, back;
  for (auto _ : state) {
    cv::Rodrigues(rv, R, J);
    cv::Rodrigues(R, back, J);
    benchmark::DoNotOptimize(back.data);
  }
}

void BM_FindHomography_Ours(benchmark::State& state) {
  Grid g(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
  const int n = g.count();
  double h[9];
  CvMat obj = cvMat(n, 2, CV_64FC1, g.plane.data()), img = cvMat(n, 2, CV_64FC1, g.image.data());
  CvMat H = cvMat(3, 3, CV_64FC1, h);
  for (auto _ : state) {
    Orvel_cvFindHomography(&obj, &img, &H);
    benchmark::DoNotOptimize(h);
  }
}

void BM_FindHomographyRefined_Ours(benchmark::State& state) {
  Grid g(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
  const int n = g.count();
  double h[9];
  CvMat obj = cvMat(n, 2, CV_64FC1, g.plane.data()), img = cvMat(n, 2, CV_64FC1, g.image.data());
  CvMat H = cvMat(3, 3, CV_64FC1, h);
  for (auto _ : state) {
    icvFindHomographyRefined(&obj, &img, &H);
    benchmark::DoNotOptimize(h);
  }
}

void BM_FindHomography_OpenCV(benchmark::State& state) {
  Grid g(static_cast<int>(state.range(0)), static_cast<int>(state.range(0)));
  for (auto _ : state) {
    cv::Mat H = cv::findHomography(g.plane, g.image, 0);
    benchmark::DoNotOptimize(H.data);
  }
}

}  // namespace

BENCHMARK(BM_ProjectWithPoseDerivatives_Ours)->Arg(8)->Arg(20);
BENCHMARK(BM_ProjectWithPoseDerivatives_OpenCV)->Arg(8)->Arg(20);
BENCHMARK(BM_RodriguesWithJacobian_Ours);
BENCHMARK(BM_RodriguesWithJacobian_OpenCV);
BENCHMARK(BM_FindHomography_Ours)->Arg(2)->Arg(8)->Arg(20);
BENCHMARK(BM_FindHomographyRefined_Ours)->Arg(2)->Arg(8)->Arg(20);
BENCHMARK(BM_FindHomography_OpenCV)->Arg(2)->Arg(8)->Arg(20);

BENCHMARK_MAIN();
