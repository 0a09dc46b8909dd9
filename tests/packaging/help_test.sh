#!/usr/bin/env bash
# --help, --version and the man pages, as a new user meets them:
#   - every program's --help and -h print on standard output, exit 0, and
#     say what it does, its arguments, the exit statuses and its man page
#     (the self-tests also SELFTEST_OUTPUT); --version prints "NAME VERSION";
#   - a wrong number of arguments keeps the programs' usage lines;
#   - every man page renders with no groff warning (groff -ww, man -l), and
#     the configuration page names every key the example files use.
#
#   help_test.sh VERSION MAN_DIR SOURCE_DIR PROGRAM_PATH...
set -euo pipefail

version="$1"
man_dir="$2"
src="$3"
shift 3
failures=0
err="$(mktemp)"
trap 'rm -f "$err"' EXIT
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
export LC_ALL=C.UTF-8

for path in "$@"; do
  name="$(basename "$path")"
  run=("$path")
  [ "$name" = "selftest_report" ] && run=(/usr/bin/python3 "$path")
  for opt in --help -h; do
    rc=0
    out="$("${run[@]}" "$opt" 2> "$err")" || rc=$?
    [ "$rc" -eq 0 ] || fail "$name $opt exits with $rc"
    [ ! -s "$err" ] || fail "$name $opt writes to standard error: $(cat "$err")"
    grep -qi '^usage: ' <<< "$out" || fail "$name $opt has no usage line"
    grep -qi 'exit status' <<< "$out" || fail "$name $opt does not give the exit statuses"
    grep -q "man $name" <<< "$out" || fail "$name $opt does not name its man page"
    case "$name" in
      dcu_selftest | robot_selftest)
        grep -q SELFTEST_OUTPUT <<< "$out" || fail "$name $opt does not explain SELFTEST_OUTPUT"
        grep -q CONFIG.yaml <<< "$out" || fail "$name $opt does not name its argument" ;;
    esac
  done
  out="$("${run[@]}" --version)" || fail "$name --version exits with $?"
  [ "$out" = "$name $version" ] || fail "$name --version prints '$out', not '$name $version'"
done

# Today's usage lines for a wrong argument count are kept, with the banner.
for path in "$@"; do
  name="$(basename "$path")"
  case "$name" in
    dcu_selftest | robot_selftest)
      for args in "" "a.yaml b.yaml"; do
        rc=0
        # shellcheck disable=SC2086
        out="$("$path" $args 2>&1)" || rc=$?
        [ "$rc" -eq 0 ] || fail "$name with '$args' exits with $rc"
        grep -q 'test tools powered by selftest@zorvik.dev' <<< "$out" || fail "$name with '$args' lost its banner"
        grep -q '\[ERROR\] Usage: ./main cfg_file' <<< "$out" || fail "$name with '$args' lost its usage line"
      done ;;
    dcu_businfo)
      rc=0
      out="$("$path" 2>&1)" || rc=$?
      [ "$rc" -eq 1 ] || fail "dcu_businfo without arguments exits with $rc"
      grep -q 'Usage: dcu_businfo CONFIG.yaml \[--watch SECONDS\] \[--json\]' <<< "$out" ||
        fail "dcu_businfo lost its usage line" ;;
  esac
done

# The man pages: no warning from groff or man, and the page names the
# program's options.
pages=(dcu_selftest.1 robot_selftest.1 dcu_businfo.1 selftest_report.1 dcu_sim.1 dcu_simctl.1
       zorvik_selftest.yaml.5)
for page in "${pages[@]}"; do
  f="$man_dir/$page"
  [ -f "$f" ] || { fail "no man page $f (is scdoc installed?)"; continue; }
  warnings="$(groff -ww -z -man -Tutf8 "$f" 2>&1)"
  [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
  warnings="$(MANWIDTH=80 man -l "$f" 2>&1 >/dev/null)"
  [ -z "$warnings" ] || fail "man -l warns on $page: $warnings"
  [ -f "$f.gz" ] && zcmp -s "$f" "$f.gz" || fail "$page.gz is not the compressed $page"
done
businfo_page="$(MANWIDTH=200 man -l "$man_dir/dcu_businfo.1" 2>/dev/null)"
for opt in --watch --json --help --version; do
  grep -q -- "$opt" <<< "$businfo_page" || fail "dcu_businfo(1) does not describe $opt"
done

# Every key of the example files is described in the configuration page.
page_text="$(MANWIDTH=200 man -l "$man_dir/zorvik_selftest.yaml.5" 2>/dev/null)"
keys="$(sed -n '/^DcuSimulator:/,$d; s/#.*//; s/[{,]/\n/g; p' "$src"/examples/*.yaml |
        sed -n 's/^[ -]*\([a-z_0-9]*\):.*/\1/p' | sort -u)"
[ -n "$keys" ] || fail "no keys found in the examples"
for key in $keys; do
  grep -q -- "$key" <<< "$page_text" || fail "zorvik_selftest.yaml(5) does not describe the key $key"
done
for key in move_actuator imu_dcu_name ifname enable_dc bind_cpu rt_priority cycle_time_ns dcu_network \
           ecat_id enable imu_enable channel_1 channel_2 channel_3 can_id type; do
  grep -q -- "$key" <<< "$page_text" || fail "zorvik_selftest.yaml(5) does not describe the key $key"
done

if [ "$failures" -gt 0 ]; then
  echo "$failures failed checks"
  exit 1
fi
echo "PASS: --help, --version, usage lines and man pages of $# programs"
