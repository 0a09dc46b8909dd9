#!/usr/bin/env bash
# The Debian packages as an engineer meets them, on this computer's own
# system:
#   1. builds zorvik-selftest and zorvik-selftest-sim from the build folder
#      (cpack -G DEB) and checks their fields;
#   2. checks them with lintian: no error, and every warning named in the
#      README;
#   3. installs them with dpkg -i and checks the capabilities (getcap), the
#      versions, the man pages and the bash completion;
#   4. runs the installed dcu_selftest against the installed simulator in a
#      network namespace, as root and as the user nobody (no capability
#      inherited, only the file's), and wants the same lines from both; the
#      same binary without its capabilities must not open the bus;
#   5. removes them with dpkg -r and finds nothing of them left.
# Packages a previous run left installed are purged first; both packages are
# purged again on the way out, however the test ends.
#
#   package_test.sh BUILD_DIR SOURCE_DIR VERSION
#
# Needs root. Exit status 0 passed, 1 failed, 77 skipped (not root).
set -euo pipefail

build="$(cd "$1" && pwd)"
src="$(cd "$2" && pwd)"
version="$3"
packages=(zorvik-selftest zorvik-selftest-sim)
export DEBIAN_FRONTEND=noninteractive LC_ALL=C.UTF-8

if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: installs packages and creates network namespaces: run as root"
  exit 77
fi

work="$(mktemp -d /tmp/zorvik-package-test.XXXXXX)"
chmod 755 "$work"

fail() {
  echo "FAIL: $*" >&2
  exit 1
}
step() { echo "--- [${SECONDS} s] $*"; }

# dpkg, again for a while when another dpkg or apt holds the lock.
dpkg_retry() {
  local out
  for _ in $(seq 1 60); do
    if out="$(dpkg "$@" 2>&1)"; then
      printf '%s\n' "$out"
      return 0
    fi
    case "$out" in
      *"dpkg frontend lock"* | *"dpkg status database is locked"*) sleep 2 ;;
      *) printf '%s\n' "$out" >&2; return 1 ;;
    esac
  done
  printf '%s\n' "$out" >&2
  return 1
}

installed() {  # installed PACKAGE: anything of it known to dpkg
  local status
  status="$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" || return 1
  [ -n "$status" ] && [ "$status" != "not-installed" ]
}

purge_ours() {
  local p
  for p in "${packages[@]}"; do
    if installed "$p"; then dpkg_retry --purge "$p" >/dev/null || true; fi
  done
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  purge_ours
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

for p in "${packages[@]}"; do
  if installed "$p"; then
    echo "note: $p is installed (a previous run or an older version); purging it first"
  fi
done
purge_ours

step "cpack -G DEB"
(cd "$build" && timeout 600 cpack -G DEB -B "$work/pkg") > "$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack did not build the packages"; }
arch="$(dpkg --print-architecture)"
tools_deb="$work/pkg/zorvik-selftest_${version}_${arch}.deb"
sim_deb="$work/pkg/zorvik-selftest-sim_${version}_${arch}.deb"
[ -f "$tools_deb" ] && [ -f "$sim_deb" ] || { ls -l "$work/pkg"; fail "expected $tools_deb and $sim_deb"; }

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$tools_deb" Version)" = "$version" ] || fail "zorvik-selftest has version $(field "$tools_deb" Version), not $version"
[ "$(field "$sim_deb" Version)" = "$version" ] || fail "zorvik-selftest-sim has version $(field "$sim_deb" Version)"
depends="$(field "$tools_deb" Depends)"
for d in libyaml-cpp libstdc++6 libc6 libcap2-bin python3; do
  [[ "$depends" == *"$d"* ]] || fail "zorvik-selftest Depends lacks $d (shlibdeps?): $depends"
