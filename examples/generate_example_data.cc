// Generates the example data sets of examples/data from known models, with a
// fixed seed, so that anyone can regenerate them bit for bit:
//
//   build/examples/generate_example_data examples/data
//
// Every random quantity comes from the counter-based keys of
// kelp_sae::random: the root key of seed 20240601 is split into one key per
// data set, and each data set's key into one key per random quantity, so
// changing one data set never changes another. Values are rounded to a few
// decimals so that the files stay small and readable.
//
// 1. Area level (Fay-Herriot), area_table.csv, 60 areas:
//      theta_i = 20 + 2.5 x1_i + 10 x2_i + r(region_i) + u_i,  u_i ~ N(0, 2^2)
//      y_i     = theta_i + e_i,  e_i ~ N(0, D_i),  D_i = (0.8 + 2.2 U_i)^2
//    r = 0 (North), -3 (South), 2 (East), 1 (West). Columns: area, y, var
//    (= D_i), x1, x2, region.
//
// 2. Survey sample for raw-sample mode, survey_sample.csv and
//    survey_areas.csv: 52 areas in 4 regions; areas 1-50 have covariates,
//    areas 51 and 52 are sampled but have none, and 4 areas with covariates
//    have no sample. Each sampled area has 3-6 PSUs (villages or blocks) of
//    8-15 households; a PSU is urban with probability x2 of its area, and the
//    stratum is region x urban/rural (1-8). Household income in thousands:
//      log income = 2.8 + 0.06 x1 + 0.5 x2 + r(region) + u_a + v_psu + e,
//      u_a ~ N(0, 0.12^2), v_psu ~ N(0, 0.15^2), e ~ N(0, 0.45^2),
//    r = 0 (North), -0.15 (South), 0.1 (East), 0.05 (West). Weights are
//    80 (urban) or 150 (rural) times PSU and household adjustment factors.
//    Columns: area, stratum, psu, weight, income, hh_size (1-6),
//    low_income (1 when income < 20). Covariates: area, x1, x2, region.
//
// 3. Unit level (nested-error model), census.csv, unit_sample.csv and
//    area_means.csv: 60 areas of 300-1199 units each.
//      y = 10 + 1.2 x1 + 3 x2 + s(sector) + u_a + e,
//      u_a ~ N(0, 1.5^2), e ~ N(0, 4^2),
//    x1 ~ N(m_a, 1.5^2) with m_a ~ N(5, 2^2), x2 ~ Bernoulli(p_a) with
//    p_a ~ U(0.2, 0.8), sector in agriculture / industry / services with
//    s = 0, 1.5, 2.5. Ten areas have no sample; the others a simple random
//    sample without replacement of 5-154 units.
//    census.csv: area, x1, x2, sector, and the 0/1 columns sector_industry
//    and sector_services (every unit, no response);
//    unit_sample.csv: area, y, x1, x2, sector;
//    area_means.csv: area, x1, x2, sector_industry, sector_services (census
//    means and shares), N (census size).
//    The unit-level model reads population covariates by their design-column
//    names, so the census carries the sector dummies under the names that
//    `Cat{"sector"}` gives them (agriculture is the reference level).
//
// 4. Household incomes for the empirical best predictor, income_census.csv
//    and income_sample.csv: 100 areas of 800-4199 households each.
//      log income = 9.2 - 0.12 hh_size + 0.01 age + 0.35 urban - 0.1 female
//                   + u_a + e,   u_a ~ N(0, 0.25^2), e ~ N(0, 0.6^2),
//    hh_size uniform on 1-7, age uniform on 20-79, urban ~ Bernoulli(p_a)
//    with p_a ~ U(0.1, 0.9), the head of household female with probability
//    0.3. Fifteen areas have no sample; the others a simple random sample
//    without replacement of 5-79 households. The census holds the
//    categorical `gender` as text only (no dummy columns).
//    income_census.csv: area, hh_size, age, urban, gender, region (North,
//    South, East, West for areas 1-25, 26-50, 51-75, 76-100);
//    income_sample.csv: area, income (rounded to whole units), hh_size, age,
//    urban, gender, weight (the design weight N_a / n_a of the simple random
//    sample, rounded to 4 decimals).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "kelp/table.h"
#include "kelp_sae/random/keys.h"

