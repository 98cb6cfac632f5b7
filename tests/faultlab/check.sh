#!/usr/bin/env bash
# Runs every scenario of the crash laboratory's programs under Wine (the windowed one needs a
# display) and checks the log each leaves, line by line, with the log reader: how many reports,
# the exception's type and message, its address and module, and a call stack that names the
# faulting function, its source file and the line marked "fault line" there.
# Usage: check.sh WINE_RUNNER FAULTLAB-CONSOLE.EXE FAULTLAB.EXE FLREADER.EXE SOURCE_DIR WORKDIR
#                 FAULTLAB-DLL.DLL FAULTLAB-HOST.EXE
set -uo pipefail
runner=$1; console=$2; windowed=$3; reader=$4; sources=$5; work=$6; dll=$7; host=$8
rm -rf "$work"; mkdir -p "$work"
cp "$console" "$windowed" "$dll" "$host" "$work/"
failures=0
fail() { echo "FAIL [$scenario]: $*"; failures=$((failures + 1)); }
strip() { tr -d '\r'; }
# The log reader under Wine, its output without CRs. Seldom, with other Wine programs starting at
# the same moment (ctest -j), a Wine program's console output arrives empty although the program
# ran: an empty answer is asked for again (at most three times, each retry shown), never taken
# for the log's content.
read_log() {
  local out tries=0
  while :; do
    out=$("$runner" "$reader" "$@" | strip)
    [ -n "$out" ] || [ $tries -ge 2 ] && break
    tries=$((tries + 1))
    echo "note [$scenario]: the log reader printed nothing for '$*'; asked again" >&2
  done
  printf '%s\n' "$out"
}
# The line of the statement marked "fault line" inside function $1 of source file $2.
fault_line() { awk -v f="$1" '$0 ~ f"\\(" {inside=1} inside && /fault line/ {print NR; exit}' "$2"; }
# Addresses in a report are as wide as the program's: 8 hexadecimal digits, 16 in a 64-bit one.
if [ "${TARN_WINE_ARCH:-32}" = 64 ]; then digits=16; else digits=8; fi
null=$(printf '%0*d' "$digits" 0)

