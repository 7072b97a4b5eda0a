// The frame sampler fed by hand-made samples, grabbing rules, the frame log
// and the source settings record.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <limits>

#include "calib/CameraModel.h"
#include "core/CalibrationData.h"
#include "sources/FrameSampler.h"
#include "support/TempDir.h"

namespace {

// A frame buffer as the grabber hands it out: rows padded to 4 bytes, every
// pixel (x, y) = (x, y, 7) so positions can be read back.
struct HandFrame {
  int width, height, stride;
  std::vector<uint8_t> bytes;
  HandFrame(int w, int h) : width(w), height(h), stride((3 * w + 3) / 4 * 4), bytes(static_cast<size_t>(stride) * h, 0xEE) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t* p = &bytes[static_cast<size_t>(y) * stride + 3 * x];
        p[0] = static_cast<uint8_t>(x);
        p[1] = static_cast<uint8_t>(y);
        p[2] = 7;
      }
  }
  DShow::MediaType Type(bool topDown = true) const {
    DShow::MediaType type;
    type.valid = true;
    type.width = width;
    type.height = height;
    type.stride = stride;
    type.topDown = topDown;
    return type;
  }
  DShow::MediaSample Sample(int64_t start = 0) {
    DShow::MediaSample sample;
    sample.data = bytes.data();
    sample.size = bytes.size();
    sample.hasTime = true;
    sample.startTime = start;
    sample.endTime = start + 333333;
    return sample;
  }
};

void Feed(CSourceFrameSampler& sampler, HandFrame& frame, int64_t start = 0) {
  auto sample = frame.Sample(start);
  EXPECT_EQ(sampler.SampleCB(0.0, sample), DShow::S_OK);
}

SourceSettings Settings(int32_t split, bool fields) {
  SourceSettings settings;
  settings.split = split;
  settings.deinterlace = fields ? kDeinterlaceFields : kDeinterlaceNone;
  DefaultSubViewCameras(settings);
  return settings;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(SourceSettingsRecord, DefaultsCountsAndShifts) {
  SourceSettings settings;
  EXPECT_EQ(settings, (SourceSettings{0, 0, {-1, -1, -1, -1}}));
  for (auto [split, count] : {std::pair{kSplitNone, 1}, {kSplitStereo, 2}, {kSplitQuad, 4}}) {
    settings.split = split;
    DefaultSubViewCameras(settings);
    EXPECT_EQ(CountSubViews(settings), count);
    for (int i = 0; i < count; ++i) EXPECT_EQ(settings.subViewCamera[i], i);
  }
  settings.split = kSplitStereo;
  DefaultSubViewCameras(settings);
  ShiftSubViewCameras(settings, 3);
  EXPECT_EQ(settings.subViewCamera, (std::array<int32_t, 4>{3, 4, -1, -1}));
  settings.split = 7;  // unknown split: no sub-view feeds a camera
  DefaultSubViewCameras(settings);
  EXPECT_EQ(CountSubViews(settings), 0);
}

TEST(SourceFrameSampler, BeforeAnyFrameThereIsNothingToGrab) {
  CSourceFrameSampler sampler;
  CCalibrationData data;
  data.AddCamera();
  EXPECT_TRUE(sampler.CloneLatestFrame().empty());
  EXPECT_EQ(GrabFrameIntoCameras(sampler, Settings(kSplitNone, false), data), 0);
  EXPECT_EQ(data.GetViewCount(0), 0);
  CameraParameters camera;
  camera.K = {100, 0, 2, 0, 100, 2, 0, 0, 1};
  camera.width = 5;
  camera.height = 4;
  EXPECT_FALSE(sampler.EnableUndistortion(camera));

  // A format but a buffer too small for it is not taken as a frame.
  HandFrame frame(5, 4);
  sampler.SetMediaType(frame.Type());
  auto sample = frame.Sample();
  sample.size -= 1;
  sampler.SampleCB(0.0, sample);
  EXPECT_TRUE(sampler.CloneLatestFrame().empty());
}

TEST(SourceFrameSampler, KeepsItsOwnCopyOfThePaddedRows) {
  CSourceFrameSampler sampler;
  HandFrame frame(5, 4);  // 15 bytes of pixels in 16-byte rows
  sampler.SetMediaType(frame.Type());
  Feed(sampler, frame);
  EXPECT_EQ(sampler.Stride(), 16);
  std::fill(frame.bytes.begin(), frame.bytes.end(), 0);  // the graph reuses its buffer
  const cv::Mat copy = sampler.CloneLatestFrame();
  ASSERT_EQ(copy.size(), cv::Size(5, 4));
  EXPECT_FALSE(sampler.Flip());
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 5; ++x) EXPECT_EQ(copy.at<cv::Vec3b>(y, x), cv::Vec3b(x, y, 7));
}

