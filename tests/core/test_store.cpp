#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "calib/CalibrationProblem.h"
#include "core/CalibrationData.h"
#include "support/TempDir.h"

namespace {

cv::Mat Frame(int width, int height, uint8_t value = 80) { return cv::Mat(height, width, CV_8UC3, cv::Scalar::all(value)); }

GridDescription Grid(int nx, int ny, double d = 10.0) {
  GridDescription grid;
  grid.nx = nx;
  grid.ny = ny;
  grid.dX = grid.dY = d;
  return grid;
}

TEST(CalibrationStore, EmptyStoreAnswersNeutrally) {
  CCalibrationData data;
  EXPECT_EQ(data.GetCameraCount(), 0);
  EXPECT_EQ(data.GetViewCount(0), 0);
  const GridDescription grid = data.GetGrid(0);
  EXPECT_EQ(grid.wx, 3);
  EXPECT_EQ(grid.wy, 3);
  EXPECT_EQ(grid.nx, 0);
  const ImagePoint p = data.GetPoint(0, 0, 0);
  EXPECT_EQ(p.x, -1);
  EXPECT_EQ(p.y, -1);
  EXPECT_FALSE(data.HasGrid(0));
  EXPECT_EQ(data.GetImageWidth(0), 0);
  EXPECT_EQ(data.GetViewImage(0, 0), nullptr);
  EXPECT_TRUE(data.GetViewBitmap(0, 0).isNull());
  EXPECT_FALSE(data.ViewHasPoints(0, 0));
  EXPECT_EQ(data.IsViewEnabled(0, 0), 0);
  EXPECT_FALSE(data.AddViewFromFrame(0, Frame(8, 8)));
  EXPECT_THROW(data.AddViewFromFile(0, "missing.jpg", 1, 0, ""), std::out_of_range);
}

TEST(CalibrationStore, RemovingACameraShiftsTheLaterOnesDownIntact) {
  CCalibrationData data;
  data.AddCamera();
  data.AddCamera();
  data.SetGrid(1, Grid(7, 6, 25.0));
  CameraParameters p;
  p.K[0] = 800;
  data.SetCameraParameters(1, p);
  ASSERT_TRUE(data.AddViewFromFrame(1, Frame(32, 24)));
  ASSERT_TRUE(data.RemoveCamera(0));
  ASSERT_EQ(data.GetCameraCount(), 1);
  EXPECT_EQ(data.GetViewCount(0), 1);
  EXPECT_EQ(data.GetGrid(0).nx, 7);
  EXPECT_EQ(data.GetGrid(0).dX, 25.0);
  EXPECT_EQ(data.GetCameraParameters(0).K[0], 800);
  EXPECT_EQ(data.GetImageWidth(0), 32);
  EXPECT_EQ(data.GetImageHeight(0), 24);
}

TEST(CalibrationStore, InsertAndRemoveRefuseIndicesAtOrPastTheEnd) {
  CCalibrationData data;
  data.AddCamera();
  EXPECT_FALSE(data.InsertCamera(1));
  EXPECT_FALSE(data.RemoveCamera(1));
  EXPECT_FALSE(data.RemoveCamera(-1));
  EXPECT_EQ(data.GetCameraCount(), 1);
  data.SetGrid(0, Grid(4, 4));
  ASSERT_TRUE(data.InsertCamera(0));
  EXPECT_EQ(data.GetCameraCount(), 2);
  EXPECT_EQ(data.GetGrid(0).nx, 0) << "the inserted camera is new";
  EXPECT_EQ(data.GetGrid(1).nx, 4) << "the old camera moved up";
}

TEST(CalibrationStore, FrameViewsAreEnabledWithoutPointsAndTheirBitmapsWrapTheirPixels) {
  CCalibrationData data;
  data.AddCamera();
  cv::Mat frame = Frame(31, 17);  // odd width: rows need padding
  frame(cv::Rect(0, 0, 16, 17)).setTo(cv::Scalar(200, 100, 40));
  ASSERT_TRUE(data.AddViewFromFrame(0, frame));
  EXPECT_EQ(data.IsViewEnabled(0, 0), 1);
  EXPECT_FALSE(data.ViewHasPoints(0, 0));
  EXPECT_EQ(data.GetPointCount(0, 0), 0);
  const ViewPixels image = data.GetViewImage(0, 0);
  const QImage bitmap = data.GetViewBitmap(0, 0);
  ASSERT_TRUE(image && !bitmap.isNull());
  EXPECT_EQ(bitmap.constBits(), image->data) << "bitmap must wrap the image memory";
  EXPECT_EQ(static_cast<size_t>(bitmap.bytesPerLine()), image->step);
  EXPECT_EQ(image->step % 4, 0u);
  EXPECT_EQ(bitmap.pixelColor(3, 3), QColor(40, 100, 200)) << "B G R order";
  EXPECT_FALSE(data.AddViewFromFrame(0, cv::Mat(4, 4, CV_8UC1)));
}

TEST(CalibrationStore, FlagsAndClearingViews) {
  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, Grid(3, 2));
  data.AddViewFromFrame(0, Frame(8, 8));
  data.DisableView(0, 0);
  EXPECT_EQ(data.IsViewEnabled(0, 0), 0);
  data.EnableView(0, 0);
  EXPECT_EQ(data.IsViewEnabled(0, 0), 1);
  data.SetViewHasPoints(0, 0, 7);
  EXPECT_TRUE(data.ViewHasPoints(0, 0));
  data.GetGridPoints(0, 0)->push_back({1.5, 2.5});
  EXPECT_EQ(data.GetPoint(0, 0, 0).y, 2.5);
  EXPECT_EQ(data.GetPoint(0, 0, 1).x, -1);
  data.ClearCameraViews(0);
  EXPECT_EQ(data.GetCameraCount(), 1);
  EXPECT_EQ(data.GetViewCount(0), 0);
  EXPECT_EQ(data.GetGrid(0).nx, 3);
}

