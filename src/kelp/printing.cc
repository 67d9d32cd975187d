#include "kelp/printing.h"

#include <unistd.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <numeric>
#include <utility>

namespace kelp {
namespace {

// ---------------------------------------------------------------------------
// Characters and cells

// Decodes the UTF-8 character at `i` and advances `i` past it. Malformed
// bytes are taken one at a time as U+FFFD.
char32_t next_char(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  int len = 1;
  char32_t cp = 0xFFFD;
  if (b0 < 0x80) {
    cp = b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    len = 2;
    cp = b0 & 0x1Fu;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3;
    cp = b0 & 0x0Fu;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4;
    cp = b0 & 0x07u;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (i + static_cast<std::size_t>(len) > s.size()) {
    ++i;
    return 0xFFFD;
  }
  for (int k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return 0xFFFD;
    }
    cp = (cp << 6) | (b & 0x3Fu);
  }
  i += static_cast<std::size_t>(len);
  return cp;
}

int char_cells(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return 0;
  if ((cp >= 0x0300 && cp <= 0x036F) || (cp >= 0x200B && cp <= 0x200F) ||
      (cp >= 0xFE00 && cp <= 0xFE0F)) {
    return 0;
  }
  const bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0x303E) ||
                    (cp >= 0x3041 && cp <= 0x33FF) || (cp >= 0x3400 && cp <= 0x4DBF) ||
                    (cp >= 0x4E00 && cp <= 0x9FFF) || (cp >= 0xA000 && cp <= 0xA4CF) ||
                    (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
                    (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                    (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1F64F) ||
                    (cp >= 0x1F900 && cp <= 0x1F9FF) || (cp >= 0x20000 && cp <= 0x3FFFD);
  return wide ? 2 : 1;
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

int to_int(std::size_t n) { return static_cast<int>(n); }
std::size_t to_size(int n) { return n > 0 ? static_cast<std::size_t>(n) : 0; }

// ---------------------------------------------------------------------------
// Line operations (lines are Text without newlines)

// Byte length of the longest prefix of `s` that fits in `cells` cells, and
// the cells it takes.
std::pair<std::size_t, int> prefix_fitting(std::string_view s, int cells) {
  std::size_t i = 0;
  int used = 0;
  while (i < s.size()) {
    std::size_t next = i;
    const int w = char_cells(next_char(s, next));
    if (used + w > cells) break;
    used += w;
    i = next;
  }
  return {i, used};
}

// The line cropped to `cells` cells; a wide character cut in half becomes a
// space.
Text crop_cells(const Text& line, int cells) {
  const std::string plain = line.plain();
  auto [bytes, used] = prefix_fitting(plain, std::max(cells, 0));
  Text out = line.slice(0, bytes);
  if (used < cells && bytes < plain.size()) out.append(std::string(to_size(cells - used), ' '));
  return out;
}

Text pad_right(Text line, int n) {
  if (n > 0) line.append(std::string(to_size(n), ' '));
  return line;
}

Text pad_left(const Text& line, int n) {
  if (n <= 0) return line;
  Text out(std::string(to_size(n), ' '));
  out.append_text(line);
  return out;
}

std::size_t trailing_space_bytes(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && is_space(s[s.size() - 1 - n])) ++n;
  return n;
}

Text rstrip(const Text& line) {
  const std::string plain = line.plain();
  return line.slice(0, plain.size() - trailing_space_bytes(plain));
}

// Removes trailing whitespace that lies beyond `width` cells.
Text rstrip_end(const Text& line, int width) {
  const std::string plain = line.plain();
  const int length = to_int(cell_len(plain));
  if (length <= width) return line;
  const auto spaces = trailing_space_bytes(plain);
  const auto crop = std::min(spaces, to_size(length - width));
  return line.slice(0, plain.size() - crop);
}

Text truncate(const Text& line, int width, Overflow overflow) {
  if (to_int(line.cell_len()) <= width) return line;
  if (overflow == Overflow::kEllipsis && width >= 1) {
    Text out = crop_cells(line, width - 1);
    const auto& spans = line.spans();
    out.append("…", spans.empty() ? Style{} : spans.back().style);
    return out;
  }
  return crop_cells(line, width);
}

// Break offsets for one line of text wrapped at `width` cells: words (runs
// of non-space with their trailing spaces) move to the next line when they
// do not fit; a word wider than a whole line is folded (`fold`) or left to be
// cropped.
std::vector<std::size_t> divide_line(std::string_view text, int width, bool fold) {
  std::vector<std::size_t> breaks;
  int offset = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = pos;
    std::size_t i = pos;
    while (i < text.size() && is_space(text[i])) ++i;
    if (i == text.size()) break;  // only spaces left: no further word
    while (i < text.size() && !is_space(text[i])) ++i;
    const std::size_t stripped_end = i;
    while (i < text.size() && is_space(text[i])) ++i;
    pos = i;
    const std::string_view word = text.substr(start, pos - start);
    const int word_len = to_int(cell_len(text.substr(start, stripped_end - start)));
    if (width - offset >= word_len) {
      offset += to_int(cell_len(word));
    } else if (word_len > width) {
      if (fold) {
        // Chop the word into pieces of at most `width` cells.
        std::size_t piece_start = start;
        std::size_t j = 0;
        int piece_cells = 0;
        while (j < word.size()) {
          std::size_t next = j;
          const int w = char_cells(next_char(word, next));
          if (piece_cells + w > width && piece_cells > 0) {
            if (piece_start) breaks.push_back(piece_start);
            piece_start = start + j;
            piece_cells = 0;
          }
          piece_cells += w;
          j = next;
        }
        if (piece_start) breaks.push_back(piece_start);
        offset = piece_cells;
      } else {
        if (start) breaks.push_back(start);
        offset = to_int(cell_len(word));
      }
    } else if (offset && start) {
      breaks.push_back(start);
      offset = to_int(cell_len(word));
    }
  }
  return breaks;
}

void justify_lines(Lines& lines, int width, Justify justify, Overflow overflow) {
  for (auto& line : lines) {
    switch (justify) {
      case Justify::kDefault:
        break;
      case Justify::kLeft: {
        line = truncate(line, width, overflow);
        line = pad_right(std::move(line), width - to_int(line.cell_len()));
        break;
      }
      case Justify::kRight: {
        line = truncate(rstrip(line), width, overflow);
        line = pad_left(line, width - to_int(line.cell_len()));
        break;
      }
      case Justify::kCenter: {
        line = truncate(rstrip(line), width, overflow);
        const int excess = width - to_int(line.cell_len());
        line = pad_left(line, excess / 2);
        line = pad_right(std::move(line), width - to_int(line.cell_len()));
        break;
      }
    }
  }
}

// Exactly `width` cells: cropped or padded with spaces.
Text fit_width(const Text& line, int width) {
  const int n = to_int(line.cell_len());
  if (n > width) return crop_cells(line, width);
  return pad_right(line, width - n);
}

std::vector<Text> split_newlines(const Text& text) {
  std::vector<Text> out;
  const std::string plain = text.plain();
  std::size_t begin = 0;
  while (true) {
    const auto nl = plain.find('\n', begin);
    if (nl == std::string::npos) {
      out.push_back(text.slice(begin, plain.size()));
      break;
    }
    out.push_back(text.slice(begin, nl));
    begin = nl + 1;
  }
  return out;
}

// ---------------------------------------------------------------------------
// Tables

struct Measure {
  int min = 0;
  int max = 0;
};

Measure measure_text(const Text& text) {
  const std::string plain = text.plain();
  int longest_line = 0;
  for (const auto& line : split_newlines(Text(plain))) {
    longest_line = std::max(longest_line, to_int(line.cell_len()));
  }
  int longest_word = -1;
  std::size_t i = 0;
  while (i < plain.size()) {
    while (i < plain.size() && is_space(plain[i])) ++i;
    const std::size_t start = i;
    while (i < plain.size() && !is_space(plain[i])) ++i;
    if (i > start) {
      longest_word = std::max(longest_word, to_int(cell_len(plain.substr(start, i - start))));
    }
  }
  return {longest_word < 0 ? longest_line : longest_word, longest_line};
}

// Python's round(): halves to even.
int round_half_even(double x) { return static_cast<int>(std::nearbyint(x)); }

// Takes `total` cells away from `values` in proportion to `ratios`, no more
// than `maximums[i]` from entry i.
std::vector<int> ratio_reduce(int total, std::vector<int> ratios, const std::vector<int>& maximums,
                              const std::vector<int>& values) {
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    if (!maximums[i]) ratios[i] = 0;
  }
  int total_ratio = std::accumulate(ratios.begin(), ratios.end(), 0);
  if (!total_ratio) return values;
  int remaining = total;
  std::vector<int> result;
  result.reserve(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (ratios[i] && total_ratio > 0) {
      const int distributed =
          std::min(maximums[i], round_half_even(static_cast<double>(ratios[i]) * remaining /
                                                static_cast<double>(total_ratio)));
      result.push_back(values[i] - distributed);
      remaining -= distributed;
      total_ratio -= ratios[i];
    } else {
      result.push_back(values[i]);
    }
  }
  return result;
}

// Narrows the widest columns first until the total fits `max_width`.
std::vector<int> collapse_widths(std::vector<int> widths, int max_width) {
  int total = std::accumulate(widths.begin(), widths.end(), 0);
  int excess = total - max_width;
  while (total && excess > 0) {
    const int max_column = *std::max_element(widths.begin(), widths.end());
    int second_max = 0;
    for (int w : widths) {
      if (w != max_column) second_max = std::max(second_max, w);
    }
    const int difference = max_column - second_max;
    std::vector<int> ratios;
    for (int w : widths) ratios.push_back(w == max_column ? 1 : 0);
    if (!difference) break;
    std::vector<int> max_reduce(widths.size(), std::min(excess, difference));
    widths = ratio_reduce(excess, ratios, max_reduce, widths);
    total = std::accumulate(widths.begin(), widths.end(), 0);
    excess = total - max_width;
  }
  return widths;
}

struct TableModel {
  std::vector<TableColumn> columns;
  std::vector<std::vector<Text>> rows;  // body rows, already styled
  TableOptions options;

