#!/usr/bin/env bash
# The log reader as a developer uses it, judged by the log itself and by xmllint.
# Usage: check.sh LOG.flf WORKDIR READER [ARGS...]   (READER: the native program, or the Wine
# runner followed by flreader.exe)
set -euo pipefail
log=$1; work=$2; shift 2
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

# Errors: a missing log and a missing report say so and fail.
if "$@" list "$work/missing.flf" >/dev/null 2>&1; then fail "missing log accepted"; fi
if "$@" show "$log" 9 >/dev/null 2>&1; then fail "missing report accepted"; fi
echo "flreader: all checks passed"
