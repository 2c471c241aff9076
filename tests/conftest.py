import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "default", deadline=None, max_examples=300, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("ci", deadline=None, max_examples=1000, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