  std::size_t n() const { return columns.size(); }
  bool has_box() const { return options.box != TableBox::kNone; }

  int extra_width() const {
    int extra = 0;
    if (has_box() && options.show_edge) extra += 2;
    if (has_box()) extra += to_int(n()) - 1;
    return extra;
  }

  std::pair<int, int> padding(std::size_t column) const {
    int left = options.padding;
    int right = options.padding;
    if (options.collapse_padding && column > 0) left = std::max(0, left - right);
    if (!options.pad_edge) {
      if (column == 0) left = 0;
      if (column + 1 == n()) right = 0;
    }
    return {left, right};
  }

  // Every cell of a column, header first when shown.
  std::vector<Text> cells(std::size_t column) const {
    std::vector<Text> out;
    if (options.show_header) out.push_back(header_cell(column));
    for (const auto& row : rows) out.push_back(column < row.size() ? row[column] : Text());
    return out;
  }

  Text header_cell(std::size_t column) const {
    Text h = columns[column].header;
    return h.stylize(options.header_style);
  }

  Measure measure_column(std::size_t column, int max_width) const {
    if (max_width < 1) return {0, 0};
    const auto [left, right] = padding(column);
    const int extra = left + right;
    int lo = 0;
    int hi = 0;
    bool any = false;
    for (const auto& cell : cells(column)) {
      Measure m;
      if (max_width - extra < 1) {
        m = {max_width, max_width};
      } else {
        m = measure_text(cell);
        m = {std::min(m.min + extra, max_width), std::min(m.max + extra, max_width)};
      }
      // Normalised: 0 <= min <= max; a zero maximum measures nothing.
      m.min = std::min(std::max(0, m.min), m.max);
      if (m.max < 1) m = {0, 0};
      lo = any ? std::max(lo, m.min) : m.min;
      hi = any ? std::max(hi, m.max) : m.max;
      any = true;
    }
    if (!any) return {1, max_width};
    return {std::min(lo, max_width), std::min(hi, max_width)};
  }

