#include "kelp/errors.h"

#include <gtest/gtest.h>

namespace kelp {
namespace {

TEST(ModelError, MessageShowsTitleAndDetail) {
  const ModelError e(
      {.title = "Missing columns", .detail = "column \"x\" not found", .code = "MISSING_COLUMN"});
  EXPECT_STREQ(e.what(), "Missing columns: column \"x\" not found");
  EXPECT_EQ(e.title(), "Missing columns");
  EXPECT_EQ(e.detail(), "column \"x\" not found");
  EXPECT_EQ(e.code(), "MISSING_COLUMN");

  const ModelError no_code(
      {.title = "Empty dataset", .detail = "Dataset empty after dropping nulls."});
  EXPECT_EQ(no_code.code(), std::nullopt);
  EXPECT_STREQ(no_code.what(), "Empty dataset: Dataset empty after dropping nulls.");
}

}  // namespace
}  // namespace kelp