done
[[ "$(field "$tools_deb" Recommends)" == *python3-matplotlib* ]] || fail "python3-matplotlib is not recommended"
[[ "$(field "$sim_deb" Depends)" == *libyaml-cpp* ]] || fail "zorvik-selftest-sim Depends: $(field "$sim_deb" Depends)"
# A production station installs the programs without the simulator.
if dpkg-deb -c "$tools_deb" | grep -q 'usr/bin/dcu_sim'; then fail "the simulator is in zorvik-selftest"; fi

step "lintian"
command -v lintian > /dev/null || fail "lintian is not installed (scripts/setup-test.sh installs it)"
rc=0
timeout 300 lintian --fail-on error "$tools_deb" "$sim_deb" > "$work/lintian.log" 2>&1 || rc=$?
cat "$work/lintian.log"
[ "$rc" -eq 0 ] && ! grep -q '^E: ' "$work/lintian.log" || fail "lintian reports errors (exit status $rc)"
# Each warning left is explained in the README.
while read -r tag; do
  grep -q -- "$tag" "$src/README.md" || fail "lintian warning $tag is not named in README.md"
done < <(sed -n 's/^W: [^:]*: \([a-z0-9-]*\).*/\1/p' "$work/lintian.log" | sort -u)

step "dpkg -i"
dpkg_retry -i "$tools_deb" "$sim_deb" > "$work/dpkg-install.log" || { cat "$work/dpkg-install.log"; fail "dpkg -i failed"; }
dpkg -L zorvik-selftest > "$work/files-tools"
dpkg -L zorvik-selftest-sim > "$work/files-sim"
for f in /usr/bin/dcu_selftest /usr/bin/robot_selftest /usr/bin/dcu_businfo /usr/bin/selftest_report \
         /usr/share/man/man1/dcu_selftest.1.gz /usr/share/man/man5/zorvik_selftest.yaml.5.gz \
         /usr/share/doc/zorvik-selftest/examples/single_dcu.yaml \
         /usr/share/bash-completion/completions/dcu_selftest; do
  grep -qx "$f" "$work/files-tools" || fail "zorvik-selftest does not install $f"
done
for f in /usr/bin/dcu_sim /usr/bin/dcu_simctl /usr/share/man/man1/dcu_sim.1.gz; do
  grep -qx "$f" "$work/files-sim" || fail "zorvik-selftest-sim does not install $f"
done

step "getcap"
for p in dcu_selftest robot_selftest dcu_businfo; do
  caps="$(getcap "/usr/bin/$p")"
  echo "$caps"
  [[ "$caps" == *"cap_net_admin,cap_net_raw,cap_sys_nice=ep"* ]] || fail "/usr/bin/$p has capabilities '$caps'"
done
for p in dcu_sim dcu_simctl selftest_report; do
  [ -z "$(getcap "/usr/bin/$p")" ] || fail "/usr/bin/$p should have no capabilities"
done

step "--version, --help, man pages, completion"
for p in dcu_selftest robot_selftest dcu_businfo selftest_report dcu_sim dcu_simctl; do
  out="$(runuser -u nobody -- "/usr/bin/$p" --version)" || fail "$p --version failed"
  [ "$out" = "$p $version" ] || fail "$p --version printed '$out'"
  runuser -u nobody -- "/usr/bin/$p" --help | grep -q "man $p" || fail "$p --help does not name its man page"
  page="$(man -w "$p")" || fail "man finds no page for $p"
  warnings="$(man -l "$page" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "man $p warns: $warnings"
  bash -n "/usr/share/bash-completion/completions/$p" || fail "the completion of $p does not parse"
done
man -w 5 zorvik_selftest.yaml > /dev/null || fail "man 5 zorvik_selftest.yaml finds nothing"

