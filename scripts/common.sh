# Shared steps of the project's commands: system packages and virtual environments.
# Sourced, not run.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf '\n==> %s\n' "$*"; }

# Installs the Debian packages that are missing, as root; otherwise says what to install.
ensure_packages() {
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "error: missing system packages: ${missing[*]}" >&2
    echo "install them with: sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  say "installing system packages: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

ensure_build_tools() {
  ensure_packages g++ make
  command -v cmake >/dev/null || ensure_packages cmake
}

# ensure_venv DIR INTERPRETER: a virtual environment with an up-to-date pip.
ensure_venv() {
  local dir=$1 interpreter=$2
  if [ ! -x "$dir/bin/python" ]; then
    say "creating $dir with $interpreter"
    "$interpreter" -m venv "$dir"
  fi
}

# Installs the project (both extension modules and the tavlox_zero package) into a venv.
install_project() {
  local dir=$1 extras=${2:-}
  say "building and installing the project into $dir"
  "$dir/bin/python" -m pip install -q "$root$extras"
}

# The CPython environment: torch from this machine's CPU build, then the project.
ensure_cpython_env() {
  local dir="$root/.venv" extras=${1:-}
  ensure_venv "$dir" python3
  "$dir/bin/python" -m pip install -q torch==2.13.0 numpy tqdm matplotlib pytest
  install_project "$dir" "$extras"
}

# A fingerprint of what an install of the project is built from: the build files, the sources
# of both extensions and the Python package, the extras and the interpreter.
project_fingerprint() {
  local dir=$1 extras=${2:-}
  {
    printf '%s\n' "$extras"
    "$dir/bin/python" -c 'import sys; print(sys.version)'
    (cd "$root" && find pyproject.toml CMakeLists.txt tavlox self_play python python_binding \
      -type f -not -path '*/__pycache__/*' -not -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum)
  } | sha256sum | cut -d' ' -f1
}

# install_project unless the venv holds an install built from exactly these sources.
install_project_if_changed() {
  local dir=$1 extras=${2:-} stamp="$1/.tavlox-installed" fingerprint
  fingerprint=$(project_fingerprint "$dir" "$extras")
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$fingerprint" ] && [ -x "$dir/bin/tavlox-zero" ]; then
    return 0
  fi
  rm -f "$stamp"
  install_project "$dir" "$extras"
  printf '%s\n' "$fingerprint" >"$stamp"
}
