# Shared by the tools/ci-*.sh scripts: sourced, not run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# ci_configure_build BUILD_DIR [cmake-args...]: configures (or reconfigures)
# the build directory and builds it (only the targets in CI_TARGETS when that
# is set), with at most JOBS (2) jobs.
ci_configure_build() {
  local build_dir=$1
  shift
  echo "== configuring and building $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    -DDVR_BUILD_BENCH=OFF "$@" >/dev/null
  # shellcheck disable=SC2086 # a list of target names
  cmake --build "$build_dir" -j"${JOBS:-2}" ${CI_TARGETS:+--target $CI_TARGETS}
}

# The two sanitizer builds, configured the same way wherever they are used
# (the suite's runs and the soak run), so that a later run reuses the build
# an earlier one made. Extra arguments go to CMake.
#
# AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/: every
# undefined-behaviour report is fatal, not only the unrecoverable ones. GCC
# warns falsely of maybe-uninitialized values inside libstdc++'s <regex>
# once it is instrumented (its manual says sanitizers raise that warning's
# false positives), so that one warning is off in this build only.
ci_build_asan() {
  local flags="-fno-sanitize-recover=all -Wno-maybe-uninitialized"
  ci_configure_build build-asan -DDVR_SANITIZE=address,undefined \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" "$@"
}

# Every report fatal, leak detection on.
ci_asan_environment() {
  export ASAN_OPTIONS=halt_on_error=1:print_stacktrace=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  export LSAN_OPTIONS=suppressions=$PWD/tools/sanitizer/lsan.supp:print_suppressions=0
}

# ThreadSanitizer in build-tsan/. Two compiler warnings are off in this build
# only, both about third-party headers: GCC warns falsely of
# maybe-uninitialized values inside instrumented libstdc++ code (as above),
# and -Wtsan notes that Boost.Asio's handler fences are invisible to
# ThreadSanitizer; Asio hands every handler over under its scheduler's mutex,
# which ThreadSanitizer does see.
ci_build_tsan() {
  local flags="-Wno-maybe-uninitialized -Wno-tsan"
  ci_configure_build build-tsan -DDVR_SANITIZE=thread \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_C_FLAGS="$flags" "$@"
}

ci_tsan_environment() {
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tools/sanitizer/tsan.supp"
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
  local packages=(qemu-user g++-arm-linux-gnueabihf
    libboost-system-dev:armhf libboost-filesystem-dev:armhf
    libtinyxml-dev:armhf libwxgtk3.2-dev:armhf libcap-dev:armhf "$@")
  if tools/install-deps.sh "${packages[@]}" || ci_install_armhf_from_pool "${packages[@]}"; then
    return 0
  fi
  if [ -z "$(dpkg-query -W -f='${Package}:${Architecture}\n' 2>/dev/null | grep ':armhf$')" ]; then
    echo "taking the armhf architecture out again: none of its packages is installed"
    "${sudo[@]}" dpkg --remove-architecture armhf
  fi
  return 1
}

