#!/usr/bin/python3
"""Web delivery against real servers on 127.0.0.1: an HTTP and two HTTPS servers (http.server, one
with a certificate the Wine prefix trusts, one with a certificate nobody trusts), a server that
never answers, and an FTP server (pyftpdlib). The Windows program runs every case in one start;
then each case's result and what the servers received are judged here.

Usage: check.py WINE_RUNNER PROGRAM WORKDIR
"""
import base64
import email
import errno
import hashlib
import http.server
import logging
import os
import random
import shutil
import socket
import ssl
import subprocess
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.filesystems import AbstractedFS
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

runner, program, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
LOOPBACK = '127.0.0.1'


def win_path(path):
    """The program's name for a file of ours: Wine's drive Z: is the Linux root; GBK bytes."""
    return ('Z:' + path.replace('/', '\\')).encode('gbk')


# ---- fixtures ----
rng = random.Random(20240613)
files_dir = os.path.join(work, 'files')
os.makedirs(files_dir)


def fixture(name, data):
    path = os.path.join(files_dir, name)
    with open(path, 'wb') as f:
        f.write(data)
    return path


GBK_NAME = '异常报告.txt'
big = bytes(rng.getrandbits(8) for _ in range(300000)) + b'\r\n--' + b'-' * 27 + b'\r\n'
fixtures = {
    'big.bin': big,
    GBK_NAME: '错误报告：第一行\r\n'.encode('gbk'),
    'empty.dat': b'',
    'small.txt': b'report text\r\n',
    'abort.bin': bytes(rng.getrandbits(8) for _ in range(4 << 20)),
}
paths = {name: fixture(name, data) for name, data in fixtures.items()}
missing = os.path.join(files_dir, 'missing.log')


def certificate(name, trusted_der=None):
    key, crt = os.path.join(work, name + '.key'), os.path.join(work, name + '.crt')
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2', '-subj',
                    '/O=' + name + '/CN=127.0.0.1',
                    '-addext', 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1', '-keyout', key, '-out', crt],
                   check=True, capture_output=True)
    if trusted_der:
        subprocess.run(['openssl', 'x509', '-in', crt, '-outform', 'der', '-out', trusted_der], check=True)
    return crt, key


trusted_der = os.path.join(work, 'trusted.der')
trusted_cert = certificate('faultline-test-trusted', trusted_der)
untrusted_cert = certificate('faultline-test-untrusted')

# ---- servers ----
received = {}  # (server, path) -> list of (headers, body)
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        with lock:
            received.setdefault((self.server.name, self.path), []).append((self.headers, body))
        parts = self.path.strip('/').split('/')
        status = int(parts[1]) if parts[0] == 'status' else 200
        self.send_response(status)
        if status in (301, 302, 303, 307):
            self.send_header('Location', '/up/redirected')
        self.send_header('Content-Length', '2')
        self.end_headers()
        self.wfile.write(b'ok')

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass  # a client that gives up on our certificate is one of the cases


def http_server(name, cert=None):
    server = Server((LOOPBACK, 0), Handler)
    server.name = name
    if cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(*cert)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


http_port = http_server('http')
https_port = http_server('https', trusted_cert)
untrusted_port = http_server('untrusted', untrusted_cert)


def silent_server():
    """Accepts connections, reads what comes, never answers."""
    listener = socket.socket()
    listener.bind((LOOPBACK, 0))
    listener.listen(8)
    held = []

    def serve():
        while True:
            conn, _ = listener.accept()
            held.append(conn)
            threading.Thread(target=lambda c=conn: [None for _ in iter(lambda: c.recv(65536), b'')],
                             daemon=True).start()

    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


silent_port = silent_server()
probe = socket.socket()
probe.bind((LOOPBACK, 0))
refused_port = probe.getsockname()[1]
probe.close()  # nothing listens there any more

ftp_root = os.path.join(work, 'ftp')
os.makedirs(os.path.join(ftp_root, 'in'))


class DiskFullAfter64K(AbstractedFS):
    """Files named "abort*" stop taking bytes after 64 KB, like a disk that fills up."""

    def open(self, filename, mode):
        f = super().open(filename, mode)
        if not os.path.basename(filename).startswith('abort') or 'w' not in mode:
            return f

        class Full:
            written = 0

            def write(self, data):
                Full.written += len(data)
                if Full.written > 65536:
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                return f.write(data)

            def __getattr__(self, name):
                return getattr(f, name)

        return Full()


