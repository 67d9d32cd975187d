// CSV reading and writing for kelp::Table (RFC 4180 with type inference).
//
// The reader streams its input through a window of whole records: a record
// is first cut into field ranges, and only a complete record is typed and
// stored, so a record cut by the end of a block is simply read again once
// the next block is in. Numbers are parsed in place; text is copied only for
// text columns. A column that turns out to be text after numeric rows has
// the text of those rows read again in a second pass over the input.
#include "kelp/csv.h"
#include "kelp/errors.h"

#include <fmt/format.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <unordered_set>

namespace kelp {
namespace {

// ---------------------------------------------------------------------------
// Byte sources
// ---------------------------------------------------------------------------

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Fills `out` with up to n bytes; fewer only at the end of the input, 0 after it.
  virtual std::size_t read(char* out, std::size_t n) = 0;
  // Starts again from the first byte.
  virtual void rewind() = 0;
  // The number of bytes in the input when known in advance, else 0.
  virtual std::size_t size_hint() const { return 0; }
};

std::runtime_error read_failure(const std::string& path, int error) {
  return std::runtime_error(
      fmt::format("cannot read CSV file '{}': {}", path, std::strerror(error)));
}

class FileSource final : public ByteSource {
 public:
  explicit FileSource(const std::string& path)
      : path_(path), file_(std::fopen(path.c_str(), "rb")) {
    if (file_ == nullptr) throw read_failure(path_, errno);
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    size_ = ec ? 0 : static_cast<std::size_t>(size);
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  ~FileSource() override { std::fclose(file_); }

  std::size_t read(char* out, std::size_t n) override {
    const std::size_t got = std::fread(out, 1, n, file_);
    if (got < n && std::ferror(file_) != 0) throw read_failure(path_, errno);
    return got;
  }

  void rewind() override {
    if (std::fseek(file_, 0, SEEK_SET) != 0) throw read_failure(path_, errno);
  }

  std::size_t size_hint() const override { return size_; }

 private:
  std::string path_;
  std::FILE* file_;
  std::size_t size_ = 0;
};

// The whole input held in memory: a pipe or device cannot be read twice.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}

  std::size_t read(char* out, std::size_t n) override {
    const std::size_t got = std::min(n, bytes_.size() - pos_);
    std::memcpy(out, bytes_.data() + pos_, got);
    pos_ += got;
    return got;
  }
  void rewind() override { pos_ = 0; }

 private:
  std::string bytes_;
  std::size_t pos_ = 0;
};

// Decompresses a gzip file of one or more members (RFC 1952).
class GzipSource final : public ByteSource {
 public:
  GzipSource(std::unique_ptr<ByteSource> compressed, const std::string& path)
      : in_(std::move(compressed)), path_(path), buffer_(kBufferSize) {
    // 15 window bits, +16: gzip wrapper only.
    if (inflateInit2(&zs_, 15 + 16) != Z_OK) {
      throw std::runtime_error(
          fmt::format("cannot read CSV file '{}': zlib failed to start", path));
    }
  }
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;
  ~GzipSource() override { inflateEnd(&zs_); }

  std::size_t read(char* out, std::size_t n) override {
    n = std::min<std::size_t>(n, std::numeric_limits<uInt>::max());
    zs_.next_out = reinterpret_cast<Bytef*>(out);
    zs_.avail_out = static_cast<uInt>(n);
    while (zs_.avail_out > 0) {
      if (zs_.avail_in == 0 && !in_end_) {
        const std::size_t got = in_->read(reinterpret_cast<char*>(buffer_.data()), buffer_.size());
        zs_.next_in = buffer_.data();
        zs_.avail_in = static_cast<uInt>(got);
        in_end_ = got == 0;
      }
      if (member_end_) {
        if (zs_.avail_in == 0) break;  // the end of the last member
        if (zs_.next_in[0] != 0x1f) {
          throw CsvError(
              fmt::format("{}: unexpected data after the end of the gzip stream", path_));
        }
        inflateReset(&zs_);  // another member follows
        member_end_ = false;
      }
      if (zs_.avail_in == 0) {
        throw CsvError(fmt::format(
            "{}: truncated gzip stream (the file ends inside the compressed data)", path_));
      }
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        member_end_ = true;
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        throw CsvError(fmt::format("{}: corrupt gzip data ({})", path_,
                                   zs_.msg != nullptr ? zs_.msg : zError(rc)));
      }
    }
    return n - zs_.avail_out;
  }

