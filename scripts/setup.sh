# Sourced by the other scripts: installs what building and testing wordloom
# needs (Debian packages, a python3.12 virtual environment) and builds it.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

echo "setup: Debian packages for the build"
source scripts/debian.sh
install_debian_packages libgtest-dev  # the C++ unit tests

# .python-version selects pyenv's 3.12 inside the project.
if [ ! -x .venv/bin/python ]; then
  echo "setup: a Python 3.12 virtual environment in .venv"
  python3.12 -m venv .venv
  .venv/bin/python -m pip install -q --upgrade pip
fi
echo "setup: development tools from requirements-dev.txt"
.venv/bin/python -m pip install -q -r requirements-dev.txt
export PATH="$PWD/.venv/bin:$PATH"
echo "setup: building and installing wordloom (a few minutes on a fresh checkout)"
.venv/bin/python -m pip install -q .
