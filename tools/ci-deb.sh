#!/usr/bin/env bash
# CI run: the Debian packages (debian/), built the way Debian builds them,
# natively (amd64) and cross for armhf, then checked as installed. The tracked
# files of the working tree are copied into a scratch directory and built
# there, so nothing is written into the checkout or beside it. Steps:
#   1. dpkg-buildpackage -b for amd64 and -aarmhf (a real cross build), and
#      the hardening flags of dpkg-buildflags on the core's compile and link;
#   2. lintian on both: any error or warning fails the run;
#   3. amd64: installs the three packages with apt-get, links the examples
#      into /usr/lib/dvrcore/plugins/, runs /usr/sbin/dvrcore under the
#      installed dvrparent for a few seconds in a scratch directory, builds
#      examples/ against the installed dvrcore-dev (CMake) and a one-file
#      plugin (pkg-config), runs dvrinspect on them and alone, then removes
#      the links, purges the packages and checks that nothing is left;
#   4. armhf: the packages hold the same paths as amd64's, every ELF file in
#      them is 32-bit ARM, and their dvrinspect checks their examples under
#      qemu-arm.
# Installs what it needs first (debhelper, lintian, the cross toolchain, the
# armhf -dev packages, qemu-user). Installs and purges the packages on this
# machine, so it wants root (or sudo). Ends with "deb: passed (...)" or
# "deb: FAILED (...)" and a matching exit status.
source "$(dirname "$0")/ci-lib.sh"

started=$SECONDS
packages=(dvrcore dvrcore-dev dvrcore-examples)
examples=(camera recorder logsink metrics)
plugins_dir=/usr/lib/dvrcore/plugins
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

scratch=$(mktemp -d)
# apt reads local .deb files as its unprivileged user.
chmod 755 "$scratch"
cleanup() {
  local example
  for example in "${examples[@]}"; do
    [ -L "$plugins_dir/$example.so" ] && "${sudo[@]}" rm -f "$plugins_dir/$example.so"
  done
  if [ -e "$scratch/installed" ]; then
    "${sudo[@]}" dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
  echo "deb $part: $*" >&2
  exit 1
}

# build ARCH [dpkg-buildpackage-args...]: a copy of the tracked files in
# $scratch/ARCH/src, built there; the packages land in $scratch/ARCH/.
build() {
  part=build-$1
  local dir=$scratch/$1 compile_flags=(-fstack-protector-strong -D_FORTIFY_SOURCE=2)
  # Large files on the 32-bit device (64-bit machines have them anyway).
  [ "$1" = amd64 ] || compile_flags+=(-D_FILE_OFFSET_BITS=64)
  shift
  mkdir -p "$dir/src"
  git ls-files -z | tar --null -T - --ignore-failed-read -cf - | tar -C "$dir/src" -xf -
  echo "== $part: dpkg-buildpackage -b $* (log in the scratch directory)"
  if ! (cd "$dir/src" && dpkg-buildpackage -b -us -uc -j"${JOBS:-2}" "$@") >"$dir/build.log" 2>&1; then
    tail -40 "$dir/build.log" >&2
    fail "dpkg-buildpackage failed"
  fi
  local package
  for package in "${packages[@]}"; do
    ls "$dir/${package}_"*.deb >/dev/null || fail "no $package package was built"
  done
  # dpkg-buildflags' hardening reaches the compiler and the linker.
  local flag compile link
  compile=$(grep -E ' -c [^ ]*/core/main\.cpp$' "$dir/build.log")
  link=$(grep -E ' -o dvrcore ' "$dir/build.log")
  for flag in "${compile_flags[@]}"; do
    grep -qe "$flag" <<<"$compile" || fail "core/main.cpp was compiled without $flag"
  done
  for flag in -z,relro -z,now; do
    grep -qe "$flag" <<<"$link" || fail "dvrcore was linked without $flag"
  done
}

run_lintian() {
  part=lintian
  echo "== lintian (errors and warnings fail the run; info, pedantic and overridden tags listed)"
  lintian --display-info --pedantic --show-overrides --fail-on error,warning "$@"
}

