# Reference direct estimates by area for the example survey sample, from R's
# survey package (Lumley), for the direct-estimation tests.
#
# Reads examples/data/survey_sample.csv (strata, PSUs nested in strata,
# design weights) and writes direct_reference.csv beside this script: per
# area and indicator the estimate and its linearised standard error (NA
# where none is linearised), and for the mean also the standard error from
# 2000 replicates of the Rao-Wu rescaling bootstrap (survey's "subbootstrap":
# n_h - 1 of the n_h PSUs of every stratum; replicates that leave an area
# without units are discarded, as survey does). The poverty line is 0.6 times the weighted
# median of the whole sample; the quantiles are the inverse of the weighted
# distribution function (qrule "math": the smallest value whose cumulative
# weight share reaches p); the Gini coefficient is the weighted mean
# absolute difference over twice the weighted mean, written out by hand. The
# C++ test reads the CSV; neither R nor this script is needed to run it.
#
#   Rscript direct_reference.R            (from this folder)
suppressPackageStartupMessages(library(survey))
options(survey.lonely.psu = "adjust")

d <- read.csv("../../../../examples/data/survey_sample.csv")
design <- svydesign(ids = ~psu, strata = ~stratum, weights = ~weight, nest = TRUE, data = d)

z <- 0.6 * as.numeric(coef(svyquantile(~income, design, 0.5, qrule = "math", ci = FALSE)))
d$poor <- as.numeric(d$income < z)
d$gap <- pmax(1 - d$income / z, 0)
d$severity <- d$gap^2
design <- svydesign(ids = ~psu, strata = ~stratum, weights = ~weight, nest = TRUE, data = d)

set.seed(20261209)
replicates <- as.svrepdesign(design, type = "subbootstrap", replicates = 2000)
boot <- suppressWarnings(svyby(~income, ~area, replicates, svymean))
boot_se <- setNames(SE(boot), boot$area)

out <- NULL
linearised <- c(Mean = "income", "Poverty Headcount" = "poor", "Poverty Gap" = "gap",
                "Poverty Severity" = "severity")
for (name in names(linearised)) {
  f <- as.formula(paste0("~", linearised[[name]]))
  by <- svyby(f, ~area, design, svymean)
  out <- rbind(out, data.frame(area = by$area, indicator = name, est = coef(by), se = SE(by)))
}
quantiles <- c("Quantile 10" = 0.1, "Quantile 25" = 0.25, "Median" = 0.5,
               "Quantile 75" = 0.75, "Quantile 90" = 0.9)
for (name in names(quantiles)) {
  by <- svyby(~income, ~area, design, svyquantile, quantiles = quantiles[[name]],
              qrule = "math", ci = TRUE)
  out <- rbind(out, data.frame(area = by$area, indicator = name, est = coef(by), se = NA))
}
gini <- sapply(split(d, d$area), function(a) {
  W <- sum(a$weight)
  T <- sum(a$weight * a$income)
  sum(outer(a$weight, a$weight) * abs(outer(a$income, a$income, "-"))) / (2 * W * T)
})
out <- rbind(out, data.frame(area = as.integer(names(gini)), indicator = "Gini Coefficient",
                             est = gini, se = NA))
out$boot_se <- ifelse(out$indicator == "Mean", boot_se[as.character(out$area)], NA)
out <- out[order(out$area, out$indicator), ]
write.csv(out, "direct_reference.csv", row.names = FALSE, na = "")
cat(sprintf("poverty line %.17g\n", z))
