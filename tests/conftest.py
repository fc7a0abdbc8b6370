import os

import pytest

SANITIZED = bool(os.environ.get("SONOLITH_SANITIZED"))


@pytest.fixture
def rng():
    import numpy as np

    return np.random.default_rng(12345)
