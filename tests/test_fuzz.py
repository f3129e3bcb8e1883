import os
import re
import subprocess
import sys

import pytest

pytest.importorskip("atheris")

FUZZ_SECONDS = int(os.environ.get("QUORIX_FUZZ_SECONDS", "20"))
HERE = os.path.dirname(os.path.abspath(__file__))


def test_fuzzing_the_argument_matcher_finds_nothing(tmp_path):
    (tmp_path / "corpus").mkdir()
    done = subprocess.run(
        [sys.executable, os.path.join(HERE, "fuzz_boundary.py"), f"-max_total_time={FUZZ_SECONDS}",
         f"-artifact_prefix={tmp_path}/", "-print_final_stats=1", str(tmp_path / "corpus")],
        capture_output=True, text=True, cwd=HERE, timeout=FUZZ_SECONDS + 120,
        env={**os.environ, "PYTHONWARNINGS": "ignore"})
    runs = re.search(r"Done (\d+) runs in (\d+) second", done.stderr)
    print(runs.group(0) if runs else done.stderr[-2000:])
    assert done.returncode == 0, done.stderr[-4000:]
    assert runs and int(runs.group(1)) > 1000
