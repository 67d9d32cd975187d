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

TEST(Printable, EscapesControlsAndInvalidUtf8AndCutsLongText) {
  const struct {
    std::string text;
    std::size_t max_chars;
    std::string shown;
  } cases[] = {
      {"income", 60, "income"},
      {"K\xC3\xB6ln \xE2\x82\xAC", 60, "K\xC3\xB6ln \xE2\x82\xAC"},  // UTF-8 kept
      {"a\nb\tc\rd", 60, "a\\nb\\tc\\rd"},
      {std::string("x\0y\x1b[31m\x7f", 9), 60, "x\\x00y\\x1B[31m\\x7F"},
      {"K\xF6ln", 60, "K\\xF6ln"},                                  // Latin-1
      {"\xC3", 60, "\\xC3"},                                        // cut sequence
      {"\xC0\xAF \xED\xA0\x80", 60, "\\xC0\\xAF \\xED\\xA0\\x80"},  // overlong, surrogate
      {"abcdef", 4, "abcd..."},
      {"abcd", 4, "abcd"},
      {"\n\n\n\n\n", 2, "\\n\\n..."},
      {"\xC3\xB6\xC3\xB6\xC3\xB6", 2, "\xC3\xB6\xC3\xB6..."},  // characters, not bytes
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.shown);
    EXPECT_EQ(printable(c.text, c.max_chars), c.shown);
  }
  EXPECT_EQ(printable(std::string(100, 'a')), std::string(60, 'a') + "...");
}

}  // namespace
}  // namespace kelp
