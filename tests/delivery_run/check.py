#!/usr/bin/python3
"""The delivery run under Wine: the Windows program runs every case in one start (mail client, the
"mailto" fallback, web delivery to the HTTP server started here on 127.0.0.1, kept copies,
background delivery, the progress dialog); then what the test mail client, the test "mailto"
handler and the server received is judged here, archives by GNU tar and gzip.

Usage: check.py WINE_RUNNER PROGRAM WORKDIR
"""
import email
import http.server
import os
import shutil
import subprocess
import sys
import threading
import xml.etree.ElementTree as ET

runner, program, work = sys.argv[1:4]
program, work = os.path.abspath(program), os.path.abspath(work)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, 'files'))
LOOPBACK = '127.0.0.1'
CRLF3 = b'\r\n\r\n\r\n'


def win_path(path):
    """The program's name for a file of ours: Wine's drive Z: is the Linux root; GBK bytes."""
    return ('Z:' + path.replace('/', '\\')).encode('gbk')


def write(path, data):
    with open(path, 'wb') as f:
        f.write(data)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


REPORT = ('Faultline 5.1.11\r\n\r\n1.1 异常报告 : 导入向导\r\n' + '-' * 40 + '\r\n|地址|模块|\r\n').encode('gbk')
EXTRA_NAME = '附件.txt'
EXTRA = '附件内容\r\n'.encode('gbk') + bytes(range(256))
SCREENSHOT = b'\x89PNG\r\n\x1a\n' + bytes(range(200)) * 3
write(os.path.join(work, 'report.txt'), REPORT)
write(os.path.join(work, 'files', EXTRA_NAME), EXTRA)
write(os.path.join(work, 'files', 'Screenshot.png'), SCREENSHOT)
REPORT_COPY = REPORT + CRLF3

# A log folder that already holds ten copies of ours and archives of others.
keep_dir = os.path.join(work, 'logs', 'web-fail-keep')
os.makedirs(keep_dir)
OLD = ['CompressFiles_2023010100000%d.tgz' % i for i in range(10)]
OTHERS = ['other.tgz', 'CompressFiles-backup.tgz', 'AAA.tgz']
for name in OLD + OTHERS:
    write(os.path.join(keep_dir, name), name.encode())

# ---- server ----
received = {}
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        with lock:
            received.setdefault(self.path, []).append((self.headers, body))
        parts = self.path.strip('/').split('/')
        self.send_response(int(parts[1]) if parts[0] == 'status' else 200)
        self.send_header('Content-Length', '2')
        self.end_headers()
        self.wfile.write(b'ok')

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer((LOOPBACK, 0), Handler)
server.daemon_threads = True
threading.Thread(target=server.serve_forever, daemon=True).start()

run = subprocess.run([runner, program, win_path(work), str(server.server_address[1])], capture_output=True,
                     timeout=240)
failures = []


def fail(name, text):
    failures.append('FAIL [%s]: %s' % (name, text))


if run.returncode != 0:
    fail('program', 'exited with %d: %s' % (run.returncode, run.stderr.decode(errors='replace')[-3000:]))

results = {}
if os.path.exists(os.path.join(work, 'results.txt')):
    for line in read(os.path.join(work, 'results.txt')).decode('latin-1').splitlines():
        name, delivered, code, text, kept, notes = line.split('\t')
        results[name] = dict(delivered=delivered == '1', code=code, text=bytes.fromhex(text[1:]).decode('gbk'),
                             kept=bytes.fromhex(kept[1:]).decode('gbk'), notes=notes)


def expect(name, delivered, code, text=None):
    r = results.get(name)
    if r is None:
        return fail(name, 'no result')
    if (r['delivered'], r['code']) != (delivered, code) or (text is not None and r['text'] != text):
        fail(name, 'got %r' % r)


def temp_empty(name):
    left = os.listdir(os.path.join(work, 'temp', name))
    if left:
        fail(name, 'temporary files left behind: %r' % left)


def tar(name, *args):
    """GNU tar's answer, or None (and a failure) when it refuses the archive."""
    out = subprocess.run(['tar'] + list(args), capture_output=True)
    if out.returncode != 0:
        fail(name, 'GNU tar %r: %s' % (args, out.stderr.decode(errors='replace')))
        return None
    return out.stdout


def judge_archive(name, archive, report_name):
    if subprocess.run(['gzip', '-t', archive], capture_output=True).returncode != 0:
        return fail(name, 'gzip rejects %s' % archive)
    names = (tar(name, '-tzf', archive) or b'').decode('gbk').split()
    if report_name not in names:
        return fail(name, '%s holds %r' % (archive, names))
    if tar(name, '-xzOf', archive, report_name) != REPORT_COPY:
        fail(name, 'the report in %s differs' % archive)


