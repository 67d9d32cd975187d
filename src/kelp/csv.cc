// CSV reading and writing for kelp::Table (RFC 4180 with type inference).
#include <fmt/format.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unordered_set>

#include "kelp/table.h"

namespace kelp {
namespace {

// Raw fields of one column as read: the text and whether it was quoted.
struct RawColumn {
  std::vector<std::string> text;
  std::vector<char> quoted;
};

class CsvParser {
 public:
  CsvParser(std::string_view text, const std::string& source) : s_(text), source_(source) {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;  // UTF-8 byte order mark
  }

  Table parse() {
    if (pos_ >= s_.size()) throw CsvError(fmt::format("{}: missing header row", source_));
    std::vector<std::string> header;
    std::vector<char> header_quoted;
    read_record(header, header_quoted);
    std::unordered_set<std::string> seen;
    for (const std::string& name : header) {
      if (!seen.insert(name).second) {
        throw CsvError(fmt::format("{}: line 1: duplicate column name '{}'", source_, name));
      }
    }
    names_ = &header;
    const std::size_t ncols = header.size();
    std::vector<RawColumn> cols(ncols);
    std::vector<std::string> fields;
    std::vector<char> quoted;
    while (pos_ < s_.size()) {
      // A blank line holds no record, except in a one-column file, where it
      // is a record with an empty (null) field.
      if (ncols > 1 && (s_[pos_] == '\n' || s_[pos_] == '\r')) {
        skip_line_end();
        continue;
      }
      const std::size_t record_line = line_;
      read_record(fields, quoted);
      if (fields.size() != ncols) {
        throw CsvError(fmt::format("{}: line {}: expected {} fields, found {}", source_,
                                   record_line, ncols, fields.size()));
      }
      for (std::size_t j = 0; j < ncols; ++j) {
        cols[j].text.push_back(std::move(fields[j]));
        cols[j].quoted.push_back(quoted[j]);
      }
    }
    std::vector<std::pair<std::string, Column>> out;
    out.reserve(ncols);
    for (std::size_t j = 0; j < ncols; ++j) out.emplace_back(header[j], infer_column(cols[j]));
    return Table(std::move(out));
  }

 private:
  std::string column_label(std::size_t j) const {
    if (names_ != nullptr && j < names_->size()) return fmt::format("column '{}'", (*names_)[j]);
    return fmt::format("column {}", j + 1);
  }

  void skip_line_end() {
    if (s_[pos_] == '\r' && pos_ + 1 < s_.size() && s_[pos_ + 1] == '\n') ++pos_;
    ++pos_;
    ++line_;
  }

  // Reads one record starting at pos_, leaving pos_ after its line end.
  void read_record(std::vector<std::string>& fields, std::vector<char>& quoted) {
    fields.clear();
    quoted.clear();
    for (;;) {
      std::string field;
      bool is_quoted = false;
      if (pos_ < s_.size() && s_[pos_] == '"') {
        is_quoted = true;
        const std::size_t start_line = line_;
        ++pos_;
        for (;;) {
          if (pos_ >= s_.size()) {
            throw CsvError(fmt::format("{}: line {}, {}: unterminated quoted field", source_,
                                       start_line, column_label(fields.size())));
          }
          const char c = s_[pos_];
          if (c == '"') {
            if (pos_ + 1 < s_.size() && s_[pos_ + 1] == '"') {
              field += '"';
              pos_ += 2;
              continue;
            }
            ++pos_;
            break;
          }
          if (c == '\n' || (c == '\r' && (pos_ + 1 >= s_.size() || s_[pos_ + 1] != '\n'))) {
            ++line_;
          }
          field += c;
          ++pos_;
        }
        if (pos_ < s_.size() && s_[pos_] != ',' && s_[pos_] != '\n' && s_[pos_] != '\r') {
          throw CsvError(fmt::format("{}: line {}, {}: unexpected character after closing quote",
                                     source_, line_, column_label(fields.size())));
        }
      } else {
        const std::size_t end = s_.find_first_of(",\r\n", pos_);
        const std::size_t stop = end == std::string_view::npos ? s_.size() : end;
        field.assign(s_.substr(pos_, stop - pos_));
        pos_ = stop;
      }
      fields.push_back(std::move(field));
      quoted.push_back(is_quoted ? 1 : 0);
      if (pos_ >= s_.size()) return;
      if (s_[pos_] == ',') {
        ++pos_;
        continue;
      }
      skip_line_end();
      return;
    }
  }

  std::string_view s_;
  const std::string& source_;
  std::size_t pos_ = 0;
  std::size_t line_ = 1;
  const std::vector<std::string>* names_ = nullptr;