  std::vector<int> column_widths(int max_width) const {
    std::vector<int> widths;
    for (std::size_t c = 0; c < n(); ++c) {
      const int w = measure_column(c, max_width).max;
      widths.push_back(w ? w : 1);
    }
    int table_width = std::accumulate(widths.begin(), widths.end(), 0);
    if (table_width > max_width) {
      widths = collapse_widths(widths, max_width);
      table_width = std::accumulate(widths.begin(), widths.end(), 0);
      if (table_width > max_width) {
        widths = ratio_reduce(table_width - max_width, std::vector<int>(n(), 1), widths, widths);
      }
      for (std::size_t c = 0; c < n(); ++c) widths[c] = measure_column(c, widths[c]).max;
    }
    return widths;
  }

  // The lines of one cell at its column width, each exactly `width` cells.
  Lines render_cell(const Text& cell, std::size_t column, int width) const {
    const auto [left, right] = padding(column);
    const int inner = width - left - right;
    Lines inner_lines;
    if (inner >= 1) {
      inner_lines = wrap_text(cell, inner, columns[column].justify, Overflow::kEllipsis);
    } else {
      inner_lines.emplace_back();
    }
    Lines out;
    for (const auto& line : inner_lines) {
      Text l = pad_left(fit_width(line, std::max(inner, 0)), left);
      out.push_back(fit_width(pad_right(std::move(l), right), width));
    }
    return out;
  }