def mapi_record(name):
    path = os.path.join(work, 'mapi', name, 'message.txt')
    if not os.path.exists(path):
        return None
    items = []
    for line in read(path).decode('latin-1').splitlines():
        words = line.split(' ')
        items.append([bytes.fromhex(w[1:]) if w.startswith('x') else w for w in words])
    return items


# ---- judgement: the mail client ----
expect('mapi', True, 'eeNone', '')
rec = mapi_record('mapi') or []
kinds = [i[0] for i in rec]
if kinds[:2] != ['logon', 'send'] or kinds[-1:] != ['logoff'] or rec[0][1] != '1' or rec[1][1] != '1':
    fail('mapi', 'calls %r' % rec[:2])
get = lambda kind: [i[1:] for i in rec if i[0] == kind]
if get('subject') != [[b'Crash in Import']] or get('body') != [[b'Please look.']]:
    fail('mapi', 'subject/body %r %r' % (get('subject'), get('body')))
if get('recipient') != [['1', b'dev@example.org', b'SMTP:dev@example.org'],
                        ['1', b'qa@example.org', b'SMTP:qa@example.org']]:
    fail('mapi', 'recipients %r' % get('recipient'))
files = get('file')
want_names = [EXTRA_NAME.encode('gbk'), b'Tarn_Import.flf', b'Screenshot.png', b'Tarn_Import.xml']
if [f[2] for f in files] != want_names or any(f[0] != '4294967295' for f in files):
    fail('mapi', 'files %r' % files)
else:
    copies = [read(os.path.join(work, 'mapi', 'mapi', f[3])) for f in files]
    if copies[:3] != [EXTRA, REPORT_COPY, SCREENSHOT]:
        fail('mapi', 'attachments differ from their files')
    try:
        if ET.fromstring(copies[3].decode('gbk')).tag != 'Doc':
            fail('mapi', 'XML copy has no Doc root')
    except ET.ParseError as e:
        fail('mapi', 'XML copy does not parse: %s' % e)
    temp_prefix = win_path(os.path.join(work, 'temp', 'mapi', ''))
    if not all(files[i][1].startswith(temp_prefix) for i in (1, 3)):
        fail('mapi', 'report files not from the temporary folder: %r' % [f[1] for f in files])
temp_empty('mapi')

# A cancelled compose window is no failure; the report travels in the body, no files.
expect('mapi-cancelled', True, 'eeNone', '')
rec = mapi_record('mapi-cancelled') or []
if [i for i in rec if i[0] == 'send'] != [['send', '9']] or [i for i in rec if i[0] == 'file']:
    fail('mapi-cancelled', 'calls %r' % rec)
if [i[1] for i in rec if i[0] == 'body'] != [b'Please look.' + CRLF3 + REPORT]:
    fail('mapi-cancelled', 'body %r' % [i for i in rec if i[0] == 'body'])

handler = win_path(os.path.join(os.path.dirname(program), 'mailto_handler.exe')).decode('gbk')
MAILTO = ('"%s" "mailto:dev@example.org; qa@example.org?Subject=Crash%%0D%%0A%%09in%%20Import'
          '&Body=Please%%20look%%2E%%0D%%0A%%0D%%0A%%0D%%0Acurrent%%20report"' % handler)


def mailto_lines(name):
    path = os.path.join(work, 'mailto', name + '.txt')
    return read(path).decode('gbk').splitlines() if os.path.exists(path) else []


expect('mapi-failed', True, 'eeEmailMAPIError', 'Cannot send the MAPI message.')
if mailto_lines('mapi-failed') != [MAILTO]:
    fail('mapi-failed', 'mailto handler got %r, expected %r' % (mailto_lines('mapi-failed'), MAILTO))
expect('no-client', True, 'eeEmailMAPIError', 'Cannot open the MAPI dll.')
if mailto_lines('no-client') != [MAILTO]:
    fail('no-client', 'mailto handler got %r' % mailto_lines('no-client'))
if mapi_record('no-client') is not None:
    fail('no-client', 'the missing client was reached')
expect('no-client-no-handler', False, 'eeEmailShellError')
r = results.get('no-client-no-handler', {})
if not r.get('text'):
    fail('no-client-no-handler', 'no error text')
kept = os.path.join(work, 'logs', 'no-client-no-handler', 'CompressFiles.tgz')
if r.get('kept') != win_path(kept).decode('gbk') or not os.path.exists(kept):
    fail('no-client-no-handler', 'kept copy %r' % r.get('kept'))
