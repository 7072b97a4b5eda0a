// lentora grab on generated videos: exact frames, split cameras, undistortion
// and clear errors for bad requests.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "sources/test_media_fixtures.h"
#include "support/LentoraProcess.h"

using namespace media_test;

namespace {

ProcessResult RunGrab(const TempDir& dir, const std::string& arguments) { return RunLentora("grab " + arguments, dir); }

class GrabCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    ASSERT_TRUE(MakeNumberedAvi(dir_->File("quad.avi"), {320, 240, 30, 30, "", false}));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static std::string Video() { return dir_->File("quad.avi"); }
  static TempDir* dir_;
};
TempDir* GrabCli::dir_ = nullptr;

TEST_F(GrabCli, StereoGrabSavesTwoCamerasWithTheChosenFrames) {
  TempDir out;
  const ProcessResult run = RunGrab(out, Video() + " --frames 0,10,25 --split stereo --out " + out.File("ws.txt"));
  ASSERT_EQ(run.status, 0) << run.err;
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, out.File("ws.txt")).ok);
  ASSERT_EQ(data.GetCameraCount(), 2);
  const int frames[] = {0, 10, 25};
  for (int camera = 0; camera < 2; ++camera) {
    ASSERT_EQ(data.GetViewCount(camera), 3);
    for (int view = 0; view < 3; ++view) {
      const ViewPixels image = data.GetViewImage(camera, view);
      ASSERT_EQ(image->size(), cv::Size(160, 240));
      // The left half holds quarters 0 and 2, the right half 1 and 3.
      auto top = DecodeQuarter((*image)(cv::Rect(0, 0, 160, 120)));
      ASSERT_TRUE(top) << "camera " << camera << " view " << view;
      EXPECT_EQ(top->quarter, camera);
      EXPECT_EQ(top->frame, frames[view]);
    }
  }
}

TEST_F(GrabCli, QuadFieldsGivesFourQuarterHeightCameras) {
  TempDir out;
  const ProcessResult run = RunGrab(out, Video() + " --frames 7 --split quad --fields --out " + out.File("ws.txt"));
  ASSERT_EQ(run.status, 0) << run.err;
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, out.File("ws.txt")).ok);
  ASSERT_EQ(data.GetCameraCount(), 4);
  for (int camera = 0; camera < 4; ++camera) {
    ASSERT_EQ(data.GetViewCount(camera), 1);
    EXPECT_EQ(data.GetViewImage(camera, 0)->size(), cv::Size(160, 60));
    auto decoded = DecodeQuarter(*data.GetViewImage(camera, 0));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->quarter, camera);
    EXPECT_EQ(decoded->frame, 7);
  }
}

TEST_F(GrabCli, UndistortsWithAFullFrameIntrinsicFile) {
  TempDir out;
  // K, k1 k2 p1 p2, R, T, width height
  out.Write("lens.txt",
            "300 0 160 0 300 120 0 0 1\n-0.3 0 0 0\n1 0 0 0 1 0 0 0 1\n0 0 0\n320 240\n");
  ProcessResult run = RunGrab(out, Video() + " --frames 4 --undistort " + out.File("lens.txt") + " --out " + out.File("ws.txt"));
  ASSERT_EQ(run.status, 0) << run.err;
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, out.File("ws.txt")).ok);
  ASSERT_EQ(data.GetViewCount(0), 1);
  const cv::Mat plain = DrawFrame(320, 240, 4, false);
  EXPECT_GT(cv::norm(*data.GetViewImage(0, 0), plain, cv::NORM_L1) / plain.total(), 5.0);  // the picture moved

  out.Write("half.txt", "300 0 80 0 300 120 0 0 1\n-0.3 0 0 0\n1 0 0 0 1 0 0 0 1\n0 0 0\n160 240\n");
  run = RunGrab(out, Video() + " --frames 4 --undistort " + out.File("half.txt") + " --out " + out.File("ws2.txt"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("320x240"), std::string::npos) << run.err;
  run = RunGrab(out, Video() + " --frames 4 --undistort " + out.File("none.txt") + " --out " + out.File("ws2.txt"));
  EXPECT_EQ(run.status, 1);
}

// MP4 with B-frames and WebM start their presentation times off the nominal
// frame grid; the grab still lands on the picture asked for.
TEST_F(GrabCli, GrabsTheFramesAskedForFromMp4WithBFramesAndWebm) {
  struct Container {
    const char* file;
    std::vector<const char*> factories;
    std::string encoder;
    std::string muxer;
  };
  const Container containers[] = {
      {"bframes.mp4", {"x264enc", "mp4mux"}, "x264enc speed-preset=superfast bitrate=3000 key-int-max=30 bframes=2 b-adapt=false", "mp4mux"},
      {"vp8.webm", {"vp8enc", "webmmux"}, "vp8enc keyframe-max-dist=30 target-bitrate=3000000 deadline=1", "webmmux"},
  };
  for (const Container& c : containers) {
    if (!HasElement(c.factories[0]) || !HasElement(c.factories[1])) continue;
    TempDir out;
    ClipSpec spec;
    spec.frames = 90;
    spec.encoder = c.encoder;
    spec.muxer = c.muxer;
    ASSERT_TRUE(MakeNumberedClip(out.File(c.file), spec).written) << c.file;
    const int frames[] = {0, 1, 17, 45, 59, 89};
    const ProcessResult run = RunGrab(out, out.File(c.file) + " --frames 0,1,17,45,59,89 --out " + out.File("ws.txt"));
    ASSERT_EQ(run.status, 0) << c.file << ": " << run.err;
    CCalibrationData data;
    ASSERT_TRUE(LoadWorkspace(data, out.File("ws.txt")).ok);
    ASSERT_EQ(data.GetViewCount(0), 6);
    for (int view = 0; view < 6; ++view) {
      // The workspace keeps JPEG views: the numbers still read.
      auto decoded = DecodeQuarterOf(*data.GetViewImage(0, view), 0);
      ASSERT_TRUE(decoded) << c.file << " view " << view;
      EXPECT_EQ(decoded->frame, frames[view]) << c.file;
    }
    const ProcessResult past = RunGrab(out, out.File(c.file) + " --frames 90 --out " + out.File("ws2.txt"));
    EXPECT_EQ(past.status, 1);
    EXPECT_NE(past.err.find("the video has 90 frames"), std::string::npos) << past.err;
  }
}

TEST_F(GrabCli, BadRequestsFailWithAMessage) {
  TempDir out;
  const std::string to = " --out " + out.File("ws.txt");
  struct Case {
    std::string arguments;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {Video() + " --frames 3,30" + to, 1, "frame 30 is past the end: the video has 30 frames (0 to 29)"},
      {Video() + " --frames 1,,2" + to, 2, "bad frame number"},
      {Video() + " --frames -3" + to, 2, "bad frame number"},
      {Video() + " --frames 1," + to, 2, "--frames"},
      {Video() + " --frames 1 --split triple" + to, 2, "bad --split"},
      {Video() + " --frames 1", 2, "--out is required"},
      {out.File("missing.avi") + " --frames 1" + to, 1, "cannot open video"},
  };
  for (const Case& c : cases) {
    const ProcessResult run = RunGrab(out, c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << "\n" << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(out.File("ws.txt")));
}

}  // namespace