TEST(SourceFrameSampler, GrabSizesFollowSplitAndFields) {
  CSourceFrameSampler sampler;
  HandFrame frame(16, 16);
  sampler.SetMediaType(frame.Type());
  Feed(sampler, frame);
  struct Case {
    int32_t split;
    bool fields;
    int views;
    cv::Size size;
  };
  for (const Case& c : {Case{kSplitNone, false, 1, {16, 16}}, Case{kSplitNone, true, 1, {16, 16}}, Case{kSplitStereo, false, 2, {8, 16}},
                        Case{kSplitStereo, true, 2, {8, 8}}, Case{kSplitQuad, false, 4, {8, 8}}, Case{kSplitQuad, true, 4, {8, 4}}}) {
    CCalibrationData data;
    for (int i = 0; i < 4; ++i) data.AddCamera();
    ASSERT_EQ(GrabFrameIntoCameras(sampler, Settings(c.split, c.fields), data), c.views);
    for (int cam = 0; cam < c.views; ++cam) EXPECT_EQ(data.GetViewImage(cam, 0)->size(), c.size) << c.split << c.fields;
  }
  // Quad with fields: the bottom-right view starts at the field's middle row.
  CCalibrationData data;
  for (int i = 0; i < 4; ++i) data.AddCamera();
  GrabFrameIntoCameras(sampler, Settings(kSplitQuad, true), data);
  EXPECT_EQ(data.GetViewImage(3, 0)->at<cv::Vec3b>(0, 0), cv::Vec3b(8, 8, 7));
  EXPECT_EQ(data.GetViewImage(3, 0)->at<cv::Vec3b>(1, 0), cv::Vec3b(8, 10, 7));
}

TEST(SourceFrameSampler, BottomUpFramesAreTurnedUprightOnEveryPath) {
  CSourceFrameSampler sampler;
  HandFrame frame(8, 4);
  sampler.SetMediaType(frame.Type(false));
  Feed(sampler, frame);
  EXPECT_TRUE(sampler.Flip());
  CCalibrationData data;
  for (int i = 0; i < 2; ++i) data.AddCamera();
  ASSERT_EQ(GrabFrameIntoCameras(sampler, Settings(kSplitNone, false), data), 1);
  EXPECT_EQ(data.GetViewImage(0, 0)->at<cv::Vec3b>(0, 0), cv::Vec3b(0, 3, 7));
  // A camera takes views of one size only: the half-width views of a split
  // frame are refused by camera 0 while it holds the whole frame.
  EXPECT_EQ(GrabFrameIntoCameras(sampler, Settings(kSplitStereo, false), data), 1);
  EXPECT_EQ(data.GetViewCount(0), 1);
  data.ClearCameraViews(0);
  data.ClearCameraViews(1);
  ASSERT_EQ(GrabFrameIntoCameras(sampler, Settings(kSplitStereo, false), data), 2);
  EXPECT_EQ(data.GetViewImage(0, 0)->at<cv::Vec3b>(0, 0), cv::Vec3b(0, 3, 7));
  EXPECT_EQ(data.GetViewImage(1, 0)->at<cv::Vec3b>(0, 0), cv::Vec3b(4, 3, 7));
}

TEST(SourceFrameSampler, SkipsSubViewsWithoutACameraAndCamerasNotInTheStore) {
  CSourceFrameSampler sampler;
  HandFrame frame(8, 8);
  sampler.SetMediaType(frame.Type());
  Feed(sampler, frame);
  CCalibrationData data;
  data.AddCamera();
  SourceSettings settings = Settings(kSplitQuad, false);
  settings.subViewCamera = {0, -1, 5, -1};
  EXPECT_EQ(GrabFrameIntoCameras(sampler, settings, data), 1);
  EXPECT_EQ(data.GetViewImage(0, 0)->at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 7));
}

