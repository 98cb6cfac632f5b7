#!/usr/bin/env python3
"""The crash laboratory's stress campaign (on a display: a freeze needs a window): runs of
faultlab-console's "stress" scenario, each with its own seed and one of the sixteen sets of the
thread-holding bits of HandlingFlags (0x01 crash list, 0x02 framework threads, 0x04 except the
main one, 0x08 other threads), until FAULTS faults have happened. Each run has a time limit (a
hang is a failure); its exit code and its log, read with the log reader, must show every fault it
planned exactly once.

Usage: stress.py WINE_RUNNER FAULTLAB-CONSOLE.EXE FLREADER.EXE WORKDIR [--seed N] [--faults N]
The test command runs a fixed seed and 200 faults; longer campaigns take other values.
"""
import argparse
import collections
import os
import re
import shutil
import subprocess
import sys
import time

parser = argparse.ArgumentParser()
parser.add_argument('runner')
parser.add_argument('console')
parser.add_argument('reader')
parser.add_argument('work')
parser.add_argument('--seed', type=int, default=20261211)
parser.add_argument('--faults', type=int, default=200)
args = parser.parse_args()

shutil.rmtree(args.work, ignore_errors=True)
os.makedirs(args.work)
exe = os.path.join(args.work, os.path.basename(args.console))
shutil.copy(args.console, exe)
log = os.path.join(args.work, 'faultlab-console.flf')
failures = []
faults = runs = 0
started = time.time()


def fail(run, text):
    failures.append('run %d: %s' % (run, text))
    print('FAIL run %d: %s' % (run, text))


while faults < args.faults:
    seed = args.seed + runs
    flags = 0x30 | (runs % 16)
    if os.path.exists(log):
        os.remove(log)
    env = dict(os.environ, FAULTLAB_STRESS='%d %x' % (seed, flags), WINEDEBUG='-all')
    t0 = time.time()
    # Output to files, not pipes: Wine's own background processes inherit the pipes and would keep
    # them open for seconds after the program has ended.
    with open(os.path.join(args.work, 'out.txt'), 'wb') as out, open(os.path.join(args.work, 'err.txt'), 'wb') as err:
        try:
            run = subprocess.run([args.runner, exe, 'stress'], env=env, stdout=out, stderr=err, timeout=120)
        except subprocess.TimeoutExpired:
            fail(runs, 'seed %d flags %02X: no end within 120 s (hung)' % (seed, flags))
            break
    stderr = open(os.path.join(args.work, 'err.txt'), 'rb').read()
    plan = re.search(rb'stress-plan throws=(\d+) violations=(\d+) threads=(\d+) freezes=(\d+) fatal=(\w+)', stderr)
    if not plan:
        fail(runs, 'seed %d flags %02X: no plan (exit code %d)' % (seed, flags, run.returncode))
        break
    throws, violations, threads, freezes = (int(x) for x in plan.groups()[:4])
    fatal = plan.group(5).decode()
    expected_code = 0 if fatal == 'none' else 1
    if run.returncode != expected_code:
        fail(runs, 'seed %d flags %02X: exit code %d, expected %d' % (seed, flags, run.returncode, expected_code))
    listing = b''
    # Seldom, with other Wine programs starting at the same moment (ctest -j), a Wine program's
    # console output arrives empty although it ran: an empty listing of a log that holds reports
    # is asked for again (at most three times, each retry shown).
    for attempt in range(3):
        if not os.path.exists(log) or os.path.getsize(log) == 0:
            break
        with open(os.path.join(args.work, 'list.txt'), 'wb') as out:
            subprocess.run([args.runner, args.reader, 'list', log], stdout=out, stderr=subprocess.DEVNULL, timeout=120)
        listing = open(os.path.join(args.work, 'list.txt'), 'rb').read()
        if listing.strip():
            break
        print('note: the log reader listed nothing for run %d; asked again' % runs)
    lines = [l for l in listing.decode('latin-1').replace('\r', '').split('\n') if l.strip()]
    # One line per report: number, date, type, message.
    kinds = collections.Counter()
    numbers = collections.Counter()
    for line in lines:
        m = re.search(r'(std::runtime_error|std::out_of_range|EAccessViolation|EStackOverflow|EFrozenApplication)\s+(.*)$', line)
        if not m:
            fail(runs, 'a report of another kind: %r' % line)
            continue
        kinds[m.group(1)] += 1
        n = re.match(r'stress fault (\d+)\.', m.group(2))
        if n:
            numbers[int(n.group(1))] += 1
    want = collections.Counter({'std::runtime_error': throws + (fatal == 'throw'),
                                'std::out_of_range': threads,
                                'EAccessViolation': violations + (fatal == 'violation'),
                                'EStackOverflow': int(fatal == 'overflow'),
                                'EFrozenApplication': freezes})
    want = +want
    if kinds != want:
        fail(runs, 'seed %d flags %02X: reports %s, expected %s' % (seed, flags, dict(kinds), dict(want)))
    twice = [n for n, c in numbers.items() if c > 1]
    if twice:
        fail(runs, 'seed %d flags %02X: faults reported twice: %s' % (seed, flags, twice))
    if kinds != want or twice:
        # What the run left, kept for whoever looks into it.
        for name in ('err.txt', 'out.txt', 'list.txt'):
            shutil.copy(os.path.join(args.work, name), os.path.join(args.work, 'run%d-%s' % (runs, name)))
        shutil.copy(log, os.path.join(args.work, 'run%d.flf' % runs))
    planned = throws + violations + threads + freezes + (fatal != 'none')
    faults += planned
    print('run %2d seed %d flags %02X: %2d faults (freezes: %d, fatal: %s), %d reports, exit %d, %.1f s'
          % (runs, seed, flags, planned, freezes, fatal, len(lines), run.returncode, time.time() - t0))
    runs += 1

print('%d faults in %d runs, %.0f s' % (faults, runs, time.time() - started))
if failures:
    sys.exit(1)
print('stress: no hang, every fault reported exactly once, every exit code as expected')
