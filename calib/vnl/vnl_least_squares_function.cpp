#include "calib/vnl/vnl_least_squares_function.h"

#include <cstdio>

void vnl_least_squares_function::gradf(const vnl_vector<double>&, vnl_matrix<double>&) {
  std::fprintf(stderr, "vnl_least_squares_function::gradf: no analytic Jacobian; use forward differences\n");
}

void vnl_least_squares_function::trace(int, const vnl_vector<double>&, const vnl_vector<double>&) {}

bool vnl_least_squares_function::get_block_layout(vnl_block_layout&) const { return false; }
