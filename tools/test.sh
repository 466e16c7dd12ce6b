#!/usr/bin/env bash
# The whole test run, from a fresh machine: installs what is missing, then
#   1. the C++ tests through CTest,
#   2. the same under AddressSanitizer + UndefinedBehaviorSanitizer,
#   3. the concurrency tests under ThreadSanitizer,
#   4. the C++ tests cross-built for AArch64, under qemu-user (tools/test-aarch64),
#   5. pytest on every CPython >= 3.12 found, each in its own virtual env, and
#      on the newest once more against an extension built with ASan + UBSan,
#   6. tools/test-chroot: the C++ tests and pytest on the CPythons of Debian
#      unstable (3.14, 3.15) in a chroot.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# shellcheck source=tools/common.sh
. tools/common.sh

[ -f /usr/include/gtest/gtest.h ] || apt_install libgtest-dev
# Deflate for compressed traces: libdeflate, zlib the fallback.
[ -f /usr/include/libdeflate.h ] || apt_install libdeflate-dev
[ -f /usr/include/zlib.h ] || apt_install zlib1g-dev
command -v cmake >/dev/null || apt_install cmake
# The flame graph's search and zoom are checked in a real browser.
command -v chromium >/dev/null || apt_install chromium
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
python_tests
python_tests_sanitized "$(newest_python)"

# The CPythons this machine lacks, from Debian unstable in a chroot. A chosen
# MORVEX_PYTHON means "these interpreters only".
if [ -n "${MORVEX_PYTHON:-}" ]; then
  say "MORVEX_PYTHON is set: not running tools/test-chroot"
else
  tools/test-chroot
fi
say "all tests passed"