# program | scenario | exit code | reports | type | message ("*": not compared) | function [| module,
# when the fault is in another module than the program]
while IFS='|' read -r program scenario code reports type message function faultModule; do
  [ -n "$scenario" ] || continue
  case $program in
    console) exe="$work/$(basename "$console")"; source="$sources/scenarios.cpp" ;;
    window) exe="$work/$(basename "$windowed")"; source="$sources/faultlab_win.cpp" ;;
    # The DLL's fault, in a program that carries Faultline (console) or in one that does not.
    dll) exe="$work/$(basename "$console")"; source="$sources/faultlab_dll.cpp" ;;
    host) exe="$work/$(basename "$host")"; source="$sources/faultlab_dll.cpp" ;;
  esac
  module=$(basename "$exe")
  codeModule=$module
  case $program in dll|host) codeModule=$(basename "$dll") ;; esac
  rm -f "$work/restarted.txt" "$work/messagebox.txt" "$work/faultlab-console.log"
  faultModule=${faultModule:-$codeModule}
  log="${exe%.exe}.flf"
  # Alone, the DLL reports by itself, into its own log.
  [ "$program" = host ] && log="$work/$(basename "${dll%.dll}").flf"
  rm -f "$log"
  # The debugger output shows in Wine's own trace (the internal-error scenarios look for it).
  WINEDEBUG=-all,warn+debugstr timeout 120 "$runner" "$exe" "$scenario" > "$work/$scenario.out" 2>&1
  rc=$?
  [ "$rc" = "$code" ] || fail "exit code $rc, expected $code"
  if [ "$scenario" = crash-restart ]; then
    # The program restarted itself: the new instance leaves its marker.
    for _ in $(seq 50); do [ -e "$work/restarted.txt" ] && break; sleep 0.2; done
    [ -e "$work/restarted.txt" ] || fail "the program was not started again"
  fi
  case $scenario in
    filter-message)
      # The box showed the filter's text (the laboratory's own thread read it and pressed OK).
      grep -q "|This error is expected and not reported\.$" "$work/messagebox.txt" 2>/dev/null ||
        fail "no message box with the filter's text: '$(cat "$work/messagebox.txt" 2>/dev/null)'" ;;
    internal-error)
      # The failing step's self-diagnosis: the debugger line, the file beside the program, the offer.
      grep -q '\[ERROR\] - Section: 11 - Address: [0-9A-F]\{'"$digits"'\} - Message: \\"Console\\"' "$work/$scenario.out" ||
        fail "no debugger line"
      diagnosis="$work/faultlab-console.log"
      for want in "Version   : 5.1.11" "Section   : 11" "Exception : Exception" "Message   : Console" \
                  "LastExcept: std::runtime_error" "Call Stack: 00 \$"; do
        grep -qF "$want" "$diagnosis" 2>/dev/null || fail "the diagnosis lacks '$want'"
      done
      grep -q "^Probably internal bug|Error: 'Console'" "$work/messagebox.txt" 2>/dev/null || fail "no offer to mail it" ;;
    bad-what)
      # The report's own thread faulted inside the C runtime: that report ends in the self-diagnosis.
      grep -q '\[ERROR\] - Section: 7 - Address: [0-9A-F]\{'"$digits"'\} - Message: \\"Access violation' "$work/$scenario.out" ||
        fail "no debugger line"
      for want in "Exception : EAccessViolation" "LastExcept: (anonymous namespace)::TBadWhat"; do
        grep -qF "$want" "$work/faultlab-console.log" 2>/dev/null || fail "the diagnosis lacks '$want'"
      done ;;
    internal-quiet)
      [ ! -e "$work/faultlab-console.log" ] || fail "a diagnosis was written without a debugger"
      [ ! -e "$work/messagebox.txt" ] || fail "a message box was shown"
      ! grep -q '\[ERROR\]' "$work/$scenario.out" || fail "a debugger line was written" ;;
  esac
  if [ "$reports" = 0 ]; then
    [ ! -e "$log" ] || fail "a log was written"
    continue
  fi
  [ -s "$log" ] || { fail "no log"; continue; }
  count=$(read_log list "$log" | grep -c .)
  [ "$count" = "$reports" ] || fail "$count reports, expected $reports"
  address=$(read_log field "$log" last 2.2)
  [[ "$address" =~ ^[0-9A-F]{$digits}$ ]] || fail "address '$address'"
  message=${message//ADDRESS/$address}
  message=${message//NULL/$null}
  got=$(read_log field "$log" last 2.4)
  [ "$got" = "$type" ] || fail "type '$got', expected '$type'"
  if [ "$message" != "*" ]; then
    got=$(read_log field "$log" last 2.5)
    [ "$got" = "$message" ] || fail "message '$got', expected '$message'"
  fi
  # The log stays readable as a whole: its XML form is well-formed.
  "$runner" "$reader" xml "$log" -o "$work/$scenario.xml" >/dev/null 2>&1
  xmllint --noout "$work/$scenario.xml" 2>/dev/null || fail "the log's XML is not well-formed"
  # "-" as the function: where the report says the thread stood is not checked (see the table).
  [ "$function" = - ] && continue
  got=$(read_log field "$log" last 2.3)
  # "*" as the module: the thread was stopped somewhere in a loop that calls into a system library
  # (not compared; a row naming the function is looked for anywhere in the stack, below).
  [ "$faultModule" = "*" ] || [ "$got" = "$faultModule" ] || fail "module '$got', expected '$faultModule'"
  # A row names the faulting function of the program, its source file and the line marked "fault
  # line": the first row, at the fault's address, when the fault is in the program's own code.
  # (A system library's address that no export covers is not shown in a report.)
  line=$(fault_line "$function" "$source")
  read_log show "$log" last > "$work/$scenario.report"
  first=$(grep -m1 -E "^\|[0-9A-F]{$digits}\|" "$work/$scenario.report")
  named="\|${codeModule//./\\.} *\|$(basename "$source" | sed 's/\./\\./') *\|[^|]*\|$function *\|$line *\|$"
  if [ "$faultModule" = "$codeModule" ]; then
    grep -qE "^\|$address$named" <<<"$first" || fail "first call-stack row '$first', expected $function, line $line"
  else
    grep -qE "^\|[0-9A-F]{$digits}$named" "$work/$scenario.report" || fail "no call-stack row for $function, line $line"
  fi
  # The DLL leaves its report to the program that carries Faultline: the report holds that
  # program's custom data; alone, the DLL makes it and the data is not there.
  case $program in
    dll) grep -q "made by the executable" "$work/$scenario.report" || fail "not reported by the executable" ;;
    host) ! grep -q "made by the executable" "$work/$scenario.report" || fail "reported by the wrong module" ;;
  esac
  if [ "$scenario" = custom-data ]; then
    grep -q "data from the program, thread " "$work/$scenario.report" || fail "no custom data in the report"
  fi
  if [ "$scenario" = report-no-crash ]; then
    # Judged in the XML form of the log, by Python's XML parser: the caught exception where it was
    # thrown, then the message; each with the program's values as they were at its report.
    python3 - "$work/$scenario.xml" <<'PY' || fail "the reports' XML: see above"
import sys
import xml.etree.ElementTree as ET
reports = list(ET.parse(sys.argv[1]).getroot())
def text(e):
    return ' '.join(list(e.itertext()) + [v for x in e.iter() for v in x.attrib.values()])
texts = [text(r) for r in reports]
wants = [['std::runtime_error', 'caught, then reported', 'ThrowToCatch', 'build = 1234', 'channel = nightly'],
         ['EReportedMessage', 'reported by the program', 'ReportWithoutCrash', 'build = 1234', 'channel = beta  second line']]
ok = len(texts) == 2
for t, want in zip(texts, wants):
    for w in want:
        if w not in t:
            print('missing %r in a report' % w)
            ok = False