namespace {

using kelp::Column;
using kelp::Table;
using kelp_sae::random::Key;

constexpr std::uint64_t kSeed = 20240601;

double round_to(double x, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(x * scale) / scale;
}

std::vector<double> normals(Key key, std::size_t n) { return kelp_sae::random::normal(key, n); }

std::vector<double> uniforms(Key key, std::size_t n) {
  std::vector<double> u(n);
  kelp_sae::random::uniform(key, u);
  return u;
}

// An integer in [lo, lo + count) from a uniform on (0, 1).
std::int64_t uniform_int(double u, std::int64_t lo, std::int64_t count) {
  const auto k = static_cast<std::int64_t>(std::floor(u * static_cast<double>(count)));
  return lo + std::min(k, count - 1);
}

const std::vector<std::string> kRegions = {"North", "South", "East", "West"};

// Appends, in ascending order, the rows of a simple random sample without
// replacement of n of the `size` rows starting at `first`: the n rows with
// the smallest selection draws.
void append_simple_random_sample(std::size_t first, std::size_t size, std::size_t n,
                                 const std::vector<double>& u_select,
                                 std::vector<std::size_t>& rows) {
  std::vector<std::size_t> units(size);
  std::iota(units.begin(), units.end(), first);
  std::partial_sort(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(n), units.end(),
                    [&](std::size_t i, std::size_t j) { return u_select[i] < u_select[j]; });
  units.resize(n);
  std::sort(units.begin(), units.end());
  rows.insert(rows.end(), units.begin(), units.end());
}

// ---------------------------------------------------------------------------
// 1. Area table for the Fay-Herriot model.
Table make_area_table(Key key) {
  constexpr std::size_t m = 60;
  enum Stream { kX1, kX2, kRegion, kU, kD, kE, kStreams };
  const std::vector<Key> keys = kelp_sae::random::split(key, kStreams);
  const std::vector<double> z_x1 = normals(keys[kX1], m);
  const std::vector<double> u_x2 = uniforms(keys[kX2], m);
  const std::vector<double> u_region = uniforms(keys[kRegion], m);
  const std::vector<double> z_u = normals(keys[kU], m);
  const std::vector<double> u_d = uniforms(keys[kD], m);
  const std::vector<double> z_e = normals(keys[kE], m);
  const double region_effect[] = {0.0, -3.0, 2.0, 1.0};

  std::vector<std::int64_t> area(m);
  std::vector<double> y(m), var(m), x1(m), x2(m);
  std::vector<std::string> region(m);
  for (std::size_t i = 0; i < m; ++i) {
    area[i] = static_cast<std::int64_t>(i + 1);
    x1[i] = round_to(10.0 + 2.0 * z_x1[i], 2);
    x2[i] = round_to(0.1 + 0.8 * u_x2[i], 3);
    const auto r = static_cast<std::size_t>(uniform_int(u_region[i], 0, 4));
    region[i] = kRegions[r];
    const double sd = 0.8 + 2.2 * u_d[i];
    var[i] = round_to(sd * sd, 4);
    const double theta = 20.0 + 2.5 * x1[i] + 10.0 * x2[i] + region_effect[r] + 2.0 * z_u[i];
    y[i] = round_to(theta + std::sqrt(var[i]) * z_e[i], 3);
  }
  return Table({{"area", Column(std::move(area))},
                {"y", Column(std::move(y))},
                {"var", Column(std::move(var))},
                {"x1", Column(std::move(x1))},
                {"x2", Column(std::move(x2))},
                {"region", Column(std::move(region))}});
}

// ---------------------------------------------------------------------------
// 2. Weighted, stratified, clustered household survey and its area table.
std::pair<Table, Table> make_survey(Key key) {
  constexpr std::size_t areas = 52;            // areas 51 and 52: no covariates
  constexpr std::size_t covariate_areas = 50;  // areas 1-50
  constexpr std::size_t unsampled = 4;         // covariate areas without sample
  constexpr std::size_t max_psus = 6;
  constexpr std::size_t max_households = 15;
  enum Stream {
    kX1,
    kX2,
    kRegion,
    kU,
    kSkip,
    kPsuCount,
    kPsuUrban,
    kPsuEffect,
    kPsuWeight,
    kHhCount,
    kHhEffect,
    kHhWeight,
    kHhSize,
    kStreams
  };
  const std::vector<Key> keys = kelp_sae::random::split(key, kStreams);
  const std::vector<double> z_x1 = normals(keys[kX1], areas);
  const std::vector<double> u_x2 = uniforms(keys[kX2], areas);
  const std::vector<double> u_region = uniforms(keys[kRegion], areas);
  const std::vector<double> z_u = normals(keys[kU], areas);
  const std::vector<double> u_skip = uniforms(keys[kSkip], covariate_areas);
  // PSU quantities are indexed by (area, PSU slot), household quantities by
  // (area, PSU slot, household slot), so each draw belongs to one unit.
  const std::vector<double> u_psu_count = uniforms(keys[kPsuCount], areas);
  const std::vector<double> u_urban = uniforms(keys[kPsuUrban], areas * max_psus);
  const std::vector<double> z_psu = normals(keys[kPsuEffect], areas * max_psus);
  const std::vector<double> u_psu_weight = uniforms(keys[kPsuWeight], areas * max_psus);
  const std::vector<double> u_hh_count = uniforms(keys[kHhCount], areas * max_psus);
  const std::size_t slots = areas * max_psus * max_households;
  const std::vector<double> z_hh = normals(keys[kHhEffect], slots);
  const std::vector<double> u_hh_weight = uniforms(keys[kHhWeight], slots);
  const std::vector<double> u_hh_size = uniforms(keys[kHhSize], slots);
  const double region_effect[] = {0.0, -0.15, 0.1, 0.05};

  // The covariate areas without sample: the `unsampled` smallest draws.
  std::vector<std::size_t> order(covariate_areas);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return u_skip[a] < u_skip[b]; });
  std::vector<bool> sampled(areas, true);
  for (std::size_t k = 0; k < unsampled; ++k) sampled[order[k]] = false;

  std::vector<std::int64_t> a_area;
  std::vector<double> a_x1, a_x2;
  std::vector<std::string> a_region;
  std::vector<std::int64_t> s_area, s_stratum, s_psu, s_hh_size, s_low;
  std::vector<double> s_weight, s_income;
  for (std::size_t a = 0; a < areas; ++a) {
    const double x1 = round_to(10.0 + 2.0 * z_x1[a], 2);
    const double x2 = round_to(0.1 + 0.8 * u_x2[a], 3);
    const auto r = static_cast<std::size_t>(uniform_int(u_region[a], 0, 4));
    const auto area_id = static_cast<std::int64_t>(a + 1);
    if (a < covariate_areas) {
      a_area.push_back(area_id);
      a_x1.push_back(x1);
      a_x2.push_back(x2);
      a_region.push_back(kRegions[r]);
    }
    if (!sampled[a]) continue;
    const double mu = 2.8 + 0.06 * x1 + 0.5 * x2 + region_effect[r] + 0.12 * z_u[a];
    const auto n_psu = static_cast<std::size_t>(uniform_int(u_psu_count[a], 3, 4));
    for (std::size_t j = 0; j < n_psu; ++j) {
      const std::size_t p = a * max_psus + j;
      const bool urban = u_urban[p] < x2;
      const std::int64_t stratum = static_cast<std::int64_t>(2 * r) + (urban ? 1 : 2);
      const double psu_weight = (urban ? 80.0 : 150.0) * (0.8 + 0.4 * u_psu_weight[p]);
      const auto n_hh = static_cast<std::size_t>(uniform_int(u_hh_count[p], 8, 8));
      for (std::size_t h = 0; h < n_hh; ++h) {
        const std::size_t s = p * max_households + h;
        const double income = std::exp(mu + 0.15 * z_psu[p] + 0.45 * z_hh[s]);
        s_area.push_back(area_id);
        s_stratum.push_back(stratum);
        s_psu.push_back(area_id * 100 + static_cast<std::int64_t>(j + 1));
        s_weight.push_back(round_to(psu_weight * (0.9 + 0.2 * u_hh_weight[s]), 2));
        s_income.push_back(round_to(income, 2));
        s_hh_size.push_back(uniform_int(u_hh_size[s], 1, 6));
        s_low.push_back(s_income.back() < 20.0 ? 1 : 0);
      }
    }
  }
  Table sample({{"area", Column(std::move(s_area))},
                {"stratum", Column(std::move(s_stratum))},
                {"psu", Column(std::move(s_psu))},
                {"weight", Column(std::move(s_weight))},
                {"income", Column(std::move(s_income))},
                {"hh_size", Column(std::move(s_hh_size))},
                {"low_income", Column(std::move(s_low))}});
  Table covariates({{"area", Column(std::move(a_area))},
                    {"x1", Column(std::move(a_x1))},
                    {"x2", Column(std::move(a_x2))},
                    {"region", Column(std::move(a_region))}});
  return {std::move(sample), std::move(covariates)};
}

