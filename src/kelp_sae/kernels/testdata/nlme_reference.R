# Reference values for the nested-error REML/ML kernels, from R's nlme.
#
# Writes nested_error.csv (a simulated nested-error data set: 20 areas of
# unequal size, two covariates) beside this script and prints the nlme fits
# by REML and ML. The C++ tests read the CSV and hard-code the printed values;
# neither R nor this script is needed to run them.
#
#   Rscript nlme_reference.R            (from this folder)
suppressPackageStartupMessages(library(nlme))

set.seed(20240611)
sizes <- c(3, 1, 5, 8, 12, 20, 2, 30, 15, 9, 4, 25, 6, 18, 40, 7, 11, 3, 22, 14)
m <- length(sizes)
area <- rep(seq_len(m), times = sizes)
n <- length(area)
x1 <- round(rnorm(n, mean = 10, sd = 3), 4)
x2 <- round(runif(n, min = -1, max = 2) + 0.1 * area, 4)
u <- rnorm(m, sd = 0.7)
y <- round(2 + 1.5 * x1 - 0.8 * x2 + u[area] + rnorm(n, sd = 1.2), 4)
d <- data.frame(area = area, y = y, x1 = x1, x2 = x2)
write.csv(d, "nested_error.csv", row.names = FALSE, quote = FALSE)

d <- read.csv("nested_error.csv")
d$area <- factor(d$area)
ctrl <- lmeControl(tolerance = 1e-10, msTol = 1e-12, niterEM = 0,
                   maxIter = 500, msMaxIter = 500)
for (method in c("REML", "ML")) {
  fit <- lme(y ~ x1 + x2, random = ~ 1 | area, data = d, method = method,
             control = ctrl)
  sigma_u <- sqrt(as.numeric(getVarCov(fit)))
  sigma_e <- fit$sigma
  cat(sprintf("%s n=%d\n", method, nrow(d)))
  cat(sprintf("  sigma_u = %.12g\n", sigma_u))
  cat(sprintf("  sigma_e = %.12g\n", sigma_e))
  cat(sprintf("  beta    = %.12g, %.12g, %.12g\n",
              fixef(fit)[1], fixef(fit)[2], fixef(fit)[3]))
  cat(sprintf("  se      = %.12g, %.12g, %.12g\n",
              sqrt(diag(vcov(fit)))[1], sqrt(diag(vcov(fit)))[2],
              sqrt(diag(vcov(fit)))[3]))
  cat(sprintf("  logLik  = %.12g\n", as.numeric(logLik(fit))))
}
