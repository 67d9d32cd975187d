// Reading census-sized CSV files: an area code and ten covariates, all numeric
// (about 95 bytes a row), written once per run into a temporary folder.
//
//   BM_ReadCsv/rows:R/gzip:G/selected:S: kelp::read_csv of R rows, from the
//     plain file (G = 0) or its gzip-compressed copy (G = 1), every column
//     (S = 0) or the area and two covariates (S = 1).
//
// Peak memory is measured on one read in a process of its own:
//
//   csv_benchmark --write_data=DIR          writes census_<rows>.csv(.gz) and exits
//   /usr/bin/time -v csv_benchmark --read_once=DIR/census_1000000.csv [--columns=area,x1,x2]
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kelp/csv.h"

namespace {

namespace fs = std::filesystem;

constexpr int kCovariates = 10;
const std::vector<std::string> kSelected = {"area", "x1", "x2"};

// Rows of an area code (1 to 1000) and ten covariates in [0, 100) with five
// decimals, from a fixed xorshift stream.
std::string census_text(std::size_t rows) {
  std::string text = "area";
  for (int k = 1; k <= kCovariates; ++k) text += ",x" + std::to_string(k);
  text += '\n';
  text.reserve(rows * 96);
  std::uint64_t state = 88172645463325252ULL;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  char buf[32];
  for (std::size_t i = 0; i < rows; ++i) {
    text += std::to_string(1 + next() % 1000);
    for (int k = 0; k < kCovariates; ++k) {
      const std::uint64_t v = next() % 10'000'000;  // value times 1e5
      auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v / 100'000);
      *end++ = '.';
      const std::string frac = std::to_string(100'000 + v % 100'000);  // five digits, zero-padded
      text += ',';
      text.append(buf, end);
      text.append(frac, 1);
    }
    text += '\n';
  }
  return text;
}

void write_file(const fs::path& path, std::string_view text) {
  std::ofstream out(path, std::ios::binary);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

void write_gzip(const fs::path& path, std::string_view text) {
  gzFile out = gzopen(path.c_str(), "wb6");
  if (out == nullptr) throw std::runtime_error("cannot write " + path.string());
  constexpr std::size_t kChunk = 1 << 20;
  for (std::size_t pos = 0; pos < text.size(); pos += kChunk) {
    const auto n = static_cast<unsigned>(std::min(kChunk, text.size() - pos));
    if (gzwrite(out, text.data() + pos, n) != static_cast<int>(n)) {
      throw std::runtime_error("cannot write " + path.string());
    }
  }
  if (gzclose(out) != Z_OK) throw std::runtime_error("cannot write " + path.string());
}

fs::path data_path(const fs::path& dir, std::size_t rows, bool gzip) {
  return dir / ("census_" + std::to_string(rows) + (gzip ? ".csv.gz" : ".csv"));
}

void write_data(const fs::path& dir, std::size_t rows) {
  const std::string text = census_text(rows);
  write_file(data_path(dir, rows, false), text);
  write_gzip(data_path(dir, rows, true), text);
}

// The benchmark's files, written on first use and removed at exit.
class DataFolder {
 public:
  ~DataFolder() {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  fs::path file(std::size_t rows, bool gzip) {
    if (dir_.empty()) {
      dir_ = fs::temp_directory_path() / ("kelp_csv_benchmark_" + std::to_string(::getpid()));
      fs::create_directories(dir_);
    }
    const fs::path path = data_path(dir_, rows, gzip);
    if (!fs::exists(path)) write_data(dir_, rows);
    return path;
  }

 private:
  fs::path dir_;
};

DataFolder& data_folder() {
  static DataFolder folder;
  return folder;
}

void BM_ReadCsv(benchmark::State& state) {
  const auto rows = static_cast<std::size_t>(state.range(0));
  const bool gzip = state.range(1) != 0;
  const bool selected = state.range(2) != 0;
  const std::string path = data_folder().file(rows, gzip).string();
  const kelp::CsvReadOptions options{.columns = selected ? kSelected : std::vector<std::string>{}};
  for (auto _ : state) {
    const kelp::Table t = kelp::read_csv(path, options);
    benchmark::DoNotOptimize(t.num_rows());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(fs::file_size(data_path(
                                                   fs::path(path).parent_path(), rows, false))));
}
BENCHMARK(BM_ReadCsv)
    ->ArgNames({"rows", "gzip", "selected"})
    ->ArgsProduct({{1'000'000, 2'500'000}, {0, 1}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

// The flag's value when `arg` is "--name=value".
bool flag_value(std::string_view arg, std::string_view name, std::string& value) {
  if (!arg.starts_with("--") || !arg.substr(2).starts_with(name)) return false;
  arg.remove_prefix(2 + name.size());
  if (!arg.starts_with('=')) return false;
  value = std::string(arg.substr(1));
  return true;
}

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    out.push_back(text.substr(start, comma - start));
  }
  out.push_back(text.substr(start));
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  std::string write_dir;
  std::string read_path;
  std::string columns;
  for (int i = 1; i < argc; ++i) {
    if (!flag_value(argv[i], "write_data", write_dir) &&
        !flag_value(argv[i], "read_once", read_path)) {
      flag_value(argv[i], "columns", columns);
    }
  }
  if (!write_dir.empty()) {
    fs::create_directories(write_dir);
    for (std::size_t rows : {1'000'000, 2'500'000}) write_data(write_dir, rows);
    return 0;
  }
  if (!read_path.empty()) {
    const kelp::CsvReadOptions options{.columns = columns.empty() ? std::vector<std::string>{}
                                                                  : split_commas(columns)};
    const kelp::Table t = kelp::read_csv(read_path, options);
    std::cout << t.num_rows() << " rows, " << t.num_columns() << " columns\n";
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
