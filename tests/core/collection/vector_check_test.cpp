// The finite-element test: every position of vectors around its block length, every kind
// of non-finite value, and the finite values next to them that must pass.
#include "collection/vector_check.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace tornquil {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(VectorCheckTest, FindsTheFirstNonFiniteElementAtEveryPosition) {
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(), -std::nanf("0x12345"), kInf,
                       -kInf};
  for (size_t n : {1, 2, 15, 16, 17, 31, 32, 33, 100}) {
    // Finite values with every exponent the test must not mistake for a fault.
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) {
      const float finite[] = {std::numeric_limits<float>::max(), -std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::denorm_min(), -0.0f, 1.5f};
      v[i] = finite[i % 5];
    }
    EXPECT_EQ(first_non_finite(v), std::nullopt) << n;
    for (size_t at = 0; at < n; ++at) {
      for (float f : bad) {
        std::vector<float> w = v;
        w[at] = f;
        if (at + 3 < n) w[at + 3] = kInf;  // a later fault does not hide the first
        EXPECT_EQ(first_non_finite(w), at) << n << " " << at << " " << f;
      }
    }
  }
  EXPECT_EQ(first_non_finite({}), std::nullopt);
}

TEST(VectorCheckTest, NamesTheElementAndTheRow) {
  const std::vector<float> v = {1, 2, -kInf};
  EXPECT_EQ(check_storable_vector(v).error().render(),
            "Invalid input: vector element 2 is not finite (-inf)");
  EXPECT_EQ(check_storable_vector(v, 7).error().render(),
            "Invalid input: vector 7 element 2 is not finite (-inf)");
  const std::vector<float> q = {std::nanf(""), kInf};
  EXPECT_EQ(check_query_vector(q).error().render(),
            "Invalid input: query vector element 0 is not finite (NaN)");
  EXPECT_TRUE(check_storable_vector(std::vector<float>{0, 1}));
  EXPECT_TRUE(check_query_vector(std::vector<float>{}));
}

}  // namespace
}  // namespace tornquil
