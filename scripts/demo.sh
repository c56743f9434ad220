#!/usr/bin/env bash
# Builds the module into the project's virtual environment and runs the
# demonstration on its embedded recording.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
ensure_debian_packages g++ pkg-config
ensure_venv .venv python3 requirements/test.txt >&2
.venv/bin/pip install -q . >&2
.venv/bin/python examples/demo.py
