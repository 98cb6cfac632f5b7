#!/usr/bin/env bash
# Runs every scenario of the crash laboratory's console program under Wine and checks the log it
# leaves, line by line, with the log reader: how many reports, the exception's type and message,
# its address and module, and a call stack that names the faulting function, its source file and
# the line marked "fault line" in scenarios.cpp.
# Usage: check.sh WINE_RUNNER FAULTLAB_CONSOLE.EXE FLREADER.EXE SCENARIOS.CPP WORKDIR
set -uo pipefail
runner=$1; lab=$2; reader=$3; source=$4; work=$5
rm -rf "$work"; mkdir -p "$work"
cp "$lab" "$work/"
exe="$work/$(basename "$lab")"
log="${exe%.exe}.flf"
failures=0
fail() { echo "FAIL [$scenario]: $*"; failures=$((failures + 1)); }
strip() { tr -d '\r'; }
# The line of the statement marked "fault line" inside function $1 of scenarios.cpp.
fault_line() { awk -v f="$1" '$0 ~ f"\\(" {inside=1} inside && /fault line/ {print NR; exit}' "$source"; }

# scenario | exit code | reports | type | message | function
while IFS='|' read -r scenario code reports type message function; do
  [ -n "$scenario" ] || continue
  rm -f "$log"
  "$runner" "$exe" "$scenario" > "$work/$scenario.out" 2>&1
  rc=$?
  [ "$rc" = "$code" ] || fail "exit code $rc, expected $code"
  if [ "$reports" = 0 ]; then
    [ ! -e "$log" ] || fail "a log was written"
    continue
  fi
  [ -s "$log" ] || { fail "no log"; continue; }
  count=$("$runner" "$reader" list "$log" | strip | grep -c .)
  [ "$count" = "$reports" ] || fail "$count reports, expected $reports"
  address=$("$runner" "$reader" field "$log" last 2.2 | strip)
  [[ "$address" =~ ^00[4-9A-F][0-9A-F]{5}$ ]] || fail "address '$address' outside the program"
  message=${message//ADDRESS/$address}
  got=$("$runner" "$reader" field "$log" last 2.4 | strip)
  [ "$got" = "$type" ] || fail "type '$got', expected '$type'"
  got=$("$runner" "$reader" field "$log" last 2.5 | strip)
  [ "$got" = "$message" ] || fail "message '$got', expected '$message'"
  got=$("$runner" "$reader" field "$log" last 2.3 | strip)
  [ "$got" = "faultlab-console.exe" ] || fail "module '$got'"
  # The first call-stack row is the faulting statement: the address, this file, the function and
  # the marked line.
  line=$(fault_line "$function")
  "$runner" "$reader" show "$log" last | strip > "$work/$scenario.report"
  row=$(grep -m1 -E "^\|[0-9A-F]{8}\|" "$work/$scenario.report")
  grep -qE "^\|$address\|faultlab-console\.exe *\|scenarios\.cpp *\|[^|]*\|$function *\|$line *\|$" <<<"$row" ||
    fail "first call-stack row '$row', expected $address, scenarios.cpp, $function, line $line"
  # The report went to the console too.
  grep -q "2.5 Message: $message" "$work/$scenario.out" || fail "no report on the console"
done <<'TABLE'
handled|0|0||||
uncaught|1|1|std::runtime_error|uncaught on the main thread.|ThrowUncaught
thread-uncaught|0|1|std::logic_error|uncaught in a plain thread.|PlainThreadBody
tthread|0|1|std::out_of_range|escaped from Execute.|FailInExecute
null-write|1|1|EAccessViolation|Access violation at address ADDRESS. Write of address 00000000.|WriteThroughNull
overflow|1|1|EStackOverflow|Stack overflow.|Recurse
storm|0|8|std::runtime_error|one of a storm.|StormThreadBody
heap-busy|1|1|std::runtime_error|fault while another thread allocates.|FaultWhileAllocating
TABLE

if [ "$failures" = 0 ]; then echo "crash laboratory: every scenario as expected"; fi
[ "$failures" = 0 ]
