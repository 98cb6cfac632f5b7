#!/usr/bin/python3
"""The crash laboratory's real HTTP delivery to the native report reader's server: the console
program faults with its upload pointed at `flreader serve` on 127.0.0.1, through a relay here that
keeps a copy of every byte the program sent. What the server stored must be the files and fields
of that capture byte for byte (read with the email package's multipart parser), the log sent (or
the log copy in an archive) must be the log the program kept, and the report must appear in the
server's group index and on its report page.

Usage: serve_http.py WINE_RUNNER FAULTLAB-CONSOLE.EXE FLREADER WORKDIR    (run by serve_http.sh)
"""
import email
import email.policy
import html.parser
import io
import json
import os
import shutil
import socket
import subprocess
import sys
import tarfile
import threading
import urllib.request

runner, program, flreader, work = sys.argv[1:5]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
exe = os.path.join(work, os.path.basename(program))
shutil.copy(program, exe)
store = os.path.join(work, 'store')
failures = []


def fail(text):
    failures.append(text)
    print('FAIL', text)


server = subprocess.Popen([flreader, 'serve', '--dir', store, '--port', '0'], stdout=subprocess.PIPE,
                          stderr=open(os.path.join(work, 'server.log'), 'wb'))
port = int(server.stdout.readline())

# The relay: one connection at a time, every byte from the program kept.
captured = []
relay = socket.socket()
relay.bind(('127.0.0.1', 0))
relay.listen(4)


def pump(src, dst, keep):
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if keep is not None:
                keep.append(data)
            dst.sendall(data)
    except OSError:
        pass
    finally:
        try:
            dst.shutdown(socket.SHUT_WR)
        except OSError:
            pass


def accept():
    while True:
        try:
            client, _ = relay.accept()
        except OSError:
            return
        upstream = socket.create_connection(('127.0.0.1', port))
        keep = []
        captured.append(keep)
        threading.Thread(target=pump, args=(client, upstream, keep), daemon=True).start()
        threading.Thread(target=pump, args=(upstream, client, None), daemon=True).start()


threading.Thread(target=accept, daemon=True).start()
try:
    log = os.path.join(work, 'faultlab-console.flf')
    env = dict(os.environ, FAULTLAB_PORT=str(relay.getsockname()[1]))
    run = subprocess.run([runner, exe, 'send-http'], env=env, capture_output=True, timeout=180)
    if run.returncode != 1:
        fail('exit code %d' % run.returncode)
    if not os.path.exists(log) or b'sent by http' not in open(log, 'rb').read():
        fail('the report is not in the program\'s log')
    uploads = sorted(n for n in os.listdir(store) if not n.startswith('.'))
    if len(uploads) != 1:
        fail('%d uploads stored: %r' % (len(uploads), uploads))
    else:
        folder = os.path.join(store, uploads[0])
        meta = json.load(open(os.path.join(folder, 'upload.json'), encoding='utf-8'))
        stored = {f['filename']: open(os.path.join(folder, f['stored']), 'rb').read() for f in meta['files']}
        fields = {f['name']: f['value'] for f in meta['fields']}
        # What went over the wire: the request's head and its multipart body.
        raw = b''.join(b''.join(k) for k in captured)
        head, _, body = raw.partition(b'\r\n\r\n')
        content_type = [l.split(b':', 1)[1].strip() for l in head.split(b'\r\n') if l.lower().startswith(b'content-type:')]
        parsed = email.message_from_bytes(b'Content-Type: ' + content_type[0] + b'\r\n\r\n' + body,
                                          policy=email.policy.default)
        sent_files = {p.get_filename(): p.get_payload(decode=True) for p in parsed.iter_parts() if p.get_filename()}
        sent_fields = {p.get_param('name', header='content-disposition'): p.get_payload(decode=True).decode('latin-1')
                       for p in parsed.iter_parts() if not p.get_filename()}
        if not sent_files or stored != sent_files:
            fail('stored files %r differ from those sent %r' % (
                {k: len(v) for k, v in stored.items()}, {k: len(v) for k, v in sent_files.items()}))
        if fields != sent_fields or fields.get('build') != '1234':
            fail('stored fields %r, sent %r' % (fields, sent_fields))
        # The log goes as it is, or packed in an archive when the options compress.
        logs = [v for k, v in stored.items() if k.lower().endswith('.flf')]
        for blob in [v for k, v in stored.items() if k.lower().endswith('.tgz')]:
            with tarfile.open(fileobj=io.BytesIO(blob), mode='r:gz') as t:
                logs += [t.extractfile(m).read() for m in t.getmembers() if m.name.lower().endswith('.flf')]
        if not logs or logs[0] != open(log, 'rb').read():
            fail('the log sent is not the program\'s log (%d logs)' % len(logs))

        class Index(html.parser.HTMLParser):
            def __init__(self):
                super().__init__()
                self.rows, self.links = [], []

            def handle_starttag(self, tag, attrs):
                if tag == 'tr':
                    self.rows.append([])
                if tag in ('td', 'th') and self.rows:
                    self.rows[-1].append('')
                if tag == 'a':
                    self.links.append(dict(attrs).get('href'))

            def handle_data(self, data):
                if self.rows and self.rows[-1]:
                    self.rows[-1][-1] += data

        page = Index()
        page.feed(urllib.request.urlopen('http://127.0.0.1:%d/' % port, timeout=30).read().decode('utf-8'))
        want = 'reports/%s/report-' % uploads[0]
        if len(page.rows) < 2 or not any(l and l.startswith(want) for l in page.links):
            fail('the index does not show the report: rows %r' % page.rows)
        report = urllib.request.urlopen('http://127.0.0.1:%d/%s1.html' % (port, want), timeout=30).read()
        if b'sent by http' not in report or b'FaultAndSend' not in report:
            fail('the report page lacks the message or the call stack')
finally:
    relay.close()
    server.terminate()
    server.wait(timeout=30)

if failures:
    print(run.stdout.decode('latin-1')[-1500:], run.stderr.decode('latin-1')[-1500:])
    sys.exit(1)
print('crash laboratory: the HTTP delivery stored whole by flreader serve and shown in its index')