authorizer = DummyAuthorizer()
authorizer.add_user('tarn', 's3cr:et', ftp_root, perm='elradfmw')
authorizer.add_user('reader', 'pw', ftp_root, perm='elr')
FTPHandler.authorizer = authorizer
FTPHandler.abstracted_fs = DiskFullAfter64K
# The program's file names are in its ANSI code page: keep their bytes as they arrive.
FTPHandler.unicode_errors = 'surrogateescape'
FTPHandler.auth_failed_timeout = 0
# Our own logging configuration keeps pyftpdlib from logging every session.
logging.basicConfig(level=logging.ERROR)
ftp = ThreadedFTPServer((LOOPBACK, 0), FTPHandler)
ftp_port = ftp.address[1]
threading.Thread(target=ftp.serve_forever, kwargs={'handle_exit': False}, daemon=True).start()

# ---- cases ----
lines = [b'trust x' + win_path(trusted_der).hex().encode()]


def x(data):
    return b'x' + (data.encode('gbk') if isinstance(data, str) else data).hex().encode()


def case(name, mode, address, port=0, user='', password='', fields=(), files=(), timeout=None, library=None):
    lines.append(b'case ' + name.encode())
    lines.append(b'mode ' + mode.encode())
    lines.append(b'address ' + x(address))
    lines.append(b'port %d' % port)
    lines.append(b'user ' + x(user))
    lines.append(b'password ' + x(password))
    if timeout is not None:
        lines.append(b'timeout %d' % timeout)
    if library:
        lines.append(b'library ' + x(library))
    for n, v in fields:
        lines.append(b'field ' + x(n) + b' ' + x(v))
    for path, shown in files:
        lines.append(b'file ' + x(win_path(path)) + b' ' + (x(shown) if shown is not None else b'-'))
    lines.append(b'end')


FORM_FIELDS = [('version', '1.0'), ('comment', 'two lines\r\n--' + '-' * 27 + '\r\n'),
               ('evil"\r\nX-Injected: 1', 'v'), ('程序', '导入向导')]
FORM_FILES = [(paths['big.bin'], 'big.bin'), (missing, 'missing.log'), (paths[GBK_NAME], GBK_NAME),
              (paths['empty.dat'], 'empty.dat')]
URL = 'http://127.0.0.1/'
case('http-form', 'http', URL + 'up/form', http_port, fields=FORM_FIELDS, files=FORM_FILES)
# Port, user and password taken from the address, since the options leave them out.
case('http-address-credentials', 'http', 'http://us-er:p@ss:w@127.0.0.1:%d/up/auth/' % http_port,
     files=[(paths['small.txt'], 'small.txt')])
case('http-500', 'http', URL + 'status/500/x', http_port, files=[(paths['small.txt'], 'small.txt')])
case('http-404', 'http', URL + 'status/404/x', http_port, files=[(paths['small.txt'], 'small.txt')])
case('http-302', 'http', URL + 'status/302/x', http_port, files=[(paths['small.txt'], 'small.txt')])
case('http-refused', 'http', URL + 'up/refused', refused_port, files=[(paths['small.txt'], 'small.txt')])
case('http-silent', 'http', URL + 'up/silent', silent_port, timeout=1500, files=[(paths['small.txt'], 'small.txt')])
case('http-no-library', 'http', URL + 'up/nolib', http_port, library='no-such-wininet.dll',
     files=[(paths['small.txt'], 'small.txt')])
case('http-no-files', 'http', URL + 'up/nofiles', http_port, fields=FORM_FIELDS, files=[(missing, 'missing.log')])
case('http-bad-address', 'http', 'http://127.0.0.1:80a/up/bad', http_port, files=[(paths['small.txt'], 'small.txt')])
case('https-form', 'https', 'https://127.0.0.1/up/secure', https_port, user='tarn', password='s3cr:et',
     fields=FORM_FIELDS[:2], files=FORM_FILES)
case('https-untrusted', 'https', 'https://127.0.0.1/up/untrusted', untrusted_port,
     files=[(paths['small.txt'], 'small.txt')])
case('ftp-files', 'ftp', 'ftp://127.0.0.1/in/', ftp_port, user='tarn', password='s3cr:et',
     files=[(paths['big.bin'], 'big.bin'), (missing, 'missing.log'), (paths[GBK_NAME], '报告\\' + GBK_NAME),
            (paths['empty.dat'], 'empty.dat'), (paths['small.txt'], 'evil\r\nDELE big.bin')])
case('ftp-login-refused', 'ftp', 'ftp://127.0.0.1/in', ftp_port, user='tarn', password='wrong',
     files=[(paths['small.txt'], 'refused.txt')])
