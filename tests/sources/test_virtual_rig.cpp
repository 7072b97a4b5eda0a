// The virtual stereo rig: its description, the board's path, the truth file,
// and the live devices that render the path on the capture clock.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "synth/BoardRenderer.h"
#include "sources/FrameSampler.h"
#include "sources/media/DShow.h"
#include "sources/media/VirtualRig.h"
#include "support/TempDir.h"

namespace {

VirtualRig Defaults() {
  VirtualRig rig;
  EXPECT_EQ(ParseVirtualRig("", rig), "");
  return rig;
}

bool Inside(const SyntheticCamera& camera, const PointList& points) {
  for (const ImagePoint& p : points)
    if (!(p.x > 2 && p.y > 2 && p.x < camera.width - 3 && p.y < camera.height - 3)) return false;
  return true;
}

int DeviceNumber(const char* name) {
  std::vector<std::string> names;
  DShow::EnumVideoCaptureDevices(names);
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return static_cast<int>(i) + 1;
  return 0;
}

}  // namespace

TEST(VirtualRig, DescriptionKeysOverrideDefaultsAndBadOnesAreNamed) {
  const VirtualRig defaults = Defaults();
  EXPECT_EQ(defaults.left.width, 640);
  EXPECT_DOUBLE_EQ(defaults.left.cx, 319.5);
  EXPECT_DOUBLE_EQ(defaults.FramePeriodMs(), 1000.0 / 30.0);
  // The right camera's centre sits at the stated position: -R^T T.
  const auto& R = defaults.R;
  const double cx = -(R[0] * defaults.T[0] + R[3] * defaults.T[1] + R[6] * defaults.T[2]);
  EXPECT_NEAR(cx, 120.0, 1e-9);

  VirtualRig rig;
  ASSERT_EQ(ParseVirtualRig("size=320x240,fps=25,focal=400,focal-right=410,distortion=-0.2:0.05:0:0,grid=7x5,"
                            "square=20,position=-80:0:5,rotation=0:0:0,distance=500",
                            rig),
            "");
  EXPECT_EQ(rig.right.height, 240);
  EXPECT_DOUBLE_EQ(rig.left.cy, 119.5);
  EXPECT_DOUBLE_EQ(rig.left.fx, 400.0);
  EXPECT_DOUBLE_EQ(rig.right.fy, 410.0);
  EXPECT_DOUBLE_EQ(rig.right.coefficients[0], -0.2);
  EXPECT_EQ(rig.grid.nx, 7);
  EXPECT_DOUBLE_EQ(rig.grid.dY, 20.0);
  EXPECT_DOUBLE_EQ(rig.T[0], 80.0);
  EXPECT_DOUBLE_EQ(rig.T[2], -5.0);
  EXPECT_EQ(rig.fpsNumerator, 25);
  EXPECT_EQ(rig.render.imageNoise, 1.0);
  ASSERT_EQ(ParseVirtualRig("noise=1.5", rig), "");
  EXPECT_DOUBLE_EQ(rig.render.imageNoise, 1.5);

  for (const char* bad : {"size=10x10", "fps=0", "focal=-3", "grid=9", "colour=red", "distortion=1:2", "size",
                          "noise=-1", "noise=80", "noise=grey"}) {
    VirtualRig untouched = defaults;
    EXPECT_NE(ParseVirtualRig(bad, untouched), "") << bad;
    EXPECT_EQ(untouched.left.width, 640) << bad;
  }
}

TEST(VirtualRig, BoardStaysInBothImagesSweepsToTheirEdgesAndMovesSmoothlyAlongThePath) {
  for (const char* description : {"", "size=320x240,focal=400,grid=7x5,square=20,distance=600"}) {
    VirtualRig rig;
    ASSERT_EQ(ParseVirtualRig(description, rig), "");
    PointList previous;
    // The nearest any corner comes to the left, top, right and bottom edge of
    // either image within ten seconds. Within them the corners cover at least
    // two thirds of the frame's width and height: views near the edges are
    // what pin down the principal point, and the rig's rotation with it.
    double nearest[4] = {1e9, 1e9, 1e9, 1e9};
    for (double ms = 1e6; ms < 1e6 + 120000; ms += 50) {
      const PointList left = ProjectGrid(rig.left, BoardPoseAt(rig, RigSide::kLeft, ms), rig.grid);
      const PointList right = ProjectGrid(rig.right, BoardPoseAt(rig, RigSide::kRight, ms), rig.grid);
      ASSERT_TRUE(Inside(rig.left, left)) << description << " at " << ms;
      ASSERT_TRUE(Inside(rig.right, right)) << description << " at " << ms;
      if (ms < 1e6 + 10000)
        for (const PointList* side : {&left, &right})
          for (const ImagePoint& p : *side) {
            nearest[0] = std::min(nearest[0], p.x);
            nearest[1] = std::min(nearest[1], p.y);
            nearest[2] = std::min(nearest[2], rig.left.width - 1 - p.x);
            nearest[3] = std::min(nearest[3], rig.left.height - 1 - p.y);
          }
      // Smooth: no grid point jumps more than a few pixels in 50 ms.
      for (size_t k = 0; k < previous.size(); ++k) {
        ASSERT_LT(std::hypot(left[k].x - previous[k].x, left[k].y - previous[k].y), 12.0);
      }
      previous = left;
    }
    EXPECT_GT(rig.left.width - nearest[0] - nearest[2], rig.left.width * 2.0 / 3.0) << description;
    EXPECT_GT(rig.left.height - nearest[1] - nearest[3], rig.left.height * 2.0 / 3.0) << description;
  }
}

