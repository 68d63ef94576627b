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
    "fleet_scale",
)

# Cases that need longer than run_all's default timeout, in seconds.
TIMEOUTS = {"fleet_scale": 1500.0}