CameraParameters LensFor(int width, int height, double k1) {
  CameraParameters camera;
  camera.K = {40, 0, width / 2.0, 0, 40, height / 2.0, 0, 0, 1};
  camera.distortion = {k1, 0, 0, 0, 0};
  camera.width = width;
  camera.height = height;
  return camera;
}

// A recording set-up makes a new sampler before any frame has passed it: the
// connected format alone gives the size, so undistortion can start at once.
TEST(SourceFrameSampler, TheConnectedFormatGivesTheSizeBeforeTheFirstFrame) {
  CSourceFrameSampler sampler;
  int width = 0, height = 0;
  EXPECT_FALSE(sampler.FrameSize(width, height));
  EXPECT_FALSE(sampler.EnableUndistortion(LensFor(32, 24, -0.4)));
  HandFrame frame(32, 24);
  sampler.SetMediaType(frame.Type());
  ASSERT_TRUE(sampler.FrameSize(width, height));
  EXPECT_EQ(width, 32);
  EXPECT_EQ(height, 24);
  EXPECT_FALSE(sampler.EnableUndistortion(LensFor(16, 12, -0.4)));
  ASSERT_TRUE(sampler.EnableUndistortion(LensFor(32, 24, -0.4)));
  EXPECT_TRUE(sampler.Undistorting());
  Feed(sampler, frame);
  EXPECT_NE(frame.bytes, HandFrame(32, 24).bytes) << "the first frame is undistorted already";
}

TEST(SourceFrameSampler, UndistortsTheSampleItselfWithATableOfTheFrameSize) {
  CSourceFrameSampler sampler;
  HandFrame frame(32, 24);
  sampler.SetMediaType(frame.Type());
  Feed(sampler, frame);
  EXPECT_FALSE(sampler.EnableUndistortion(LensFor(16, 12, -0.3)));  // parameters of another size
  ASSERT_TRUE(sampler.EnableUndistortion(LensFor(32, 24, 0.0)));
  HandFrame plain(32, 24);
  Feed(sampler, plain);
  EXPECT_EQ(plain.bytes, HandFrame(32, 24).bytes);  // no distortion: the picture stays

  ASSERT_TRUE(sampler.EnableUndistortion(LensFor(32, 24, -0.4)));
  HandFrame warped(32, 24);
  Feed(sampler, warped);
  EXPECT_NE(warped.bytes, HandFrame(32, 24).bytes);
  const cv::Mat latest = sampler.CloneLatestFrame();
  const cv::Mat inBuffer(24, 32, CV_8UC3, warped.bytes.data(), warped.stride);
  EXPECT_EQ(cv::norm(latest, inBuffer, cv::NORM_INF), 0.0);
  // The centre of the picture does not move.
  EXPECT_EQ(latest.at<cv::Vec3b>(12, 16), cv::Vec3b(16, 12, 7));
}

// A fisheye undistorted to a chosen output camera: each output pixel holds
// the source pixel where the fisheye sees that pixel's ray, also past the
// part of the view its own focal length shows.
TEST(SourceFrameSampler, UndistortsAFisheyeThroughTheChosenOutputCamera) {
  CameraParameters fisheye;
  fisheye.model = LensModel::Fisheye;
  fisheye.width = 200;
  fisheye.height = 150;
  fisheye.K = {60, 0, 99.5, 0, 60, 74.5, 0, 0, 1};
  fisheye.distortion = {0.03, -0.008, 0.0015, -0.0002, 0, 0, 0, 0};
  CSourceFrameSampler sampler;
  HandFrame frame(200, 150);
  sampler.SetMediaType(frame.Type());
  const double focal = 100.0 / std::tan(75.0 * M_PI / 180.0);  // a picture 150 degrees wide
  const std::array<double, 4> output{focal, focal, 99.5, 74.5};
  ASSERT_TRUE(sampler.EnableUndistortion(fisheye, output));
  EXPECT_EQ(sampler.UndistortionOutput(), output);
  Feed(sampler, frame);
  const cv::Mat undistorted = sampler.CloneLatestFrame();
  int checked = 0;
  for (int v = 0; v < 150; v += 7)
    for (int u = 0; u < 200; u += 7) {
      const auto source = camera_model::Project(fisheye, (u - 99.5) / focal, (v - 74.5) / focal, 1.0);
      if (source.x < 1 || source.y < 1 || source.x > 198 || source.y > 148) continue;
      const cv::Vec3b pixel = undistorted.at<cv::Vec3b>(v, u);
      EXPECT_NEAR(pixel[0], source.x, 1.0) << u << "," << v;
      EXPECT_NEAR(pixel[1], source.y, 1.0) << u << "," << v;
      ++checked;
    }
  EXPECT_GT(checked, 400);
  // The output's left edge sees 75 degrees off the axis, further out than
  // the left edge of a picture through the camera's own matrix.
  const double ownEdge = camera_model::Project(fisheye, -99.5 / 60.0, 0.0, 1.0).x;
  EXPECT_LT(undistorted.at<cv::Vec3b>(74, 0)[0], ownEdge - 10.0);

  ASSERT_TRUE(sampler.EnableUndistortion(fisheye));
  EXPECT_EQ(sampler.UndistortionOutput(), (std::array<double, 4>{60, 60, 99.5, 74.5}));
}

