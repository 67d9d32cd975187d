#include "kelp/sample.h"

#include <stdexcept>

namespace kelp {

Estimate::Estimate(Column by_level, std::vector<double> est, std::vector<double> se,
                   std::string by_name)
    : by_level_(std::move(by_level)),
      est_(std::move(est)),
      se_(std::move(se)),
      by_name_(std::move(by_name)) {}

Table Estimate::to_table() const {
  return Table({{"by_level", by_level_}, {"est", Column(est_)}, {"se", Column(se_)}});
}

Sample::Sample(Table data, Design design) : data_(std::move(data)), design_(std::move(design)) {}

Estimate Estimation::mean(const EstimationArgs&) const { throw std::logic_error("todo"); }
Estimate Estimation::total(const EstimationArgs&) const { throw std::logic_error("todo"); }
Estimate Estimation::proportion(const EstimationArgs&) const { throw std::logic_error("todo"); }
Estimate Estimation::ratio(const RatioArgs&) const { throw std::logic_error("todo"); }

std::string_view to_string(PopParam p) {
  switch (p) {
    case PopParam::MEAN:
      return "Mean";
    case PopParam::TOTAL:
      return "Total";
    case PopParam::PROP:
      return "Proportion";
    case PopParam::RATIO:
      return "Ratio";
    case PopParam::MEDIAN:
      return "Median";
  }
  return "";
}

std::optional<PopParam> pop_param_from_string(std::string_view text) {
  for (PopParam p :
       {PopParam::MEAN, PopParam::TOTAL, PopParam::PROP, PopParam::RATIO, PopParam::MEDIAN}) {
    if (to_string(p) == text) return p;
  }
  return std::nullopt;
}

}  // namespace kelp