TEST(CalibrationStore, RemovingAViewKeepsTheOthersInOrderAndForgetsTheLastRun) {
  CCalibrationData data;
  data.AddCamera();
  for (uint8_t v = 0; v < 3; ++v) ASSERT_TRUE(data.AddViewFromFrame(0, Frame(8, 6, 10 * (v + 1))));
  data.DisableView(0, 2);
  *data.GetGridPoints(0, 2) = {{1.0, 2.0}};
  data.GetCalibrationProblem(0).usedViews = {0, 1, 2};
  const QImage lastBitmap = data.GetViewBitmap(0, 2);
  const uchar* lastPixels = lastBitmap.constBits();

  EXPECT_FALSE(data.RemoveView(0, 3));
  EXPECT_FALSE(data.RemoveView(1, 0));
  ASSERT_TRUE(data.RemoveView(0, 1));
  ASSERT_EQ(data.GetViewCount(0), 2);
  EXPECT_EQ(data.GetViewImage(0, 0)->at<cv::Vec3b>(0, 0)[0], 10);
  EXPECT_EQ(data.GetViewImage(0, 1)->at<cv::Vec3b>(0, 0)[0], 30);
  EXPECT_EQ(data.IsViewEnabled(0, 1), 0);
  EXPECT_EQ(data.GetPointCount(0, 1), 1);
  EXPECT_EQ(data.GetViewBitmap(0, 1).constBits(), lastPixels) << "the picture moved with its view";
  EXPECT_TRUE(data.GetCalibrationProblem(0).usedViews.empty());
}

TEST(CalibrationStore, HasGridNeedsTwoColumns) {
  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, Grid(1, 5));
  EXPECT_FALSE(data.HasGrid(0));
  data.SetGrid(0, Grid(2, 5));
  EXPECT_TRUE(data.HasGrid(0));
}

TEST(CalibrationStore, ViewsFromFilesConvertAlphaAndReadShortPointFiles) {
  TempDir dir;
  cv::Mat bgr(20, 30, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::imwrite(dir.File("a.png"), bgr);
  cv::Mat bgra(20, 30, CV_8UC4, cv::Scalar(40, 50, 60, 128));
  cv::imwrite(dir.File("b.png"), bgra);
  dir.Write("pts.txt", "1.0 2.0\n3.0 4.0\n5.0 6.0\n");

  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, Grid(3, 2));
  EXPECT_EQ(data.AddViewFromFile(0, dir.File("a.png"), 0, 1, dir.File("pts.txt")), 0);
  EXPECT_EQ(data.AddViewFromFile(0, dir.File("b.png"), 1, 0, ""), 0);
  EXPECT_LT(data.AddViewFromFile(0, dir.File("missing.png"), 1, 0, ""), 0);
  ASSERT_EQ(data.GetViewCount(0), 2);
  EXPECT_EQ(data.GetPointCount(0, 0), 3) << "a short points file gives the points it holds";
  EXPECT_EQ(data.IsViewEnabled(0, 0), 0);
  EXPECT_TRUE(data.ViewHasPoints(0, 0));
  EXPECT_EQ(data.GetViewImage(0, 0)->at<cv::Vec3b>(5, 5), cv::Vec3b(10, 20, 30));
  const ViewPixels converted = data.GetViewImage(0, 1);
  EXPECT_EQ(converted->type(), CV_8UC3);
  EXPECT_EQ(converted->at<cv::Vec3b>(5, 5), cv::Vec3b(40, 50, 60));
}