else:
    judge_archive('no-client-no-handler', kept, 'Tarn_Import.flf')
temp_empty('no-client-no-handler')

# ---- judgement: the web ----
STAMP = '20240305140709'


def form(name, path):
    got = received.get(path, [])
    if len(got) != 1:
        fail(name, '%d requests at %s' % (len(got), path))
        return []
    headers, body = got[0]
    message = email.message_from_string('Content-Type: %s\r\n\r\n' % headers['Content-Type'] + body.decode('latin-1'))
    return [(p.get_param('name', header='content-disposition').encode('latin-1'),
             p.get_param('filename', header='content-disposition'), p.get_payload(decode=True))
            for p in message.get_payload()]


expect('web-packed', True, 'eeNone', '')
parts = form('web-packed', '/ok/web-packed')
if [p[:2] for p in parts] != [(b'version', None), ('程序'.encode('gbk'), None),
                              (b'fl_upload_file_0', 'CompressFiles_%s.tgz' % STAMP)] or \
        [p[2] for p in parts[:2]] != [b'1.0', '导入向导'.encode('gbk')]:
    fail('web-packed', 'parts %r' % [p[:2] for p in parts])
else:
    archive = os.path.join(work, 'web-packed.tgz')
    write(archive, parts[2][2])
    judge_archive('web-packed', archive, 'Tarn_Import_%s.flf' % STAMP)
temp_empty('web-packed')

# The retry's fields and files replace the first attempt's; the first failure stays on record.
expect('web-retry', True, 'eeWebHTTPError', 'HTTP error code: 500 (Internal Server Error)')
if results.get('web-retry', {}).get('notes') != 'errors=7; actions=6+7+ fieldRequests=2 fileRequests=2':
    fail('web-retry', 'notes %r' % results.get('web-retry', {}).get('notes'))
for path, attempt in (('/status/500/web-retry', b'1'), ('/ok/web-retry', b'2')):
    parts = form('web-retry', path)
    want = [(b'attempt', None, attempt), (b'fl_upload_file_0', 'Tarn_Import.flf', REPORT_COPY),
            (b'fl_upload_file_1', EXTRA_NAME.encode('gbk').decode('latin-1'), EXTRA)]
    if parts != want:
        fail('web-retry', '%s got %r' % (path, [p[:2] for p in parts]))

expect('web-fail-keep', False, 'eeWebHTTPError', 'HTTP error code: 500 (Internal Server Error)')
now = sorted(os.listdir(keep_dir))
want = sorted(OLD[1:] + OTHERS + ['CompressFiles_%s.tgz' % STAMP])
if now != want:
    fail('web-fail-keep', 'log folder %r, expected %r' % (now, want))
for name in OTHERS:
    if read(os.path.join(keep_dir, name)) != name.encode():
        fail('web-fail-keep', '%s was changed' % name)
new_copy = os.path.join(keep_dir, 'CompressFiles_%s.tgz' % STAMP)
if results.get('web-fail-keep', {}).get('kept') != win_path(new_copy).decode('gbk'):
    fail('web-fail-keep', 'kept %r' % results.get('web-fail-keep', {}).get('kept'))
if os.path.exists(new_copy):
    judge_archive('web-fail-keep', new_copy, 'Tarn_Import_%s.flf' % STAMP)
temp_empty('web-fail-keep')

# Nothing could be written: no upload, and no success reported.
expect('temp-unwritable', False, 'eeWebHTTPError')
if 'none of the report files' not in results.get('temp-unwritable', {}).get('text', ''):
    fail('temp-unwritable', 'text %r' % results.get('temp-unwritable', {}).get('text'))
if received.get('/ok/temp-unwritable') or results.get('temp-unwritable', {}).get('kept'):
    fail('temp-unwritable', 'something was sent or kept')

expect('progress', True, 'eeNone', '')
if results.get('progress', {}).get('notes') != 'dialog=shown after=closed':
    fail('progress', 'notes %r' % results.get('progress', {}).get('notes'))
expect('background', True, 'eeNone', '')
if results.get('background', {}).get('notes') != 'inline=0 waited=1 finished=1 threads=6send;7send;':
    fail('background', 'notes %r' % results.get('background', {}).get('notes'))
if len(received.get('/ok/background', [])) != 1:
    fail('background', 'no upload arrived')

for name, r in results.items():
    print('%-22s %d %-18s %s %s' % (name, r['delivered'], r['code'], r['text'], r['notes']))
for f in failures:
    print(f)
print('delivery run: %s' % ('every case as expected' if not failures else '%d failures' % len(failures)))
sys.exit(1 if failures else 0)
