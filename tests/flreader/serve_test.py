#!/usr/bin/python3
"""flreader serve on 127.0.0.1, judged from outside: what it refuses (and that it refuses a body
too large before or while reading it, with its memory staying small), that nothing outside its
pages can be fetched, that 500 uploads from 20 clients at once are all stored byte for byte and
none twice, and that its index and report pages (read with html.parser) show the uploaded
archive's groups with the hostile message as text.

Usage: serve_test.py FLREADER SOURCE_DIR WORKDIR    (run by in_loopback.sh)
"""
import collections
import hashlib
import html.parser
import http.client
import json
import os
import random
import select
import shutil
import socket
import subprocess
import sys
import tarfile
import threading
import time

reader, src, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
store = os.path.join(work, 'store')
failures = []
HOSTILE = "<script>alert(1)</script> & \"quoted\" 'single'"


def fail(text):
    failures.append(text)
    print('FAIL', text)


def form(fields, files, boundary=None):
    """A body as the program's web delivery builds it (the ';' after each name included)."""
    boundary = boundary or '-' * 27 + '%012X' % random.getrandbits(48)
    out = b''
    for name, value in fields:
        out += b'--%s\r\nContent-Disposition: form-data; name="%s";\r\n\r\n%s\r\n' % (
            boundary.encode(), name.encode(), value)
    for i, (name, data) in enumerate(files):
        out += (b'--%s\r\nContent-Disposition: form-data; name="fl_upload_file_%d"; filename="%s";\r\n'
                b'Content-Type: application/octet-stream\r\n\r\n%s\r\n') % (boundary.encode(), i, name.encode(), data)
    return 'multipart/form-data; boundary=' + boundary, out + b'--%s--\r\n' % boundary.encode()


def uploads():
    return sorted(n for n in os.listdir(store) if not n.startswith('.'))


def leftovers():
    return [n for n in os.listdir(store) if n.startswith('.')]


def raw(request, send_more=None, timeout=20):
    """Sends request bytes (and then send_more's chunks while the server says nothing) and
    returns (status, whole answer). The server may answer before the body is sent."""
    s = socket.create_connection(('127.0.0.1', port), timeout=timeout)
    s.sendall(request)
    answer = b''
    sent = 0
    try:
        for chunk in send_more or ():
            readable, writable, _ = select.select([s], [s], [], timeout)
            if readable:
                break
            s.sendall(chunk)
            sent += len(chunk)
        s.settimeout(timeout)
        while True:
            data = s.recv(65536)
            if not data:
                break
            answer += data
            if b'\r\n\r\n' in answer:
                head, _, body = answer.partition(b'\r\n\r\n')
                length = [int(l.split(b':')[1]) for l in head.split(b'\r\n') if l.lower().startswith(b'content-length:')]
                if length and len(body) >= length[0]:
                    break
    except (ConnectionResetError, BrokenPipeError, TimeoutError) as e:
        if not answer:
            answer = repr(e).encode()
    finally:
        s.close()
    status = int(answer.split(b' ')[1]) if answer.startswith(b'HTTP/1.1 ') else 0
    return status, answer, sent


def vm_hwm_kb():
    for line in open('/proc/%d/status' % server.pid):
        if line.startswith('VmHWM:'):
            return int(line.split()[1])


# ---- the report archive the index is judged with: a log with the hostile message, a screenshot ----
packed = os.path.join(work, 'packed')
os.makedirs(packed)
log = os.path.join(packed, 'prog_20261206114102.flf')
subprocess.run([sys.executable, os.path.join(src, 'make_log.py'), os.path.join(src, 'two.flf'), log, '40'], check=True)
open(os.path.join(packed, 'Screenshot.png'), 'wb').write(b'\x89PNG\r\n\x1a\n' + b'\0' * 64)
archive = os.path.join(work, 'CompressFiles.tgz')
with tarfile.open(archive, 'w:gz') as t:
    for name in ('prog_20261206114102.flf', 'Screenshot.png'):
        t.add(os.path.join(packed, name), arcname=name)