# The installed core with the examples linked in, under the installed parent
# stand-in, for a few seconds in a scratch working directory.
run_installed_core() {
  local example run=$scratch/run status=0
  for example in "${examples[@]}"; do
    "${sudo[@]}" ln -s "../examples/$example.so" "$plugins_dir/$example.so"
  done
  mkdir -p "$run"
  echo "== amd64: /usr/sbin/dvrcore with $(cd "$plugins_dir" && echo *.so) under dvrparent"
  # The metrics plugin on a port the kernel picks: this machine may have 9464 taken.
  (cd "$run" && DVR_METRICS_LISTEN=127.0.0.1:0 timeout --preserve-status -k 30 -s INT 5 \
    dvrparent -q /usr/sbin/dvrcore) ||
    status=$?
  [ "$status" -eq 0 ] || fail "dvrparent /usr/sbin/dvrcore exited with status $status"
  [ -s "$run/recording.dvr" ] || fail "the recorder wrote no recording.dvr"
  echo "recording.dvr: $(stat -c %s "$run/recording.dvr") bytes; dvrcore.log:"
  cat "$run/dvrcore.log"
  local line
  for line in "successfully started core version" "camera started: 25 fps" \
      "recorder: recording to recording.dvr" "metrics: serving http://127.0.0.1:"; do
    grep -qF "$line" "$run/dvrcore.log" 2>/dev/null ||
      fail "the log sink's dvrcore.log lacks \"$line\""
  done
}

# Plugins built against the installed dvrcore-dev, checked by dvrinspect.
build_against_installed() {
  local work=$scratch/sdk
  echo "== amd64: examples/ built against the installed dvrcore-dev (find_package)"
  cmake -S examples -B "$work/examples" -DCMAKE_C_FLAGS=-Werror -DCMAKE_CXX_FLAGS=-Werror >/dev/null
  cmake --build "$work/examples" -j"${JOBS:-2}"
  echo "== amd64: a one-file plugin built with pkg-config"
  ci_build_hello_plugin cc "$work" "$work/hello.so" "$(pkg-config --cflags dvrplugin)"
  echo "== amd64: dvrinspect on the plugins built here"
  dvrinspect "$work"/examples/plugins/*.so "$work/hello.so" ||
    fail "dvrinspect refused a plugin built against the installed package"
  echo "== amd64: dvrinspect alone (the enabled examples)"
  local listing
  listing=$(dvrinspect) || fail "dvrinspect alone exited with status $?"
  echo "$listing"
  local example
  for example in "${examples[@]}"; do
    grep -qF "$example.so" <<<"$listing" || fail "dvrinspect alone does not list $example.so"
  done
}

# Purges the packages and checks that every path they installed is gone,
# except directories other packages share.
purge_and_check() {
  local example
  for example in "${examples[@]}"; do
    "${sudo[@]}" rm -f "$plugins_dir/$example.so"
  done
  dpkg -L "${packages[@]}" | sort -u >"$scratch/installed-paths"
  echo "== amd64: purging ${packages[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get purge -y -q "${packages[@]}" >/dev/null
  rm -f "$scratch/installed"
  local path left=()
  while IFS= read -r path; do
    [ "$path" != /. ] || continue # the root, as dpkg -L lists it
    [ -e "$path" ] || [ -L "$path" ] || continue
    if [ -d "$path" ] && [ ! -L "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; then
      continue # a system directory another package owns
    fi
    left+=("$path")
  done <"$scratch/installed-paths"
  for path in /usr/lib/dvrcore /usr/include/dvrcore /usr/share/doc/dvrcore \
      /usr/share/doc/dvrcore-dev /usr/share/doc/dvrcore-examples /usr/sbin/dvrcore; do
    [ -e "$path" ] && left+=("$path")
  done
  [ ${#left[@]} -eq 0 ] || fail "left behind after the purge: ${left[*]}"
  local known
  known=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' 'dvrcore*' 2>/dev/null |
    grep -v ' un *$' || true)
  [ -z "$known" ] || fail "dpkg still knows: $known"
}

check_amd64() {
  part=amd64
  local dir=$scratch/amd64 package
  for package in "${packages[@]}"; do
    dpkg-deb --ctrl-tarfile "$dir/${package}_"*.deb | tar -t |
      grep -qE '(pre|post)(inst|rm)$' && fail "$package has a maintainer script"
  done
  local debs=()
  for package in "${packages[@]}"; do
    debs+=("$(echo "$dir/${package}_"*_amd64.deb)")
  done
  echo "== amd64: apt-get install ${debs[*]##*/}"
  touch "$scratch/installed"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${debs[@]}" >/dev/null
  [ "$(readlink /usr/sbin/dvrcore)" = ../lib/dvrcore/dvrcore ] ||
    fail "/usr/sbin/dvrcore is not a link to ../lib/dvrcore/dvrcore"
  [ -z "$(find "$plugins_dir" /usr/lib/dvrcore/protected-plugins -mindepth 1)" ] ||
    fail "the plugin directories are not empty after the install"
  run_installed_core
  build_against_installed
  purge_and_check
  echo "== amd64: passed"
}

