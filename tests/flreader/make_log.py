#!/usr/bin/env python3
"""Writes a deterministic log of COUNT reports made from the first report of a small log.

Usage: make_log.py TEMPLATE.flf OUT.flf COUNT

The reports vary the way real ones do: program versions (whose builds put the same code at other
addresses), exception dates, computers, exception types and messages (GBK text, markup and quotes
among them) and the call stack of the faulting thread, drawn from a few places so that reports
group. One report in every 97 is written with LF line ends only, as a log edited on another
system would be.
"""
import datetime
import random
import sys

PLACES = [  # unit, class, procedure, line
    ("Main.pas", "TForm1", "Button1Click", 112),
    ("Main.pas", "TForm1", "FormCreate", 48),
    ("Work.pas", "TWorker", "Execute", 40),
    ("Parse.pas", "", "ReadNumber", 17),
    ("Parse.pas", "", "ReadLine", 90),
    ("Net.pas", "TLink", "Send", 233),
    ("SysUtils.pas", "", "StrToInt", 5510),
]
FAULTS = [  # type, message, call stack (indices into PLACES, the faulting place first)
    ("EAccessViolation", "Access violation at address {addr}. Read of address 00000000.", [0, 1]),
    ("EAccessViolation", "Access violation at address {addr}. Write of address 0000000C.", [2]),
    ("EConvertError", "'12a' is not a valid integer value", [6, 3, 0]),
    ("EConvertError", "'x' is not a valid integer value", [6, 4, 2]),
    ("EZeroDivide", "Division by zero", [3, 4, 2]),
    ("Exception", "\u6587\u4ef6\u65e0\u6cd5\u6253\u5f00\uff1a C:\\\u6570\u636e\\a.txt", [5, 2]),
    ("Exception", "<script>alert(1)</script> & \"quoted\" 'single'", [1]),
]
VERSIONS = [("1.0.0.12", 0), ("1.0.0.13", 0x120), ("1.1.0.2", 0x3A40)]
COMPUTERS = [("PC1", "alice"), ("PC2", "bob"), ("BUILD-07", "ci"), ("\u5f20\u4e09\u7684\u7535\u8111", "zhang")]


def main():
    template_path, out_path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    data = open(template_path, "rb").read().decode("gbk")
    template = data[: data.index("\r\n\r\n\r\n\r\n")]
    # Four lines of the stack and memory dump are enough, and keep a report near its usual size.
    lines = template.split("\r\n")
    dump = lines.index(next(l for l in lines if l.startswith("------------------   ---"))) + 1
    template = "\r\n".join(lines[: dump + 4])
    rng = random.Random(1234)
    start = datetime.datetime(2026, 12, 6, 11, 41, 2)
    row = "|0044A1F2|prog.exe|Main.pas|TForm1 |Button1Click    |112[7]|"
    assert row in template
    with open(out_path, "wb") as out:
        for i in range(count):
            version, shift = rng.choice(VERSIONS)
            ftype, message, stack = FAULTS[rng.randrange(len(FAULTS))] if i % 5 else FAULTS[i // 5 % len(FAULTS)]
            computer, user = rng.choice(COMPUTERS)
            when = (start + datetime.timedelta(seconds=37 * i + rng.randrange(30))).strftime(
                "%a, %-d %b %Y %H:%M:%S +0100")
            rows = []
            for depth, p in enumerate(stack):
                unit, cls, proc, line = PLACES[p]
                addr = "%08X" % (0x44A1F2 + p * 0x1000 + shift + depth)
                rows.append("|%s|prog.exe|%-8s|%-7s|%-16s|%-6s|" % (addr, unit, cls, proc, "%d[%d]" % (line, depth + 3)))
            addr = rows[0][1:9]
            text = (template.replace(row, "\r\n".join(rows))
                    .replace("1.3 Version Number  : 1.0.0.12", "1.3 Version Number  : " + version)
                    .replace("2.1 Date   : Sun, 6 Dec 2026 11:41:02 +0100", "2.1 Date   : " + when)
                    .replace("2.2 Address: 0044A1F2", "2.2 Address: " + addr)
                    .replace("2.4 Type   : EAccessViolation", "2.4 Type   : " + ftype)
                    .replace("2.5 Message: Access violation at address 0044A1F2. Read of address 00000000.",
                             "2.5 Message: " + message.format(addr=addr))
                    .replace("4.1 Name          : PC1", "4.1 Name          : " + computer)
                    .replace("4.2 User          : alice", "4.2 User          : " + user))
            text += "\r\n\r\n\r\n"
            if i % 97 == 3:
                text = text.replace("\r\n", "\n")
            if i:
                out.write(b"\r\n")
            out.write(text.encode("gbk"))


main()