  // The compressed size times the compression ratio seen so far.
  std::size_t size_hint() const override {
    if (zs_.total_in == 0) return 0;
    return static_cast<std::size_t>(static_cast<double>(in_->size_hint()) *
                                    static_cast<double>(zs_.total_out) /
                                    static_cast<double>(zs_.total_in));
  }

  void rewind() override {
    in_->rewind();
    inflateReset(&zs_);
    zs_.avail_in = 0;
    in_end_ = false;
    member_end_ = false;
  }

 private:
  static constexpr std::size_t kBufferSize = 1 << 18;
  std::unique_ptr<ByteSource> in_;
  std::string path_;
  std::vector<Bytef> buffer_;
  z_stream zs_{};
  bool in_end_ = false;
  bool member_end_ = false;
};

// The file as a byte source, decompressed when it starts with the gzip magic
// bytes. Regular files are streamed; anything else (a pipe) is read whole so
// that it can be read a second time.
std::unique_ptr<ByteSource> open_source(const std::string& path) {
  std::unique_ptr<ByteSource> source = std::make_unique<FileSource>(path);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    std::string bytes;
    std::array<char, 1 << 16> block;
    while (const std::size_t got = source->read(block.data(), block.size())) {
      bytes.append(block.data(), got);
    }
    source = std::make_unique<MemorySource>(std::move(bytes));
  }
  std::array<unsigned char, 2> magic{};
  const std::size_t got = source->read(reinterpret_cast<char*>(magic.data()), magic.size());
  source->rewind();
  if (got == 2 && magic[0] == 0x1f && magic[1] == 0x8b) {
    return std::make_unique<GzipSource>(std::move(source), path);
  }
  return source;
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// One field of a record: its content (inside the quotes of a quoted field),
// valid until the reader moves on.
struct Field {
  std::string_view text;
  bool quoted = false;
  bool doubled_quotes = false;  // holds "" pairs standing for one quote each
};

// The field's content with doubled quotes collapsed; `scratch` holds it when needed.
std::string_view content(const Field& f, std::string& scratch) {
  if (!f.doubled_quotes) return f.text;
  scratch.clear();
  for (std::size_t i = 0; i < f.text.size(); ++i) {
    scratch += f.text[i];
    if (f.text[i] == '"') ++i;
  }
  return scratch;
}

constexpr std::array<bool, 256> kFieldEnd = [] {
  std::array<bool, 256> t{};
  t[','] = t['\n'] = t['\r'] = true;
  return t;
}();

// Cuts the input into records. Reads a whole text in place, or a byte source
// through a window that keeps the unfinished record at each refill.
class RecordReader {
 public:
  RecordReader(std::string_view text, const std::string& source_name)
      : text_(text), source_name_(source_name) {
    start();
  }
  RecordReader(ByteSource& source, const std::string& source_name)
      : source_(&source), source_name_(source_name), buffer_(kBlockSize) {
    start();
  }

  // The header's names, for error messages; with more than one column,
  // blank lines are skipped from then on.
  void set_header(const std::vector<std::string>& names) {
    names_ = &names;
    skip_blank_lines_ = names.size() > 1;
  }

  bool at_end() {
    while (pos_ == size_) {
      if (!fill()) return true;
    }
    return false;
  }

  // Reads the next record into `fields`; false at the end of the input.
  bool next(std::vector<Field>& fields) {
    for (;;) {
      switch (cut_record(fields)) {
        case Cut::Record:
          return true;
        case Cut::End:
          return false;
        case Cut::NeedMore:
          fill();
          break;
      }
    }
  }

