import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs a snippet in a fresh interpreter (module initialisation is once per process)."""

    def run(code):
        env = dict(os.environ, MPLBACKEND="Agg")
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env,
                              timeout=120)

    return run
