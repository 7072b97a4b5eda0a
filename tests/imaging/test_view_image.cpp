#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "imaging/JpegFile.h"
#include "imaging/ViewImage.h"
#include "support/TempDir.h"

namespace {

// A picture with detail in every block, so a damaged stream shows.
cv::Mat Pattern(int width, int height) {
  cv::Mat image(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      image.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>((x * 7 + y) & 255), static_cast<uchar>((y * 5) & 255),
                                            static_cast<uchar>(((x ^ y) * 3) & 255));
  return image;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

double LargestDifference(const cv::Mat& a, const cv::Mat& b) { return cv::norm(a, b, cv::NORM_INF); }

}  // namespace

TEST(ViewImageSource, JpegFilesAreSizedWithoutDecodingAndDecodeAsTheImageReaderDoes) {
  TempDir dir;
  const cv::Mat picture = Pattern(161, 97);  // odd width: rows need padding
  ASSERT_TRUE(cv::imwrite(dir.File("a.jpg"), picture));
  std::string problem;
  const ViewImageSource source = ViewImageSource::OpenFile(dir.File("a.jpg"), &problem);
  ASSERT_FALSE(source.empty()) << problem;
  EXPECT_EQ(source.kind(), ViewImageSource::Kind::File);
  EXPECT_EQ(source.Size(), cv::Size(161, 97));
  EXPECT_TRUE(source.IsJpeg());
  EXPECT_EQ(source.HeldBytes(), 0u) << "a file's bytes stay on disk";

  const cv::Mat decoded = source.Decode(&problem);
  ASSERT_EQ(decoded.size(), picture.size()) << problem;
  EXPECT_EQ(decoded.type(), CV_8UC3);
  EXPECT_EQ(decoded.step % 4, 0u);
  EXPECT_LE(LargestDifference(decoded, cv::imread(dir.File("a.jpg"))), 1.0);

  std::vector<uint8_t> bytes;
  ASSERT_TRUE(source.ReadJpeg(bytes));
  EXPECT_EQ(bytes, ReadBytes(dir.File("a.jpg"))) << "a save writes the file's bytes unchanged";
}

TEST(ViewImageSource, ReducedDecodesCoverTheRequestedSizeAtAFractionOfTheWork) {
  TempDir dir;
  ASSERT_TRUE(cv::imwrite(dir.File("a.jpg"), Pattern(640, 480)));
  ASSERT_TRUE(cv::imwrite(dir.File("a.png"), Pattern(640, 480)));
  const ViewImageSource jpeg = ViewImageSource::OpenFile(dir.File("a.jpg"));
  EXPECT_EQ(jpeg.DecodeReduced(cv::Size(80, 60)).size(), cv::Size(80, 60));
  EXPECT_EQ(jpeg.DecodeReduced(cv::Size(81, 60)).size(), cv::Size(160, 120)) << "1/4 is the smallest that covers 81";
  EXPECT_EQ(jpeg.DecodeReduced(cv::Size(1000, 1000)).size(), cv::Size(640, 480)) << "never enlarged";
  const ViewImageSource png = ViewImageSource::OpenFile(dir.File("a.png"));
  EXPECT_FALSE(png.IsJpeg());
  const cv::Mat reduced = png.DecodeReduced(cv::Size(100, 50));
  EXPECT_EQ(reduced.size(), cv::Size(100, 75));
  EXPECT_EQ(reduced.step % 4, 0u);
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(png.ReadJpeg(bytes));
}

TEST(ViewImageSource, CutOffJpegsAreRefusedOnOpeningAndDamagedDataOnDecoding) {
  TempDir dir;
  ASSERT_TRUE(cv::imwrite(dir.File("whole.jpg"), Pattern(320, 240)));
  const std::vector<uint8_t> whole = ReadBytes(dir.File("whole.jpg"));
  WriteBytes(dir.File("cut.jpg"), std::vector<uint8_t>(whole.begin(), whole.begin() + whole.size() * 2 / 3));
  std::string problem;
  EXPECT_TRUE(ViewImageSource::OpenFile(dir.File("cut.jpg"), &problem).empty());
  EXPECT_NE(problem.find("Premature end"), std::string::npos) << problem;

  // Bytes changed inside the coded data keep the markers whole.
  std::vector<uint8_t> damaged = whole;
  for (size_t k = damaged.size() / 2; k < damaged.size() / 2 + 64; ++k) {
    const uint8_t changed = static_cast<uint8_t>(damaged[k] ^ 0x5A);
    if (damaged[k] != 0xFF && damaged[k] != 0x00 && changed != 0xFF) damaged[k] = changed;
  }
  WriteBytes(dir.File("damaged.jpg"), damaged);
  const ViewImageSource source = ViewImageSource::OpenFile(dir.File("damaged.jpg"), &problem);
  ASSERT_FALSE(source.empty()) << problem;
  problem.clear();
  EXPECT_TRUE(source.Decode(&problem).empty());
  EXPECT_NE(problem.find("does not decode cleanly"), std::string::npos) << problem;
  EXPECT_FALSE(JpegDataProblem(damaged.data(), damaged.size()).empty());

  EXPECT_TRUE(ViewImageSource::OpenFile(dir.File("missing.jpg"), &problem).empty());
  EXPECT_NE(problem.find("cannot be read"), std::string::npos) << problem;
  WriteBytes(dir.File("empty.jpg"), {});
  EXPECT_TRUE(ViewImageSource::OpenFile(dir.File("empty.jpg")).empty());
  EXPECT_NE(JpegStructureProblem(whole.data(), 2), "") << "a lone start marker";
}

TEST(ViewImageSource, AFileChangedAfterItWasOpenedIsNotDecodedAsTheView) {
  TempDir dir;
  ASSERT_TRUE(cv::imwrite(dir.File("a.jpg"), Pattern(64, 48)));
  const ViewImageSource source = ViewImageSource::OpenFile(dir.File("a.jpg"));
  ASSERT_FALSE(source.empty());
  EXPECT_TRUE(source.Unchanged());
  // A save that rewrites the file with the same bytes leaves it the view's picture.
  WriteBytes(dir.File("same.jpg"), ReadBytes(dir.File("a.jpg")));
  std::filesystem::rename(dir.File("same.jpg"), dir.File("a.jpg"));
  EXPECT_TRUE(source.Unchanged());
  EXPECT_FALSE(source.Decode().empty());
  ASSERT_TRUE(cv::imwrite(dir.File("other.jpg"), cv::Mat(48, 64, CV_8UC3, cv::Scalar(1, 2, 3))));
  std::filesystem::rename(dir.File("other.jpg"), dir.File("a.jpg"));
  EXPECT_FALSE(source.Unchanged());
  std::string problem;
  EXPECT_TRUE(source.Decode(&problem).empty());
  EXPECT_NE(problem.find("changed"), std::string::npos) << problem;
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(source.ReadJpeg(bytes, &problem)) << "a save must not write another picture under the view's name";
  std::filesystem::remove(dir.File("a.jpg"));
  EXPECT_TRUE(source.Decode(&problem).empty());
}

TEST(ViewImageSource, FramesAreKeptExactlyAndPlaceholdersAsGrey) {
  const cv::Mat frame = Pattern(33, 21);
  const ViewImageSource source = ViewImageSource::FromFrame(frame);
  ASSERT_FALSE(source.empty());
  EXPECT_EQ(source.kind(), ViewImageSource::Kind::Frame);
  EXPECT_FALSE(source.IsJpeg());
  const cv::Mat decoded = source.Decode();
  ASSERT_EQ(decoded.size(), frame.size());
  EXPECT_EQ(cv::norm(frame, decoded, cv::NORM_INF), 0.0);
  EXPECT_EQ(decoded.step % 4, 0u);
  EXPECT_EQ(source.HeldBytes(), decoded.step[0] * decoded.rows);
  EXPECT_EQ(source.DecodeReduced(cv::Size(11, 7)).size(), cv::Size(11, 7));
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(source.ReadJpeg(bytes));
  EXPECT_TRUE(ViewImageSource::FromFrame(cv::Mat(4, 4, CV_8UC1)).empty());

  const ViewImageSource grey = ViewImageSource::Placeholder(cv::Size(5, 3));
  const cv::Mat pixels = grey.Decode();
  ASSERT_EQ(pixels.size(), cv::Size(5, 3));
  EXPECT_EQ(pixels.at<cv::Vec3b>(2, 4), cv::Vec3b(128, 128, 128));
  EXPECT_EQ(grey.Decode().data, pixels.data) << "every decode of a placeholder shares one buffer";
  EXPECT_FALSE(grey.IsJpeg());
}
