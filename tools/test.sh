#!/usr/bin/env bash
# The whole test run, from a fresh machine: installs what is missing, then
#   1. the C++ tests through CTest,
#   2. the same under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the concurrency tests under ThreadSanitizer,
#   4. the C++ tests cross-built for AArch64, under qemu-user (tools/test-aarch64),
#   5. pytest on every CPython >= 3.12 found, each in its own virtual env.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# shellcheck source=tools/common.sh
. tools/common.sh

[ -f /usr/include/gtest/gtest.h ] || apt_install libgtest-dev
command -v cmake >/dev/null || apt_install cmake
jobs=$(nproc)

cpp_suite() {  # name, ctest args, cmake args...
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

cpp_suite release "" -DMORVEX_BUILD_BENCH=ON
ASAN_OPTIONS=detect_leaks=1 cpp_suite asan "" -DMORVEX_SANITIZE=address,undefined
# ThreadSanitizer cannot map its shadow memory under the high ASLR entropy
# of recent kernels; running without address randomisation avoids that.
tsan_run=()
if command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
  tsan_run=(setarch "$(uname -m)" -R)
fi
say "C++ tests: tsan"
cmake -S . -B build/tsan "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMORVEX_BUILD_TESTS=ON -DMORVEX_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "${tsan_run[@]}" \
  ctest --test-dir build/tsan --output-on-failure -L concurrency
tools/test-aarch64

find_pythons_or_fail
for py in "${pythons[@]}"; do
  say "Python tests with $py"
  venv=$(venv_with_morvex "$py")
  "$venv/bin/python" -m pytest -q -p no:cacheprovider tests/python
done
say "all tests passed"