  // Line of the record last read.
  std::size_t record_line() const { return record_line_; }

  // Bytes read so far, and in all (0 when not known in advance).
  std::size_t offset() const { return dropped_ + pos_; }
  std::size_t total_size() const { return source_ != nullptr ? source_->size_hint() : size_; }

  void rewind() {
    if (source_ != nullptr) {
      source_->rewind();
      size_ = 0;
      dropped_ = 0;
      end_ = false;
    }
    pos_ = 0;
    line_ = 1;
    start();
  }

 private:
  enum class Cut { Record, End, NeedMore };
  static constexpr std::size_t kBlockSize = 1 << 20;

  void start() {
    if (source_ == nullptr) {
      data_ = text_.data();
      size_ = text_.size();
      end_ = true;
    }
    while (size_ - pos_ < 3 && fill()) {
    }
    if (std::string_view(data_ + pos_, size_ - pos_).starts_with("\xEF\xBB\xBF")) pos_ += 3;
  }

  // Keeps the unread bytes and appends the next block; false at the end.
  bool fill() {
    if (end_) return false;
    const std::size_t keep = size_ - pos_;
    std::memmove(buffer_.data(), buffer_.data() + pos_, keep);
    dropped_ += pos_;
    pos_ = 0;
    size_ = keep;
    if (buffer_.size() - size_ < kBlockSize / 2) buffer_.resize(2 * buffer_.size());
    const std::size_t got = source_->read(buffer_.data() + size_, buffer_.size() - size_);
    end_ = got == 0;
    size_ += got;
    data_ = buffer_.data();
    return true;
  }

  std::string column_label(std::size_t j) const {
    if (names_ != nullptr && j < names_->size())
      return fmt::format("column '{}'", printable((*names_)[j]));
    return fmt::format("column {}", j + 1);
  }

  // Cuts one record from pos_; commits pos_ and line_ only for a whole record.
  Cut cut_record(std::vector<Field>& fields) {
    const char* const end = data_ + size_;
    // A blank line holds no record, except in a one-column file, where it
    // is a record with an empty (null) field.
    while (skip_blank_lines_ && pos_ < size_ && (data_[pos_] == '\n' || data_[pos_] == '\r')) {
      if (data_[pos_] == '\r') {
        if (pos_ + 1 == size_ && !end_) return Cut::NeedMore;
        if (pos_ + 1 < size_ && data_[pos_ + 1] == '\n') ++pos_;
      }
      ++pos_;
      ++line_;
    }
    if (pos_ == size_) return end_ ? Cut::End : Cut::NeedMore;
    const char* p = data_ + pos_;
    std::size_t line = line_;
    fields.clear();
    for (;;) {
      Field f;
      if (p < end && *p == '"') {
        f.quoted = true;
        const std::size_t start_line = line;
        const char* const begin = ++p;
        for (;;) {
          if (p == end) {
            if (!end_) return Cut::NeedMore;
            throw CsvError(fmt::format("{}: line {}, {}: unterminated quoted field", source_name_,
                                       start_line, column_label(fields.size())));
          }
          const char c = *p;
          if (c == '"' || c == '\r') {
            if (p + 1 == end && !end_) return Cut::NeedMore;
            const bool next_lf = p + 1 < end && p[1] == (c == '"' ? '"' : '\n');
            if (c == '"') {
              if (!next_lf) break;
              f.doubled_quotes = true;
              p += 2;
              continue;
            }
            if (!next_lf) ++line;
          } else if (c == '\n') {
            ++line;
          }
          ++p;
        }
        f.text = std::string_view(begin, static_cast<std::size_t>(p - begin));
        ++p;  // the closing quote
        if (p == end && !end_) return Cut::NeedMore;
        if (p < end && !kFieldEnd[static_cast<unsigned char>(*p)]) {
          throw CsvError(fmt::format("{}: line {}, {}: unexpected character after closing quote",
                                     source_name_, line, column_label(fields.size())));
        }
      } else {
        const char* const begin = p;
        while (p < end && !kFieldEnd[static_cast<unsigned char>(*p)]) ++p;
        if (p == end && !end_) return Cut::NeedMore;
        f.text = std::string_view(begin, static_cast<std::size_t>(p - begin));
      }
      fields.push_back(f);
      if (p == end) break;
      if (*p == ',') {
        ++p;
        continue;
      }
      if (*p == '\r') {
        if (p + 1 == end && !end_) return Cut::NeedMore;
        if (p + 1 < end && p[1] == '\n') ++p;
      }
      ++p;
      ++line;
      break;
    }
    record_line_ = line_;
    pos_ = static_cast<std::size_t>(p - data_);
    line_ = line;
    return Cut::Record;
  }

