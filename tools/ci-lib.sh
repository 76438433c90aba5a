# Shared by the tools/ci-*.sh scripts: sourced, not run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# ci_configure_build BUILD_DIR [cmake-args...]: configures (or reconfigures)
# the build directory and builds it, with at most JOBS (2) jobs.
ci_configure_build() {
  local build_dir=$1
  shift
  echo "== configuring and building $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    -DDVR_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$build_dir" -j"${JOBS:-2}"
}

# ci_run_ctest BUILD_DIR [ctest-args...]: runs the whole suite there. The last
# lines are ctest's summary ("N% tests passed, N tests failed out of N") and
# its total time; an empty suite counts as a failure.
ci_run_ctest() {
  local build_dir=$1
  shift
  echo "== running the test suite in $build_dir"
  cd "$build_dir"
  ctest --output-on-failure --no-tests=error -j"${JOBS:-2}" "$@"
}

# ci_install_armhf [package ...]: adds the armhf architecture to dpkg when it
# is missing and installs what the cross build of the core needs (the cross
# compiler, qemu-user, the armhf -dev packages through multiarch) and the
# given packages, only those that are missing. Returns non-zero when the armhf
# packages cannot be installed (for example while the mirror serves an armhf
# package index that does not match its release file); the architecture is
# then taken out again if nothing of it was installed, so that later package
# list updates are not broken by the missing index.
ci_install_armhf() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "adding the armhf architecture"
    "${sudo[@]}" dpkg --add-architecture armhf
    # install-deps.sh updates the package lists before it installs anything.
  fi
  if tools/install-deps.sh qemu-user g++-arm-linux-gnueabihf \
      libboost-system-dev:armhf libboost-filesystem-dev:armhf \
      libtinyxml-dev:armhf libwxgtk3.2-dev:armhf "$@"; then
    return 0
  fi
  if [ -z "$(dpkg-query -W -f='${Package}:${Architecture}\n' 2>/dev/null | grep ':armhf$')" ]; then
    echo "taking the armhf architecture out again: none of its packages is installed"
    "${sudo[@]}" dpkg --remove-architecture armhf
  fi
  return 1
}

# ci_armhf_header_checks: what can be checked for the device with the cross
# compiler alone, when the armhf libraries the core needs cannot be installed:
# the public plugin headers compile in C and C++ with 4-byte pointers (so the
# 32-bit record layouts are checked), and the example plugins compile
# warning-free for armhf.
ci_armhf_header_checks() {
  tools/install-deps.sh g++-arm-linux-gnueabihf
  local scratch
  scratch=$(mktemp -d)
  printf '#include "plugin/dvrplugin_entry.h"\n#include "plugin/dvrplugin_helpers.h"\n' \
    >"$scratch/headers.c"
  cp "$scratch/headers.c" "$scratch/headers.cpp"
  echo "== armhf: the plugin headers in C and C++, 32-bit layout checks"
  arm-linux-gnueabihf-gcc -std=c99 -Wall -Wextra -Werror -Iinclude -c "$scratch/headers.c" \
    -o "$scratch/c.o"
  arm-linux-gnueabihf-g++ -std=c++17 -Wall -Wextra -Werror -Iinclude -c "$scratch/headers.cpp" \
    -o "$scratch/cpp.o"
  local example
  for example in examples/*/*.c; do
    echo "== armhf: $example"
    arm-linux-gnueabihf-gcc -std=c11 -Wall -Wextra -Werror -fPIC -Iinclude -c "$example" \
      -o "$scratch/example.o"
  done
  rm -rf "$scratch"
}
