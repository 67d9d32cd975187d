// The charting scripts the HTML report inlines (Vega, Vega-Lite and
// vega-embed, minified), carried in the program itself: the build embeds
// them from the npm packages of app/html/package.json, so an installed
// program needs no data folder. A build made without the packages has empty
// scripts and have_report_scripts() false.
#pragma once

#include <string_view>

namespace kelp_sae::html {

std::string_view vega_script();
std::string_view vega_lite_script();
std::string_view vega_embed_script();
bool have_report_scripts();

}  // namespace kelp_sae::html
