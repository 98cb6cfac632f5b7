#!/usr/bin/python3
"""The crash laboratory's reports reach real servers on 127.0.0.1: an SMTP server (aiosmtpd), an
HTTP server (http.server) and an FTP server (pyftpdlib). The console program faults once per
transport with its options pointed at one of them; what each server received must hold the
report (its message and call stack) and the saved log must hold the same report.

Usage: send.py WINE_RUNNER FAULTLAB-CONSOLE.EXE WORKDIR
"""
import email
import email.policy
import http.server
import io
import logging
import os
import shutil
import socket
import subprocess
import sys
import tarfile
import threading
import time

from aiosmtpd.controller import Controller
from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import ThreadedFTPServer

runner, program, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
exe = os.path.join(work, os.path.basename(program))
shutil.copy(program, exe)
logging.disable(logging.CRITICAL)
failures = []


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


web = http.server.ThreadingHTTPServer(('127.0.0.1', 0), Receiver)
threading.Thread(target=web.serve_forever, daemon=True).start()

ftp_root = os.path.join(work, 'ftp')
os.makedirs(os.path.join(ftp_root, 'reports'))
authorizer = DummyAuthorizer()
authorizer.add_user('faultlab', 'secret', ftp_root, perm='elradfmw')
FTPHandler.authorizer = authorizer
ftp = ThreadedFTPServer(('127.0.0.1', 0), FTPHandler)
threading.Thread(target=ftp.serve_forever, daemon=True).start()
ports = {'smtp': smtp_port, 'http': web.server_address[1], 'ftp': ftp.socket.getsockname()[1]}


def texts_of(name, data):
    """The texts inside an attachment: itself, or the members of an archive."""
    if name.lower().endswith('.tgz'):
        with tarfile.open(fileobj=io.BytesIO(data), mode='r:gz') as t:
            return [t.extractfile(m).read() for m in t.getmembers() if m.isfile()]
    return [data]


def holds_report(blobs, transport):
    want = ('2.5 Message: sent by %s.' % transport).encode()
    return any(want in text and b'FaultAndSend' in text for blob in blobs for text in blob)


for transport in ('smtp', 'http', 'ftp'):
    log = os.path.join(work, 'faultlab-console.flf')
    if os.path.exists(log):
        os.remove(log)
    env = dict(os.environ, FAULTLAB_PORT=str(ports[transport]))
    run = subprocess.run([runner, exe, 'send-' + transport], env=env, capture_output=True, timeout=180)
    if run.returncode != 1:
        fail('%s: exit code %d' % (transport, run.returncode))
    if not os.path.exists(log) or ('sent by ' + transport).encode() not in open(log, 'rb').read():
        fail('%s: the report is not in the log' % transport)
    received = []
    if transport == 'smtp':
        for raw in mails:
            message = email.message_from_bytes(raw, policy=email.policy.default)
            if message['To'] != 'developers@tarn-import.test' or message['From'] != 'faultlab@tarn-import.test':
                fail('smtp: headers %s / %s' % (message['From'], message['To']))
            received += [texts_of(part.get_filename() or '', part.get_payload(decode=True))
                         for part in message.iter_attachments()]
    elif transport == 'http':
        for path, content_type, body in posts:
            if path != '/reports/upload':
                fail('http: posted to %s' % path)
            parsed = email.message_from_bytes(b'Content-Type: ' + content_type.encode() + b'\r\n\r\n' + body,
                                              policy=email.policy.default)
            received += [texts_of(part.get_filename() or '', part.get_payload(decode=True))
                         for part in parsed.iter_parts() if part.get_filename()]
    else:
        folder = os.path.join(ftp_root, 'reports')
        for name in os.listdir(folder):
            received.append(texts_of(name, open(os.path.join(folder, name), 'rb').read()))
    if not holds_report(received, transport):
        fail('%s: no received file holds the report (%d files)' % (transport, len(received)))
    else:
        print('ok   %s: the report arrived (%d files)' % (transport, len(received)))

smtp.stop()
web.shutdown()
ftp.close_all()
if failures:
    sys.exit(1)
print('crash laboratory: a report through each transport')