  std::string_view text_;
  ByteSource* source_ = nullptr;
  const std::string& source_name_;
  std::vector<char> buffer_;
  const char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t pos_ = 0;
  std::size_t dropped_ = 0;  // bytes dropped from the front of the window
  bool end_ = false;         // no bytes beyond size_
  std::size_t line_ = 1;
  std::size_t record_line_ = 1;
  const std::vector<std::string>* names_ = nullptr;
  bool skip_blank_lines_ = false;
};

// ---------------------------------------------------------------------------
// Typed columns
// ---------------------------------------------------------------------------

// A number's text without the blanks around it and a leading '+' (but "+-"
// is no number); false when nothing is left.
bool number_text(std::string_view& s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s.front() == '-') return false;
  }
  return !s.empty();
}

bool parse_int(std::string_view s, std::int64_t& out) {
  if (!number_text(s)) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && ptr == s.data() + s.size();
}

bool parse_double(std::string_view s, double& out) {
  if (!number_text(s)) return false;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  // Out-of-range literals (1e999) read as +-inf, tiny ones as 0 as strtod does.
  if (ec == std::errc::result_out_of_range && ptr == s.data() + s.size()) {
    const std::string copy(s);
    out = std::strtod(copy.c_str(), nullptr);
    return true;
  }
  return ec == std::errc() && ptr == s.data() + s.size();
}

// Builds one column while its type is inferred record by record: undecided
// until its first value, then integer, float or text, each step only ever
// widening. Switching to float converts the integers read so far, which
// gives the same doubles as parsing their text (both round to nearest), with
// "-0" remembered apart. Switching to text after numbers leaves the text of
// the earlier values to be read again (`text_rows_to_reread`).
class ColumnBuilder {
 public:
  void add(const Field& field, std::string& scratch) {
    const std::string_view t = content(field, scratch);
    const std::size_t row = rows_++;
    if (t.empty() || (!field.quoted && t == "NA")) {
      // Null: an unquoted empty field or NA. A quoted empty field is an
      // empty text in a text column and a null in a number column.
      if (state_.empty()) state_.assign(row, kValue);
      state_.push_back(field.quoted ? kQuotedEmpty : kNull);
      switch (kind_) {
        case Kind::Undecided:
          break;
        case Kind::Int:
          ints_.push_back(0);
          break;
        case Kind::Float:
          floats_.push_back(0.0);
          break;
        case Kind::Text:
          texts_.emplace_back();
          break;
      }
      return;
    }
    if (!state_.empty()) state_.push_back(kValue);
    switch (kind_) {
      case Kind::Undecided: {
        std::int64_t i = 0;
        double d = 0.0;
        if (parse_int(t, i)) {
          kind_ = Kind::Int;
          ints_.assign(row, 0);
          add_int(i, t, row);
        } else if (parse_double(t, d)) {
          kind_ = Kind::Float;
          floats_.assign(row, 0.0);
          floats_.push_back(d);
        } else {
          kind_ = Kind::Text;
          texts_.assign(row, std::string());
          texts_.emplace_back(t);
        }
        return;
      }
      case Kind::Int: {
        std::int64_t i = 0;
        if (parse_int(t, i)) {
          add_int(i, t, row);
          return;
        }
        double d = 0.0;
        if (parse_double(t, d)) {
          to_float();
          floats_.push_back(d);
        } else {
          to_text(t, row);
        }
        return;
      }
      case Kind::Float: {
        double d = 0.0;
        if (parse_double(t, d)) {
          floats_.push_back(d);
        } else {
          to_text(t, row);
        }
        return;
      }
      case Kind::Text:
        texts_.emplace_back(t);
        return;
    }
  }