  Lines render(int max_width) const {
    Lines out;
    if (n() == 0) return out;
    const std::vector<int> widths = column_widths(max_width - extra_width());
    const int inner_width = std::accumulate(widths.begin(), widths.end(), 0) + to_int(n()) - 1;
    const bool edge = has_box() && options.show_edge;
    const int full_width = inner_width + (edge ? 2 : 0);
    if (edge) out.emplace_back(std::string(to_size(full_width), ' '));

    auto emit_row = [&](const std::vector<Text>& row_cells) {
      std::vector<Lines> rendered;
      std::size_t height = 1;
      for (std::size_t c = 0; c < n(); ++c) {
        rendered.push_back(render_cell(row_cells[c], c, widths[c]));
        height = std::max(height, rendered.back().size());
      }
      for (std::size_t r = 0; r < height; ++r) {
        Text line;
        if (edge) line.append(" ");
        for (std::size_t c = 0; c < n(); ++c) {
          if (r < rendered[c].size()) {
            line.append_text(rendered[c][r]);
          } else {
            line.append(std::string(to_size(widths[c]), ' '));
          }
          if (has_box() && c + 1 < n()) line.append(" ");
        }
        if (edge) line.append(" ");
        out.push_back(std::move(line));
      }
    };

    if (options.show_header) {
      std::vector<Text> header;
      for (std::size_t c = 0; c < n(); ++c) header.push_back(header_cell(c));
      emit_row(header);
      if (options.box == TableBox::kSimpleHeavy) {
        std::string rule = edge ? " " : "";
        for (int k = 0; k < inner_width; ++k) rule += "━";
        if (edge) rule += " ";
        out.emplace_back(std::move(rule));
      }
    }
    for (const auto& row : rows) emit_row(row);
    if (edge) out.emplace_back(std::string(to_size(full_width), ' '));
    // A table never draws beyond the width it was given.
    for (auto& line : out) {
      if (to_int(line.cell_len()) > max_width) line = crop_cells(line, std::max(max_width, 0));
    }
    return out;
  }
};

const char* sgr(Style s) {
  if (s.bold && s.italic && s.red) return "\x1b[1;3;31m";
  if (s.bold && s.italic) return "\x1b[1;3m";
  if (s.bold && s.red) return "\x1b[1;31m";
  if (s.italic && s.red) return "\x1b[3;31m";
  if (s.bold) return "\x1b[1m";
  if (s.italic) return "\x1b[3m";
  return "\x1b[31m";
}

}  // namespace

