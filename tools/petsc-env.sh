#!/usr/bin/env bash
# Makes a virtual environment with PETSc and MPI (Debian's petsc4py and OpenMPI, for the
# system Python) and this project installed in it; prints the environment's python on the
# last line of output. Safe to run again: it installs only what is missing and reinstalls
# the project from the source tree.
#
#   bash tools/petsc-env.sh              # environment in build/venv-petsc
#   VORLANE_PETSC_VENV=DIR bash tools/petsc-env.sh
#
# Exits 3, with the reason on stderr and in build/petsc-unavailable.txt, when petsc4py
# cannot be installed on this machine; any other failure exits with its own status.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1
VENV="${VORLANE_PETSC_VENV:-build/venv-petsc}"
SYSPY=/usr/bin/python3

# Debian installs petsc4py under PETSc's own prefix and finds it through /usr/lib/petsc,
# which only the development package creates; locate the module directory directly instead.
petsc4py_dir() {
  local d
  for d in /usr/lib/petscdir/petsc*/*-real/lib/python3/dist-packages; do
    [ -f "$d/petsc4py/__init__.py" ] && { echo "$d"; return 0; }
  done
  return 1
}

# The reason also goes to a file, for the test command's skip message.
REASON_FILE=build/petsc-unavailable.txt
mkdir -p build
rm -f "$REASON_FILE"
unavailable() {
  echo "petsc-env: petsc4py unavailable: $*" >&2
  echo "petsc4py unavailable: $*" > "$REASON_FILE"
  exit 3
}

[ -x "$SYSPY" ] || unavailable "no system Python at $SYSPY"
if ! petsc4py_dir >/dev/null || ! command -v mpiexec >/dev/null \
    || ! "$SYSPY" -c "import venv, ensurepip" 2>/dev/null; then
  command -v apt-get >/dev/null || unavailable "not installed and apt-get is missing"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || unavailable "not installed, not root and sudo is missing"
    SUDO="sudo"
  fi
  $SUDO apt-get update -qq || unavailable "apt-get update failed"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
    --no-install-recommends python3-petsc4py openmpi-bin python3-venv \
    || unavailable "apt-get install python3-petsc4py failed"
fi
PETSC4PY_DIR="$(petsc4py_dir)" || unavailable "installed, but its module directory is missing"

if [ ! -x "$VENV/bin/python" ] \
    || ! grep -q '^include-system-site-packages = true' "$VENV/pyvenv.cfg" 2>/dev/null; then
  rm -rf "$VENV"
  "$SYSPY" -m venv --system-site-packages "$VENV"
fi
PY="$VENV/bin/python"
SITE="$("$PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
echo "$PETSC4PY_DIR" > "$SITE/petsc4py-system.pth"

# Pin NumPy to the system one petsc4py was compiled against; SciPy and PyAMG then resolve
# to releases that support it.
NUMPY_VERSION="$("$PY" -c 'import numpy; print(numpy.__version__)')"
CONSTRAINTS="$VENV/constraints.txt"
echo "numpy==$NUMPY_VERSION" > "$CONSTRAINTS"
"$PY" -m pip install -q -c "$CONSTRAINTS" "scipy>=1.8" "pyamg>=5" "pytest>=7" "hypothesis>=6"
"$PY" -m pip install -q -c "$CONSTRAINTS" .

"$PY" - <<'EOF'
import numpy, petsc4py
petsc4py.init([])
from petsc4py import PETSc
import vorlane
print(f"petsc-env: PETSc {'.'.join(map(str, PETSc.Sys.getVersion()))}, "
      f"petsc4py {petsc4py.__version__}, NumPy {numpy.__version__}, vorlane {vorlane.__file__}",
      flush=True)
EOF
echo "$PY"
