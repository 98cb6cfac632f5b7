#!/usr/bin/env bash
# The log reader as a developer uses it, judged by the log itself and by xmllint.
# Usage: check.sh LOG.flf WIDE_REPORT.txt WORKDIR READER [ARGS...]   (READER: the native program,
# or the Wine runner followed by flreader.exe; WIDE_REPORT: the report text of a 64-bit program)
set -euo pipefail
log=$1; wide=$2; work=$3; shift 3
mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
strip() { tr -d '\r'; }

listing=$("$@" list "$log" | strip)
[ "$(grep -c . <<<"$listing")" = 2 ] || fail "list: $listing"
grep -q '^ *2 .*EAccessViolation  Access violation at address 0044A1F2' <<<"$listing" || fail "list row: $listing"

msg=$("$@" field "$log" last 2.5 | strip)
[ "$msg" = "Access violation at address 0044A1F2. Read of address 00000000." ] || fail "field: $msg"

# The whole report is the log's own text between separators.
"$@" show "$log" 1 | strip > "$work/report1.txt"
head -n 1 "$work/report1.txt" | grep -q . || fail "show: empty"
grep -qF "$(head -n 1 "$work/report1.txt")" <(strip < "$log") || fail "show: not the log's text"

"$@" xml "$log" -o "$work/log.xml" >/dev/null
[ -s "$work/log.xml" ] || fail "xml: no file"
xmllint --noout "$work/log.xml" || fail "xml: not well-formed"
[ "$(xmllint --xpath 'count(/Doc/Log)' "$work/log.xml")" = 2 ] || fail "xml: report count"
v=$(xmllint --xpath 'string(/Doc/Log[2]//Line[@ID="2.5"]/@Value)' "$work/log.xml")
[ "$v" = "$msg" ] || fail "xml: message $v"

# A 64-bit program's report appended to the 32-bit log: the old reports read as before, the new
# one with its 16-digit addresses and its 64-bit registers.
mixed="$work/mixed.flf"
{ cat "$log"; printf '\r\n'; cat "$wide"; printf '\r\n\r\n\r\n'; } > "$mixed"
listing=$("$@" list "$mixed" | strip)
[ "$(grep -c . <<<"$listing")" = 3 ] || fail "mixed list: $listing"
grep -q '^ *2 .*Access violation at address 0044A1F2' <<<"$listing" || fail "mixed list row 2: $listing"
grep -q '^ *3 .*EAccessViolation  Access violation at address 0000000140001A2F' <<<"$listing" || fail "mixed list row 3: $listing"
a=$("$@" field "$mixed" last 2.2 | strip)
[ "$a" = 0000000140001A2F ] || fail "wide field: $a"
"$@" xml "$mixed" -o "$work/mixed.xml" >/dev/null
xmllint --noout "$work/mixed.xml" || fail "mixed xml: not well-formed"
x() { xmllint --xpath "$1" "$work/mixed.xml"; }
[ "$(x 'string(/Doc/Log[2]//Line[@ID="2.5"]/@Value)')" = "$msg" ] || fail "mixed xml: 32-bit message"
[ "$(x 'count(/Doc/Log[3]/CPU/Registers/@*)')" = 24 ] || fail "wide xml: registers"
[ "$(x 'string(/Doc/Log[3]/CPU/Registers/@RIP)')" = 0000000140001A2F ] || fail "wide xml: RIP"
[ "$(x 'string(/Doc/Log[3]/CPU/Stack/Line[1]/@Address)')" = 000000000022FD40 ] || fail "wide xml: stack"
[ "$(x 'string(/Doc/Log[3]/CallStack/ExceptionThread/Line/@Address)')" = 0000000140001A2F ] || fail "wide xml: call stack"
[ "$(x 'string(/Doc/Log[3]/Modules/Module[2]/@Handle)')" = 00007FF8A1B20000 ] || fail "wide xml: module handle"

# Errors: a missing log and a missing report say so and fail.
if "$@" list "$work/missing.flf" >/dev/null 2>&1; then fail "missing log accepted"; fi
if "$@" show "$log" 9 >/dev/null 2>&1; then fail "missing report accepted"; fi
echo "flreader: all checks passed"