// ---------------------------------------------------------------------------
// Text

std::size_t cell_len(std::string_view utf8) {
  std::size_t cells = 0;
  std::size_t i = 0;
  while (i < utf8.size()) cells += to_size(char_cells(next_char(utf8, i)));
  return cells;
}

Text::Text(std::string text, Style style) { append(text, style); }
Text::Text(const char* text, Style style) { append(text, style); }

Text& Text::append(std::string_view text, Style style) {
  if (text.empty()) return *this;
  if (!spans_.empty() && spans_.back().style == style) {
    spans_.back().text.append(text);
  } else {
    spans_.push_back({std::string(text), style});
  }
  return *this;
}

Text& Text::append_text(const Text& other) {
  for (const auto& span : other.spans_) append(span.text, span.style);
  return *this;
}

Text& Text::stylize(Style style) {
  Text out;
  for (const auto& span : spans_) out.append(span.text, span.style + style);
  *this = std::move(out);
  return *this;
}

std::string Text::plain() const {
  std::string out;
  for (const auto& span : spans_) out += span.text;
  return out;
}

std::size_t Text::cell_len() const {
  std::size_t n = 0;
  for (const auto& span : spans_) n += kelp::cell_len(span.text);
  return n;
}

Text Text::slice(std::size_t begin, std::size_t end) const {
  Text out;
  std::size_t pos = 0;
  for (const auto& span : spans_) {
    const std::size_t s0 = pos;
    const std::size_t s1 = pos + span.text.size();
    pos = s1;
    const std::size_t a = std::max(begin, s0);
    const std::size_t b = std::min(end, s1);
    if (a < b) out.append(std::string_view(span.text).substr(a - s0, b - a), span.style);
  }
  return out;
}

// ---------------------------------------------------------------------------
// Layout

Lines wrap_text(const Text& text, int width, Justify justify, Overflow overflow) {
  Lines lines;
  for (const auto& line : split_newlines(text)) {
    if (width < 1) {
      lines.emplace_back();
      continue;
    }
    const std::string plain = line.plain();
    const auto breaks = divide_line(plain, width, overflow == Overflow::kFold);
    Lines pieces;
    std::size_t begin = 0;
    for (std::size_t b : breaks) {
      pieces.push_back(line.slice(begin, b));
      begin = b;
    }
    pieces.push_back(line.slice(begin, plain.size()));
    for (auto& piece : pieces) piece = rstrip_end(piece, width);
    justify_lines(pieces, width, justify, overflow);
    for (auto& piece : pieces) {
      piece = truncate(piece, width, overflow);
      lines.push_back(std::move(piece));
    }
  }
  return lines;
}

Renderable paragraph(Text text, Justify justify) {
  return [text = std::move(text), justify](int width) {
    return wrap_text(text, width, justify, Overflow::kFold);
  };
}

Renderable blank_line() {
  return [](int) { return Lines{Text()}; };
}

Renderable group(std::vector<Renderable> items) {
  return [items = std::move(items)](int width) {
    Lines out;
    for (const auto& item : items) {
      Lines part = item(width);
      out.insert(out.end(), std::make_move_iterator(part.begin()),
                 std::make_move_iterator(part.end()));
    }
    return out;
  };
}

