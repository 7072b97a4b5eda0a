#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "core/CalibrationData.h"
#include "core/ViewImageCache.h"
#include "core/Workspace.h"
#include "support/TempDir.h"

namespace {

ViewPixels Picture(int side, uchar value = 0) {
  return std::make_shared<const cv::Mat>(side, side, CV_8UC1, cv::Scalar(value));
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// A camera with `count` JPEG views of 64x48 written to `dir`, each a shade of its own.
void AddJpegViews(CCalibrationData& data, const TempDir& dir, int count) {
  data.AddCamera();
  for (int v = 0; v < count; ++v) {
    const std::string name = dir.File("v" + std::to_string(v) + ".jpg");
    ASSERT_TRUE(cv::imwrite(name, cv::Mat(48, 64, CV_8UC3, cv::Scalar::all(10 + 20 * v))));
    ASSERT_EQ(data.AddViewFromFile(0, name, 1, 0, ""), 0);
  }
}

}  // namespace

TEST(ViewImageCache, KeepsTheMostRecentlyUsedWithinItsBudget) {
  ViewImageCache cache(300);  // three 10x10 pictures
  for (uint64_t key = 1; key <= 3; ++key) cache.Insert(key, Picture(10));
  EXPECT_EQ(cache.Count(), 3u);
  EXPECT_EQ(cache.Bytes(), 300u);
  ASSERT_NE(cache.Find(1), nullptr);  // 1 is now the most recent, 2 the least
  cache.Insert(4, Picture(10));
  EXPECT_EQ(cache.Find(2), nullptr);
  EXPECT_NE(cache.Find(1), nullptr);
  EXPECT_NE(cache.Find(3), nullptr);
  EXPECT_NE(cache.Find(4), nullptr);

  cache.Insert(3, Picture(5));  // replaced under the same key
  EXPECT_EQ(cache.Bytes(), 225u);
  cache.Insert(9, Picture(20));
  EXPECT_EQ(cache.Find(9), nullptr) << "a picture larger than the budget is not kept";
  EXPECT_EQ(cache.Bytes(), 225u) << "and pushes nothing out";

  cache.SetBudget(120);
  EXPECT_LE(cache.Bytes(), 120u);
  EXPECT_EQ(cache.Count(), 1u);
  cache.Erase(4);
  cache.Erase(77);
  cache.Clear();
  EXPECT_EQ(cache.Bytes(), 0u);
  EXPECT_EQ(cache.Count(), 0u);
}

TEST(ViewImageCache, APictureHandedOutOutlivesItsEviction) {
  ViewImageCache cache(100);
  cache.Insert(1, Picture(10, 7));
  const ViewPixels held = cache.Find(1);
  cache.Insert(2, Picture(10));
  EXPECT_EQ(cache.Find(1), nullptr);
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held->at<uchar>(9, 9), 7);
}

