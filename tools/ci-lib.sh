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
# given packages, only those that are missing.
ci_install_armhf() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "adding the armhf architecture"
    "${sudo[@]}" dpkg --add-architecture armhf
    # install-deps.sh updates the package lists before it installs anything.
  fi
  tools/install-deps.sh qemu-user g++-arm-linux-gnueabihf \
    libboost-system-dev:armhf libboost-filesystem-dev:armhf \
    libtinyxml-dev:armhf libwxgtk3.2-dev:armhf "$@"
}