archive_bytes = open(archive, 'rb').read()
expected_groups = json.loads(subprocess.run([reader, 'group', archive, '--json'], check=True,
                                            capture_output=True).stdout.decode('utf-8'))['groups']

server = subprocess.Popen([reader, 'serve', '--dir', store, '--port', '0', '--max-mb', '32'],
                          stdout=subprocess.PIPE, stderr=open(os.path.join(work, 'server.log'), 'wb'))
try:
    port = int(server.stdout.readline())
    base_hwm = vm_hwm_kb()

    # ---- refusals: nothing of them is stored ----
    content_type, good_body = form([('build', b'1')], [('a.tgz', b'x')])
    _, fields_only = form([('build', b'1')], [])
    cut = good_body[:-20]
    for method, headers, body, want in [
        ('PUT', {'Content-Type': content_type}, good_body, 405),
        ('DELETE', {}, b'', 405),
        ('PATCH', {'Content-Type': content_type}, good_body, 405),
        ('POST', {'Content-Type': 'text/plain'}, b'report', 415),
        ('POST', {'Content-Type': 'application/x-www-form-urlencoded'}, b'a=b', 415),
        ('POST', {}, good_body, 415),
        ('POST', {'Content-Type': 'multipart/form-data'}, good_body, 400),
        ('POST', {'Content-Type': content_type.replace('boundary=', 'boundary=x')}, good_body, 400),
        ('POST', {'Content-Type': content_type}, fields_only, 400),
        ('POST', {'Content-Type': content_type}, cut, 400),
        ('POST', {'Content-Type': content_type}, b'no form at all', 400),
    ]:
        head = '%s /reports/upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: %d\r\n' % (method, len(body))
        head += ''.join('%s: %s\r\n' % kv for kv in headers.items()) + '\r\n'
        status, answer, _ = raw(head.encode() + body)
        if status != want:
            fail('%s %r: status %d, wanted %d (%r)' % (method, headers, status, want, answer[:80]))
    # A length over the cap is answered without waiting for a byte of the body.
    status, answer, _ = raw(('POST /reports/upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: %s\r\n'
                             'Content-Length: %d\r\n\r\n' % (content_type, 100 << 30)).encode(), timeout=5)
    if status != 413:
        fail('a 100 GB length with no body sent: status %d (%r)' % (status, answer[:80]))
    if uploads() or leftovers():
        fail('refused requests left %r' % (uploads() + leftovers()))

    # ---- too large: a length over the cap is refused before the body; 2 GB streamed in chunks
    # is refused once the cap is passed; the server's peak memory stays small ----
    gib2 = 2 << 30
    chunk = b'\xa5' * 65536
    head = ('POST /reports/upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: %s\r\n' % content_type).encode()
    started = time.time()
    status, _, sent = raw(head + b'Content-Length: %d\r\n\r\n' % gib2, (chunk for _ in range(gib2 // len(chunk))))
    if status != 413 or sent >= 32 << 20:
        fail('2 GB with its length: status %d after %d bytes sent' % (status, sent))
    status, _, sent = raw(head + b'Transfer-Encoding: chunked\r\n\r\n',
                          (b'%x\r\n%s\r\n' % (len(chunk), chunk) for _ in range(gib2 // len(chunk))))
    # Without a length the cap is counted as the body streams: refused once past it, not before.
    if status != 413 or not 32 << 20 <= sent < 64 << 20:
        fail('2 GB chunked: status %d after %d bytes sent' % (status, sent))
    grown = vm_hwm_kb() - base_hwm
    print('2 GB refused twice in %.1f s; peak memory %d kB (grew %d kB)' % (time.time() - started, vm_hwm_kb(), grown))
    if grown > 32 * 1024:
        fail('the server\'s peak memory grew by %d kB on the 2 GB uploads' % grown)
    if uploads() or leftovers():
        fail('refused large uploads left %r' % (uploads() + leftovers()))

    # ---- the report archive, twice, as the delivery sends it ----
    ids = []
    for _ in range(2):
        content_type, body = form([('build', b'1234'), ('channel', b'nightly')],
                                  [('CompressFiles.tgz', archive_bytes), ('extra.txt', b'attached by the program')])
        c = http.client.HTTPConnection('127.0.0.1', port, timeout=30)
        c.request('POST', '/reports/upload', body, {'Content-Type': content_type})
        r = c.getresponse()
        answer = r.read()
        if r.status != 200:
            fail('archive upload: %d %r' % (r.status, answer))
        ids.append(answer.decode().split()[-1])

    # ---- 500 uploads from 20 clients: every body different, some chunked, contents that hold
    # boundary-like lines and CR LF at every end ----
    sent = {}
    lock = threading.Lock()
    answers = []

    def client(number):
        rng = random.Random(number)
        c = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
        for k in range(25):
            seq = b'%d-%d' % (number, k)
            data = rng.randbytes(rng.randrange(0, 40000)) + b'\r\n--' + b'-' * 27 + b'\r\n' * rng.randrange(3)
            name = rng.choice(['CompressFiles.tgz', 'a/../b.txt', '..\\evil name.log', '\u6587.bin'])
            content_type, body = form([('seq', seq)], [(name, data)])
            with lock:
                sent[seq] = hashlib.sha256(data).hexdigest()
            try:
                if k % 5 == 4:  # no length: chunked
                    c.request('POST', '/reports/upload', (body[i:i + 7000] for i in range(0, len(body), 7000)),
                              {'Content-Type': content_type})
                else:
                    c.request('POST', '/reports/upload', body, {'Content-Type': content_type})
                r = c.getresponse()
                text = r.read()
                status = r.status
            except OSError as e:
                status, text = 0, repr(e).encode()
                c = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
            with lock:
                answers.append((seq, status, text))

    threads = [threading.Thread(target=client, args=(n,)) for n in range(20)]
    started = time.time()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print('500 uploads from 20 clients in %.1f s' % (time.time() - started))
    bad = [(seq, status, text[:60]) for seq, status, text in answers if status != 200]
    if bad or len(answers) != 500:
        fail('load: %d answers, not 200: %r' % (len(answers), bad[:5]))
    stored = collections.Counter()
    for upload in uploads():
        meta = json.load(open(os.path.join(store, upload, 'upload.json'), encoding='utf-8'))
        fields = {f['name']: f['value'].encode('latin-1') for f in meta['fields']}
        if 'seq' not in fields:
            continue
        stored[fields['seq']] += 1
        (f,) = meta['files']
        path = os.path.join(store, upload, f['stored'])
        if os.path.realpath(path) != path or not path.startswith(os.path.join(store, upload, 'files') + '/'):
            fail('load: %s stored outside its folder: %s' % (upload, f['stored']))
        if hashlib.sha256(open(path, 'rb').read()).hexdigest() != sent.get(fields['seq']):
            fail('load: upload %r stored other bytes' % fields['seq'])
    lost = set(sent) - set(stored)
    twice = [s for s, n in stored.items() if n != 1]
    if lost or twice or len(stored) != 500:
        fail('load: %d stored, %d lost, %d more than once' % (len(stored), len(lost), len(twice)))
    if leftovers():
        fail('load: half-received folders left: %r' % leftovers())

    # ---- the archive upload kept whole ----
    meta = json.load(open(os.path.join(store, ids[0], 'upload.json'), encoding='utf-8'))
    kept = {f['filename']: open(os.path.join(store, ids[0], f['stored']), 'rb').read() for f in meta['files']}
    if kept != {'CompressFiles.tgz': archive_bytes, 'extra.txt': b'attached by the program'}:
        fail('archive upload: files kept %r' % {k: len(v) for k, v in kept.items()})
    if [(f['name'], f['value']) for f in meta['fields']] != [('build', '1234'), ('channel', 'nightly')]:
        fail('archive upload: fields kept %r' % meta['fields'])

    # ---- pages ----
    class Page(html.parser.HTMLParser):
        def __init__(self):
            super().__init__(convert_charrefs=True)
            self.tags, self.links, self.rows, self.row, self.cell, self.message = [], [], [], None, None, None
            self.in_message = False

        def handle_starttag(self, tag, attrs):
            a = dict(attrs)
            self.tags.append(tag)
            if tag == 'a':
                self.links.append(a.get('href'))
            if tag == 'tr':
                self.row = []
                self.rows.append(self.row)
            if tag in ('td', 'th') and self.row is not None:
                self.row.append('')
            if tag == 'p' and a.get('class') == 'message':
                self.in_message, self.message = True, ''

        def handle_endtag(self, tag):
            if tag == 'p':
                self.in_message = False

        def handle_data(self, data):
            if self.row:
                self.row[-1] += data
            if self.in_message:
                self.message += data

    def get(path):
        c = http.client.HTTPConnection('127.0.0.1', port, timeout=60)
        c.request('GET', path)
        r = c.getresponse()
        return r.status, r.getheader('Content-Type'), r.read()

    status, kind, body = get('/')
    index = Page()
    index.feed(body.decode('utf-8'))
    shown = sorted((int(row[0]), row[1]) for row in index.rows[1:])
    want = sorted((2 * g['count'], g['type']) for g in expected_groups)
    if status != 200 or not kind.startswith('text/html') or shown != want:
        fail('index: %d %s groups %r, wanted %r' % (status, kind, shown, want))
    links = [l for l in index.links if l.startswith('reports/')]
    if len(links) != 80 or {l.split('/')[1] for l in links} != set(ids):
        fail('index: report links %r' % links[:4])
    hostile_pages = 0
    for link in links:
        status, kind, body = get('/' + link)
        page = Page()
        page.feed(body.decode('utf-8'))
        if status != 200 or 'script' in page.tags or page.message is None:
            fail('report page %s: %d, tags %r' % (link, status, sorted(set(page.tags))))
        hostile_pages += page.message == HOSTILE
    if hostile_pages == 0:
        fail('no report page shows the hostile message as its text')

    # ---- nothing but the pages can be fetched ----
    secret = os.path.join(work, 'secret.txt')
    open(secret, 'w').write('not for the web')
    first = ids[0]
    status, _, good = raw(b'GET /reports/%s/report-1.html HTTP/1.1\r\nHost: x\r\n\r\n' % first.encode())
    if status != 200:
        fail('traversal control: a report page gives %d' % status)
    for path in ['/reports/%s/../upload.json', '/reports/%s/%%2e%%2e/upload.json', '/reports/%s/..%%2fupload.json',
                 '/reports/%s/%%2E%%2E%%2Fupload.json', '/reports/%s/..', '/reports/%s/.%%2e',
                 '/reports/%s/..%%2f..%%2f..%%2fsecret.txt', '/reports/..%%2f..%%2fsecret.txt/%s',
                 '/reports/%%2e%%2e/secret.txt?%s', '/reports/%s/%%2fetc%%2fpasswd', '/reports/%s/..%%5c..%%5csecret.txt',
                 '/reports/.incoming-%s/index.html', '/reports/%s/files', '/../../secret.txt?%s', '/%%2e%%2e/secret.txt?%s']:
        target = (path % first).encode()
        status, answer, _ = raw(b'GET ' + target + b' HTTP/1.1\r\nHost: x\r\n\r\n')
        if status not in (400, 404) or b'not for the web' in answer or b'"fields"' in answer or b'root:' in answer:
            fail('traversal %s: status %d %r' % (target.decode(), status, answer[:80]))
finally:
    server.terminate()
    server.wait(timeout=30)

if failures:
    print(open(os.path.join(work, 'server.log'), 'rb').read().decode('latin-1')[-2000:])
    sys.exit(1)
print('flreader serve: all checks passed')
