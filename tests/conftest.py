import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "default", deadline=None, max_examples=300, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("ci", deadline=None, max_examples=1000, suppress_health_check=[HealthCheck.too_slow])
# the sanitized build runs every property, on fewer examples
settings.register_profile("sanitize", deadline=None, max_examples=25,
                          suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))


def pytest_collection_modifyitems(items):
    # Under the sanitize profile, tests that ask for many examples run fewer.
    if os.environ.get("HYPOTHESIS_PROFILE") != "sanitize":
        return
    profile = settings.get_profile("sanitize")
    for item in items:
        test = getattr(item, "obj", None)
        own = getattr(test, "_hypothesis_internal_use_settings", None)
        if own is not None and own.max_examples > profile.max_examples:
            test._hypothesis_internal_use_settings = settings(own, max_examples=profile.max_examples)
