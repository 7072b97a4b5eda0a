#pragma once
// A point of the projective plane in homogeneous coordinates (x, y, w).

template <class T>
class vgl_homg_point_2d {
 public:
  vgl_homg_point_2d() = default;
  vgl_homg_point_2d(T x, T y, T w = T(1)) : x_(x), y_(y), w_(w) {}

  T x() const { return x_; }
  T y() const { return y_; }
  T w() const { return w_; }
  void set(T x, T y, T w = T(1)) {
    x_ = x;
    y_ = y;
    w_ = w;
  }
  // A point with w = 0 lies on the line at infinity and has no Euclidean position.
  bool ideal() const { return w_ == T(0); }

 private:
  T x_ = T(0);
  T y_ = T(0);
  T w_ = T(1);
};
