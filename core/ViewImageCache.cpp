#include "core/ViewImageCache.h"

ViewPixels ViewImageCache::Find(uint64_t key) {
  std::lock_guard lock(mutex_);
  const auto found = index_.find(key);
  if (found == index_.end()) return nullptr;
  entries_.splice(entries_.begin(), entries_, found->second);
  return found->second->pixels;
}

void ViewImageCache::Insert(uint64_t key, ViewPixels pixels) {
  if (!pixels) return;
  const size_t bytes = BytesOf(*pixels);
  std::lock_guard lock(mutex_);
  if (const auto found = index_.find(key); found != index_.end()) {
    bytes_ -= found->second->bytes;
    entries_.erase(found->second);
    index_.erase(found);
  }
  if (bytes > budget_) return;
  entries_.push_front(Entry{key, std::move(pixels), bytes});
  index_[key] = entries_.begin();
  bytes_ += bytes;
  TrimLocked();
}

void ViewImageCache::Erase(uint64_t key) {
  std::lock_guard lock(mutex_);
  const auto found = index_.find(key);
  if (found == index_.end()) return;
  bytes_ -= found->second->bytes;
  entries_.erase(found->second);
  index_.erase(found);
}

void ViewImageCache::Clear() {
  std::lock_guard lock(mutex_);
  entries_.clear();
  index_.clear();
  bytes_ = 0;
}

void ViewImageCache::SetBudget(size_t budgetBytes) {
  std::lock_guard lock(mutex_);
  budget_ = budgetBytes;
  TrimLocked();
}

size_t ViewImageCache::Budget() const {
  std::lock_guard lock(mutex_);
  return budget_;
}

size_t ViewImageCache::Bytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

size_t ViewImageCache::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void ViewImageCache::TrimLocked() {
  while (bytes_ > budget_ && !entries_.empty()) {
    bytes_ -= entries_.back().bytes;
    index_.erase(entries_.back().key);
    entries_.pop_back();
  }
}
