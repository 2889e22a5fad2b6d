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


@pytest.fixture
def second_initialisation(run_python):
    """Runs a second initialisation attempt in a fresh interpreter and returns what it printed
    ("ImportError: <message>" when it was refused); `still_there` is a statement that must still
    work on the module made first."""

    def attempt(code, still_there):
        result = run_python(f"""
            import textwrap
            try:
                exec(textwrap.dedent({code!r}))
            except ImportError as error:
                print("ImportError:", error)
            {still_there}
        """)
        assert result.returncode == 0, result.stderr
        return result.stdout.strip()

    return attempt