  static Column infer_column(const RawColumn& raw);
};

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t");
  return s.substr(first, last - first + 1);
}

bool parse_int(std::string_view s, std::int64_t& out) {
  s = trim(s);
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s[0] == '-') return false;
  }
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && ptr == s.data() + s.size();
}

bool parse_double(std::string_view s, double& out) {
  s = trim(s);
  if (!s.empty() && s[0] == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s[0] == '-') return false;
  }
  if (s.empty()) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  // Out-of-range literals (1e999) read as +-inf, tiny ones as 0 as strtod does.
  if (ec == std::errc::result_out_of_range && ptr == s.data() + s.size()) {
    std::string copy(s);
    out = std::strtod(copy.c_str(), nullptr);
    return true;
  }
  return ec == std::errc() && ptr == s.data() + s.size();
}

// Null: an unquoted empty field or NA. A quoted empty field is an empty text
// in a text column and a null in a number column.
Column CsvParser::infer_column(const RawColumn& raw) {
  const std::size_t n = raw.text.size();
  std::vector<bool> valid(n, true);
  bool any_candidate = false;
  bool any_quoted_empty = false;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string& t = raw.text[i];
    if (raw.quoted[i]) {
      if (t.empty())
        any_quoted_empty = true;
      else
        any_candidate = true;
    } else if (t.empty() || t == "NA") {
      valid[i] = false;
    } else {
      any_candidate = true;
    }
  }
  auto numeric_null = [&](std::size_t i) {
    return !valid[i] || (raw.quoted[i] && raw.text[i].empty());
  };

  if (any_candidate || !any_quoted_empty) {
    std::vector<std::int64_t> ints(n, 0);
    bool ok = true;
    for (std::size_t i = 0; i < n && ok; ++i) {
      if (!numeric_null(i)) ok = parse_int(raw.text[i], ints[i]);
    }
    // A column without any value (all null, or no rows) is a float column.
    if (ok && any_candidate) {
      std::vector<bool> v(n);
      for (std::size_t i = 0; i < n; ++i) v[i] = !numeric_null(i);
      return Column(std::move(ints), std::move(v));
    }
    std::vector<double> floats(n, 0.0);
    ok = true;
    for (std::size_t i = 0; i < n && ok; ++i) {
      if (!numeric_null(i)) ok = parse_double(raw.text[i], floats[i]);
    }
    if (ok) {
      std::vector<bool> v(n);
      for (std::size_t i = 0; i < n; ++i) v[i] = !numeric_null(i);
      return Column(std::move(floats), std::move(v));
    }
  }
  std::vector<std::string> texts(raw.text.begin(), raw.text.end());
  for (std::size_t i = 0; i < n; ++i) {
    if (!valid[i]) texts[i].clear();
  }
  return Column(std::move(texts), std::move(valid));
}

// Texts that would read back differently unquoted: empty (null), NA (null),
// or holding a separator, quote or line break.
void append_text_field(std::string& out, std::string_view text) {
  const bool needs_quotes =
      text.empty() || text == "NA" || text.find_first_of(",\"\r\n") != std::string_view::npos;
  if (!needs_quotes) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

}  // namespace

Table read_csv_string(std::string_view text, const std::string& source_name) {
  return CsvParser(text, source_name).parse();
}

Table read_csv(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error(
        fmt::format("cannot read CSV file '{}': {}", path, std::strerror(errno)));
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (in.bad()) throw std::runtime_error(fmt::format("cannot read CSV file '{}'", path));
  return read_csv_string(buffer.str(), path);
}

std::string to_csv_string(const Table& table) {
  std::string out;
  const auto& names = table.column_names();
  if (names.empty()) return out;
  for (std::size_t j = 0; j < names.size(); ++j) {
    if (j > 0) out += ',';
    append_text_field(out, names[j]);
  }
  out += '\n';
  std::vector<const Column*> cols;
  for (std::size_t j = 0; j < names.size(); ++j) cols.push_back(&table.column(j));
  for (std::size_t i = 0; i < table.num_rows(); ++i) {
    for (std::size_t j = 0; j < cols.size(); ++j) {
      if (j > 0) out += ',';
      const Column& c = *cols[j];
      if (c.is_null(i)) continue;
      switch (c.type()) {
        case DataType::Float64:
          out += double_to_text(c.float_values()[i]);
          break;
        case DataType::Int64:
          out += std::to_string(c.int_values()[i]);
          break;
        case DataType::String:
          append_text_field(out, c.text_values()[i]);
          break;
      }
    }
    out += '\n';
  }
  return out;
}

void write_csv(const Table& table, const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    throw std::runtime_error(
        fmt::format("cannot write CSV file '{}': {}", path, std::strerror(errno)));
  }
  const std::string text = to_csv_string(table);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out) throw std::runtime_error(fmt::format("cannot write CSV file '{}'", path));
}

}  // namespace kelp
