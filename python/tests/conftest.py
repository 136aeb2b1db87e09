"""The binding against the library and the simulated instruments of a build.

ZENTREL_SIGNAL_LIBRARY names the library (the build's bin folder also holds the sample
files); without it the source tree's native build is used."""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))

import zentrel_signal as zs  # noqa: E402


@pytest.fixture(scope="session")
def lib():
    return zs.Library()


@pytest.fixture(scope="session")
def bin_dir(lib):
    return Path(os.path.realpath(lib.path)).parent


@pytest.fixture
def sample(bin_dir):
    return bin_dir / "samples" / "sample-current.bin"


@pytest.fixture(scope="session")
def header():
    return (Path(__file__).resolve().parents[2] / "include" / "zentrel_signal.h").read_text()
