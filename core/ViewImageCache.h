#pragma once
// Decoded view pictures kept for reuse, within a byte budget: the least
// recently used go first. The cache only drops its own reference, so a
// picture handed out stays whole for as long as its holder keeps it (a
// bitmap being drawn, a detection running). Safe to use from any thread.

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <opencv2/core.hpp>

using ViewPixels = std::shared_ptr<const cv::Mat>;

class ViewImageCache {
 public:
  explicit ViewImageCache(size_t budgetBytes) : budget_(budgetBytes) {}
  ViewImageCache(const ViewImageCache&) = delete;
  ViewImageCache& operator=(const ViewImageCache&) = delete;

  // The picture kept under `key`, now the most recently used; null when none.
  ViewPixels Find(uint64_t key);
  // Keeps the picture under `key` (replacing any other) and drops the least
  // recently used beyond the budget. A picture larger than the whole budget is
  // not kept.
  void Insert(uint64_t key, ViewPixels pixels);
  void Erase(uint64_t key);
  void Clear();

  void SetBudget(size_t budgetBytes);
  size_t Budget() const;
  size_t Bytes() const;  // what the kept pictures take
  size_t Count() const;

  static size_t BytesOf(const cv::Mat& image) { return image.empty() ? 0 : image.step[0] * image.rows; }

 private:
  struct Entry {
    uint64_t key;
    ViewPixels pixels;
    size_t bytes;
  };
  void TrimLocked();

  mutable std::mutex mutex_;
  size_t budget_;
  size_t bytes_ = 0;
  std::list<Entry> entries_;  // most recently used first
  std::unordered_map<uint64_t, std::list<Entry>::iterator> index_;
};