// ---------------------------------------------------------------------------
// 3. Census of unit records, a sample drawn from it, and census area means.
struct UnitData {
  Table census;
  Table sample;
  Table means;
};

UnitData make_unit_data(Key key) {
  constexpr std::size_t areas = 60;
  constexpr std::size_t unsampled = 10;
  const std::vector<std::string> sectors = {"agriculture", "industry", "services"};
  const double sector_effect[] = {0.0, 1.5, 2.5};
  enum Stream {
    kSize,
    kMeanX1,
    kShareX2,
    kSectorMix,
    kU,
    kSkip,
    kSampleSize,
    kX1,
    kX2,
    kSector,
    kE,
    kSelect,
    kStreams
  };
  const std::vector<Key> keys = kelp_sae::random::split(key, kStreams);
  const std::vector<double> u_size = uniforms(keys[kSize], areas);
  const std::vector<double> z_mean_x1 = normals(keys[kMeanX1], areas);
  const std::vector<double> u_share_x2 = uniforms(keys[kShareX2], areas);
  const std::vector<double> u_mix = uniforms(keys[kSectorMix], areas);
  const std::vector<double> z_u = normals(keys[kU], areas);
  const std::vector<double> u_skip = uniforms(keys[kSkip], areas);
  const std::vector<double> u_n = uniforms(keys[kSampleSize], areas);

  std::vector<std::size_t> sizes(areas);
  std::vector<std::size_t> offsets(areas + 1, 0);
  for (std::size_t a = 0; a < areas; ++a) {
    sizes[a] = static_cast<std::size_t>(uniform_int(u_size[a], 300, 900));
    offsets[a + 1] = offsets[a] + sizes[a];
  }
  const std::size_t total = offsets[areas];
  const std::vector<double> z_x1 = normals(keys[kX1], total);
  const std::vector<double> u_x2 = uniforms(keys[kX2], total);
  const std::vector<double> u_sector = uniforms(keys[kSector], total);
  const std::vector<double> z_e = normals(keys[kE], total);
  const std::vector<double> u_select = uniforms(keys[kSelect], total);

  std::vector<std::size_t> order(areas);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return u_skip[a] < u_skip[b]; });
  std::vector<bool> sampled(areas, true);
  for (std::size_t k = 0; k < unsampled; ++k) sampled[order[k]] = false;

  std::vector<std::int64_t> c_area(total), c_x2(total), c_industry(total), c_services(total);
  std::vector<double> c_x1(total), y(total);
  std::vector<std::string> c_sector(total);
  std::vector<std::int64_t> m_area(areas), m_size(areas);
  std::vector<double> m_x1(areas), m_x2(areas), m_industry(areas), m_services(areas);
  std::vector<std::size_t> sample_rows;
  for (std::size_t a = 0; a < areas; ++a) {
    const double mean_x1 = 5.0 + 2.0 * z_mean_x1[a];
    const double share_x2 = 0.2 + 0.6 * u_share_x2[a];
    // Sector shares: agriculture falls from 60% to 10% across areas.
    const double p_agri = 0.6 - 0.5 * u_mix[a];
    const double p_industry = 0.5 * (1.0 - p_agri);
    double sum_x1 = 0.0;
    double sum_x2 = 0.0;
    double sum_industry = 0.0;
    double sum_services = 0.0;
    for (std::size_t i = offsets[a]; i < offsets[a + 1]; ++i) {
      c_area[i] = static_cast<std::int64_t>(a + 1);
      c_x1[i] = round_to(mean_x1 + 1.5 * z_x1[i], 2);
      c_x2[i] = u_x2[i] < share_x2 ? 1 : 0;
      const std::size_t s = u_sector[i] < p_agri ? 0 : (u_sector[i] < p_agri + p_industry ? 1 : 2);
      c_sector[i] = sectors[s];
      c_industry[i] = s == 1 ? 1 : 0;
      c_services[i] = s == 2 ? 1 : 0;
      sum_industry += static_cast<double>(c_industry[i]);
      sum_services += static_cast<double>(c_services[i]);
      y[i] = round_to(10.0 + 1.2 * c_x1[i] + 3.0 * static_cast<double>(c_x2[i]) + sector_effect[s] +
                          1.5 * z_u[a] + 4.0 * z_e[i],
                      3);
      sum_x1 += c_x1[i];
      sum_x2 += static_cast<double>(c_x2[i]);
    }
    m_area[a] = static_cast<std::int64_t>(a + 1);
    m_size[a] = static_cast<std::int64_t>(sizes[a]);
    m_x1[a] = sum_x1 / static_cast<double>(sizes[a]);
    m_x2[a] = sum_x2 / static_cast<double>(sizes[a]);
    m_industry[a] = sum_industry / static_cast<double>(sizes[a]);
    m_services[a] = sum_services / static_cast<double>(sizes[a]);
    if (!sampled[a]) continue;
    const auto n = static_cast<std::size_t>(5 + std::floor(150.0 * u_n[a] * u_n[a]));
    append_simple_random_sample(offsets[a], sizes[a], n, u_select, sample_rows);
  }

  Table census({{"area", Column(std::move(c_area))},
                {"x1", Column(std::move(c_x1))},
                {"x2", Column(std::move(c_x2))},
                {"sector", Column(std::move(c_sector))},
                {"sector_industry", Column(std::move(c_industry))},
                {"sector_services", Column(std::move(c_services))}});
  Table sample = census.with_column("y", Column(std::move(y)))
                     .take(sample_rows)
                     .select({"area", "y", "x1", "x2", "sector"});
  Table means({{"area", Column(std::move(m_area))},
               {"x1", Column(std::move(m_x1))},
               {"x2", Column(std::move(m_x2))},
               {"sector_industry", Column(std::move(m_industry))},
               {"sector_services", Column(std::move(m_services))},
               {"N", Column(std::move(m_size))}});
  return {std::move(census), std::move(sample), std::move(means)};
}