TEST(CalibrationStore, PointFilesAreReadWholeWhateverTheGrid) {
  TempDir dir;
  std::string text;
  for (int k = 0; k < 8; ++k) text += std::to_string(k) + ".5 " + std::to_string(2 * k) + ".25\n";
  dir.Write("pts.txt", text);
  cv::imwrite(dir.File("a.png"), cv::Mat(12, 16, CV_8UC3, cv::Scalar(1, 2, 3)));
  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, Grid(3, 2));
  ASSERT_EQ(data.AddViewFromFile(0, dir.File("a.png"), 1, 1, dir.File("pts.txt")), 0);
  EXPECT_EQ(data.GetPointCount(0, 0), 8) << "a list longer than the grid stays recognisable as such";
  EXPECT_DOUBLE_EQ(data.GetPoint(0, 0, 7).y, 14.25);
  EXPECT_FALSE(IsCompleteView(*data.GetGridPoints(0, 0), data.GetGrid(0)));
}

TEST(CalibrationStore, PlaceholderViewsAreDisabledMissingAndStayDisabled) {
  TempDir dir;
  dir.Write("pts.txt", "1 2\n3 4\n");
  CCalibrationData data;
  data.AddCamera();
  data.AddViewFromFrame(0, cv::Mat(30, 40, CV_8UC3, cv::Scalar(9, 9, 9)));
  data.AddPlaceholderView(0, 41, 30, 1, dir.File("pts.txt"));
  EXPECT_THROW(data.AddPlaceholderView(3, 41, 30, 0, ""), std::out_of_range);
  ASSERT_EQ(data.GetViewCount(0), 2);
  EXPECT_FALSE(data.ViewMissingImage(0, 0));
  EXPECT_TRUE(data.ViewMissingImage(0, 1));
  EXPECT_FALSE(data.ViewMissingImage(0, 2));
  EXPECT_EQ(data.IsViewEnabled(0, 1), 0);
  EXPECT_TRUE(data.ViewHasPoints(0, 1));
  EXPECT_EQ(data.GetPointCount(0, 1), 2);
  const ViewPixels image = data.GetViewImage(0, 1);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->cols, 41);
  EXPECT_EQ(image->step % 4, 0u) << "rows stay aligned for the display bitmap";
  EXPECT_EQ(image->at<cv::Vec3b>(29, 40), cv::Vec3b(128, 128, 128));
  data.EnableView(0, 1);
  EXPECT_EQ(data.IsViewEnabled(0, 1), 0);
  data.DisableView(0, 0);
  data.EnableView(0, 0);
  EXPECT_EQ(data.IsViewEnabled(0, 0), 1);
  const std::vector<RunView> views = data.GetRunViews(0);
  ASSERT_EQ(views.size(), 2u);
  EXPECT_TRUE(views[0].enabled && views[0].hasImage);
  EXPECT_FALSE(views[1].enabled || views[1].hasImage);
  EXPECT_EQ(views[1].points.size(), 2u);
  EXPECT_TRUE(data.GetRunViews(5).empty());
  data.ClearCameraViews(0);
  data.AddViewFromFrame(0, cv::Mat(30, 40, CV_8UC3));
  EXPECT_FALSE(data.ViewMissingImage(0, 0));
}