case('ftp-store-refused', 'ftp', 'ftp://127.0.0.1/in', ftp_port, user='reader', password='pw',
     files=[(paths['small.txt'], 'readonly.txt')])
case('ftp-disk-full', 'ftp', 'ftp://127.0.0.1/in', ftp_port, user='tarn', password='s3cr:et',
     files=[(paths['abort.bin'], 'abort.bin')])
case('ftp-refused', 'ftp', 'ftp://127.0.0.1/in', refused_port, user='tarn', password='s3cr:et',
     files=[(paths['small.txt'], 'small.txt')])

cases_file = os.path.join(work, 'cases.txt')
results_file = os.path.join(work, 'results.txt')
with open(cases_file, 'wb') as f:
    f.write(b'\r\n'.join(lines) + b'\r\n')
run = subprocess.run([runner, program, win_path(cases_file), win_path(results_file)], capture_output=True,
                     timeout=240)
if run.returncode != 0:
    print('FAIL: the program exited with', run.returncode, run.stdout.decode(errors='replace'),
          run.stderr.decode(errors='replace')[-3000:])
    sys.exit(1)

results = {}
with open(results_file, 'rb') as f:
    for line in f.read().decode('latin-1').splitlines():
        name, code, kind, message, progress = line.split('\t')
        results[name] = (int(code), kind, bytes.fromhex(message[1:]).decode('gbk'),
                         [tuple(map(int, p.split(':'))) for p in progress.split(',') if p])

failures = []


def fail(name, text):
    failures.append('FAIL [%s]: %s' % (name, text))


def expect(name, code, kind, message):
    if name not in results:
        return fail(name, 'no result')
    got = results[name][:3]
    if got != (code, kind, message):
        fail(name, 'got %r, expected %r' % (got, (code, kind, message)))


def requests(server, path):
    return received.get((server, path), [])


def judge_form(name, server, path, fields, files, auth=None):
    """One POST arrived at path, its multipart form holds fields and the existing files."""
    got = requests(server, path)
    if len(got) != 1:
        return fail(name, '%d requests at %s' % (len(got), path))
    headers, body = got[0]
    content_type = headers['Content-Type']
    if not content_type.startswith('multipart/form-data; boundary=' + '-' * 27) or len(content_type) != 69:
        fail(name, 'Content-Type %r' % content_type)
    if headers['User-Agent'] != 'Faultline':
        fail(name, 'User-Agent %r' % headers['User-Agent'])
    if headers.get('Authorization') != auth:
        fail(name, 'Authorization %r, expected %r' % (headers.get('Authorization'), auth))
    if headers.get('X-Injected') is not None:
        fail(name, 'a field name added a header')
    message = email.message_from_string(('Content-Type: %s\r\n\r\n' % content_type) + body.decode('latin-1'))
    if message.defects or not message.is_multipart():
        return fail(name, 'the form does not parse: %r' % message.defects)
    latin = lambda s: s.encode('latin-1')
    parts = [(latin(p.get_param('name', header='content-disposition')),
              p.get_param('filename', header='content-disposition'), p.get_content_type(),
              p.get_payload(decode=True)) for p in message.get_payload()]
    expected = [(n.encode('gbk').replace(b'"', b'%22').replace(b'\r', b'%0D').replace(b'\n', b'%0A'), None,
                 'text/plain', v.encode('gbk')) for n, v in fields]
    for i, (p, shown) in enumerate(files):
        if os.path.exists(p):
            expected.append((b'fl_upload_file_%d' % i, shown.encode('gbk').decode('latin-1'),
                             'application/octet-stream', fixtures[os.path.basename(p)]))
    if parts != expected:
        for g, e in zip(parts, expected):
            if g != e:
                fail(name, 'part %r differs from %r' % (g[:3], e[:3]))
        if len(parts) != len(expected):
            fail(name, '%d parts, expected %d' % (len(parts), len(expected)))
    # Progress: before connecting, once connected, then every 1024-byte chunk up to the body's end.
    total = len(body)
    want = [(0, total, 0), (1, total, 0)] + [(2, total, min(k, total)) for k in range(1024, total + 1024, 1024)]
    if results[name][3] != want:
        fail(name, 'progress %r... for a body of %d bytes' % (results[name][3][:4], total))


# ---- judgement ----
expect('http-form', 0, 'eeNone', '')
judge_form('http-form', 'http', '/up/form', FORM_FIELDS, FORM_FILES)
expect('http-address-credentials', 0, 'eeNone', '')
judge_form('http-address-credentials', 'http', '/up/auth', [], [(paths['small.txt'], 'small.txt')],
           auth='Basic ' + base64.b64encode(b'us-er:p@ss:w').decode())