TEST(ViewImageCache, ThreadsFindInsertAndEraseTogether) {
  ViewImageCache cache(20 * 100);
  // How often a find meets another thread's picture depends on the
  // scheduler; every picture found must be whole.
  std::atomic<int> spoilt{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < 2000; ++k) {
        const uint64_t key = static_cast<uint64_t>((k * 7 + t) % 40);
        if (ViewPixels p = cache.Find(key)) {
          spoilt += p->rows != 10 || p->cols != 10;
        } else {
          cache.Insert(key, Picture(10));
        }
        if (k % 13 == 0) cache.Erase(key);
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_LE(cache.Bytes(), 2000u);
  EXPECT_EQ(cache.Bytes(), cache.Count() * 100);
  EXPECT_EQ(spoilt.load(), 0);
}

TEST(StoreImages, ViewsAreDecodedOnlyWhenAskedForAndTheCacheStaysWithinItsBudget) {
  TempDir dir;
  CCalibrationData data;
  AddJpegViews(data, dir, 6);
  EXPECT_EQ(data.ImageCacheBytes(), 0u) << "adding a view decodes nothing";
  EXPECT_EQ(data.GetViewSize(0, 3), cv::Size(64, 48));
  EXPECT_EQ(data.PeekViewImage(0, 3), nullptr);

  const size_t onePicture = ViewImageCache::BytesOf(*data.GetViewImage(0, 0));
  data.SetImageCacheBudget(2 * onePicture);
  std::vector<ViewPixels> held;
  for (int v = 0; v < 6; ++v) {
    held.push_back(data.GetViewImage(0, v));
    ASSERT_NE(held.back(), nullptr);
    EXPECT_NEAR(held.back()->at<cv::Vec3b>(10, 10)[1], 10 + 20 * v, 2) << "view " << v;
    EXPECT_LE(data.ImageCacheBytes(), 2 * onePicture);
  }
  EXPECT_EQ(data.PeekViewImage(0, 5), held[5]);
  EXPECT_EQ(data.PeekViewImage(0, 0), nullptr) << "the least recently used went first";
  EXPECT_EQ(data.GetViewImage(0, 5), held[5]) << "a kept picture is not decoded again";
  EXPECT_NEAR(held[0]->at<cv::Vec3b>(10, 10)[1], 10, 2) << "what a holder keeps stays whole";

  const ViewPixels thumbnail = data.GetViewThumbnail(0, 2, cv::Size(16, 12));
  ASSERT_NE(thumbnail, nullptr);
  EXPECT_EQ(thumbnail->size(), cv::Size(16, 12));
  EXPECT_EQ(data.GetViewThumbnail(0, 2, cv::Size(16, 12)), thumbnail);
  EXPECT_EQ(data.GetViewImage(9, 0), nullptr);
  EXPECT_EQ(data.GetViewThumbnail(0, 6, cv::Size(16, 12)), nullptr);
}

TEST(StoreImages, IdsFollowThePicturesThroughRemovalsAndNeverRepeat) {
  TempDir dir;
  CCalibrationData data;
  AddJpegViews(data, dir, 3);
  const uint64_t first = data.GetViewImageId(0, 0), last = data.GetViewImageId(0, 2);
  EXPECT_NE(first, data.GetViewImageId(0, 1));
  ASSERT_TRUE(data.RemoveView(0, 1));
  EXPECT_EQ(data.GetViewImageId(0, 1), last);
  ASSERT_EQ(data.AddViewFromFile(0, dir.File("v1.jpg"), 1, 0, ""), 0);
  EXPECT_NE(data.GetViewImageId(0, 2), first);
  EXPECT_NE(data.GetViewImageId(0, 2), last);
  EXPECT_EQ(data.GetViewImageId(0, 3), 0u);
}

TEST(StoreImages, AFileReplacedOnDiskIsNeitherShownNorSavedAsTheView) {
  TempDir dir;
  CCalibrationData data;
  AddJpegViews(data, dir, 2);
  ASSERT_TRUE(cv::imwrite(dir.File("other.jpg"), cv::Mat(48, 64, CV_8UC3, cv::Scalar(0, 0, 255))));
  std::filesystem::rename(dir.File("other.jpg"), dir.File("v1.jpg"));
  std::string problem;
  EXPECT_EQ(data.GetViewImage(0, 1, &problem), nullptr);
  EXPECT_NE(problem.find("v1.jpg"), std::string::npos) << problem;
  EXPECT_NE(problem.find("changed"), std::string::npos) << problem;
  EXPECT_NE(data.GetViewImage(0, 0), nullptr);

  TempDir out;
  const std::vector<uint8_t> before = ReadBytes(dir.File("v1.jpg"));
  const WorkspaceResult saved = SaveWorkspaceTo(data, out.File("ws.txt"));
  EXPECT_FALSE(saved.ok);
  EXPECT_NE(saved.error.find("view 1"), std::string::npos) << saved.error;
  EXPECT_FALSE(std::filesystem::exists(out.File("ws.txt"))) << "a failed save leaves no workspace";
  EXPECT_EQ(ReadBytes(dir.File("v1.jpg")), before);
}

TEST(StoreImages, SavingWritesJpegBytesUnchangedAndTheViewsThenReadTheSavedFiles) {
  TempDir dir;
  CCalibrationData data;
  AddJpegViews(data, dir, 2);
  ASSERT_TRUE(data.AddViewFromFrame(0, cv::Mat(48, 64, CV_8UC3, cv::Scalar(50, 60, 70))));
  const ViewPixels shown = data.GetViewImage(0, 0);

  TempDir out;
  const WorkspaceResult saved = SaveWorkspaceTo(data, out.File("ws.txt"));
  ASSERT_TRUE(saved.ok) << saved.error;
  EXPECT_EQ(ReadBytes(out.File("Camera_0_Image_0.jpg")), ReadBytes(dir.File("v0.jpg")));
  EXPECT_EQ(data.GetViewImageSource(0, 2).kind(), ViewImageSource::Kind::File) << "a saved frame reads its file";
  EXPECT_EQ(data.GetViewImageSource(0, 0).Path(), out.File("Camera_0_Image_0.jpg"));
  EXPECT_EQ(data.GetViewImage(0, 0), shown) << "the same bytes keep their decoded picture";

  // The files the views came from may go; the views read the saved ones.
  std::filesystem::remove(dir.File("v0.jpg"));
  std::filesystem::remove(dir.File("v1.jpg"));
  data.SetImageCacheBudget(0);
  EXPECT_NE(data.GetViewImage(0, 1), nullptr);
  CCalibrationData loaded;
  ASSERT_TRUE(LoadWorkspace(loaded, out.File("ws.txt")).ok);
  EXPECT_EQ(loaded.ImageCacheBytes(), 0u) << "loading decodes no picture";
  ASSERT_EQ(loaded.GetViewCount(0), 3);
  EXPECT_EQ(cv::norm(*loaded.GetViewImage(0, 2), *data.GetViewImage(0, 2), cv::NORM_INF), 0.0)
      << "a grabbed view shows after saving what it shows after reloading";
}
