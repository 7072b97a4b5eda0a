// lentora grab on generated videos: exact frames, split cameras, undistortion
// and clear errors for bad requests.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/CalibrationData.h"
#include "core/Workspace.h"
#include "sources/test_media_fixtures.h"
#include "support/TempDir.h"

using namespace media_test;

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

Outcome RunGrab(const TempDir& dir, const std::string& arguments) {
  const std::string command = std::string(LENTORA_EXECUTABLE) + " grab " + arguments + " >" + dir.File("stdout.txt") + " 2>" +
                              dir.File("stderr.txt");
  const int raw = std::system(command.c_str());
  Outcome outcome;
  outcome.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  outcome.out = dir.Read("stdout.txt");
  outcome.err = dir.Read("stderr.txt");
  return outcome;
}

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
  const Outcome run = RunGrab(out, Video() + " --frames 0,10,25 --split stereo --out " + out.File("ws.txt"));
  ASSERT_EQ(run.status, 0) << run.err;
  CCalibrationData data;
  ASSERT_TRUE(LoadWorkspace(data, out.File("ws.txt")).ok);
  ASSERT_EQ(data.GetCameraCount(), 2);
  const int frames[] = {0, 10, 25};
  for (int camera = 0; camera < 2; ++camera) {
    ASSERT_EQ(data.GetViewCount(camera), 3);
    for (int view = 0; view < 3; ++view) {
      const cv::Mat* image = data.GetViewImage(camera, view);
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
  const Outcome run = RunGrab(out, Video() + " --frames 7 --split quad --fields --out " + out.File("ws.txt"));
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
  Outcome run = RunGrab(out, Video() + " --frames 4 --undistort " + out.File("lens.txt") + " --out " + out.File("ws.txt"));
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

TEST_F(GrabCli, BadRequestsFailWithAMessage) {
  TempDir out;
  const std::string to = " --out " + out.File("ws.txt");
  struct Case {
    std::string arguments;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {Video() + " --frames 30" + to, 1, "beyond the video's last frame 29"},
      {Video() + " --frames 1,,2" + to, 2, "bad frame number"},
      {Video() + " --frames -3" + to, 2, "bad frame number"},
      {Video() + " --frames 1," + to, 2, "--frames"},
      {Video() + " --frames 1 --split triple" + to, 2, "bad --split"},
      {Video() + " --frames 1", 2, "--out is required"},
      {out.File("missing.avi") + " --frames 1" + to, 1, "cannot open video"},
  };
  for (const Case& c : cases) {
    const Outcome run = RunGrab(out, c.arguments);
    EXPECT_EQ(run.status, c.status) << c.arguments << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.arguments << "\n" << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(out.File("ws.txt")));
}

}  // namespace