step "dcu_selftest against the simulator, as root and as nobody"
# The example, with a real-time priority for the bus thread (cap_sys_nice).
config="$work/robot.yaml"
sed 's/rt_priority: -1/rt_priority: 20/' /usr/share/doc/zorvik-selftest/examples/single_dcu.yaml > "$config"
grep -q 'rt_priority: 20' "$config" || fail "the example has no rt_priority line to set"
chmod 644 "$config"
simnet() { timeout 120 "$src/scripts/simnet.sh" --sim /usr/bin/dcu_sim "$config" -- "$@"; }
as_nobody=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all)

rc=0
simnet /usr/bin/dcu_selftest "$config" > "$work/root.out" 2> "$work/root.err" || rc=$?
[ "$rc" -eq 0 ] || { cat "$work/root.out" "$work/root.err"; fail "dcu_selftest as root exited with $rc"; }
simnet "${as_nobody[@]}" /bin/sh -c 'echo "uid $(id -u)"; exec /usr/bin/dcu_selftest "$0"' "$config" \
  > "$work/user.out" 2> "$work/user.err" || rc=$?
[ "$rc" -eq 0 ] || { cat "$work/user.out" "$work/user.err"; fail "dcu_selftest as nobody exited with $rc"; }
[ "$(head -1 "$work/user.out")" = "uid 65534" ] || fail "the second run was not nobody's: $(head -1 "$work/user.out")"
sed -i 1d "$work/user.out"
cat "$work/user.out"
grep -q '测试通过' "$work/root.out" || { cat "$work/root.out"; fail "dcu_selftest as root did not pass"; }
# The same lines; the bus threads' start-up lines may come in either order,
# the [TEST] lines in one.
diff -u <(sort "$work/root.out") <(sort "$work/user.out") || fail "nobody's run printed other lines than root's"
diff -u <(grep -F '[TEST]' "$work/root.out") <(grep -F '[TEST]' "$work/user.out") ||
  fail "nobody's [TEST] lines differ from root's"
if grep -q 'setschedu error' "$work/user.out"; then fail "the real-time priority was refused"; fi

# The same program without the file's capabilities cannot open the bus: the
# capabilities, not a leak of root, made nobody's run work.
mkdir "$work/nocap"
cp /usr/bin/dcu_selftest "$work/nocap/"
chmod 755 "$work/nocap" "$work/nocap/dcu_selftest"
[ -z "$(getcap "$work/nocap/dcu_selftest")" ] || fail "the copy kept its capabilities"
simnet "${as_nobody[@]}" "$work/nocap/dcu_selftest" "$config" > "$work/nocap.out" 2>&1 || true
grep -q 'Execute as root' "$work/nocap.out" || { cat "$work/nocap.out"; fail "without capabilities the bus opened"; }
grep -q 'CAP_NET_RAW' "$work/nocap.out" || { cat "$work/nocap.out"; fail "the cause (no CAP_NET_RAW) is not named"; }

step "dpkg -r"
dpkg_retry -r zorvik-selftest zorvik-selftest-sim > "$work/dpkg-remove.log" || { cat "$work/dpkg-remove.log"; fail "dpkg -r failed"; }
for p in "${packages[@]}"; do
  status="$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)"
  [ -z "$status" ] || [ "$status" = "not-installed" ] || fail "$p is left in state '$status' after dpkg -r"
done
left=0
while read -r path; do
  # Directories the system shares (/usr/bin, /usr/share/man/man1, ...) stay.
  [ -d "$path" ] && [ ! -L "$path" ] && continue
  if [ -e "$path" ] || [ -L "$path" ]; then echo "left behind: $path" >&2; left=1; fi
done < <(cat "$work/files-tools" "$work/files-sim")
for d in /usr/share/doc/zorvik-selftest /usr/share/doc/zorvik-selftest-sim; do
  if [ -e "$d" ]; then echo "left behind: $d" >&2; left=1; fi
done
[ "$left" -eq 0 ] || fail "dpkg -r left files behind"

echo "PASS: packages built, lintian clean, installed, dcu_selftest as nobody = as root, removed without a trace"