# paths DEB: the paths a package holds, one a line (links with their target).
paths() {
  dpkg-deb -c "$1" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }'
}

check_armhf() {
  part=armhf
  local package amd64 armhf root=$scratch/armhf/root
  for package in "${packages[@]}"; do
    amd64=$(echo "$scratch/amd64/${package}_"*_amd64.deb)
    armhf=$(echo "$scratch/armhf/${package}_"*_armhf.deb)
    diff <(paths "$amd64") <(paths "$armhf") >&2 ||
      fail "$package holds other paths for armhf than for amd64"
    dpkg-deb -x "$armhf" "$root"
  done
  local file header elves=0
  while IFS= read -r -d '' file; do
    [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
    elves=$((elves + 1))
    header=$(readelf -h "$file")
    if ! grep -qE '^ *Class: +ELF32$' <<<"$header" || ! grep -qE '^ *Machine: +ARM$' <<<"$header"; then
      fail "${file#"$root"} is not a 32-bit ARM file"
    fi
  done < <(find "$root" -type f -print0)
  echo "== armhf: $elves ELF files, all 32-bit ARM"
  echo "== armhf: dvrinspect on the armhf examples under qemu-arm"
  local listing
  listing=$(qemu-arm -L / "$root/usr/bin/dvrinspect" "$root"/usr/lib/dvrcore/examples/*.so) ||
    fail "the armhf dvrinspect exited with status $? on the armhf examples"
  echo "$listing"
  local id
  for id in 0x00500000 0x00510000 0x00520000; do
    grep -qiF "$id" <<<"$listing" || fail "the armhf dvrinspect does not show ID $id"
  done
  echo "== armhf: passed"
}

failed=()
tools/install-deps.sh debhelper lintian qemu-user crossbuild-essential-armhf
armhf=armhf
armhf_ok=1
ci_install_armhf || armhf_ok=0

set +e
(set -e; build amd64)
amd64_built=$?
armhf_built=1
if [ "$armhf_ok" -eq 1 ]; then
  (set -e; build armhf -aarmhf)
  armhf_built=$?
  [ "$armhf_built" -eq 0 ] || failed+=(build-armhf)
else
  armhf="armhf SKIPPED: its packages could not be installed"
fi
changes=()
[ "$amd64_built" -eq 0 ] && changes+=("$scratch"/amd64/*.changes) || failed+=(build-amd64)
[ "$armhf_built" -eq 0 ] && changes+=("$scratch"/armhf/*.changes)
if [ ${#changes[@]} -gt 0 ]; then
  (set -e; run_lintian "${changes[@]}") || failed+=(lintian)
fi
if [ "$amd64_built" -eq 0 ]; then
  (set -e; check_amd64) || failed+=(amd64)
fi
if [ "$amd64_built" -eq 0 ] && [ "$armhf_built" -eq 0 ]; then
  (set -e; check_armhf) || failed+=(armhf)
fi
set -e

if [ ${#failed[@]} -eq 0 ]; then
  echo "deb: passed (amd64, $armhf; $((SECONDS - started)) s)"
else
  echo "deb: FAILED (${failed[*]}; $((SECONDS - started)) s)"
  exit 1
fi
