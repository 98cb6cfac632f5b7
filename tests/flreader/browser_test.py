#!/usr/bin/python3
"""The pages of flreader html as a real browser renders them: headless Chromium loads the index
and the report page of an archive whose report carries markup that would run script (change the
title, add an element) if it were not escaped. The DOM the browser dumps must show the groups,
the fault row and the hostile message as text, and nothing that the markup would have made.
Pictures of both pages are saved for people to look at.

Usage: browser_test.py FLREADER SOURCE_DIR WORKDIR PICTURES_DIR    (run by in_loopback.sh)
"""
import html.parser
import os
import shutil
import struct
import subprocess
import sys
import tarfile
import zlib

reader, src, work, pictures = sys.argv[1:5]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
os.makedirs(pictures, exist_ok=True)
failures = []
MARK = 'PWNED'
# Three ways markup in a message would run: an element, an event handler, a closing tag that
# ends the paragraph early.
HOSTILE = ('<script>document.title="%s";document.body.append("%s")</script>'
           '<img src=x onerror="document.title=\'%s\'"></p><b id="%s">&amp;</b>' % (MARK, MARK, MARK, MARK))


def fail(text):
    failures.append(text)
    print('FAIL', text)


# A log whose hostile reports carry the markup above (the log is plain text: a message is
# replaced as it stands), packed with a screenshot the way the delivery packs it. Of 31 reports
# the newest (the one the archive was sent for, shown with the screenshot) is a hostile one.
packed = os.path.join(work, 'packed')
os.makedirs(packed)
log = os.path.join(packed, 'prog_20261206114102.flf')
subprocess.run([sys.executable, os.path.join(src, 'make_log.py'), os.path.join(src, 'two.flf'), log, '31'], check=True)
data = open(log, 'rb').read()
plain = b'<script>alert(1)</script> & "quoted" \'single\''
if plain not in data:
    sys.exit('FAIL: the generated log lacks its hostile message')
open(log, 'wb').write(data.replace(plain, HOSTILE.encode()))


def png(width, height):
    def chunk(kind, body):
        return struct.pack('>I', len(body)) + kind + body + struct.pack('>I', zlib.crc32(kind + body))
    rows = b''.join(b'\0' + b''.join(bytes((x * 255 // width, y * 255 // height, 160)) for x in range(width))
                    for y in range(height))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(rows)) + chunk(b'IEND', b''))


open(os.path.join(packed, 'Screenshot.png'), 'wb').write(png(160, 90))
archive = os.path.join(work, 'CompressFiles.tgz')
with tarfile.open(archive, 'w:gz') as t:
    for name in ('prog_20261206114102.flf', 'Screenshot.png'):
        t.add(os.path.join(packed, name), arcname=name)
pages = os.path.join(work, 'pages')
subprocess.run([reader, 'html', archive, '-o', pages], check=True, capture_output=True)
hostile_page = 'report-31.html'


def chromium(*args):
    profile = os.path.join(work, 'profile')
    command = ['chromium', '--headless', '--no-sandbox', '--disable-gpu', '--user-data-dir=' + profile,
               '--disable-background-networking', '--disable-component-update', '--disable-sync',
               '--no-first-run', '--no-default-browser-check', '--disable-extensions', '--mute-audio',
               '--hide-scrollbars'] + list(args)
    return subprocess.run(command, capture_output=True, timeout=120)


class Dom(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.tags, self.ids, self.title, self.message, self.faults = [], [], '', None, 0
        self.group_rows, self.images = 0, []
        self.open = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.append(tag)
        if a.get('id'):
            self.ids.append(a['id'])
        if tag == 'title':
            self.open = 'title'
        if tag == 'p' and a.get('class') == 'message':
            self.open, self.message = 'message', ''
        if tag == 'tr' and 'fault' in (a.get('class') or '').split():
            self.faults += 1
        if tag == 'a' and (a.get('href') or '').startswith('report-'):
            self.group_rows += 1
        if tag == 'img':
            self.images.append(a.get('src'))

    def handle_endtag(self, tag):
        if tag in ('title', 'p'):
            self.open = None

    def handle_data(self, text):
        if self.open == 'title':
            self.title += text
        elif self.open == 'message':
            self.message += text


doms = {}
for name, picture, size in (('index.html', 'flreader-index.png', '1280,1000'),
                            (hostile_page, 'flreader-report.png', '1280,2400')):
    url = 'file://' + os.path.join(pages, name)
    run = chromium('--virtual-time-budget=2000', '--dump-dom', url)
    dom = Dom()
    dom.feed(run.stdout.decode('utf-8'))
    doms[name] = dom
    if run.returncode != 0 or 'body' not in dom.tags:
        fail('%s: chromium exit %d, no document (%r)' % (name, run.returncode, run.stderr[-300:]))
    if MARK in dom.title or MARK in dom.ids or 'script' in dom.tags:
        fail('%s: the hostile markup ran or became elements (title %r, ids %r)' % (name, dom.title, dom.ids))
    target = os.path.join(pictures, picture)
    if os.path.exists(target):
        os.remove(target)
    shot = chromium('--window-size=' + size, '--screenshot=' + target, url)
    if shot.returncode != 0 or not os.path.exists(target) or open(target, 'rb').read(8) != b'\x89PNG\r\n\x1a\n':
        fail('%s: no picture (%r)' % (name, shot.stderr[-300:]))
    else:
        print('picture of %s: %s' % (name, target))

index, report = doms['index.html'], doms[hostile_page]
if index.group_rows != 31:
    fail('index: %d report links' % index.group_rows)
if report.faults != 1:
    fail('report: %d fault rows' % report.faults)
if report.message != HOSTILE:
    fail('report: the message reads %r' % report.message)
if report.images != ['screenshot.png'] or \
        open(os.path.join(pages, 'screenshot.png'), 'rb').read() != open(os.path.join(packed, 'Screenshot.png'), 'rb').read():
    fail('report: images %r, not the archive\'s screenshot alone' % report.images)
if failures:
    sys.exit(1)
print('flreader pages in Chromium: all checks passed')
