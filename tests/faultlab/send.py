#!/usr/bin/python3
"""The crash laboratory's reports reach real servers on 127.0.0.1: an SMTP server (aiosmtpd), an
HTTP server and an HTTPS server (http.server, the latter with a certificate made here) and an FTP
server (pyftpdlib); and the mail client registered in the prefix (our test Simple MAPI library).
The console program faults once per transport with its options pointed at one of them; what each
one received must hold the report (its message and call stack) and the saved log must hold the
same report.

Usage: send.py WINE_RUNNER FAULTLAB-CONSOLE.EXE MAIL-CLIENT.DLL WORKDIR
"""
import email
import email.policy
import http.server
import io
import logging
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tarfile
import threading
import time

from aiosmtpd.controller import Controller
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

runner, program, mail_client, work = sys.argv[1:5]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
exe = os.path.join(work, os.path.basename(program))
shutil.copy(program, exe)
logging.disable(logging.CRITICAL)
failures = []


def win_path(path):
    """The program's name for a file of ours: Wine's drive Z: is the Linux root."""
    return 'Z:' + path.replace('/', '\\')


def fail(text):
    failures.append(text)
    print('FAIL', text)


# ---- servers ----
mails = []


class Mailbox:
    async def handle_DATA(self, server, session, envelope):
        mails.append(envelope.content)
        return '250 OK'


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


smtp_port = free_port()
smtp = Controller(Mailbox(), hostname='127.0.0.1', port=smtp_port)
smtp.start()

posts = []


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers['Content-Length']))
        posts.append((self.path, self.headers['Content-Type'], body))
        self.send_response(200)
        self.send_header('Content-Length', '2')
        self.end_headers()
        self.wfile.write(b'OK')

    def log_message(self, *args):
        pass


class QuietServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        pass


web = QuietServer(('127.0.0.1', 0), Receiver)
threading.Thread(target=web.serve_forever, daemon=True).start()

# HTTPS: a certificate for 127.0.0.1 made here; the laboratory trusts it in this test's prefix.
key, crt, der = (os.path.join(work, 'server' + ext) for ext in ('.key', '.crt', '.der'))
subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                '-subj', '/O=faultlab-test/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1,DNS:127.0.0.1',
                '-keyout', key, '-out', crt], check=True, capture_output=True)
subprocess.run(['openssl', 'x509', '-in', crt, '-outform', 'der', '-out', der], check=True)
secure = QuietServer(('127.0.0.1', 0), Receiver)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(crt, key)
secure.socket = context.wrap_socket(secure.socket, server_side=True)
threading.Thread(target=secure.serve_forever, daemon=True).start()

# The mail client, registered the way mail clients register; it writes what it receives to a
# folder of ours.
mapi_out = os.path.join(work, 'mapi')
os.makedirs(mapi_out)
for args in (['HKCU\\Software\\Clients\\Mail', '/ve', '/d', 'Faultlab Test Mail'],
             ['HKCU\\Software\\Clients\\Mail\\Faultlab Test Mail', '/v', 'DLLPath', '/t', 'REG_EXPAND_SZ',
              '/d', win_path(mail_client)]):
    registered = subprocess.run([runner, 'reg', 'add'] + args + ['/f'], capture_output=True, timeout=120)
    if registered.returncode != 0:
        fail('mail: reg add %r: %r' % (args, registered.stderr[-300:]))

ftp_root = os.path.join(work, 'ftp')
os.makedirs(os.path.join(ftp_root, 'reports'))
authorizer = DummyAuthorizer()
authorizer.add_user('faultlab', 'secret', ftp_root, perm='elradfmw')
FTPHandler.authorizer = authorizer
ftp = ThreadedFTPServer(('127.0.0.1', 0), FTPHandler)
threading.Thread(target=ftp.serve_forever, daemon=True).start()
ports = {'smtp': smtp_port, 'http': web.server_address[1], 'https': secure.server_address[1],
         'ftp': ftp.socket.getsockname()[1], 'mail': 0}


def texts_of(name, data):
    """The texts inside an attachment: itself, or the members of an archive."""
    if name.lower().endswith('.tgz'):
        with tarfile.open(fileobj=io.BytesIO(data), mode='r:gz') as t:
            return [t.extractfile(m).read() for m in t.getmembers() if m.isfile()]
    return [data]


def holds_report(blobs, transport):
    # (The labels are padded to the section's longest: a "Minidump" row pads them.)
    want = re.compile(rb'2\.5 Message *: sent by ' + re.escape(transport.encode()) + rb'\.')
    return any(want.search(text) and b'FaultAndSend' in text for blob in blobs for text in blob)


