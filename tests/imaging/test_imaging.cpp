#include <gtest/gtest.h>

#include <QImage>
#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "imaging/GDI.h"
#include "support/TempDir.h"

namespace {

// A 4 x 3 picture of flat, clearly different colours (0xRRGGBB).
const uint32_t kColours[3][4] = {{0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF},
                                 {0x000000, 0x808080, 0xFFFF00, 0x00FFFF},
                                 {0xFF00FF, 0x404040, 0xC0C0C0, 0x102030}};

QImage MakeOpaquePicture() {
  QImage image(4, 3, QImage::Format_RGB888);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) image.setPixel(x, y, 0xFF000000u | kColours[y][x]);
  return image;
}

struct Loaded {
  QImage bitmap;
  const uint8_t* pixels = nullptr;
  int width = 0, height = 0, stride = 0;
};

Loaded Load(const std::string& path) {
  Loaded l;
  l.bitmap = GDI::LoadBitmap(path, &l.pixels, &l.width, &l.height, &l.stride);
  return l;
}

// Checks a loaded picture against kColours; 24-bit rows are B G R, 32-bit
// ARGB rows are B G R A in memory.
void ExpectColours(const Loaded& l, int tolerance) {
  ASSERT_FALSE(l.bitmap.isNull());
  ASSERT_EQ(l.width, 4);
  ASSERT_EQ(l.height, 3);
  const int bpp = GDI::BytesPerPixel(l.bitmap);
  ASSERT_TRUE(bpp == 3 || bpp == 4);
  ASSERT_GE(l.stride, 4 * bpp);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) {
      const uint8_t* p = l.pixels + y * l.stride + x * bpp;
      const uint32_t c = kColours[y][x];
      EXPECT_NEAR(p[0], c & 0xFF, tolerance) << x << "," << y;
      EXPECT_NEAR(p[1], (c >> 8) & 0xFF, tolerance) << x << "," << y;
      EXPECT_NEAR(p[2], (c >> 16) & 0xFF, tolerance) << x << "," << y;
    }
}

// A GIF of the 4 x 3 picture, written by hand since Qt reads GIF but does not
// write it. Every pixel code follows a clear code, so the decoder never adds
// a dictionary entry and all codes stay 5 bits wide (16-colour palette,
// minimum code size 4).
std::string MakeGif() {
  std::string gif = "GIF89a";
  auto put16 = [&](int v) { gif += static_cast<char>(v & 0xFF), gif += static_cast<char>(v >> 8); };
  put16(4), put16(3);
  gif += static_cast<char>(0xF3), gif += '\0', gif += '\0';  // global table of 16 colours
  for (int i = 0; i < 16; ++i) {
    const uint32_t c = i < 12 ? kColours[i / 4][i % 4] : 0;
    gif += static_cast<char>(c >> 16), gif += static_cast<char>(c >> 8), gif += static_cast<char>(c);
  }
  gif += ',', put16(0), put16(0), put16(4), put16(3), gif += '\0';
  gif += static_cast<char>(4);  // minimum code size
  std::vector<int> codes;
  const int clear = 16, end = 17;
  for (int i = 0; i < 12; ++i) codes.push_back(clear), codes.push_back(i);
  codes.push_back(end);
  std::string data;
  uint32_t bits = 0;
  int count = 0;
  for (int code : codes) {
    bits |= static_cast<uint32_t>(code) << count;
    count += 5;
    while (count >= 8) data += static_cast<char>(bits & 0xFF), bits >>= 8, count -= 8;
  }
  if (count > 0) data += static_cast<char>(bits & 0xFF);
  gif += static_cast<char>(data.size());
  gif += data;
  gif += '\0';
  gif += ';';
  return gif;
}

TEST(LoadBitmap, ReadsLosslessFormatsAsTopDownBgrRows) {
  TempDir dir;
  for (const char* format : {"bmp", "png", "tif"}) {
    SCOPED_TRACE(format);
    const std::string path = dir.File(std::string("picture.") + format);
    ASSERT_TRUE(MakeOpaquePicture().save(QString::fromStdString(path), format));
    const Loaded l = Load(path);
    ExpectColours(l, 0);
    EXPECT_EQ(GDI::BytesPerPixel(l.bitmap), 3);
  }
}

TEST(LoadBitmap, ReadsJpegAndGif) {
  TempDir dir;
  QImage big = MakeOpaquePicture().scaled(64, 48);  // flat 16 x 16 blocks survive JPEG well
  ASSERT_TRUE(big.save(QString::fromStdString(dir.File("big.jpg")), "jpg", 100));
  const Loaded jpeg = Load(dir.File("big.jpg"));
  ASSERT_EQ(jpeg.width, 64);
  const int bpp = GDI::BytesPerPixel(jpeg.bitmap);
  const uint8_t* centre = jpeg.pixels + 8 * jpeg.stride + 8 * bpp;  // block of kColours[0][0], red
  EXPECT_NEAR(centre[2], 255, 8);
  EXPECT_NEAR(centre[1], 0, 8);

  std::ofstream(dir.File("picture.gif"), std::ios::binary) << MakeGif();
  ExpectColours(Load(dir.File("picture.gif")), 0);
}

