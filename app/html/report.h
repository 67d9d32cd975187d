// The HTML report of a result: one self-contained page (no network access
// when opened) with the fit summary, the diagnostics, Vega-Lite charts
// generated from the result and a sortable, filterable table of every
// estimate; with shapes, a choropleth of each indicator and of its CV.
//
//   const html::Report page = html::build_report(result, {.title = "income"});
//   write(page.html);  // page.warnings: areas without shapes and the like
//
// Every text from the user (labels, column names) is escaped: it reaches the
// page as text, never as markup or script.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "kelp_sae/results/containers.h"

namespace kelp_sae::html {

struct ReportOptions {
  // A GeoJSON FeatureCollection, or null for no maps; features are joined to
  // the areas on the property `shapes_key` (its text form).
  const nlohmann::json* shapes = nullptr;
  std::string shapes_key;
  // Where the direct estimates come from, shown beside the comparison charts.
  std::string direct_label = "Direct estimate";
};

struct Report {
  std::string html;
  // Areas without a shape, shapes without an estimate: one line each.
  std::vector<std::string> warnings;
};

// Throws std::invalid_argument when the shapes are not a FeatureCollection
// ("the shapes are not a GeoJSON FeatureCollection") or no feature has the
// key property; std::runtime_error when the program was built without its
// charting scripts.
Report build_report(const SAEResults& result, const ReportOptions& options = {});

// Throws std::invalid_argument when `geo` is not a GeoJSON FeatureCollection
// or no feature has the property `key`; build_report makes the same check.
void check_shapes(const nlohmann::json& geo, const std::string& key);

// Text as HTML character data or attribute value: & < > " ' escaped.
std::string escape_html(std::string_view text);

}  // namespace kelp_sae::html
