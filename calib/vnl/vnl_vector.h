#pragma once
// A dense vector with the small interface the engine uses of VXL's vnl_vector.

#include <cstddef>
#include <initializer_list>
#include <vector>

template <class T>
class vnl_vector {
 public:
  vnl_vector() = default;
  explicit vnl_vector(std::size_t n, T value = T()) : data_(n, value) {}
  vnl_vector(std::initializer_list<T> values) : data_(values) {}

  std::size_t size() const { return data_.size(); }
  void set_size(std::size_t n) { data_.assign(n, T()); }
  void fill(T value) { data_.assign(data_.size(), value); }

  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T& operator()(std::size_t i) { return data_[i]; }
  const T& operator()(std::size_t i) const { return data_[i]; }

  T* data_block() { return data_.data(); }
  const T* data_block() const { return data_.data(); }
  T* begin() { return data_.data(); }
  T* end() { return data_.data() + data_.size(); }
  const T* begin() const { return data_.data(); }
  const T* end() const { return data_.data() + data_.size(); }

 private:
  std::vector<T> data_;
};