TEST(LoadBitmap, KeepsAlphaAsArgbPixels) {
  TempDir dir;
  QImage image(4, 3, QImage::Format_ARGB32);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 4; ++x) image.setPixel(x, y, 0xFF000000u | kColours[y][x]);
  image.setPixel(3, 2, 0x80102030u);  // half transparent, not premultiplied
  ASSERT_TRUE(image.save(QString::fromStdString(dir.File("alpha.png")), "png"));
  const Loaded l = Load(dir.File("alpha.png"));
  ExpectColours(l, 0);
  ASSERT_EQ(GDI::BytesPerPixel(l.bitmap), 4);
  EXPECT_EQ(l.pixels[0 * l.stride + 0 * 4 + 3], 0xFF);
  EXPECT_EQ(l.pixels[2 * l.stride + 3 * 4 + 3], 0x80);
}

TEST(LoadBitmap, MissingOrMalformedFileGivesNullImage) {
  TempDir dir;
  dir.Write("broken.png", "\x89PNG\r\n\x1a\n this is not a picture");
  for (const std::string& path : {dir.File("missing.png"), dir.File("broken.png")}) {
    int width = -1;
    EXPECT_TRUE(GDI::LoadBitmap(path, nullptr, &width, nullptr, nullptr).isNull()) << path;
    EXPECT_EQ(width, -1) << "outputs must stay untouched";
  }
}

TEST(SaveImage, WritesJpegThatLoadsBack) {
  TempDir dir;
  const QImage big = MakeOpaquePicture().scaled(64, 48);
  ASSERT_TRUE(GDI::SaveImage(dir.File("out.jpg"), big, "jpg"));
  std::ifstream in(dir.File("out.jpg"), std::ios::binary);
  char magic[2] = {};
  in.read(magic, 2);
  EXPECT_EQ(static_cast<uint8_t>(magic[0]), 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(magic[1]), 0xD8);
  const Loaded back = Load(dir.File("out.jpg"));
  EXPECT_EQ(back.width, 64);
  EXPECT_EQ(back.height, 48);

  EXPECT_FALSE(GDI::SaveImage(dir.File("null.jpg"), QImage(), "jpg"));
  EXPECT_FALSE(GDI::SaveImage(dir.File("no/such/folder/out.jpg"), big, "jpg"));
}

TEST(WrapViewImage, SharesThePixelsOfTheViewImage) {
  cv::Mat view(3, 5, CV_8UC3, cv::Scalar(1, 2, 3));
  const QImage bitmap = GDI::WrapViewImage(view);
  ASSERT_FALSE(bitmap.isNull());
  EXPECT_EQ(bitmap.constBits(), view.data);
  EXPECT_EQ(bitmap.width(), 5);
  EXPECT_EQ(bitmap.height(), 3);
  view.at<cv::Vec3b>(2, 4) = cv::Vec3b(10, 20, 30);  // B G R
  EXPECT_EQ(bitmap.pixel(4, 2), 0xFF1E140Au);
  cv::Mat grey(3, 5, CV_8UC1);
  EXPECT_TRUE(GDI::WrapViewImage(grey).isNull());
}

// A frame whose pixel (row, column) is (row, column, 99): every view pixel
// says where it came from.
cv::Mat MakeLabelledFrame(int width, int height) {
  cv::Mat frame(height, width, CV_8UC3);
  for (int r = 0; r < height; ++r)
    for (int c = 0; c < width; ++c) frame.at<cv::Vec3b>(r, c) = cv::Vec3b(r, c, 99);
  return frame;
}

// Expects view row `row` to be frame row `frameRow` from column `frameColumn` on.
void ExpectRow(const cv::Mat& view, int row, int frameRow, int frameColumn) {
  for (int c = 0; c < view.cols; ++c)
    EXPECT_EQ(view.at<cv::Vec3b>(row, c), cv::Vec3b(frameRow, frameColumn + c, 99))
        << "view row " << row << " column " << c;
}

template <size_t N>
std::array<cv::Mat, N> MakeViews(int width, int height) {
  std::array<cv::Mat, N> views;
  for (cv::Mat& v : views) v = cv::Mat(height, width, CV_8UC3, cv::Scalar::all(7));
  return views;
}

TEST(SplitFrameStereo, CutsLeftAndRightHalves) {
  const cv::Mat frame = MakeLabelledFrame(6, 4);
  auto views = MakeViews<2>(3, 4);
  ASSERT_TRUE(GDI::SplitFrameStereo(frame, views, false, false));
  for (int r = 0; r < 4; ++r) {
    ExpectRow(views[0], r, r, 0);
    ExpectRow(views[1], r, r, 3);
  }
  ASSERT_TRUE(GDI::SplitFrameStereo(frame, views, true, false));
  ExpectRow(views[0], 0, 3, 0);
  ExpectRow(views[1], 3, 0, 3);
}