expect('http-500', 500, 'eeWebHTTPError', 'HTTP error code: 500 (Internal Server Error)')
expect('http-404', 404, 'eeWebHTTPError', 'HTTP error code: 404 (Not Found)')
expect('http-302', 302, 'eeWebHTTPError', 'HTTP error code: 302 (Found)')
if requests('http', '/up/redirected'):
    fail('http-302', 'the redirect was followed')
expect('http-refused', 12029, 'eeWebHTTPError', 'HTTP error code: 12029 (The attempt to connect to the server failed.)')
# A server that never answers is given up after the timeout, and that is no success.
expect('http-silent', 2147483647, 'eeWebHTTPError',
       'HTTP error code: 2147483647 (The server response could not be parsed.)')
expect('http-no-library', -1, 'eeWebHTTPError',
       'HTTP error code: -1 - Cannot find the "no-such-wininet.dll" library.')
if results.get('http-no-library', [0, 0, 0, [None]])[3]:
    fail('http-no-library', 'progress reported without a connection')
expect('http-no-files', 2, 'eeWebHTTPError', 'HTTP error code: 2 (None of the files to upload exists.)')
expect('http-bad-address', 12005, 'eeWebHTTPError', 'HTTP error code: 12005 (The URL is invalid.)')
for path in ('/up/nolib', '/up/nofiles', '/up/bad'):
    if requests('http', path):
        fail(path, 'a request arrived')

expect('https-form', 0, 'eeNone', '')
judge_form('https-form', 'https', '/up/secure', FORM_FIELDS[:2], FORM_FILES,
           auth='Basic ' + base64.b64encode(b'tarn:s3cr:et').decode())
# The certificate nobody trusts is refused, not silently accepted.
expect('https-untrusted', 12045, 'eeWebHTTPSError', 'HTTPS error code: 12045 (The function is unfamiliar with '
       "the Certificate Authority that generated the server's certificate.)")
if requests('untrusted', '/up/untrusted'):
    fail('https-untrusted', 'the report went to a server with an untrusted certificate')

expect('ftp-files', 0, 'eeNone', '')
# Names as bytes: the GBK name must arrive as the very bytes the program holds.
ftp_in = os.path.join(ftp_root, 'in').encode()
stored = {n: open(os.path.join(ftp_in, n), 'rb').read() for n in os.listdir(ftp_in)}
want = {b'big.bin': big, GBK_NAME.encode('gbk'): fixtures[GBK_NAME], b'empty.dat': b'',
        b'evil__DELE big.bin': fixtures['small.txt']}
if {n: hashlib.sha256(d).hexdigest() for n, d in stored.items() if not n.startswith(b'abort')} != \
        {n: hashlib.sha256(d).hexdigest() for n, d in want.items()}:
    fail('ftp-files', 'stored %r, expected %r' % (sorted(stored), sorted(want)))
ftp_total = sum(len(d) for d in want.values())
progress = results.get('ftp-files', [0, 0, 0, []])[3]
if progress[:2] != [(0, ftp_total, 0), (1, ftp_total, 0)] or progress[-1] != (2, ftp_total, ftp_total) or \
        any(b[2] < a[2] for a, b in zip(progress, progress[1:])):
    fail('ftp-files', 'progress %r ... %r for %d bytes' % (progress[:3], progress[-1:], ftp_total))
expect('ftp-login-refused', 12015, 'eeWebFTPError', 'FTP error code: 12015 (530 Authentication failed.)')
expect('ftp-store-refused', 12003, 'eeWebFTPError', 'FTP error code: 12003 (550 Not enough privileges.)')
# A store the server gives up half-way is a failure, whichever way WinInet learns of it.
code, kind, message, _ = results.get('ftp-disk-full', (0, '', '', []))
if code == 0 or kind != 'eeWebFTPError' or not message.startswith('FTP error code: %d' % code):
    fail('ftp-disk-full', 'got %r' % ((code, kind, message),))
expect('ftp-refused', 12029, 'eeWebFTPError', 'FTP error code: 12029 (The attempt to connect to the server failed.)')

for name, (code, kind, message, _) in sorted(results.items()):
    print('%-26s %6d %-16s %s' % (name, code, kind, message))
for f in failures:
    print(f)
print('web delivery: %s' % ('every case as expected' if not failures else '%d failures' % len(failures)))
sys.exit(1 if failures else 0)
