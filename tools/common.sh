# Shared by the scripts in tools/: sourced, not run.

# CMake generator arguments: Ninja where it is installed.
generator=()
if command -v ninja >/dev/null; then generator=(-G Ninja); fi

say() { printf '\n==> %s\n' "$*"; }

apt_install() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  say "installing $* with apt"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

# Fills the array `pythons` with every CPython >= 3.12 found, or stops.
find_pythons_or_fail() {
  mapfile -t pythons < <(tools/find-pythons)
  if [ ${#pythons[@]} -eq 0 ]; then
    echo "error: no CPython 3.12 or later found (looked for python3.12+ commands, pyenv versions," >&2
    echo "       /usr/bin/python3.1x); install one or point MORVEX_PYTHON at it" >&2
    exit 1
  fi
}

# venv_with_morvex PY [NAME]: prints the path of a virtual environment for PY
# with the test and build tools and this checkout's morvex installed;
# .venv/pyX.Y, or .venv/NAME-pyX.Y when NAME is given.
venv_with_morvex() {
  local py=$1 name=${2:+$2-} tag venv
  # Called as $(...), where set -e does not reach: every step checks itself.
  tag=$("$py" -c 'import sys; print("py%d.%d" % sys.version_info[:2])') || return 1
  venv="$root/.venv/$name$tag"
  tools/make-venv "$py" "$venv" >&2 || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    "$root" >&2 || return 1
  echo "$venv"
}