def mapi_files():
    """The attachments the mail client received (copies it made while they existed), after
    checking what it was told: one message to our developers with the options' subject."""
    path = os.path.join(mapi_out, 'message.txt')
    if not os.path.exists(path):
        return []
    items = [[bytes.fromhex(w[1:]) if w.startswith('x') else w for w in line.split(' ')]
             for line in open(path, 'rb').read().decode('latin-1').splitlines()]
    kinds = [item[0] for item in items]
    if kinds[:2] != ['logon', 'send'] or kinds[-1] != 'logoff':
        fail('mail: calls %r' % kinds)
    if [item[1:] for item in items if item[0] == 'recipient'] != \
            [['1', b'developers@tarn-import.test', b'SMTP:developers@tarn-import.test']]:
        fail('mail: recipients %r' % [item for item in items if item[0] == 'recipient'])
    if [item[1] for item in items if item[0] == 'subject'] != [b'faultlab report']:
        fail('mail: subject %r' % [item for item in items if item[0] == 'subject'])
    return [texts_of(item[3].decode(), open(os.path.join(mapi_out, item[4]), 'rb').read())
            for item in items if item[0] == 'file']


# smtp-background: the options send in the background (SendFlags 0x80), and the fault ends the
# process: the mail must still go out before it ends.
for transport in ('smtp', 'smtp-background', 'http', 'https', 'ftp', 'mail'):
    kind = transport.split('-')[0]
    mails.clear()
    log = os.path.join(work, 'faultlab-console.flf')
    if os.path.exists(log):
        os.remove(log)
    env = dict(os.environ, FAULTLAB_PORT=str(ports[kind]), FAULTLAB_TRUST=win_path(der),
               TARN_MAPI_OUT=win_path(mapi_out))
    run = subprocess.run([runner, exe, 'send-' + transport], env=env, capture_output=True, timeout=180)
    if run.returncode != 1:
        fail('%s: exit code %d' % (transport, run.returncode))
    if not os.path.exists(log) or ('sent by ' + transport).encode() not in open(log, 'rb').read():
        fail('%s: the report is not in the log' % transport)
    received = []
    if kind == 'smtp':
        for raw in mails:
            message = email.message_from_bytes(raw, policy=email.policy.default)
            if message['To'] != 'developers@tarn-import.test' or message['From'] != 'faultlab@tarn-import.test':
                fail('smtp: headers %s / %s' % (message['From'], message['To']))
            received += [texts_of(part.get_filename() or '', part.get_payload(decode=True))
                         for part in message.iter_attachments()]
    elif transport in ('http', 'https'):
        for path, content_type, body in posts:
            if path != '/reports/upload':
                fail('%s: posted to %s' % (transport, path))
            parsed = email.message_from_bytes(b'Content-Type: ' + content_type.encode() + b'\r\n\r\n' + body,
                                              policy=email.policy.default)
            received += [texts_of(part.get_filename() or '', part.get_payload(decode=True))
                         for part in parsed.iter_parts() if part.get_filename()]
            if transport == 'http':
                # What the program added through its handler and its procedure variable.
                fields = {part.get_param('name', header='content-disposition'): part.get_payload(decode=True)
                          for part in parsed.iter_parts() if not part.get_filename()}
                extra = [part.get_payload(decode=True) for part in parsed.iter_parts()
                         if part.get_filename() == 'extra.txt']
                if fields.get('build') != b'1234' or fields.get('channel') != b'nightly' or \
                        fields.get('release') != b'7.1 beta':
                    fail('http: the program\'s form fields %r' % fields)
                if extra != [b'attached by the program']:
                    fail('http: the program\'s attached file %r' % extra)
                # The report's minidump travels with it, under the name the report gives it.
                dumps = [(part.get_filename(), part.get_payload(decode=True)) for part in parsed.iter_parts()
                         if (part.get_filename() or '').endswith('.dmp')]
                named = open(log, 'rb').read() if os.path.exists(log) else b''
                if len(dumps) != 1 or dumps[0][1][:4] != b'MDMP' or dumps[0][0].encode() not in named:
                    fail('http: the minidump %r (the report names it: %s)' % (
                        [name for name, _ in dumps], dumps[0][0].encode() in named if dumps else None))
        posts.clear()
    elif transport == 'mail':
        received = mapi_files()
    else:
        folder = os.path.join(ftp_root, 'reports')
        for name in os.listdir(folder):
            received.append(texts_of(name, open(os.path.join(folder, name), 'rb').read()))
    if not holds_report(received, transport):
        fail('%s: no received file holds the report (%d files)' % (transport, len(received)))
        print(run.stdout.decode('latin-1')[-1500:], run.stderr.decode('latin-1')[-1500:])
    else:
        print('ok   %s: the report arrived (%d files)' % (transport, len(received)))

smtp.stop()
web.shutdown()
secure.shutdown()
ftp.close_all()
if failures:
    sys.exit(1)
print('crash laboratory: a report through each transport')
