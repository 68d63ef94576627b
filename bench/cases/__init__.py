"""Benchmark cases in report order; each module yields Rows from run(vm)."""

ORDER = (
    "construction",
    "associated_values",
    "resampling",
    "projection",
    "elastic_band",
    "chaikin",
    "circle_fit",
    "repair",
    "fleet",
)