  // Rows [0, text_rows_to_reread()) hold values whose text must be set with
  // set_text before finish().
  std::size_t text_rows_to_reread() const { return reread_rows_; }
  bool needs_text(std::size_t row) const {
    return row < reread_rows_ && (state_.empty() || state_[row] == kValue);
  }
  void set_text(std::size_t row, std::string_view text) { texts_[row].assign(text); }

  // Room for n rows in all.
  void reserve(std::size_t n) {
    ints_.reserve(kind_ == Kind::Int ? n : 0);
    floats_.reserve(kind_ == Kind::Float ? n : 0);
    texts_.reserve(kind_ == Kind::Text ? n : 0);
    if (!state_.empty()) state_.reserve(n);
  }

  Column finish() {
    const std::size_t n = rows_;
    if (kind_ == Kind::Undecided) {
      // Nothing but nulls and quoted empty fields: a text column when there
      // is a quoted empty text, else a float column of nulls.
      if (std::find(state_.begin(), state_.end(), kQuotedEmpty) != state_.end()) {
        kind_ = Kind::Text;
        texts_.assign(n, std::string());
      } else {
        kind_ = Kind::Float;
        floats_.assign(n, 0.0);
      }
    }
    std::vector<bool> valid;
    if (!state_.empty()) {
      valid.resize(n);
      const bool text = kind_ == Kind::Text;
      for (std::size_t i = 0; i < n; ++i)
        valid[i] = text ? state_[i] != kNull : state_[i] == kValue;
    }
    state_ = {};
    switch (kind_) {
      case Kind::Int:
        return Column(std::move(ints_), std::move(valid));
      case Kind::Text:
        return Column(std::move(texts_), std::move(valid));
      default:
        return Column(std::move(floats_), std::move(valid));
    }
  }

 private:
  enum class Kind { Undecided, Int, Float, Text };
  static constexpr std::uint8_t kNull = 0;  // unquoted empty or NA
  static constexpr std::uint8_t kValue = 1;
  static constexpr std::uint8_t kQuotedEmpty = 2;

  void add_int(std::int64_t value, std::string_view text, std::size_t row) {
    if (value == 0 && text.find('-') != std::string_view::npos) negative_zeros_.push_back(row);
    ints_.push_back(value);
  }

  void to_float() {
    kind_ = Kind::Float;
    floats_.reserve(ints_.capacity());
    for (std::int64_t v : ints_) floats_.push_back(static_cast<double>(v));
    for (std::size_t row : negative_zeros_) floats_[row] = -0.0;
    ints_ = {};
    negative_zeros_ = {};
  }

  void to_text(std::string_view text, std::size_t row) {
    kind_ = Kind::Text;
    reread_rows_ = row;
    ints_ = {};
    floats_ = {};
    negative_zeros_ = {};
    texts_.resize(row);
    texts_.emplace_back(text);
  }

  Kind kind_ = Kind::Undecided;
  std::size_t rows_ = 0;
  // Per row: kNull, kValue or kQuotedEmpty; empty while every row is kValue.
  std::vector<std::uint8_t> state_;
  std::vector<std::int64_t> ints_;
  std::vector<double> floats_;
  std::vector<std::string> texts_;
  std::vector<std::size_t> negative_zeros_;
  std::size_t reread_rows_ = 0;
};

