# Reference values for the diagnostics kernels, from R's shapiro.test and
# hand computations of moments and R-squared.
#
# The samples are smooth deterministic functions of the index i = 1..n, so
# the C++ tests rebuild them without a data file:
#   wave(i)   = sin(i) + 0.5 * sin(2.7 * i)^2
#   skewed(i) = exp(1.2 * sin(i) + cos(0.37 * i))
# Prints shapiro.test's W and p-value, the moment skewness m3 / m2^1.5 and
# kurtosis m4 / m2^2 (divisor n), and R-squared values computed by hand.
# The C++ tests hard-code the printed values; R is not needed to run them.
#
#   Rscript shapiro_reference.R > shapiro_reference.out   (from this folder)
wave <- function(n) { i <- seq_len(n); sin(i) + 0.5 * sin(2.7 * i)^2 }
skewed <- function(n) { i <- seq_len(n); exp(1.2 * sin(i) + cos(0.37 * i)) }
moments <- function(x) {
  d <- x - mean(x)
  m2 <- mean(d^2); m3 <- mean(d^3); m4 <- mean(d^4)
  c(m3 / m2^1.5, m4 / m2^2)
}
cases <- list(
  list("fixed3", c(1, 2, 4)),
  list("wave", wave(5)), list("skewed", skewed(5)),
  list("wave", wave(9)), list("skewed", skewed(11)),
  list("wave", wave(12)), list("skewed", skewed(50)),
  list("wave", wave(400)), list("skewed", skewed(5000))
)
cat("# sample n W p skewness kurtosis\n")
for (cs in cases) {
  x <- cs[[2]]
  t <- shapiro.test(x)
  mo <- moments(x)
  cat(sprintf("%s %d %.15g %.15g %.15g %.15g\n", cs[[1]], length(x),
              t$statistic, t$p.value, mo[1], mo[2]))
}

# R-squared by hand. Fixed part f = (1, 2, 4, 7) (variance with divisor
# n - 1: mean 3.5, squared deviations 6.25 + 2.25 + 0.25 + 12.25 = 21,
# var_f = 7), sigma_u^2 = 2, sigma_e^2 = 5:
#   marginal    = 7 / (7 + 2 + 5) = 0.5
#   conditional = (7 + 2) / 14    = 0.642857142857143
#   Fay-Herriot = 7 / (7 + 2)     = 0.777777777777778
f <- c(1, 2, 4, 7)
var_f <- var(f)
cat(sprintf("r2 var_f=%.15g marginal=%.15g conditional=%.15g fh=%.15g\n", var_f,
            var_f / (var_f + 2 + 5), (var_f + 2) / (var_f + 2 + 5), var_f / (var_f + 2)))
