"""The leak check itself must notice a leak of one small object per call."""
import os

import pytest

from harness import assert_flat


# The sanitizers' allocator hides Python's block counts.
@pytest.mark.skipif(bool(os.environ.get("ASKWEAVE_SANITIZED")), reason="needs the host's own allocator")
@pytest.mark.parametrize("every", [1, 10])
def test_a_lost_object_per_call_is_noticed(every):
    kept = []

    def leaky(i):
        if i % every == 0:
            kept.append(str(i))

    with pytest.raises(AssertionError):
        assert_flat(leaky, calls=20_000)
