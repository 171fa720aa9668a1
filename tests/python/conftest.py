"""Shared fixtures: the native module, the test-only module and hypothesis profiles."""

import glob
import os
import sys

import pytest
from hypothesis import HealthCheck, settings

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

# The test-only module is built next to the developer build tree, never installed.
_build = os.environ.get("QUILLFEN_TEST_BUILD_DIR", "build/dev")
for _path in glob.glob(os.path.join(_ROOT, _build, "testing")):
    sys.path.insert(0, _path)

# The suite's profiles are derandomised: `make test` draws the same examples on every run, so
# it never goes red by chance. "ci" keeps the free-threaded run within its time budget. The
# random search runs apart: "explore" (`make explore`) and "deep" (long local runs) draw new
# examples each time and keep the failures they find in the example database.
_QUIET = [HealthCheck.too_slow]
settings.register_profile("ci", max_examples=200, deadline=None, derandomize=True, suppress_health_check=_QUIET)
settings.register_profile("dev", max_examples=500, deadline=None, derandomize=True, suppress_health_check=_QUIET)
settings.register_profile("explore", max_examples=2_000, deadline=None, suppress_health_check=_QUIET)
settings.register_profile("deep", max_examples=100_000, deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci" if os.environ.get("CI") else "dev"))


def _shared_corpus():
    """The shared corpus beside the checkout, or beside a folder above it (a worktree)."""
    folder = _ROOT
    while True:
        corpus = os.path.join(os.path.dirname(folder), "shared", "corpus")
        parent = os.path.dirname(folder)
        if os.path.isdir(corpus) or parent == folder:
            return corpus
        folder = parent


CORPUS_DIR = os.path.join(_shared_corpus(), "files")
EXCEL_DIR = os.path.join(_shared_corpus(), "excel")


@pytest.fixture(scope="session")
def native():
    from quillfen import _quillfen
    return _quillfen


@pytest.fixture(scope="session")
def testing():
    return pytest.importorskip("_quillfen_testing")


def pytest_collection_modifyitems(config, items):
    """QUILLFEN_TEST_SHARD=i/n keeps the tests of every n-th test file from the i-th on (files
    in name order): `make test` runs the default interpreter's suite as two such processes, so
    that the cores stay busy to the end."""
    shard = os.environ.get("QUILLFEN_TEST_SHARD")
    if not shard:
        return
    index, count = (int(part) for part in shard.split("/"))
    if not 1 <= index <= count:
        raise pytest.UsageError("QUILLFEN_TEST_SHARD must be i/n with 1 <= i <= n, not %r" % shard)
    files = sorted({str(item.path) for item in items})
    mine = set(files[index - 1::count])
    kept = [item for item in items if str(item.path) in mine]
    config.hook.pytest_deselected(items=[item for item in items if str(item.path) not in mine])
    items[:] = kept


def pytest_collection_finish(session):
    """The wheel build of the packaging test is minutes of compiling: start it as soon as the
    test is selected, so that it runs beside the rest of the suite."""
    if session.config.option.collectonly:
        return
    for item in session.items:
        start = getattr(getattr(item, "module", None), "start_wheel_build", None)
        if start is not None:
            start()
            return