TEST(VirtualRig, BothSidesShowOneMomentThroughTheRig) {
  const VirtualRig rig = Defaults();
  const double tick = 123456.0;
  const SyntheticPose left = BoardPoseAt(rig, RigSide::kLeft, tick);
  const SyntheticPose right = BoardPoseAt(rig, RigSide::kRight, tick);
  // X1 = R X0 + T for a board point.
  const double X[3] = {45.0, 60.0, 0.0};
  double x0[3], x1[3];
  for (int i = 0; i < 3; ++i) {
    x0[i] = left.t[i] + left.R[3 * i] * X[0] + left.R[3 * i + 1] * X[1];
    x1[i] = right.t[i] + right.R[3 * i] * X[0] + right.R[3 * i + 1] * X[1];
  }
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(x1[i], rig.R[3 * i] * x0[0] + rig.R[3 * i + 1] * x0[1] + rig.R[3 * i + 2] * x0[2] + rig.T[i], 1e-9);
  // Another tick, another place.
  const SyntheticPose later = BoardPoseAt(rig, RigSide::kLeft, tick + rig.FramePeriodMs());
  EXPECT_GT(std::fabs(later.t[0] - left.t[0]) + std::fabs(later.t[1] - left.t[1]) + std::fabs(later.t[2] - left.t[2]), 0.1);
}

TEST(VirtualRig, TruthFileHoldsCameraRigAndGrid) {
  const VirtualRig rig = Defaults();
  TempDir dir;
  ASSERT_TRUE(WriteVirtualRigTruth(rig, RigSide::kRight, dir.File("right.avi")));
  const std::string text = dir.Read("right.avi.truth.json");
  EXPECT_EQ(text.rfind("{\"side\":\"right\",\"camera\":{\"fx\":800,\"fy\":800,\"cx\":319.5,\"cy\":239.5,", 0), 0u) << text;
  EXPECT_NE(text.find("\"distortion\":[-0.12,0.04,0.0005,-0.0003],\"width\":640,\"height\":480},\"rig\":{\"R\":["), std::string::npos);
  EXPECT_NE(text.find("\"grid\":{\"nx\":9,\"ny\":6,\"dX\":30,\"dY\":30}}"), std::string::npos);
  EXPECT_FALSE(WriteVirtualRigTruth(rig, RigSide::kLeft, dir.File("missing-folder/left.avi")));
}

// Two devices that render at different speeds: every slot the slower one keeps
// is also kept by the faster one, so a busy machine loses frames but no pairs.
TEST(VirtualRig, DevicesFallingBehindStillShareTheSlotsTheyKeep) {
  EXPECT_EQ(NextFrameSlot(100, 101), 101);  // on time
  EXPECT_EQ(NextFrameSlot(100, 90), 101);   // early wake-ups change nothing
  EXPECT_EQ(NextFrameSlot(101, 103), 104);  // one slot gone: every second slot
  EXPECT_EQ(NextFrameSlot(104, 109), 112);  // five gone: every eighth

  // A device that needs `renderSlots` slot lengths to render a frame, pushing
  // each one when its slot comes, from a common start.
  const auto keptSlots = [](double renderSlots, int64_t start, int frames) {
    std::vector<int64_t> kept{start};
    while (static_cast<int>(kept.size()) < frames) {
      const double ready = static_cast<double>(kept.back()) + renderSlots;
      kept.push_back(NextFrameSlot(kept.back(), static_cast<int64_t>(std::floor(ready)) + 1));
    }
    return kept;
  };
  const std::vector<int64_t> fast = keptSlots(1.7, 1000, 400), slow = keptSlots(4.2, 1003, 60);
  for (size_t i = 1; i < slow.size(); ++i) {
    EXPECT_GT(slow[i], slow[i - 1]);
    EXPECT_LE(slow[i] - slow[i - 1], 8);  // no more is dropped than the render time forces
  }
  int shared = 0;
  for (int64_t slot : slow) shared += std::binary_search(fast.begin(), fast.end(), slot) ? 1 : 0;
  EXPECT_GE(shared, static_cast<int>(slow.size()) - 2);  // all but the first, unaligned ones
}