# ci_install_armhf_from_pool package...: the install when apt cannot fetch an
# armhf package index (a mirror serving a stale file that does not match its
# release file). Without that index apt offers no armhf build of the versions
# that the machine's amd64 side has from that suite, and multiarch packages
# must match across architectures. So this prefers the stable release's own
# versions and fetches, straight from the archive's pool, the armhf build of
# each such package at the version installed for amd64; a few rounds, since
# each fetched package may bring up the next.
ci_install_armhf_from_pool() {
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  tools/install-deps.sh curl || return 1
  local debs
  debs=$(mktemp -d)
  local round name version source prefix file base found fetched=()
  for round in 1 2 3 4; do
    echo "armhf: install round $round, ${#fetched[@]} packages fetched from the pool"
    if DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -q \
        --no-install-recommends -t bookworm "${fetched[@]}" "$@" >"$debs/errors" 2>&1; then
      rm -rf "$debs"
      return 0
    fi
    found=0
    for name in $(grep 'but it is not going to be installed' "$debs/errors" |
        grep -oE 'Depends: [a-z0-9.+-]+:armhf' | sed 's/^Depends: //; s/:armhf$//' | sort -u); do
      version=$(dpkg-query -W -f='${Version}' "$name:amd64" 2>/dev/null || true)
      [ -n "$version" ] || continue
      source=$(dpkg-query -W -f='${source:Package}' "$name:amd64")
      case $source in lib?*) prefix=${source:0:4} ;; *) prefix=${source:0:1} ;; esac
      file=${name}_${version#*:}_armhf.deb
      for base in debian-security/pool/updates/main debian/pool/main; do
        if curl -fsS -o "$debs/$file" "http://deb.debian.org/$base/$prefix/$source/$file"; then
          fetched+=("$debs/$file")
          found=$((found + 1))
          break
        fi
        rm -f "$debs/$file"
      done
    done
    if [ "$found" -eq 0 ]; then
      cat "$debs/errors" >&2
      break
    fi
  done
  rm -rf "$debs"
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

# ci_fuzz_build [TARGET...]: installs clang-14 and its runtime when missing,
# configures build-fuzz/ (or $FUZZ_BUILD_DIR) for the fuzz targets of
# tests/fuzz (DVR_BUILD_FUZZ: the whole project instrumented for libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer) and builds the named
# targets (packet_stream builds packet_stream_fuzz), or all of them.
ci_fuzz_build() {
  local build_dir=${FUZZ_BUILD_DIR:-build-fuzz}
  tools/install-deps.sh clang-14 libclang-rt-14-dev libexpat1-dev curl dpkg-dev
  local tinyxml
  tinyxml=$(ci_tinyxml_source "$build_dir/tinyxml-source") || tinyxml=
  if [ -n "$tinyxml" ]; then
    echo "== TinyXML built from Debian's source in $tinyxml, instrumented like the core"
  else
    echo "== TinyXML: Debian's source could not be fetched; the installed library is used, not instrumented"
  fi
  echo "== configuring and building the fuzz targets in $build_dir"
  cmake -S . -B "$build_dir" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDVR_BUILD_FUZZ=ON -DDVR_BUILD_TESTS=OFF \
    -DDVR_BUILD_BENCH=OFF -DDVR_BUILD_EXAMPLES=OFF -DDVR_TINYXML_SOURCE="$tinyxml" >/dev/null
  local targets=(fuzz_targets)
  [ $# -eq 0 ] || targets=("${@/%/_fuzz}")
  cmake --build "$build_dir" -j"${JOBS:-2}" --target "${targets[@]}"
}

# ci_tinyxml_source DIR: Debian's source package of the installed TinyXML,
# fetched from the archive's pool (checksums checked by dpkg-source) and
# unpacked with its patches into DIR once. Prints the unpacked folder, or
# nothing when the source cannot be had here.
ci_tinyxml_source() {
  local dir=$1 version
  version=$(dpkg-query -W -f='${source:Version}' libtinyxml-dev 2>/dev/null) || return 0
  version=${version#*:}
  local unpacked="$dir/tinyxml-$version"
  if [ ! -f "$unpacked/tinyxmlparser.cpp" ]; then
    rm -rf "$dir" && mkdir -p "$dir" || return 0
    local pool file fetched=
    for pool in http://deb.debian.org/debian/pool/main http://deb.debian.org/debian-security/pool/updates/main; do
      if curl -fsS --max-time 60 -o "$dir/tinyxml.dsc" "$pool/t/tinyxml/tinyxml_$version.dsc" 2>/dev/null; then
        fetched=$pool
        break
      fi
    done
    [ -n "$fetched" ] || return 0
    for file in $(sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]* [0-9]* //p' "$dir/tinyxml.dsc"); do
      curl -fsS --max-time 60 -o "$dir/$file" "$fetched/t/tinyxml/$file" 2>/dev/null || return 0
    done
    mv "$dir/tinyxml.dsc" "$dir/tinyxml_$version.dsc"
    (cd "$dir" && dpkg-source -x "tinyxml_$version.dsc" "tinyxml-$version" >/dev/null 2>&1) || return 0
  fi
  if [ -f "$unpacked/tinyxmlparser.cpp" ]; then
    (cd "$unpacked" && pwd)
  fi
}

# ci_build_hello_plugin CC DIR OUTPUT CFLAGS: the plugin guide's one-file
# plugin ("A whole plugin"), written into DIR/hello.c and built with CC as C99
# against the headers CFLAGS names (pkg-config --cflags dvrplugin), warnings
# as errors. Once opened it logs "hello from a one-file plugin" at level 50
# under ID 0x00600000.
ci_build_hello_plugin() {
  local cc=$1 source=$2/hello.c output=$3 cflags=$4
  cat >"$source" <<'EOF'
#include "plugin/dvrplugin_entry.h"
#include "plugin/dvrplugin_helpers.h"

#define HELLO_ID 0x00600000u
static DvrEventEntry entry;

int Load(const _LoadParmsIn *in, _LoadParmsOut *out)
{
    entry = in->eventEntry;
    out->pluginId = HELLO_ID;
    return 0;
}

int Open(const _OpenParmsIn *in, _OpenParmsOut *out)
{
    (void)in;
    (void)out;
    dvr_log(entry, HELLO_ID, 50, "hello from a %s plugin", "one-file");
    return 0;
}
EOF
  # shellcheck disable=SC2086 # the flags are words
  "$cc" -std=c99 -Wall -Wextra -Werror -shared -fPIC $cflags -o "$output" "$source"
}
