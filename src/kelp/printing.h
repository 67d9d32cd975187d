// Report printing: styled text, a small layout toolkit (wrapped paragraphs,
// vertical groups, tables, a framed panel) and the width and colour choices
// of console reports.
//
// A Renderable turns a width (in terminal cells) into styled lines, each at
// most that wide. Reports are built from paragraphs, tables and groups and
// framed by make_panel; render_rich_to_str turns them into text, with ANSI
// styles only when asked for.
//
//   kelp::Text title("Survey: ");
//   title.append("Mean income", kelp::Style{.bold = true});
//   auto body = kelp::group({kelp::paragraph(kelp::Text("n = 120")), kelp::blank_line()});
//   auto panel = kelp::make_panel({body}, title, "estimate");
//   std::cout << kelp::render_rich_to_str(panel, kelp::resolve_width(std::nullopt, std::nullopt),
//                                         kelp::use_color(std::cout));
//
// The layout follows the conventions of the Rich console library, so reports
// look the same as those of the Python tools: text wraps at spaces, tables
// shrink their widest columns first when the width is short, panels fill the
// width with a rounded frame and the title centred in the top border.
#pragma once

#include <concepts>
#include <cstddef>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelp {

// ---------------------------------------------------------------------------
// Styled text

struct Style {
  bool bold = false;
  bool italic = false;
  bool red = false;

  bool empty() const noexcept { return !bold && !italic && !red; }
  // Union of the two styles (a style laid over another).
  friend Style operator+(Style a, Style b) noexcept {
    return {a.bold || b.bold, a.italic || b.italic, a.red || b.red};
  }
  friend bool operator==(Style, Style) = default;
};

// One run of text (UTF-8) in one style.
struct Span {
  std::string text;
  Style style;
  friend bool operator==(const Span&, const Span&) = default;
};

// Display width of UTF-8 text in terminal cells: East Asian wide and
// full-width characters take two cells, combining marks and control
// characters none, everything else one.
std::size_t cell_len(std::string_view utf8);

// A sequence of styled spans.
class Text {
 public:
  Text() = default;
  Text(std::string text, Style style = {});  // NOLINT(google-explicit-constructor)
  Text(const char* text, Style style = {});  // NOLINT(google-explicit-constructor)

  Text& append(std::string_view text, Style style = {});
  Text& append_text(const Text& other);
  // Lays `style` over every span.
  Text& stylize(Style style);

  const std::vector<Span>& spans() const noexcept { return spans_; }
  std::string plain() const;
  std::size_t cell_len() const;
  bool empty() const noexcept { return spans_.empty(); }

  // Bytes [begin, end) of the plain text with their styles; offsets must lie
  // on character boundaries.
  Text slice(std::size_t begin, std::size_t end) const;

  friend bool operator==(const Text&, const Text&) = default;

 private:
  std::vector<Span> spans_;  // no empty spans; neighbours differ in style
};

// ---------------------------------------------------------------------------
// Layout

using Lines = std::vector<Text>;

// Produces the lines of a block at a width; every line is at most `width`
// cells (containers pad shorter lines).
using Renderable = std::function<Lines(int width)>;

enum class Justify { kDefault, kLeft, kRight, kCenter };
// What happens to a word wider than the line: folded onto further lines,
// cropped, or cropped with a trailing "…".
enum class Overflow { kFold, kCrop, kEllipsis };

// Wraps `text` at spaces into lines of at most `width` cells (explicit
// newlines start new lines), then justifies them: kLeft, kRight and kCenter
// pad every line to the width; kDefault leaves lines as wrapped.
Lines wrap_text(const Text& text, int width, Justify justify = Justify::kDefault,
                Overflow overflow = Overflow::kFold);

// A paragraph of text wrapped to the width.
Renderable paragraph(Text text, Justify justify = Justify::kDefault);
// One empty line.
Renderable blank_line();
// The items one below the other, each at the full width.
Renderable group(std::vector<Renderable> items);

struct TableColumn {
  Text header{};
  Justify justify = Justify::kLeft;
  Style style{};  // laid over every body cell of the column
};

enum class TableBox {
  kNone,         // no frame, no rules, no dividers
  kSimpleHeavy,  // a heavy rule (━) under the header; blank edges and dividers
};

struct TableOptions {
  TableBox box = TableBox::kSimpleHeavy;
  bool show_header = true;
  Style header_style{.bold = true};
  bool show_edge = true;          // blank edge rows and edge columns around the table
  bool pad_edge = false;          // cell padding also at the table's outer edges
  int padding = 1;                // spaces left and right of each cell
  bool collapse_padding = false;  // neighbouring paddings overlap instead of adding
};

// A table as wide as its contents. When the width is too short, the widest
// columns give way first (their cells wrap, and words that still do not fit
// end in "…"), then all columns evenly.
Renderable table(std::vector<TableColumn> columns, std::vector<std::vector<Text>> rows,
                 TableOptions options = {});
// A table without frame or header whose columns are separated by `padding`
// spaces (paddings of neighbouring cells overlap) and not padded at the edges.
Renderable grid(std::vector<TableColumn> columns, std::vector<std::vector<Text>> rows, int padding);

// A rounded frame (╭─╮ │ │ ╰─╯) filling the width, the title centred in the
// top border with one space either side, the content one space in from the
// sides. `kind` names the family of report ("estimate", ...), recorded for
// callers that style panels by family; it does not change the layout.
Renderable make_panel(std::vector<Renderable> content, Text title,
                      std::string_view kind = "estimate");

// ---------------------------------------------------------------------------
// Output

// The lines as text, each ending in '\n'. With `color`, styled spans are
// wrapped in ANSI SGR sequences (bold 1, italic 3, red 31; reset 0).
std::string to_ansi(const Lines& lines, bool color);
// Renders `renderable` at `width` (at least 1) and returns the text.
std::string render_rich_to_str(const Renderable& renderable, int width, bool color = false);

// True when styled output suits `os`: it is std::cout or std::cerr/std::clog
// writing to a terminal, NO_COLOR is unset or empty and TERM is not "dumb".
bool use_color(const std::ostream& os);

// The terminal's width: COLUMNS when it holds a positive integer, else the
// width of standard output when that is a terminal; std::nullopt otherwise.
std::optional<int> terminal_width();

inline constexpr int kDefaultReportWidth = 100;

// Report width: the object's own width, else the type-wide default, else the
// terminal's width, else kDefaultReportWidth.
int resolve_width(std::optional<int> own, std::optional<int> type_default);

// Objects that carry their own report width and a type-wide default.
template <class T>
concept HasPrintWidth = requires(const T& obj) {
  { obj.print_width() } -> std::convertible_to<std::optional<int>>;
  { T::default_print_width() } -> std::convertible_to<std::optional<int>>;
};

template <HasPrintWidth T>
int resolve_width(const T& obj) {
  return resolve_width(obj.print_width(), T::default_print_width());
}

}  // namespace kelp
