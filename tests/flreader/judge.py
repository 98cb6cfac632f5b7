#!/usr/bin/env python3
"""Judges the reader's group and html output against the XML document of the same log.

  judge.py group LOG.xml GROUPS.json [COPIES]   the groups are the log's reports grouped by type and
                                               the first three faulting-thread rows (COPIES: how many
                                               times the inputs held the log)
  judge.py html  LOG.xml DIR SCREENSHOT.png     the pages of the log (read from an archive with the
                                               screenshot)
The XML document is read with the standard library's parser; its text is GBK bytes written as
character references, turned back into text here.
"""
import collections
import html.parser
import json
import os
import sys
import xml.etree.ElementTree as ET

HOSTILE = "<script>alert(1)</script> & \"quoted\" 'single'"
CHINESE = "\u6587\u4ef6\u65e0\u6cd5\u6253\u5f00"


def text(value):
    return value.encode("latin-1").decode("gbk")


def reports(xml_path):
    out = []
    for log in ET.parse(xml_path).getroot().findall("Log"):
        item = {line.get("ID"): text(line.get("Value")) for line in log.iter("Line") if line.get("ID")}
        rows = log.find("CallStack/ExceptionThread").findall("Line")[:3]
        place = tuple((text(r.get("Unit")), text(r.get("Procedure")), r.get("Number")) for r in rows)
        out.append({"type": item["2.4"], "place": place, "version": item["1.3"], "computer": item["4.1"],
                    "message": item["2.5"]})
    return out


def fail(message):
    print("FAIL:", message, file=sys.stderr)
    sys.exit(1)


def judge_group(xml_path, json_path, copies):
    logs = reports(xml_path)
    doc = json.loads(open(json_path, "rb").read().decode("utf-8"))
    expected = collections.Counter((r["type"], r["place"]) for r in logs)
    got = {}
    for g in doc["groups"]:
        key = (g["type"], tuple((p["unit"], p["procedure"], p["line"]) for p in g["places"]))
        if key in got:
            fail("group twice: %r" % (key,))
        got[key] = g
    if {k: g["count"] for k, g in got.items()} != {k: n * copies for k, n in expected.items()}:
        fail("groups differ:\n%r\n%r" % (sorted(expected.items()), sorted((k, g["count"]) for k, g in got.items())))
    counts = [g["count"] for g in doc["groups"]]
    if counts != sorted(counts, reverse=True):
        fail("not sorted by count: %r" % counts)
    for key, g in got.items():
        members = [r for r in logs if (r["type"], r["place"]) == key]
        if set(g["versions"]) != {r["version"] for r in members}:
            fail("versions of %r: %r" % (key, g["versions"]))
        if set(g["computers"]) != {r["computer"] for r in members}:
            fail("computers of %r: %r" % (key, g["computers"]))
        if len(g["reports"]) != g["count"]:
            fail("report references of %r" % (key,))
    # Builds of other versions put the code at other addresses: their reports still group.
    if not any(len(g["versions"]) > 1 for g in got.values()):
        fail("no group spans program versions")


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags, self.links, self.images, self.faults, self.text = [], [], [], 0, []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append(tag)
        if tag == "a" and "href" in a:
            self.links.append(a["href"])
        if tag == "img":
            self.images.append(a.get("src"))
        if tag == "tr" and "fault" in (a.get("class") or "").split():
            self.faults += 1

    def handle_data(self, data):
        self.text.append(data)


def parse(path):
    p = Page()
    p.feed(open(path, "rb").read().decode("utf-8"))
    p.close()
    return p


def judge_html(xml_path, folder, screenshot):
    logs = reports(xml_path)
    index = parse(os.path.join(folder, "index.html"))
    pages = sorted({l for l in index.links if l.startswith("report-")})
    if len(pages) != len(logs):
        fail("index links %d pages for %d reports" % (len(pages), len(logs)))
    for number, r in enumerate(logs, 1):
        p = parse(os.path.join(folder, "report-%d.html" % number))
        if "script" in p.tags or "script" in index.tags:
            fail("a script element in report %d" % number)
        body = "".join(p.text)
        if r["message"] not in body:
            fail("report %d lacks its message %r" % (number, r["message"]))
        if p.faults != 1:
            fail("report %d marks %d fault rows" % (number, p.faults))
        newest = number == len(logs)
        if newest != bool(p.images):
            fail("report %d images: %r" % (number, p.images))
        for src in p.images:
            if open(os.path.join(folder, src), "rb").read() != open(screenshot, "rb").read():
                fail("screenshot %s is not the archive's" % src)
    if not any(r["message"] == HOSTILE for r in logs) or not any(CHINESE in r["message"] for r in logs):
        fail("the log lacks the hostile or the Chinese message")


if sys.argv[1] == "group":
    judge_group(sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else 1)
else:
    judge_html(sys.argv[2], sys.argv[3], sys.argv[4])
print("judge:", sys.argv[1], "ok")
