#!/usr/bin/env bash
# CI run: the plugin SDK as an installed package, natively and for armhf. For
# each, it installs the core into a scratch prefix and checks the layout,
# builds examples/ as a project of its own against the installed package
# (find_package(dvrplugin CONFIG), warnings as errors), builds a one-file
# plugin with the C compiler and pkg-config, and runs the installed core with
# those plugins in its plugins/ directory until it has started (the armhf core
# under qemu-arm). The core's build directory is build-native/ or
# build-armhf/ when an earlier run configured it, else a minimal build in
# build-sdk/ or build-sdk-armhf/ (no tests or benchmarks). Installs what
# is missing first (the armhf packages too); safe to run again. Ends with
# "sdk: passed" or "sdk: FAILED ..." and a matching exit status.
source "$(dirname "$0")/ci-lib.sh"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "sdk $name: $*" >&2
  exit 1
}

# sdk_check NAME REUSED_DIR FALLBACK_DIR C_COMPILER EMULATOR [cmake-args...]
sdk_check() {
  name=$1
  local reused=$2 fallback=$3 cc=$4 emulator
  read -ra emulator <<<"$5"
  shift 5
  local build=$fallback prefix=$scratch/$name/prefix work=$scratch/$name
  [ -f "$reused/CMakeCache.txt" ] && build=$reused
  echo "== $name: building the core in $build, installing it into a scratch prefix"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDVR_BUILD_TESTS=OFF \
      -DDVR_BUILD_BENCH=OFF "$@" >/dev/null
  fi
  cmake --build "$build" -j"${JOBS:-2}"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  local path
  for path in bin/dvrcore bin/plugins bin/protected-plugins bin/dvrparent bin/dvrinspect \
      share/man/man8/dvrcore.8 share/man/man1/dvrparent.1 share/man/man1/dvrinspect.1 \
      include/plugin/dvrplugin.h \
      include/plugin/dvrplugin_entry.h include/plugin/dvrplugin_helpers.h \
      include/plugin/dvrplugin_layout.h share/cmake/dvrplugin/dvrpluginConfig.cmake \
      share/pkgconfig/dvrplugin.pc; do
    [ -e "$prefix/$path" ] || fail "the install lacks $path"
  done
  [ -z "$(find "$prefix/bin/plugins" "$prefix/bin/protected-plugins" -mindepth 1)" ] ||
    fail "the install's plugin directories are not empty"

  echo "== $name: examples/ built against the installed package"
  cmake -S examples -B "$work/examples" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_FLAGS=-Werror \
    -DCMAKE_CXX_FLAGS=-Werror "$@" >/dev/null
  cmake --build "$work/examples" -j"${JOBS:-2}"
  cmake --install "$work/examples" --prefix "$prefix" --component examples >/dev/null

  echo "== $name: a one-file plugin built with $cc and pkg-config"
  ci_build_hello_plugin "$cc" "$work" "$prefix/bin/plugins/hello.so" \
    "$(PKG_CONFIG_PATH=$prefix/share/pkgconfig pkg-config --cflags dvrplugin)"
  local machine plugin
  machine=$(readelf -h "$prefix/bin/dvrcore" | grep -E '^ *(Class|Machine):')
  for plugin in "$prefix"/bin/plugins/*.so; do
    [ "$(readelf -h "$plugin" | grep -E '^ *(Class|Machine):')" = "$machine" ] ||
      fail "$(basename "$plugin") is not built for the core's machine ($machine)"
  done

  echo "== $name: the installed core with $(cd "$prefix/bin/plugins" && echo *.so)"
  mkdir -p "$work/run"
  (cd "$work/run" && DVR_METRICS_LISTEN=127.0.0.1:0 exec "${emulator[@]}" "$prefix/bin/dvrcore" \
    >/dev/null 2>&1) &
  local pid=$! tries=0 status=0
  until grep -q "successfully started core version" "$work/run/dvrcore.log" 2>/dev/null; do
    tries=$((tries + 1))
    if [ "$tries" -gt 120 ] || ! kill -0 "$pid" 2>/dev/null; then
      break # a minute gone, or the core is gone: the checks below say what is missing
    fi
    sleep 0.5
  done
  kill -INT "$pid" 2>/dev/null || true
  wait "$pid" || status=$?
  local line
  for line in "successfully started core version" "camera started: 25 fps" \
      "recorder: recording to recording.dvr" "0x00600000  50 hello from a one-file plugin"; do
    grep -qF "$line" "$work/run/dvrcore.log" 2>/dev/null ||
      fail "the log sink's dvrcore.log lacks \"$line\""
  done
  [ "$status" -eq 0 ] || fail "the core exited with status $status after SIGINT"
  echo "== $name: passed"
}

failed=()
tools/install-deps.sh
set +e
(set -e; sdk_check native build-native build-sdk cc "")
status=$?
[ "$status" -eq 0 ] || failed+=(native)
armhf=armhf
if ci_install_armhf; then
  (set -e; sdk_check armhf build-armhf build-sdk-armhf arm-linux-gnueabihf-gcc "qemu-arm -L /" \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-armhf.cmake")
  status=$?
else
  # No armhf core to install: the plugin side still builds for armhf.
  armhf="armhf plugin side only; SKIPPED: the armhf core (its packages could not be installed)"
  (set -e; ci_armhf_header_checks)
  status=$?
fi
[ "$status" -eq 0 ] || failed+=(armhf)
set -e

if [ ${#failed[@]} -eq 0 ]; then
  echo "sdk: passed (native, $armhf)"
else
  echo "sdk: FAILED (${failed[*]})"
  exit 1
fi