TEST(CalibrationStore, IntrinsicFileRoundTripAndTruncatedFileKeepsParameters) {
  TempDir dir;
  CCalibrationData data;
  data.AddCamera();
  data.AddCamera();
  CameraParameters p;
  p.K = {812.25, 0, 319.5, 0, 811.75, 239.5, 0, 0, 1};
  p.distortion = {-0.21, 0.05, 0.001, -0.002, 0.0};
  p.T = {1, 2, 3};
  p.width = 640;
  p.height = 480;
  data.SetCameraParameters(0, p);
  ASSERT_TRUE(data.WriteIntrinsicFile(0, dir.File("i.txt")));
  EXPECT_EQ(dir.Read("i.txt"),
            "812.250000 0.000000 319.500000\n0.000000 811.750000 239.500000\n0.000000 0.000000 1.000000\n"
            "-0.210000 0.050000 0.001000 -0.002000\n1.000000 0.000000 0.000000\n0.000000 1.000000 0.000000\n"
            "0.000000 0.000000 1.000000\n1.000000 2.000000 3.000000\n640 480\n");
  ASSERT_TRUE(data.ReadIntrinsicFile(1, dir.File("i.txt")));
  const CameraParameters q = data.GetCameraParameters(1);
  EXPECT_EQ(q.K, p.K);
  EXPECT_EQ(q.distortion, p.distortion);
  EXPECT_EQ(q.width, 640);

  const std::string text = dir.Read("i.txt");
  dir.Write("short.txt", text.substr(0, text.size() / 2));
  EXPECT_FALSE(data.ReadIntrinsicFile(0, dir.File("short.txt")));
  EXPECT_EQ(data.GetCameraParameters(0).K, p.K) << "an incomplete file changes nothing";
  EXPECT_FALSE(data.ReadIntrinsicFile(0, dir.File("none.txt")));
}

TEST(CalibrationStore, ExtrinsicFileIsReadAsFarAsItGoes) {
  TempDir dir;
  CCalibrationData data;
  data.AddCamera();
  CalibrationProblem& problem = data.GetCalibrationProblem(0);
  problem.Allocate(3, Grid(3, 2));
  dir.Write("e.txt",
            "1 0 0\n0 1 0\n0 0 1\n0.1 0.2 0.3\n4 5 6\n"
            "0 1 0\n1 0 0\n0 0 1\n0.4 0.5 0.6\n7 8\n");  // second block cut short
  ASSERT_TRUE(data.ReadExtrinsicFile(0, dir.File("e.txt")));
  EXPECT_EQ(problem.GetTranslation(0)[2], 6);
  EXPECT_EQ(problem.GetRotationVector(0)[1], 0.2);
  EXPECT_EQ(problem.GetRotationMatrix(1)[0], 0) << "a partial block is not applied";
  EXPECT_EQ(problem.GetTranslation(1)[0], 0);
}

// A JPEG cut off after `keep` of its bytes, as a copy interrupted on the way.
void WriteTruncatedJpeg(const std::string& path, const cv::Mat& image, double keep) {
  std::vector<uchar> bytes;
  ASSERT_TRUE(cv::imencode(".jpg", image, bytes));
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(bytes.data(), 1, static_cast<size_t>(bytes.size() * keep), file);
  std::fclose(file);
}

cv::Mat Noise(int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(255));
  return image;
}

TEST(CalibrationStore, DamagedOrOtherSizedImagesAreRefusedWithTheFileNamed) {
  TempDir dir;
  cv::imwrite(dir.File("good.jpg"), Noise(64, 48));
  WriteTruncatedJpeg(dir.File("cut.jpg"), Noise(64, 48), 0.6);
  cv::imwrite(dir.File("large.png"), Noise(80, 60));
  dir.Write("junk.jpg", "not an image");

  CCalibrationData data;
  data.AddCamera();
  std::string problem;
  EXPECT_EQ(data.AddViewFromFile(0, dir.File("cut.jpg"), 1, 0, "", &problem), CCalibrationData::kViewUnreadable);
  EXPECT_NE(problem.find("cut.jpg"), std::string::npos) << problem;
  EXPECT_NE(problem.find("does not decode cleanly"), std::string::npos) << problem;
  EXPECT_EQ(data.GetViewCount(0), 0);
  EXPECT_EQ(data.AddViewFromFile(0, dir.File("junk.jpg"), 1, 0, "", &problem), CCalibrationData::kViewUnreadable);
  EXPECT_NE(problem.find("junk.jpg"), std::string::npos) << problem;

  ASSERT_EQ(data.AddViewFromFile(0, dir.File("good.jpg"), 1, 0, "", &problem), 0);
  EXPECT_EQ(data.AddViewFromFile(0, dir.File("large.png"), 1, 0, "", &problem), CCalibrationData::kViewOtherSize);
  EXPECT_NE(problem.find("large.png"), std::string::npos) << problem;
  EXPECT_NE(problem.find("80x60"), std::string::npos) << problem;
  EXPECT_NE(problem.find("64x48"), std::string::npos) << problem;
  EXPECT_FALSE(data.AddViewFromFrame(0, Frame(80, 60)));
  EXPECT_TRUE(data.AddViewFromFrame(0, Frame(64, 48)));
  EXPECT_EQ(data.GetViewCount(0), 2);
  EXPECT_TRUE(data.FitsImageSize(0, 64, 48));
  EXPECT_FALSE(data.FitsImageSize(0, 48, 64));
  // A camera without views takes any size.
  data.AddCamera();
  EXPECT_TRUE(data.AddViewFromFrame(1, Frame(80, 60)));
}

