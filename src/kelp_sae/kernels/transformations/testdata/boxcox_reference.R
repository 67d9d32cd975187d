# Reference values for the Box-Cox parameter search, from R's nlme.
#
# On the nested-error test data set (../../testdata/nested_error.csv, design
# intercept, x1, x2) the negative profile log-likelihood of lambda is
#   -( l_REML(y_s) - n log(s) + (lambda - 1) sum log y ),
# y_s the standardised Box-Cox transform (standard deviation with divisor n)
# and l_REML the REML log-likelihood of the nested-error fit. Prints the
# maximising lambda and differences of the objective between lambdas (the
# constants of the log-likelihood cancel in them). The C++ test hard-codes
# the printed values; neither R nor this script is needed to run it.
#
#   Rscript boxcox_reference.R          (from this folder)
suppressPackageStartupMessages(library(nlme))

d <- read.csv("../../testdata/nested_error.csv")
d$area <- factor(d$area)
n <- nrow(d)
ctrl <- lmeControl(tolerance = 1e-12, msTol = 1e-14, niterEM = 0,
                   maxIter = 500, msMaxIter = 500)

objective <- function(lambda) {
  y <- pmax(d$y, 1e-6)
  yt <- if (abs(lambda) < 1e-4) log(y) else (y^lambda - 1) / lambda
  s <- sqrt(mean((yt - mean(yt))^2))
  d$ys <- (yt - mean(yt)) / s
  fit <- lme(ys ~ x1 + x2, random = ~ 1 | area, data = d, method = "REML",
             control = ctrl)
  -(as.numeric(logLik(fit)) - n * log(s) + (lambda - 1) * sum(log(y)))
}

best <- optimize(objective, c(-2, 2), tol = 1e-9)
cat(sprintf("lambda_hat = %.10g\n", best$minimum))
for (pair in list(c(0.5, 1.0), c(-0.5, 1.0), c(0.0, 1.0))) {
  cat(sprintf("f(%g) - f(%g) = %.10g\n", pair[1], pair[2],
              objective(pair[1]) - objective(pair[2])))
}
