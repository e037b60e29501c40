"""The pipeline recipes of docs/pipelines.md, run for real against their engines.

Each recipe (examples/pipeline_*.py) checks its own results: the ids made in
the engine's workers against those of the parent, and the hash, pickle or
fingerprint of a template in two processes. A recipe whose engine is not
installed is skipped: the test command installs datasets, Dask and joblib
(requirements-pipelines.txt); `bash scripts/run.sh integrations` adds Ray and
PyTorch.
"""

import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

from support import PYTHON

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

# recipe -> the modules it needs besides frasolet and tokenizers
RECIPES = {
    "pipeline_datasets.py": ["datasets"],
    "pipeline_dask.py": ["dask", "distributed"],
    "pipeline_joblib.py": ["joblib"],
    "pipeline_process_pool.py": ["dill", "cloudpickle"],
    "pipeline_interpreters.py": [],
    "pipeline_ray.py": ["ray"],
    "pipeline_torch.py": ["torch"],
}


def dill_pickles_functions():
    """Whether dill, with which datasets sends the mapped function to its
    workers, can pickle a function on this interpreter (dill 0.4.1 cannot on
    3.15, whose code objects have no co_lnotab)."""
    import dill

    try:
        dill.dumps(lambda: None)
    except AttributeError:
        return False
    return True


def test_every_recipe_is_listed():
    assert {script.name for script in EXAMPLES.glob("pipeline_*.py")} == set(RECIPES)


@pytest.mark.parametrize("recipe", sorted(RECIPES))
def test_recipe_runs(recipe, tmp_path):
    missing = [name for name in RECIPES[recipe] if importlib.util.find_spec(name) is None]
    if missing:
        pytest.skip(f"not installed: {', '.join(missing)}")
    if recipe == "pipeline_interpreters.py" and sys.version_info < (3, 14):
        pytest.skip("InterpreterPoolExecutor is new in Python 3.14")
    if recipe == "pipeline_datasets.py" and not dill_pickles_functions():
        pytest.skip("dill cannot pickle functions on this Python: datasets cannot map in workers")
    # From an unrelated folder, with the caches of the engines kept in it.
    env = dict(os.environ, HOME=str(tmp_path), HF_HUB_OFFLINE="1", HF_DATASETS_OFFLINE="1")
    result = subprocess.run(
        [*PYTHON, str(EXAMPLES / recipe)],
        cwd=tmp_path,
        env=env,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Traceback" not in result.stderr
    # Every recipe ends by printing what it checked; the asserts are its own.
    assert "the same" in result.stdout or "the ids" in result.stdout, result.stdout
