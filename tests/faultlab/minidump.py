#!/usr/bin/python3
"""Judges the crash laboratory's minidumps (scenario minidump) with two readers that share no code
with the program: a reader of the documented minidump layout written here, and Wine's winedump.
Each report of the log must name a dump that lies beside the log and holds: the report's exception
(code and address; the fault's dump has all memory, in which the program's image and the faulting
thread's stack are found), the thread it happened on with the context at that moment (for a fault, the
instruction pointer at the faulting instruction, its stack pointer inside the dumped stack), every
thread of the program and the modules it had loaded.

Usage: minidump.py WORKDIR LOG.XML [WINEDUMP]
"""
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from minidump_reader import Dump  # noqa: E402

work, xml_path = sys.argv[1:3]
winedump = sys.argv[3] if len(sys.argv) > 3 else None
failures = []


def fail(text):
    failures.append(text)
    print('FAIL ' + text)


facts = dict(line.split() for line in open(os.path.join(work, 'minidump.txt')))
reports = list(ET.parse(xml_path).getroot())


def general(report, label):
    for line in report.iter('Line'):
        if line.get('Label') == label:
            return line.get('Value')
    return None


wanted = [('main', 0xE0464C54), ('faulting', 0xC0000005)]
if len(reports) != len(wanted):
    fail('%d reports in the log, expected %d' % (len(reports), len(wanted)))
for report, (thread, code) in zip(reports, wanted):
    flat = ET.tostring(report, encoding='unicode')
    name = general(report, 'Minidump')
    address = general(report, 'Address')
    if not name:
        fail('a report names no minidump: %s' % flat[:300])
        continue
    path = os.path.join(work, name)
    if not os.path.exists(path):
        fail('the dump %s named by a report is not beside the log' % name)
        continue
    try:
        dump = Dump(path)
    except Exception as error:  # a damaged dump is a failure, not a crash of the judge
        fail('%s: unreadable: %r' % (name, error))
        continue
    tid = int(facts[thread])
    if not dump.exception:
        fail('%s: no exception stream' % name)
        continue
    got_tid, got_code, got_address, context = dump.exception
    if (got_tid, got_code) != (tid, code):
        fail('%s: exception thread %d code %08X, expected %d %08X' % (name, got_tid, got_code, tid, code))
    if address is None or got_address != int(address, 16):
        fail('%s: exception address %X, the report says %s' % (name, got_address, address))
    for who in ('main', 'faulting') if thread == 'faulting' else ('main',):
        if int(facts[who]) not in dump.threads:
            fail('%s: the %s thread %s is not among the dump\'s threads %s' % (name, who, facts[who], sorted(dump.threads)))
    rsp, rip = dump.registers(context)
    if code == 0xC0000005 and rip != got_address:
        fail('%s: the context\'s instruction pointer %X is not at the fault %X' % (name, rip, got_address))
    start, size, _ = dump.threads.get(tid, (0, 0, 0))
    if not start <= rsp < start + size:
        fail('%s: the stack pointer %X is outside the dumped stack %X+%X' % (name, rsp, start, size))
    if code == 0xC0000005:
        # The fault's dump holds all memory (MinidumpMode 2): the image of the program where the
        # module list puts it, and the faulting thread's stack.
        if not dump.flags & 2 or not dump.memory:
            fail('%s: no full memory (flags %X)' % (name, dump.flags))
        base = next((b for b, m in zip(dump.module_bases, dump.modules) if m.lower().endswith('faultlab-console.exe')), None)
        if base is None or dump.read(base, 2) != b'MZ':
            fail('%s: the program\'s image is not in the memory at its base' % name)
        if dump.read(rsp, 8) is None:
            fail('%s: the faulting thread\'s stack is not in the memory' % name)
    modules = [m.lower().replace('/', '\\').rsplit('\\', 1)[-1] for m in dump.modules]
    for module in ('faultlab-console.exe', 'ntdll.dll', 'kernel32.dll'):
        if module not in modules:
            fail('%s: the module %s is not in the list %s' % (name, module, modules))
    if 'kernel32.dll' in modules and not dump.versioned[modules.index('kernel32.dll')]:
        fail('%s: kernel32.dll\'s entry has no version' % name)
    if winedump:
        # winedump's own reading: the exception stream's fields, the threads' ids, the modules.
        out = subprocess.run([winedump, 'dump', path], capture_output=True, timeout=60).stdout.decode('latin-1')
        lines = [l.strip() for l in out.splitlines() if not l.startswith('    0')]
        start = next((i for i, l in enumerate(lines) if l.endswith(': Exception:')), None)
        fields = {}
        for l in lines[start + 1:start + 9] if start is not None else []:
            key, _, value = l.partition(': ')
            fields.setdefault(key, value)
        seen = (int(fields.get('ThreadId', '-1'), 0), int(fields.get('ExceptionCode', '-1'), 0),
                int(fields.get('ExceptionAddress', '-1'), 0))
        if seen != (got_tid, got_code, got_address):
            fail('%s: winedump reads the exception as %r, this reader as %r' % (name, seen, (got_tid, got_code, got_address)))
        thread_ids = {int(l.split(': ')[1]) for l in lines if l.startswith('ThreadId: ') and not l.startswith('ThreadId: 0x')}
        if thread_ids != set(dump.threads):
            fail('%s: winedump reads the threads %s, this reader %s' % (name, sorted(thread_ids), sorted(dump.threads)))
        if not any(l.startswith('ModuleName: ') and 'faultlab-console.exe' in l for l in lines):
            fail('%s: winedump shows no module faultlab-console.exe' % name)
    print('ok   %s: exception %08X at %X on thread %d, %d threads, %d modules, %d bytes' %
          (name, got_code, got_address, got_tid, len(dump.threads), len(dump.modules), len(dump.data)))
sys.exit(1 if failures else 0)