TEST(SplitFrameStereo, FieldsKeepEveryOtherRowOfTheUprightPicture) {
  const cv::Mat frame = MakeLabelledFrame(6, 6);
  auto views = MakeViews<2>(3, 3);
  ASSERT_TRUE(GDI::SplitFrameStereo(frame, views, false, true));
  ExpectRow(views[0], 0, 0, 0);
  ExpectRow(views[0], 1, 2, 0);
  ExpectRow(views[1], 2, 4, 3);
  ASSERT_TRUE(GDI::SplitFrameStereo(frame, views, true, true));  // upright rows 0, 2, 4 are stored 5, 3, 1
  ExpectRow(views[0], 0, 5, 0);
  ExpectRow(views[1], 1, 3, 3);
  ExpectRow(views[1], 2, 1, 3);
}

TEST(SplitFrameStereo, OddWidthDropsTheLastColumn) {
  const cv::Mat frame = MakeLabelledFrame(7, 3);
  auto views = MakeViews<2>(3, 3);
  ASSERT_TRUE(GDI::SplitFrameStereo(frame, views, false, false));
  ExpectRow(views[1], 2, 2, 3);
}

TEST(SplitFrameQuad, CutsQuartersInReadingOrder) {
  const cv::Mat frame = MakeLabelledFrame(4, 8);
  auto views = MakeViews<4>(2, 4);
  ASSERT_TRUE(GDI::SplitFrameQuad(frame, views, false, false));
  ExpectRow(views[0], 0, 0, 0);
  ExpectRow(views[1], 3, 3, 2);
  ExpectRow(views[2], 0, 4, 0);
  ExpectRow(views[3], 3, 7, 2);
  ASSERT_TRUE(GDI::SplitFrameQuad(frame, views, true, false));
  ExpectRow(views[0], 0, 7, 0);  // the upright top-left quarter is stored last
  ExpectRow(views[3], 3, 0, 2);
}

TEST(SplitFrameQuad, FieldsGiveAQuarterOfTheHeightFromOneField) {
  const cv::Mat frame = MakeLabelledFrame(4, 12);
  auto views = MakeViews<4>(2, 3);
  ASSERT_TRUE(GDI::SplitFrameQuad(frame, views, false, true));
  ExpectRow(views[0], 2, 4, 0);
  ExpectRow(views[2], 0, 6, 0);
  ExpectRow(views[3], 2, 10, 2);
  ASSERT_TRUE(GDI::SplitFrameQuad(frame, views, true, true));
  ExpectRow(views[0], 0, 11, 0);
  ExpectRow(views[2], 0, 5, 0);  // upright row 6
  ExpectRow(views[3], 2, 1, 2);  // upright row 10
}

TEST(SplitFrame, RefusesBadArgumentsWithoutWriting) {
  const cv::Mat frame = MakeLabelledFrame(8, 8);
  auto wrongSize = MakeViews<2>(4, 4);  // stereo without fields needs 4 x 8
  EXPECT_FALSE(GDI::SplitFrameStereo(frame, wrongSize, false, false));
  EXPECT_EQ(wrongSize[0].at<cv::Vec3b>(0, 0), cv::Vec3b(7, 7, 7));
  EXPECT_TRUE(GDI::SplitFrameStereo(frame, wrongSize, false, true));

  auto oneWrong = MakeViews<4>(4, 4);
  oneWrong[3] = cv::Mat(4, 4, CV_8UC1, cv::Scalar(7));
  EXPECT_FALSE(GDI::SplitFrameQuad(frame, oneWrong, false, false));
  EXPECT_EQ(oneWrong[0].at<cv::Vec3b>(0, 0), cv::Vec3b(7, 7, 7));
  oneWrong[3] = cv::Mat();
  EXPECT_FALSE(GDI::SplitFrameQuad(frame, oneWrong, false, false));

  auto views = MakeViews<2>(4, 8);
  EXPECT_FALSE(GDI::SplitFrameStereo(cv::Mat(), views, false, false));
  EXPECT_FALSE(GDI::SplitFrameStereo(cv::Mat(8, 8, CV_8UC4), views, false, false));
  auto none = MakeViews<4>(0, 0);
  EXPECT_FALSE(GDI::SplitFrameQuad(MakeLabelledFrame(1, 3), none, false, true));

  cv::Mat copy = frame.clone();
  std::array<cv::Mat, 2> insideFrame{copy(cv::Rect(0, 0, 4, 8)), cv::Mat(8, 4, CV_8UC3)};
  EXPECT_FALSE(GDI::SplitFrameStereo(copy, insideFrame, true, false));
  EXPECT_EQ(cv::norm(copy, frame, cv::NORM_INF), 0.0);
}

}  // namespace
