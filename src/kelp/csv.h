// CSV input and output for kelp::Table.
//
// Reading streams the file in blocks, parses numbers in place and keeps text
// only for text columns, so a numeric census of a million rows costs about
// the memory of its table. Gzip-compressed files are read as they are.
//
//   kelp::Table sample = kelp::read_csv("sample.csv");
//   kelp::Table census = kelp::read_csv("census.csv.gz", {.columns = {"area", "x1", "x2"}});
//
// This header comes with "kelp/table.h".
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/table.h"

namespace kelp {

// A malformed CSV input; the message names the file, line and column.
class CsvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CsvReadOptions {
  // The columns to read, in the order wanted in the table; empty reads every
  // column in file order. Columns not named are checked for their structure
  // (quotes, field counts) but not typed or kept.
  std::vector<std::string> columns = {};
};

// CSV (RFC 4180): a header row; fields separated by commas, optionally
// quoted with '"' (quotes doubled inside; commas and newlines allowed inside
// quotes); LF or CRLF line ends. Each column's type is inferred from its
// non-null fields: Int64 if all parse as integers, else Float64 if all parse
// as numbers (including nan, inf), else String; a column with no value at all
// is Float64. Blanks around numbers are ignored; quotes do not change a
// field's type. An empty unquoted field and an unquoted NA are null; a quoted
// empty field is an empty text in a text column and null in a number column;
// a quoted "NA" is the text NA. A NaN stays a float NaN. A leading UTF-8 byte
// order mark is skipped. Blank lines hold no record, except in a one-column
// file, where a blank line is a null.
//
// read_csv reads a gzip-compressed file (recognised by its first bytes,
// whatever its name) as the CSV it holds; several concatenated gzip members
// read as one text.
//
// Errors: a malformed input gives CsvError naming the source, the line and
// the column; a corrupt or truncated gzip stream gives CsvError naming the
// file; a requested column the header does not hold gives
// ColumnNotFoundError naming the source and listing the columns it has; a
// column requested twice gives std::invalid_argument; an unreadable file
// gives std::runtime_error naming the path and the system's reason.
Table read_csv(const std::string& path, const CsvReadOptions& options = {});
Table read_csv_string(std::string_view text, const std::string& source_name = "<string>",
                      const CsvReadOptions& options = {});

// Writes a header and one line per row with LF line ends; floats in their
// shortest round-trip text (double_to_text, so whole floats keep ".0" and read
// back as floats), nulls as empty fields, texts quoted when they hold a comma,
// quote, CR or LF, or are empty or "NA". Reading the output back gives the
// same table, except that a text column whose every value reads as a number
// comes back as a number column (type inference cannot tell them apart).
void write_csv(const Table& table, const std::string& path);
std::string to_csv_string(const Table& table);

}  // namespace kelp
