#include "kelp/printing.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kelp {
namespace {

std::vector<std::string> plain(const Lines& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(l.plain());
  return out;
}

using V = std::vector<std::string>;

TEST(CellLen, CountsTerminalCells) {
  EXPECT_EQ(cell_len("abc"), 3u);
  EXPECT_EQ(cell_len("Sigma²"), 6u);
  EXPECT_EQ(cell_len("╭─╮━…"), 5u);
  EXPECT_EQ(cell_len("日本"), 4u);
  EXPECT_EQ(cell_len("e\u0301"), 1u);  // combining accent
  EXPECT_EQ(cell_len(""), 0u);
}

TEST(Text, SpansMergeAndSlice) {
  Text t("ab", Style{.bold = true});
  t.append("cd", Style{.bold = true}).append("ef");
  ASSERT_EQ(t.spans().size(), 2u);
  EXPECT_EQ(t.spans()[0].text, "abcd");
  const Text s = t.slice(3, 5);
  ASSERT_EQ(s.spans().size(), 2u);
  EXPECT_EQ(s.spans()[0], (Span{"d", Style{.bold = true}}));
  EXPECT_EQ(s.spans()[1], (Span{"e", Style{}}));
  EXPECT_EQ(t.stylize(Style{.red = true}).spans()[1].style, (Style{.red = true}));
}

TEST(WrapText, BreaksAtSpacesAndKeepsStyles) {
  struct Case {
    std::string text;
    int width;
    Justify justify;
    Overflow overflow;
    V lines;
  };
  const Case cases[] = {
      {"the quick brown fox", 10, Justify::kDefault, Overflow::kFold, {"the quick ", "brown fox"}},
      {"the quick brown fox", 9, Justify::kDefault, Overflow::kFold, {"the quick", "brown fox"}},
      {"the quick brown fox", 30, Justify::kDefault, Overflow::kFold, {"the quick brown fox"}},
      {"abcdefghij xy", 4, Justify::kDefault, Overflow::kFold, {"abcd", "efgh", "ij ", "xy"}},
      {"abcdefghij xy", 4, Justify::kDefault, Overflow::kEllipsis, {"abc…", "xy"}},
      {"abcdefghij xy", 4, Justify::kDefault, Overflow::kCrop, {"abcd", "xy"}},
      {"ab\n\ncd", 5, Justify::kDefault, Overflow::kFold, {"ab", "", "cd"}},
      {"ab", 5, Justify::kRight, Overflow::kFold, {"   ab"}},
      {"ab", 5, Justify::kLeft, Overflow::kFold, {"ab   "}},
      {"ab", 5, Justify::kCenter, Overflow::kFold, {" ab  "}},
      {"Estimate", 5, Justify::kRight, Overflow::kEllipsis, {"Esti…"}},
      {"", 5, Justify::kDefault, Overflow::kFold, {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " @" + std::to_string(c.width));
    EXPECT_EQ(plain(wrap_text(Text(c.text), c.width, c.justify, c.overflow)), c.lines);
  }
  Text styled("Sigma: ", Style{.italic = true});
  styled.append("0.5000");
  const Lines lines = wrap_text(styled, 7);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].spans(), (std::vector<Span>{{"Sigma: ", Style{.italic = true}}}));
  EXPECT_EQ(lines[1].spans(), (std::vector<Span>{{"0.5000", Style{}}}));
}

TEST(Table, SimpleHeavyLayout) {
  auto t = table({{"Name", Justify::kLeft}, {"Value", Justify::kRight}},
                 {{"alpha", "1.5"}, {"b", "12.25"}});
  // Edge blank rows; one blank edge column either side; columns two paddings
  // and one blank divider apart; no padding at the outer edges.
  EXPECT_EQ(plain(t(80)), (V{"               ", " Name    Value ", " ━━━━━━━━━━━━━ ",
                             " alpha     1.5 ", " b       12.25 ", "               "}));
}

TEST(Table, WidestColumnsGiveWayFirst) {
  auto t = table({{"Term"}, {"Value", Justify::kRight}}, {{"a rather long term", "1.25"}},
                 {.show_edge = false});
  // Natural widths 18+1 and 5+1 need 26 cells; at 20 the first column
  // narrows to 13 and wraps.
  EXPECT_EQ(plain(t(20)), (V{"Term           Value", "━━━━━━━━━━━━━━━━━━━━", "a rather        1.25",
                             "long term           "}));
}

TEST(Table, ColumnStylesAndHeaderStyle) {
  auto t = table({{"h", Justify::kLeft, Style{.italic = true}}}, {{"x"}}, {.show_edge = false});
  const Lines lines = t(10);
  EXPECT_EQ(lines[0].spans()[0], (Span{"h", Style{.bold = true}}));
  EXPECT_EQ(lines[2].spans()[0], (Span{"x", Style{.italic = true}}));
}

TEST(Grid, NeighbouringPaddingsOverlap) {
  auto g = grid({{}, {.justify = Justify::kRight}, {}}, {{"a", "1", "xyz"}, {"bbb", "22", "z"}}, 2);
  EXPECT_EQ(plain(g(80)), (V{"a     1  xyz", "bbb  22  z  "}));
}

TEST(Panel, RoundedFrameWithCentredTitle) {
  auto p = make_panel({paragraph(Text("hello"))}, Text("T"));
  EXPECT_EQ(plain(p(12)), (V{"╭─── T ────╮", "│ hello    │", "╰──────────╯"}));
  // A title wider than the frame is cropped; no title gives a plain border.
  auto long_title = make_panel({blank_line()}, Text("a very long title"));
  EXPECT_EQ(plain(long_title(12))[0], "╭─ a very ─╮");
  auto untitled = make_panel({blank_line()}, Text());
  EXPECT_EQ(plain(untitled(6))[0], "╭────╮");
}

TEST(Output, AnsiOnlyWhenAsked) {
  Lines lines{Text("plain ")};
  lines[0].append("bold", Style{.bold = true}).append("red", Style{.bold = true, .red = true});
  lines[0].append("it", Style{.italic = true});
  EXPECT_EQ(to_ansi(lines, false), "plain boldredit\n");
  EXPECT_EQ(to_ansi(lines, true), "plain \x1b[1mbold\x1b[0m\x1b[1;31mred\x1b[0m\x1b[3mit\x1b[0m\n");
}

TEST(Output, ColourNeedsATerminalAndNoNoColor) {
  std::ostringstream os;
  EXPECT_FALSE(use_color(os));
  setenv("NO_COLOR", "1", 1);
  EXPECT_FALSE(use_color(std::cout));
  unsetenv("NO_COLOR");
}

TEST(ResolveWidth, Ranking) {
  setenv("COLUMNS", "73", 1);
  EXPECT_EQ(resolve_width(40, 50), 40);
  EXPECT_EQ(resolve_width(std::nullopt, 50), 50);
  EXPECT_EQ(resolve_width(std::nullopt, std::nullopt), 73);
  setenv("COLUMNS", "not a number", 1);
  if (!isatty(1)) {
    EXPECT_EQ(resolve_width(std::nullopt, std::nullopt), kDefaultReportWidth);
  }
  unsetenv("COLUMNS");
  if (!isatty(1)) {
    EXPECT_EQ(resolve_width(std::nullopt, std::nullopt), 100);
  }

  struct Widths {
    std::optional<int> print_width() const { return 33; }
    static std::optional<int> default_print_width() { return std::nullopt; }
  };
  EXPECT_EQ(resolve_width(Widths{}), 33);
}

}  // namespace
}  // namespace kelp