TEST(CalibrationStore, AChangedGridMakesEveryMarkedViewStaleWhateverItsCount) {
  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, Grid(3, 2));
  for (int v = 0; v < 3; ++v) ASSERT_TRUE(data.AddViewFromFrame(0, Frame(16, 12)));
  *data.GetGridPoints(0, 0) = PointList(6);
  data.MarkViewPointsCurrent(0, 0);
  *data.GetGridPoints(0, 1) = PointList(6);
  data.MarkViewPointsCurrent(0, 1);
  EXPECT_TRUE(data.StaleViews(0).empty());

  // Spacing and window settings leave the points as they are.
  GridDescription spacing = Grid(3, 2, 20.0);
  spacing.wx = 9;
  data.SetGrid(0, spacing);
  EXPECT_TRUE(data.StaleViews(0).empty());
  // Transposed: still six points each, but marked for the other grid.
  data.SetGrid(0, Grid(2, 3));
  EXPECT_EQ(data.StaleViews(0), (std::vector<int>{0, 1}));
  EXPECT_TRUE(data.IsViewStale(0, 0));
  EXPECT_FALSE(data.IsViewStale(0, 2)) << "an unmarked view has nothing to go stale";
  const std::vector<RunView> views = data.GetRunViews(0);
  EXPECT_TRUE(views[0].stale && views[1].stale && !views[2].stale);
  EXPECT_EQ(ReasonToSkip(views[0], data.GetGrid(0)), std::optional<SkipReason>(SkipReason::Stale));
  // Going back to the old grid does not make them current: only marking does.
  data.SetGrid(0, Grid(3, 2));
  EXPECT_EQ(data.StaleViews(0), (std::vector<int>{0, 1}));
  data.MarkViewPointsCurrent(0, 0);
  data.ClearViewPoints(0, 1);
  EXPECT_TRUE(data.StaleViews(0).empty());
  EXPECT_FALSE(data.IsViewStale(0, 1));
  EXPECT_EQ(data.GetPointCount(0, 0), 6);
}

TEST(CalibrationStore, RemovingAViewKeepsTheOthersFlagsWithThem) {
  TempDir dir;
  CCalibrationData data;
  data.AddCamera();
  data.SetGrid(0, Grid(3, 2));
  ASSERT_TRUE(data.AddViewFromFrame(0, Frame(16, 12)));
  data.AddPlaceholderView(0, 16, 12, 0, "");
  ASSERT_TRUE(data.AddViewFromFrame(0, Frame(16, 12)));
  *data.GetGridPoints(0, 2) = PointList(6);
  data.MarkViewPointsCurrent(0, 2);
  data.SetGrid(0, Grid(2, 3));
  ASSERT_TRUE(data.RemoveView(0, 0));
  // The missing image and the stale points stay with their views.
  EXPECT_TRUE(data.ViewMissingImage(0, 0));
  EXPECT_FALSE(data.ViewMissingImage(0, 1));
  EXPECT_TRUE(data.IsViewStale(0, 1));
  EXPECT_FALSE(data.IsViewStale(0, 0));
  data.EnableView(0, 1);
  EXPECT_EQ(data.IsViewEnabled(0, 1), 1);
}

}  // namespace

TEST(CalibrationStore, RemovingAViewKeepsTheMissingImageMarksWithTheirViews) {
  CCalibrationData data;
  data.AddCamera();
  data.AddViewFromFrame(0, Frame(8, 6));
  data.AddPlaceholderView(0, 8, 6, 0, "");
  data.AddViewFromFrame(0, Frame(8, 6));
  ASSERT_TRUE(data.ViewMissingImage(0, 1));
  ASSERT_TRUE(data.RemoveView(0, 0));
  EXPECT_TRUE(data.ViewMissingImage(0, 0)) << "the placeholder moved to view 0 with its mark";
  EXPECT_FALSE(data.ViewMissingImage(0, 1)) << "the real picture must not pass for a missing one";
  data.EnableView(0, 1);
  EXPECT_EQ(data.IsViewEnabled(0, 1), 1);
}