// ---------------------------------------------------------------------------
// 4. Household incomes for the empirical best predictor: a census of
//    household records and a sample of households with their income.
struct IncomeData {
  Table census;
  Table sample;
};

IncomeData make_income_data(Key key) {
  constexpr std::size_t areas = 100;
  constexpr std::size_t unsampled = 15;
  enum Stream {
    kSize,
    kShareUrban,
    kU,
    kSkip,
    kSampleSize,
    kHhSize,
    kAge,
    kUrban,
    kGender,
    kE,
    kSelect,
    kStreams
  };
  const std::vector<Key> keys = kelp_sae::random::split(key, kStreams);
  const std::vector<double> u_size = uniforms(keys[kSize], areas);
  const std::vector<double> u_share = uniforms(keys[kShareUrban], areas);
  const std::vector<double> z_u = normals(keys[kU], areas);
  const std::vector<double> u_skip = uniforms(keys[kSkip], areas);
  const std::vector<double> u_n = uniforms(keys[kSampleSize], areas);

  std::vector<std::size_t> sizes(areas);
  std::vector<std::size_t> offsets(areas + 1, 0);
  for (std::size_t a = 0; a < areas; ++a) {
    sizes[a] = static_cast<std::size_t>(uniform_int(u_size[a], 800, 3400));
    offsets[a + 1] = offsets[a] + sizes[a];
  }
  const std::size_t total = offsets[areas];
  const std::vector<double> u_hh = uniforms(keys[kHhSize], total);
  const std::vector<double> u_age = uniforms(keys[kAge], total);
  const std::vector<double> u_urban = uniforms(keys[kUrban], total);
  const std::vector<double> u_gender = uniforms(keys[kGender], total);
  const std::vector<double> z_e = normals(keys[kE], total);
  const std::vector<double> u_select = uniforms(keys[kSelect], total);

  std::vector<std::size_t> order(areas);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return u_skip[a] < u_skip[b]; });
  std::vector<bool> sampled(areas, true);
  for (std::size_t k = 0; k < unsampled; ++k) sampled[order[k]] = false;

  std::vector<std::int64_t> c_area(total), c_hh(total), c_age(total), c_urban(total);
  std::vector<std::string> c_gender(total);
  std::vector<double> income(total);
  std::vector<std::string> c_region(total);
  std::vector<double> weight(total, 0.0);
  std::vector<std::size_t> sample_rows;
  for (std::size_t a = 0; a < areas; ++a) {
    const double share_urban = 0.1 + 0.8 * u_share[a];
    for (std::size_t i = offsets[a]; i < offsets[a + 1]; ++i) {
      c_area[i] = static_cast<std::int64_t>(a + 1);
      c_hh[i] = uniform_int(u_hh[i], 1, 7);
      c_age[i] = uniform_int(u_age[i], 20, 60);
      c_urban[i] = u_urban[i] < share_urban ? 1 : 0;
      const bool female = u_gender[i] < 0.3;
      c_gender[i] = female ? "female" : "male";
      c_region[i] = kRegions[a / 25];
      const double log_income = 9.2 - 0.12 * static_cast<double>(c_hh[i]) +
                                0.01 * static_cast<double>(c_age[i]) +
                                0.35 * static_cast<double>(c_urban[i]) - (female ? 0.1 : 0.0) +
                                0.25 * z_u[a] + 0.6 * z_e[i];
      income[i] = round_to(std::exp(log_income), 0);
    }
    if (!sampled[a]) continue;
    const auto n = static_cast<std::size_t>(5 + std::floor(75.0 * u_n[a]));
    append_simple_random_sample(offsets[a], sizes[a], n, u_select, sample_rows);
    // The design weight of a household drawn n of N_a: N_a / n.
    const double w = round_to(static_cast<double>(sizes[a]) / static_cast<double>(n), 4);
    for (std::size_t i = offsets[a]; i < offsets[a + 1]; ++i) weight[i] = w;
  }

  Table census({{"area", Column(std::move(c_area))},
                {"hh_size", Column(std::move(c_hh))},
                {"age", Column(std::move(c_age))},
                {"urban", Column(std::move(c_urban))},
                {"gender", Column(std::move(c_gender))},
                {"region", Column(std::move(c_region))}});
  Table sample = census.with_column("income", Column(std::move(income)))
                     .with_column("weight", Column(std::move(weight)))
                     .take(sample_rows)
                     .select({"area", "income", "hh_size", "age", "urban", "gender", "weight"});
  return {std::move(census), std::move(sample)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: generate_example_data OUT_DIR\n";
    return 2;
  }
  try {
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);
    enum DataSet { kArea, kSurvey, kUnit, kIncome, kDataSets };
    const std::vector<Key> keys =
        kelp_sae::random::split(kelp_sae::random::key_from_seed(kSeed), kDataSets);

    const auto write = [&](const Table& table, const std::string& name) {
      kelp::write_csv(table, (out / name).string());
      std::cout << name << ": " << table.num_rows() << " rows\n";
    };
    write(make_area_table(keys[kArea]), "area_table.csv");
    const auto [survey, survey_areas] = make_survey(keys[kSurvey]);
    write(survey, "survey_sample.csv");
    write(survey_areas, "survey_areas.csv");
    const UnitData unit = make_unit_data(keys[kUnit]);
    write(unit.sample, "unit_sample.csv");
    write(unit.census, "census.csv");
    write(unit.means, "area_means.csv");
    const IncomeData income = make_income_data(keys[kIncome]);
    write(income.sample, "income_sample.csv");
    write(income.census, "income_census.csv");
  } catch (const std::exception& e) {
    std::cerr << "error: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