TEST(SourceFrameSampler, LogsOneParsableLinePerFrame) {
  TempDir dir;
  CSourceFrameSampler sampler;
  HandFrame frame(4, 2);
  sampler.SetMediaType(frame.Type());
  Feed(sampler, frame);  // before the log: not counted
  ASSERT_TRUE(sampler.OpenLog(dir.File("sync.txt")));
  Feed(sampler, frame, 0);
  Feed(sampler, frame, 333333);
  sampler.SetRemoteTick(MillisecondTick() + 100000);  // the peer's clock is ahead
  Feed(sampler, frame, 666666);
  const auto lines = ReadLines(dir.File("sync.txt"));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rfind("0 ", 0), 0u);
  FrameLogLine parsed[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(ParseFrameLogLine(lines[i], parsed[i])) << lines[i];
    EXPECT_EQ(parsed[i].frameCount, static_cast<uint32_t>(i));
    EXPECT_EQ(parsed[i].sampleStart, 333333 * i);
    EXPECT_EQ(parsed[i].tickDifference, static_cast<int32_t>(parsed[i].localTick - parsed[i].remoteTick));
  }
  EXPECT_EQ(parsed[0].remoteTick, 0u);
  EXPECT_LT(parsed[2].tickDifference, 0);

  // A new log starts again at 0 and replaces the file.
  ASSERT_TRUE(sampler.OpenLog(dir.File("sync.txt")));
  Feed(sampler, frame);
  ASSERT_EQ(ReadLines(dir.File("sync.txt")).size(), 1u);
  EXPECT_EQ(ReadLines(dir.File("sync.txt"))[0].rfind("0 ", 0), 0u);

  EXPECT_FALSE(sampler.OpenLog(dir.File("no/such/folder/sync.txt")));
  Feed(sampler, frame);  // no log, no crash
  EXPECT_FALSE(sampler.Logging());
}

TEST(FrameLog, LineFieldsHaveTheirWidths) {
  const std::string extreme = FormatFrameLogLine(4294967295u, 4294967295u, std::numeric_limits<int64_t>::max(), 0);
  FrameLogLine parsed;
  ASSERT_TRUE(ParseFrameLogLine(extreme, parsed)) << extreme;
  EXPECT_EQ(parsed.frameCount, 4294967295u);
  EXPECT_EQ(parsed.sampleStart, std::numeric_limits<int64_t>::max());
  EXPECT_EQ(parsed.tickDifference, -1);  // wraps like the ticks
  EXPECT_EQ(extreme.back(), '\n');

  EXPECT_TRUE(ParseFrameLogLine("0 10 -5 -2147483648 20", parsed));
  EXPECT_EQ(parsed.tickDifference, std::numeric_limits<int32_t>::min());
  EXPECT_FALSE(ParseFrameLogLine("4294967296 1 2 3 4", parsed));  // beyond 32 bits
  EXPECT_FALSE(ParseFrameLogLine("1 2 3 2147483648 4", parsed));  // beyond signed 32 bits
  EXPECT_FALSE(ParseFrameLogLine("-1 2 3 4 5", parsed));          // unsigned field
  EXPECT_FALSE(ParseFrameLogLine("1 2 3 4", parsed));
  EXPECT_FALSE(ParseFrameLogLine("1 2 3 4 5 6", parsed));
  EXPECT_FALSE(ParseFrameLogLine("1  2 3 4 5", parsed));
}

}  // namespace