Renderable table(std::vector<TableColumn> columns, std::vector<std::vector<Text>> rows,
                 TableOptions options) {
  TableModel model{std::move(columns), {}, options};
  for (auto& row : rows) {
    row.resize(model.n());
    for (std::size_t c = 0; c < model.n(); ++c) row[c].stylize(model.columns[c].style);
    model.rows.push_back(std::move(row));
  }
  return [model = std::move(model)](int width) { return model.render(width); };
}

Renderable grid(std::vector<TableColumn> columns, std::vector<std::vector<Text>> rows,
                int padding) {
  return table(std::move(columns), std::move(rows),
               {.box = TableBox::kNone,
                .show_header = false,
                .show_edge = false,
                .pad_edge = false,
                .padding = padding,
                .collapse_padding = true});
}

Renderable make_panel(std::vector<Renderable> content, Text title, std::string_view /*kind*/) {
  Text label;
  if (!title.empty()) {
    // One line: newlines in a title become spaces.
    for (const auto& span : title.spans()) {
      std::string t = span.text;
      std::replace(t.begin(), t.end(), '\n', ' ');
      label.append(t, span.style);
    }
    label = pad_right(pad_left(label, 1), 1);
  }
  Renderable body = group(std::move(content));
  return [body = std::move(body), label = std::move(label)](int width) {
    Lines out;
    const int inner = std::max(width - 4, 0);
    const int rule = std::max(width - 2, 0);
    auto dashes = [](int k) {
      std::string s;
      for (int i = 0; i < k; ++i) s += "─";
      return s;
    };
    if (label.empty() || width <= 4) {
      out.emplace_back("╭" + dashes(rule) + "╮");
    } else {
      Text shown = crop_cells(label, inner);
      const int excess = inner - to_int(shown.cell_len());
      const int left = excess / 2;
      Text top("╭─" + dashes(left));
      top.append_text(shown);
      top.append(dashes(excess - left) + "─╮");
      out.push_back(std::move(top));
    }
    for (const auto& line : body(inner)) {
      Text l("│ ");
      l.append_text(fit_width(line, inner));
      l.append(" │");
      out.push_back(std::move(l));
    }
    out.emplace_back("╰" + dashes(rule) + "╯");
    return out;
  };
}

// ---------------------------------------------------------------------------
// Output

std::string to_ansi(const Lines& lines, bool color) {
  std::string out;
  for (const auto& line : lines) {
    for (const auto& span : line.spans()) {
      if (color && !span.style.empty()) {
        out += sgr(span.style);
        out += span.text;
        out += "\x1b[0m";
      } else {
        out += span.text;
      }
    }
    out += '\n';
  }
  return out;
}

std::string render_rich_to_str(const Renderable& renderable, int width, bool color) {
  return to_ansi(renderable(std::max(width, 1)), color);
}

bool use_color(const std::ostream& os) {
  const char* no_color = std::getenv("NO_COLOR");
  if (no_color != nullptr && *no_color != '\0') return false;
  const char* term = std::getenv("TERM");
  if (term != nullptr && std::string_view(term) == "dumb") return false;
  const auto* buf = os.rdbuf();
  if (buf == nullptr) return false;
  if (buf == std::cout.rdbuf()) return isatty(STDOUT_FILENO) != 0;
  if (buf == std::cerr.rdbuf() || buf == std::clog.rdbuf()) return isatty(STDERR_FILENO) != 0;
  return false;
}

std::optional<int> terminal_width() {
  if (const char* columns = std::getenv("COLUMNS"); columns != nullptr) {
    const std::string_view text(columns);
    int value = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec == std::errc() && ptr == text.data() + text.size() && value > 0) return value;
  }
  if (isatty(STDOUT_FILENO)) {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  }
  return std::nullopt;
}

int resolve_width(std::optional<int> own, std::optional<int> type_default) {
  if (own) return *own;
  if (type_default) return *type_default;
  return terminal_width().value_or(kDefaultReportWidth);
}

}  // namespace kelp
