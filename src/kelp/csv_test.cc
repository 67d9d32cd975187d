#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>

#include "kelp/table.h"
#include "tests/support/expect_error.h"

namespace kelp {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

using kelp_sae::testing::thrown_message;

std::string csv_error(std::string_view text) {
  try {
    (void)read_csv_string(text, "data.csv");
  } catch (const CsvError& e) {
    return e.what();
  }
  return "no error";
}

std::string temp_path(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("kelp_csv_test_" + name)).string();
}

void write_bytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Writes `text` gzip-compressed, as two concatenated members when `cut` < size.
void write_gzip(const std::string& path, std::string_view text, std::size_t cut) {
  cut = std::min(cut, text.size());
  const std::string_view parts[] = {text.substr(0, cut), text.substr(cut)};
  for (int k = 0; k < 2; ++k) {
    if (k == 1 && parts[1].empty()) break;
    gzFile out = gzopen(path.c_str(), k == 0 ? "wb" : "ab");
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(gzwrite(out, parts[k].data(), static_cast<unsigned>(parts[k].size())),
              static_cast<int>(parts[k].size()));
    ASSERT_EQ(gzclose(out), Z_OK);
  }
}

std::string read_bytes(const std::string& path) {
  std::string bytes(std::filesystem::file_size(path), '\0');
  std::ifstream(path, std::ios::binary)
      .read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// Enough rows of "12345678,1" to span several blocks of a streamed file.
std::string filler_rows() {
  std::string rows;
  for (int i = 0; i < 150000; ++i) rows += "12345678,1\n";
  return rows;
}

TEST(ReadCsv, InfersIntegerThenFloatThenText) {
  const Table t = read_csv_string(
      "id,x,name,mixed\n"
      "1,2.5,a,1\n"
      " 2 ,nan,b,x\n"
      "-3,-inf,,2.5\n");
  EXPECT_EQ(t.column("id").type(), DataType::Int64);
  EXPECT_THAT(t.column("id").int_values(), ElementsAre(1, 2, -3));
  EXPECT_EQ(t.column("x").type(), DataType::Float64);
  EXPECT_TRUE(std::isnan(t.column("x").as_double(1)));
  EXPECT_FALSE(t.column("x").is_null(1));  // NaN is a value
  EXPECT_EQ(t.column("x").as_double(2), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(t.column("name").type(), DataType::String);
  EXPECT_TRUE(t.column("name").is_null(2));
  EXPECT_EQ(t.column("mixed").type(), DataType::String);
  EXPECT_EQ(t.column("mixed").text(2), "2.5");
}

TEST(ReadCsv, NullsAndQuotedEmptyFields) {
  const Table t = read_csv_string(
      "a,b,c\n"
      "NA,\"\",1\n"
      "5,x,\"\"\n"
      ",\"NA\",NA\n");
  EXPECT_EQ(t.column("a").type(), DataType::Int64);
  EXPECT_TRUE(t.column("a").is_null(0));
  EXPECT_TRUE(t.column("a").is_null(2));
  EXPECT_EQ(t.column("b").type(), DataType::String);
  EXPECT_FALSE(t.column("b").is_null(0));  // quoted empty text
  EXPECT_EQ(t.column("b").text(0), "");
  EXPECT_EQ(t.column("b").text(2), "NA");  // quoted NA is a text
  EXPECT_EQ(t.column("c").type(), DataType::Int64);
  EXPECT_TRUE(t.column("c").is_null(1));  // quoted empty in a number column
  EXPECT_TRUE(t.column("c").is_null(2));
}

TEST(ReadCsv, QuotedFieldsBomAndCrlf) {
  const Table t = read_csv_string(
      "\xEF\xBB\xBF"
      "name,note\r\n"
      "\"Smith, J\",\"said \"\"hi\"\"\"\r\n"
      "x,\"two\r\nlines\"\r\n");
  EXPECT_THAT(t.column_names(), ElementsAre("name", "note"));
  EXPECT_EQ(t.column("name").text(0), "Smith, J");
  EXPECT_EQ(t.column("note").text(0), "said \"hi\"");
  EXPECT_EQ(t.column("note").text(1), "two\r\nlines");
}

TEST(ReadCsv, NumberEdgeCases) {
  const Table t = read_csv_string(
      "big,plus,exp,quoted,blank\n"
      "9223372036854775807,+5,1e999,\"12\",\n"
      "9223372036854775808,-0,-1.5E-3,\"7\",\n");
  EXPECT_EQ(t.column("big").type(), DataType::Float64);  // past the 64-bit range
  EXPECT_EQ(t.column("big").as_double(1), 9223372036854775808.0);
  EXPECT_EQ(t.column("plus").type(), DataType::Int64);
  EXPECT_THAT(t.column("plus").int_values(), ElementsAre(5, 0));
  EXPECT_EQ(t.column("exp").as_double(0), std::numeric_limits<double>::infinity());
  EXPECT_EQ(t.column("exp").as_double(1), -1.5e-3);
  EXPECT_EQ(t.column("quoted").type(), DataType::Int64);   // quotes do not make a text
  EXPECT_EQ(t.column("blank").type(), DataType::Float64);  // nothing but nulls
  EXPECT_EQ(t.column("blank").null_count(), 2u);
}

TEST(ReadCsv, MalformedNumbersMakeTextColumns) {
  // Each column holds numbers and one value that only looks like one: the
  // column is text, and that value keeps its text (never -5 or +inf).
  const Table t = read_csv_string(
      "a,b,c,d\n"
      "1,1.5,1e999,2\n"
      "\"+-5\",+-5,1e999x,-1e999x\n");
  const struct {
    const char* column;
    const char* text;
  } cases[] = {{"a", "+-5"}, {"b", "+-5"}, {"c", "1e999x"}, {"d", "-1e999x"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.column);
    EXPECT_EQ(t.column(c.column).type(), DataType::String);
    EXPECT_EQ(t.column(c.column).text(1), c.text);
  }
  EXPECT_EQ(t.column("c").text(0), "1e999");
  // Alone in its column, too.
  EXPECT_EQ(read_csv_string("x\n+-5\n").column("x").type(), DataType::String);
  EXPECT_EQ(read_csv_string("x\n1e999x\n").column("x").type(), DataType::String);
}

TEST(ReadCsv, BinaryHeadersStayOneShortLineInMessages) {
  // A header of raw bytes, line ends included, is named escaped and cut.
  std::string junk = "\"PK\x03\x04";
  for (int i = 0; i < 200; ++i) junk += "\n\xff\x01 line";
  junk += "\"";
  const std::string message = thrown_message<ColumnNotFoundError>(
      [&] { (void)read_csv_string(junk + ",b\n1,2\n", "census.csv", {.columns = {"area"}}); });
  // "PK", two escapes, then 7 repeats of 8 characters: the 60 shown.
  std::string shown = "PK\\x03\\x04";
  for (int i = 0; i < 7; ++i) shown += "\\n\\xFF\\x01 line";
  EXPECT_EQ(message,
            "census.csv: column \"area\" not found; available columns: " + shown + "..., b");
}

TEST(ReadCsv, BlankLinesAndHeaderOnly) {
  // Blank lines hold no record in a file of several columns...
  const Table several = read_csv_string("a,b\n1,2\n\n3,4\n\n");
  EXPECT_EQ(several.num_rows(), 2u);
  // ...but are null records in a one-column file, where that is how a null is written.
  const Table one = read_csv_string("a\n1\n\n3\n");
  ASSERT_EQ(one.num_rows(), 3u);
  EXPECT_TRUE(one.column("a").is_null(1));
  const Table header_only = read_csv_string("x,y\n");
  EXPECT_THAT(header_only.column_names(), ElementsAre("x", "y"));
  EXPECT_EQ(header_only.num_rows(), 0u);
  // No line end after the last record.
  EXPECT_EQ(read_csv_string("a,b\n1,2").num_rows(), 1u);
}

TEST(ReadCsv, ErrorsNameFileLineAndColumn) {
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"a,b\n1,2\n3\n", "data.csv: line 3: expected 2 fields, found 1"},
      {"a,b\n1,2,3\n", "data.csv: line 2: expected 2 fields, found 3"},
      {"a,name\n1,x\n2,\"y\n3,z\n", "data.csv: line 3, column 'name': unterminated quoted field"},
      {"a,b\n1,\"x\"y\n", "data.csv: line 2, column 'b': unexpected character after closing quote"},
      {"a,b,a\n1,2,3\n", "data.csv: line 1: duplicate column name 'a'"},
      {"", "data.csv: missing header row"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(csv_error(c.text), c.message);
  }
}

TEST(ReadCsv, ReadsOnlyTheNamedColumnsInTheOrderGiven) {
  const std::string text = "area,name,x1,junk\n1,a,2.5,\"q\"\"\"\n2,b,3,x\n";
  const Table t = read_csv_string(text, "census.csv", {.columns = {"x1", "area"}});
  EXPECT_THAT(t.column_names(), ElementsAre("x1", "area"));
  EXPECT_THAT(t.column("x1").float_values(), ElementsAre(2.5, 3.0));
  EXPECT_THAT(t.column("area").int_values(), ElementsAre(1, 2));
  // Columns left out must still be well-formed.
  EXPECT_EQ(thrown_message<CsvError>([] {
              (void)read_csv_string("a,b\n1,2\n3,\"x\n", "census.csv", {.columns = {"a"}});
            }),
            "census.csv: line 3, column 'b': unterminated quoted field");
  EXPECT_EQ(thrown_message<ColumnNotFoundError>([&] {
              (void)read_csv_string(text, "census.csv", {.columns = {"area", "x9"}});
            }),
            "census.csv: column \"x9\" not found; available columns: area, name, x1, junk");
  EXPECT_EQ(thrown_message<std::invalid_argument>([&] {
              (void)read_csv_string(text, "census.csv", {.columns = {"x1", "x1"}});
            }),
            "read_csv: columns names \"x1\" twice; name each column once");
}

// A column is typed from all its rows: text found after numeric rows keeps
// the exact text of those rows, and a float found after integers keeps "-0"
// negative. The same from a string, a streamed file and a gzip file of two
// members whose name does not say it is compressed.
TEST(ReadCsv, SameTableFromTextFileAndGzip) {
  const std::string text = "code,v\n007,0\n\" 2 \",-0\nNA,NA\n\"\",2.5\n" + filler_rows() + "x,3\n";
  const std::string plain = temp_path("late_text.csv");
  const std::string gzip = temp_path("late_text_gz.csv");
  write_bytes(plain, text);
  write_gzip(gzip, text, text.size() / 3);
  for (const std::string& source : {std::string(), plain, gzip}) {
    SCOPED_TRACE(source);
    const Table t = source.empty() ? read_csv_string(text) : read_csv(source);
    ASSERT_EQ(t.num_rows(), 150005u);
    const Column& code = t.column("code");
    ASSERT_EQ(code.type(), DataType::String);
    EXPECT_EQ(code.text(0), "007");
    EXPECT_EQ(code.text(1), " 2 ");
    EXPECT_TRUE(code.is_null(2));
    EXPECT_FALSE(code.is_null(3));  // a quoted empty text
    EXPECT_EQ(code.text(3), "");
    EXPECT_EQ(code.text(4), "12345678");
    EXPECT_EQ(code.text(150004), "x");
    const Column& v = t.column("v");
    ASSERT_EQ(v.type(), DataType::Float64);
    EXPECT_TRUE(std::signbit(v.float_values()[1]));
    EXPECT_TRUE(v.is_null(2));
    EXPECT_EQ(v.as_double(3), 2.5);
  }
  std::remove(plain.c_str());
  std::remove(gzip.c_str());
}

TEST(ReadCsv, GzipErrorsNameTheFile) {
  const std::string path = temp_path("errors.csv.gz");
  // A CSV error deep in a compressed file keeps its line and column.
  write_gzip(path, "a,b\n" + filler_rows() + "3,\"x\n", std::string::npos);
  EXPECT_EQ(thrown_message<CsvError>([&] { (void)read_csv(path); }),
            path + ": line 150002, column 'b': unterminated quoted field");

  write_gzip(path, "a,b\n" + filler_rows(), std::string::npos);
  const std::string good = read_bytes(path);
  std::string corrupt = good;
  corrupt[corrupt.size() / 2] = static_cast<char>(corrupt[corrupt.size() / 2] ^ 0x5a);
  const struct {
    std::string bytes;
    std::string message;
  } cases[] = {
      {good.substr(0, good.size() - 5),
       ": truncated gzip stream (the file ends inside the compressed data)"},
      {corrupt, ": corrupt gzip data ("},
      {good + "trailing", ": unexpected data after the end of the gzip stream"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    write_bytes(path, c.bytes);
    EXPECT_THAT(thrown_message<CsvError>([&] { (void)read_csv(path); }),
                ::testing::StartsWith(path + c.message));
  }
  std::remove(path.c_str());
}

TEST(ReadCsv, UnreadableFileNamesThePath) {
  try {
    (void)read_csv("/nonexistent/dir/survey.csv");
    FAIL() << "expected an error";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("/nonexistent/dir/survey.csv"));
  }
}

TEST(WriteCsv, RoundTripsValuesTypesAndNulls) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Table t({{"id", Column({1, kelp::null, -9000000000})},
                 {"x", Column({12.0, 0.1 + 0.2, nan})},
                 {"w", Column({1e-300, kelp::null, 1e16})},
                 {"text, quoted", Column({"a,b", "say \"x\"\nnext", kelp::null})},
                 {"s", Column({"", "NA", " x "})}});
  const std::string csv = to_csv_string(t);
  const Table back = read_csv_string(csv);
  ASSERT_EQ(back.column_names(), t.column_names());
  for (const std::string& name : t.column_names()) {
    SCOPED_TRACE(name);
    const Column& a = t.column(name);
    const Column& b = back.column(name);
    ASSERT_EQ(b.type(), a.type());
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
      EXPECT_EQ(b.is_null(i), a.is_null(i));
      EXPECT_EQ(b.text(i), a.text(i));  // text forms are exact round-trip forms
    }
  }
  EXPECT_EQ(back.column("x").as_double(1), 0.1 + 0.2);
}

TEST(WriteCsv, FileRoundTripAndSingleColumnNulls) {
  const Table t({{"v", Column({"a", kelp::null, "", "b"})}});
  const std::string path =
      (std::filesystem::temp_directory_path() / "kelp_csv_test_roundtrip.csv").string();
  write_csv(t, path);
  const Table back = read_csv(path);
  std::remove(path.c_str());
  ASSERT_EQ(back.num_rows(), 4u);
  EXPECT_TRUE(back.column("v").is_null(1));
  EXPECT_FALSE(back.column("v").is_null(2));
  EXPECT_EQ(back.column("v").text(3), "b");
  EXPECT_THROW(write_csv(t, "/nonexistent/dir/out.csv"), std::runtime_error);
}

}  // namespace
}  // namespace kelp
