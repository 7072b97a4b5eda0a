#pragma once
// A plane projective transformation: a 3x3 matrix acting on homogeneous points.

#include "calib/vnl/vgl_homg_point_2d.h"

template <class T>
class vgl_h_matrix_2d {
 public:
  // The identity.
  vgl_h_matrix_2d() {
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) m_[r][c] = r == c ? T(1) : T(0);
  }
  // Nine values, row by row.
  explicit vgl_h_matrix_2d(const T* values) { set(values); }

  T get(int row, int col) const { return m_[row][col]; }
  void set(int row, int col, T value) { m_[row][col] = value; }
  void set(const T* values) {
    for (int k = 0; k < 9; ++k) m_[k / 3][k % 3] = values[k];
  }
  // Copies the nine values row by row into values.
  void get(T* values) const {
    for (int k = 0; k < 9; ++k) values[k] = m_[k / 3][k % 3];
  }

  vgl_homg_point_2d<T> operator()(const vgl_homg_point_2d<T>& p) const {
    return vgl_homg_point_2d<T>(m_[0][0] * p.x() + m_[0][1] * p.y() + m_[0][2] * p.w(),
                                m_[1][0] * p.x() + m_[1][1] * p.y() + m_[1][2] * p.w(),
                                m_[2][0] * p.x() + m_[2][1] * p.y() + m_[2][2] * p.w());
  }

 private:
  T m_[3][3];
};