TEST(VirtualRigDevice, ListedBothSidesAndDrawsThePathOnTheClock) {
  setenv(kVirtualRigVariable, "size=320x240,focal=400,grid=7x5,square=20,distance=600", 1);
  const int left = DeviceNumber(kVirtualLeftName);
  ASSERT_GT(left, 0);
  EXPECT_EQ(DeviceNumber(kVirtualRightName), left + 1);
  VirtualRig rig;
  ASSERT_EQ(VirtualRigFromEnvironment(rig), "");

  CSamplingCaptureGraph graph;
  graph.InitialiseFrameSampler();
  ASSERT_EQ(graph.ConnectToLiveSource(left + 1), DShow::S_OK);
  EXPECT_EQ(graph.DeviceName(), kVirtualRightName);
  ASSERT_TRUE(DShow::Succeeded(graph.Run()));
  cv::Mat frame;
  for (int i = 0; i < 300 && frame.empty(); ++i) {
    g_usleep(10000);
    frame = graph.Sampler()->CloneLatestFrame();
  }
  const double arrived = MillisecondTick();
  ASSERT_FALSE(frame.empty());
  uint64_t dropped = 0;
  EXPECT_TRUE(DShow::Succeeded(graph.GetDroppedFrames(&dropped))) << "the frames carry their slot numbers";
  graph.Stop();
  ASSERT_EQ(frame.cols, 320);
  ASSERT_EQ(frame.rows, 240);
  // The frame is the rendering of one recent frame slot of the clock, exactly.
  const BoardRenderer renderer(rig.right);
  const double period = rig.FramePeriodMs();
  bool found = false;
  for (int64_t slot = static_cast<int64_t>(arrived / period) + 1; slot > arrived / period - 30 && !found; --slot) {
    const cv::Mat expected = renderer.Render(BoardPoseAt(rig, RigSide::kRight, slot * period), rig.grid,
                                             FrameRenderOptions(rig, RigSide::kRight, slot));
    found = cv::norm(expected, frame, cv::NORM_INF) == 0.0;
  }
  EXPECT_TRUE(found);
  unsetenv(kVirtualRigVariable);
}

TEST(VirtualRigDevice, BadDescriptionRefusesTheConnection) {
  setenv(kVirtualRigVariable, "size=banana", 1);
  const int left = DeviceNumber(kVirtualLeftName);
  DShow::ElementPtr element;
  std::string problem;
  EXPECT_EQ(DShow::CreateVideoCaptureDevice(left, &element, &problem), DShow::E_INVALIDARG);
  EXPECT_NE(problem.find("size"), std::string::npos);
  CSamplingCaptureGraph graph;
  EXPECT_TRUE(DShow::Failed(graph.ConnectToLiveSource(left)));
  unsetenv(kVirtualRigVariable);
}

// A camera's noise differs from frame to frame and between the two cameras,
// while a frame rendered again (a device catching up, a benchmark) is the
// same picture.
TEST(VirtualRig, SensorNoiseIsDrawnAfreshForEveryFrameOfEitherCamera) {
  VirtualRig rig;
  ASSERT_EQ(ParseVirtualRig("size=160x120,focal=200,noise=2", rig), "");
  const BoardRenderer renderer(rig.left);
  const SyntheticPose pose = BoardPoseAt(rig, RigSide::kLeft, 0.0);
  const auto frame = [&](RigSide side, int64_t slot) {
    return renderer.Render(pose, rig.grid, FrameRenderOptions(rig, side, slot));
  };
  const auto differing = [](const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_L1) > 0.0; };
  const cv::Mat first = frame(RigSide::kLeft, 7);
  EXPECT_FALSE(differing(first, frame(RigSide::kLeft, 7)));
  EXPECT_TRUE(differing(first, frame(RigSide::kLeft, 8)));
  EXPECT_TRUE(differing(first, frame(RigSide::kRight, 7)));
  // Its size: the grey levels of a frame less its noise-free picture.
  RenderOptions clean = rig.render;
  clean.imageNoise = 0.0;
  cv::Mat difference;
  cv::subtract(first, renderer.Render(pose, rig.grid, clean), difference, cv::noArray(), CV_64F);
  cv::Scalar mean, deviation;
  cv::meanStdDev(difference, mean, deviation);
  EXPECT_NEAR(deviation[0], 2.0, 0.3);
  EXPECT_NEAR(mean[0], 0.0, 0.1);
}
