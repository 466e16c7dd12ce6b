# shellcheck shell=bash
# Shared by the scripts in tools/: sourced, not run. The sourcing script sets
# `root` to the checkout; `venv_root` (default $root/.venv) may point the
# virtual environments elsewhere.

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

# Prints the newest interpreter of `pythons`; sys.hexversion orders
# pre-releases before the final release of the same version.
newest_python() {
  local py
  for py in "${pythons[@]}"; do
    printf '%s %s\n' "$("$py" -c 'import sys; print(sys.hexversion)')" "$py"
  done | sort -s -n -k1,1 | tail -n 1 | cut -d' ' -f2-
}

# venv_with_morvex PY [NAME]: prints the path of a virtual environment for PY
# with the test and build tools and this checkout's morvex installed;
# VENVS/pyX.Y, or VENVS/NAME-pyX.Y when NAME is given.
venv_with_morvex() {
  local py=$1 name=${2:+$2-} tag venv
  # Called as $(...), where set -e does not reach: every step checks itself.
  tag=$("$py" -c 'import sys; print("py%d.%d" % sys.version_info[:2])') || return 1
  venv="${venv_root:-$root/.venv}/$name$tag"
  tools/make-venv "$py" "$venv" >&2 || return 1
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    "$root" >&2 || return 1
  echo "$venv"
}

# pytest on every interpreter of `pythons`, each in its own virtual
# environment; the log names the exact version each run used.
# The Python tests of one interpreter against an extension built with
# AddressSanitizer and UndefinedBehaviorSanitizer (the interpreter itself is
# the stock one: the runtime comes first through LD_PRELOAD, and Python's
# own allocator steps aside so that ASan sees every allocation).
python_tests_sanitized() {
  local py=$1 version venv tag
  version=$("$py" -c 'import platform; print(platform.python_implementation(), platform.python_version())')
  say "Python tests under AddressSanitizer + UndefinedBehaviorSanitizer with $py ($version)"
  tag=$("$py" -c 'import sys; print("py%d.%d" % sys.version_info[:2])')
  venv="${venv_root:-$root/.venv}/asan-$tag"
  tools/make-venv "$py" "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C cmake.define.MORVEX_SANITIZE=address,undefined -C build-dir="build/py-asan-$tag" "$root"
  LD_PRELOAD="$(c++ -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 MORVEX_SANITIZED=1 \
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
}

python_tests() {
  local py venv version
  for py in "${pythons[@]}"; do
    version=$("$py" -c 'import platform; print(platform.python_implementation(), platform.python_version())')
    say "Python tests with $py ($version)"
    venv=$(venv_with_morvex "$py")
    "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
  done
}

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
jobs=$(nproc)

# cpp_suite NAME CTEST_ARGS CMAKE_ARGS...: builds the C++ tests in build/NAME
# and runs them.
cpp_suite() {
  local name=$1 ctest_args=$2
  shift 2
  local dir="build/$name"
  say "C++ tests: $name"
  cmake -S . -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORVEX_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # shellcheck disable=SC2086
  ctest --test-dir "$dir" --output-on-failure $ctest_args
}