sys.exit(0 if ok else 1)
PY
  fi
  if [ "$scenario" = minidump ]; then
    # Read by a reader of the documented layout and by Wine's winedump (setup installs it).
    winedump=$(command -v winedump) || fail "winedump is not installed"
    python3 "$(dirname "$0")/minidump.py" "$work" "$work/$scenario.xml" $winedump || fail "the minidumps: see above"
  fi
  # A console program writes the report to its console too.
  if [ "$program" != window ] && [ "$message" != "*" ]; then
    # (The labels are padded to the section's longest: a report with a "Minidump" row pads them.)
    # (grep reads it all: an early exit would fail the pipe under pipefail.)
    sed 's/2\.5 Message *: /2.5 Message: /' "$work/$scenario.out" | grep -F "2.5 Message: $message" >/dev/null ||
      fail "no report on the console"
  fi
done <<'TABLE'
console|handled|0|0||||
console|uncaught|1|1|std::runtime_error|uncaught on the main thread.|ThrowUncaught
console|thread-uncaught|0|1|std::logic_error|uncaught in a plain thread.|PlainThreadBody
console|thread-uncaught-event|0|1|std::logic_error|uncaught in a plain thread.|PlainThreadBody
console|std-thread-lock|1|1|std::runtime_error|thrown holding a lock.|ThrowHoldingLock
console|tthread|0|1|std::out_of_range|escaped from Execute.|FailInExecute
console|null-write|1|1|EAccessViolation|Access violation at address ADDRESS. Write of address NULL.|WriteThroughNull
console|overflow|1|1|EStackOverflow|Stack overflow.|Recurse
console|storm|0|8|std::runtime_error|one of a storm.|StormThreadBody
console|heap-busy|1|1|std::runtime_error|fault while another thread allocates.|FaultWhileAllocating
console|throw-busy|1|1|std::runtime_error|fault while another thread is busy.|FaultWhileBusy
console|loader-busy|1|1|std::runtime_error|fault while another thread is busy.|FaultWhileBusy
console|big-message|1|1|std::runtime_error|*|ThrowBigMessage
console|odd-message|1|1|std::runtime_error|*|ThrowOddMessage
console|empty-message|1|1|std::runtime_error|*|ThrowEmptyMessage
console|not-std|1|1|int|int.|ThrowInt
console|filter-silent|1|0||||
console|filter-message|1|0||||
console|thread-overflow|1|1|EStackOverflow|Stack overflow.|RecurseOnThread
console|thread-churn|1|1|std::runtime_error|fault while threads come and go.|FaultWhileThreadsChurn
console|raise-exception|1|1|EExternalException|External exception E0424242.|RaiseOwnCode
console|internal-error|1|0||||
console|internal-quiet|1|0||||
console|bad-what|1|0||||
console|null-this|1|1|EAccessViolation|Access violation at address ADDRESS. Read of address NULL.|Get
console|null-this-caught|0|0||||
console|pure-virtual|1|1|EPureVirtualCall|Pure virtual method called.|AreaOf
console|terminate|1|1|ETerminate|std::terminate was called without an exception.|CallTerminate|*
console|abort|3|1|EAbort|Abnormal program termination.|CallAbort
dll|dll|1|1|std::runtime_error|thrown inside the DLL.|ThrowInDll
host|dll-alone|1|1|std::runtime_error|thrown inside the DLL.|ThrowInDll
host|dll-unload|0|0||||
console|nested|1|1|std::runtime_error|reported although an event handler throws.|ThrowWithThrowingHandler
console|log-race|0|4|std::runtime_error|one of four at once.|RaceChild
console|nested-av|1|1|std::runtime_error|reported although an event handler faults.|FaultInHandler
console|event-cancel|1|0||||
console|custom-data|1|1|std::runtime_error|with custom data.|ThrowWithCustomData
console|report-no-crash|0|2|EReportedMessage|reported by the program.|ReportWithoutCrash
console|minidump|0|2|EAccessViolation|Access violation at address ADDRESS. Write of address NULL.|WriteThroughNullOnThread
console|crash-restart|1|5|std::runtime_error|one of five errors within a minute.|CrashThreadBody
console|foreign-av|1|1|EAccessViolation|Access violation at address ADDRESS. Read of address NULL.|CopyFromNull|msvcrt.dll
window|event|0|1|std::runtime_error|escaped from a button handler.|ButtonClick
window|quiet|0|0||||
window|av|0|1|EAccessViolation|Access violation at address ADDRESS. Read of address NULL.|ReadThroughNull
window|quit|0|1|std::runtime_error|fault while a quit request comes.|FaultThenQuit
window|divzero|0|1|EDivByZero|Division by zero.|DivideByZero
window|freeze|0|1|EFrozenApplication|The application seems to be frozen.|SpinInHandler
window|freeze-alloc|0|1|EFrozenApplication|The application seems to be frozen.|AllocateInHandler|*
window|freeze-load|0|1|EFrozenApplication|The application seems to be frozen.|-
window|answers|0|0||||
TABLE

if [ "$failures" = 0 ]; then echo "crash laboratory: every scenario as expected"; fi
[ "$failures" = 0 ]
