# %% [markdown]
# # Small area estimation with kelp_sae in Python
#
# Notebook-style walk through the three estimators on the bundled example data
# (`examples/data`). Run it as a script, or open the cells (`# %%`) in an
# editor that understands them.

# %%
import pathlib

import numpy as np
import pandas as pd

import kelp_sae as ks

data = pathlib.Path(__file__).resolve().parents[1] / "data"

# %% [markdown]
# ## Fay-Herriot from an area table
# One row per area: the direct estimate `y`, its sampling variance `var` and
# area covariates. `region` enters as 0/1 columns with North as reference.

# %%
areas = pd.read_csv(data / "area_table.csv")
fh = ks.AreaLevel(areas).fh("y", ["x1", "x2", ks.Cat("region", "North")], "area",
                            variance="var", mse="bootstrap", n_reps=50, rstate=7,
                            progress_bar=False)
print(fh)
fh.to_pandas("prediction").head()

# %% [markdown]
# ## Fay-Herriot from a weighted survey sample
# Direct estimates of mean income by area come from the stratified, clustered
# sample; the area covariates are joined from `survey_areas.csv`.

# %%
sample = ks.Sample(pd.read_csv(data / "survey_sample.csv"),
                   weight="weight", strata="stratum", psu="psu")
survey_fh = ks.AreaLevel(sample).fh("income", ["x1", "x2"], "area",
                                    pop_data=pd.read_csv(data / "survey_areas.csv"))
survey_fh.to_pandas("fixed_effects")

# %% [markdown]
# ## Unit-level EBLUP of area means for every census area

# %%
units = ks.UnitLevel(pd.read_csv(data / "unit_sample.csv"))
eblup = units.eblup("y", ["x1", "x2", ks.Cat("sector")], "area",
                    pd.read_csv(data / "census.csv"))
eblup.to_pandas("stats")

# %% [markdown]
# ## EBP poverty map
# Box-Cox transformed income, the poverty line at 60% of the sample median, a
# custom indicator (the share of people above twice the line) next to the
# built-in ones, and a small bootstrap MSE.

# %%
incomes = ks.UnitLevel(pd.read_csv(data / "income_sample.csv"))
ebp = incomes.ebp(
    "income", ["hh_size", "age", "urban", ks.Cat("gender")], "area",
    pd.read_csv(data / "income_census.csv"),
    indicators=[ks.Indicator.MEAN, ks.Indicator.POVERTY_HEADCOUNT, ks.Indicator.GINI,
                ("above_twice_line", lambda values, z: float(np.mean(values > 2 * z)))],
    threshold=lambda y: 0.6 * np.median(y),
    n_mc=20, n_reps=10, rstate=7, progress_bar=False)
poverty_map = ebp.to_pandas("prediction").pivot(index="area", columns="indicator",
                                                values="pred")
print(poverty_map.round(3).head())