// ---------------------------------------------------------------------------
// Reading a table
// ---------------------------------------------------------------------------

void check_options(const CsvReadOptions& options) {
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : options.columns) {
    if (!seen.insert(name).second) {
      throw std::invalid_argument(fmt::format(
          "read_csv: columns names \"{}\" twice; name each column once", printable(name)));
    }
  }
}

Table read_table(RecordReader& reader, const std::string& source_name,
                 const CsvReadOptions& options) {
  if (reader.at_end()) throw CsvError(fmt::format("{}: missing header row", source_name));
  std::vector<Field> fields;
  std::string scratch;
  reader.next(fields);
  std::vector<std::string> header;
  header.reserve(fields.size());
  for (const Field& f : fields) header.emplace_back(content(f, scratch));
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : header) {
    if (!seen.insert(name).second) {
      throw CsvError(
          fmt::format("{}: line 1: duplicate column name '{}'", source_name, printable(name)));
    }
  }
  reader.set_header(header);
  const std::size_t ncols = header.size();

  // File position of each column to keep, in output order.
  std::vector<std::size_t> wanted;
  if (options.columns.empty()) {
    for (std::size_t j = 0; j < ncols; ++j) wanted.push_back(j);
  } else {
    for (const std::string& name : options.columns) {
      const auto it = std::find(header.begin(), header.end(), name);
      if (it == header.end()) throw ColumnNotFoundError(name, header, source_name);
      wanted.push_back(static_cast<std::size_t>(it - header.begin()));
    }
  }

  std::vector<ColumnBuilder> builders(wanted.size());
  const std::size_t header_bytes = reader.offset();
  for (std::size_t rows = 0; reader.next(fields); ++rows) {
    if (fields.size() != ncols) {
      throw CsvError(fmt::format("{}: line {}: expected {} fields, found {}", source_name,
                                 reader.record_line(), ncols, fields.size()));
    }
    for (std::size_t k = 0; k < wanted.size(); ++k) builders[k].add(fields[wanted[k]], scratch);
    // Once the size of a row is known, make room for the rows the rest of
    // the input holds, so that the columns are not copied as they grow.
    if (rows == 1000 && reader.total_size() > reader.offset()) {
      const double row_bytes = static_cast<double>(reader.offset() - header_bytes) / 1001.0;
      const double rest = static_cast<double>(reader.total_size() - reader.offset());
      const auto expected = static_cast<std::size_t>(1001.0 + 1.05 * rest / row_bytes);
      for (ColumnBuilder& b : builders) b.reserve(expected);
    }
  }

  std::size_t reread_rows = 0;
  for (const ColumnBuilder& b : builders)
    reread_rows = std::max(reread_rows, b.text_rows_to_reread());
  if (reread_rows > 0) {
    reader.rewind();
    reader.next(fields);  // the header
    for (std::size_t row = 0; row < reread_rows; ++row) {
      if (!reader.next(fields) || fields.size() != ncols) {
        throw std::runtime_error(
            fmt::format("cannot read CSV file '{}': it changed while being read", source_name));
      }
      for (std::size_t k = 0; k < wanted.size(); ++k) {
        if (builders[k].needs_text(row))
          builders[k].set_text(row, content(fields[wanted[k]], scratch));
      }
    }
  }

  std::vector<std::pair<std::string, Column>> out;
  out.reserve(wanted.size());
  for (std::size_t k = 0; k < wanted.size(); ++k) {
    out.emplace_back(header[wanted[k]], builders[k].finish());
  }
  return Table(std::move(out));
}

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

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

Table read_csv_string(std::string_view text, const std::string& source_name,
                      const CsvReadOptions& options) {
  check_options(options);
  RecordReader reader(text, source_name);
  return read_table(reader, source_name, options);
}

Table read_csv(const std::string& path, const CsvReadOptions& options) {
  check_options(options);
  const std::unique_ptr<ByteSource> source = open_source(path);
  RecordReader reader(*source, path);
  return read_table(reader, path, options);
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
