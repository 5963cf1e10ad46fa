"""Runs every benchmark: the C++ programs built in BUILD_DIR/bench, then the
Python benchmarks beside this file. Usage: run.py BUILD_DIR"""

import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main():
    build_dir = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path("build/bench")
    for program in sorted((build_dir / "bench").glob("*_bench")):
        subprocess.run([str(program)], check=True)
    for script in sorted(HERE.glob("python_*_bench.py")):
        subprocess.run([sys.executable, str(script)], check=True, cwd=HERE)


if __name__ == "__main__":
    main()
