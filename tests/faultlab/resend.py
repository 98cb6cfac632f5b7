#!/usr/bin/python3
"""Copies kept by failed deliveries go again at the next start. For SMTP (aiosmtpd) and HTTP
(http.server) on 127.0.0.1: the crash laboratory faults twice while the server is down (each failed
delivery keeps a compressed copy beside the program); the oldest copy is then left as the claim of
a process that has gone (as if killed in the middle of sending it); the next start, with the server
up, sends both, oldest first, each exactly once, and leaves no copy and no claim behind; a further
start sends nothing. Two processes that start together send each copy once between them.

Usage: resend.py WINE_RUNNER FAULTLAB-CONSOLE.EXE WORKDIR
"""
import asyncio
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

from aiosmtpd.controller import Controller

runner, program, work = sys.argv[1:4]
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
logging.disable(logging.CRITICAL)
failures = []


def fail(text):
    failures.append(text)
    print('FAIL', text)


def free_port():
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


received = []  # (file name, bytes) of every archive a server got, in arrival order


class Mailbox:
    delay = 0  # seconds each message takes to be accepted

    async def handle_DATA(self, server, session, envelope):
        await asyncio.sleep(self.delay)
        message = email.message_from_bytes(envelope.content, policy=email.policy.default)
        if message['To'] != 'developers@tarn-import.test' or message['Subject'] != 'faultlab report':
            fail('smtp: headers %s / %s' % (message['To'], message['Subject']))
        received.extend((part.get_filename() or '', part.get_payload(decode=True))
                        for part in message.iter_attachments())
        return '250 OK'


class Receiver(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers['Content-Length']))
        if self.path != '/reports/upload':
            fail('http: posted to %s' % self.path)
        parsed = email.message_from_bytes(b'Content-Type: ' + self.headers['Content-Type'].encode() +
                                          b'\r\n\r\n' + body, policy=email.policy.default)
        received.extend((part.get_filename(), part.get_payload(decode=True))
                        for part in parsed.iter_parts() if part.get_filename())
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


def start_server(transport, port, delay=0):
    """The server and its stop."""
    if transport == 'smtp':
        mailbox = Mailbox()
        mailbox.delay = delay
        smtp = Controller(mailbox, hostname='127.0.0.1', port=port)
        smtp.start()
        return smtp.stop
    web = QuietServer(('127.0.0.1', port), Receiver)
    threading.Thread(target=web.serve_forever, daemon=True).start()
    return lambda: (web.shutdown(), web.server_close())


def holds_report(data, message):
    """The archive holds the report: the fault's message and its call stack's faulting function."""
    with tarfile.open(fileobj=io.BytesIO(data), mode='r:gz') as t:
        texts = [t.extractfile(m).read() for m in t.getmembers() if m.isfile()]
    return any(message.encode() in text and b'FaultAndKeep' in text for text in texts)


def leftovers(folder):
    return sorted(n for n in os.listdir(folder) if n.lower().endswith('.tgz'))


def start(exe, env, what):
    """One run of the scenario, its output to a file of its own (a Wine program may leave
    background processes that would hold a pipe open)."""
    out = os.path.join(os.path.dirname(exe), what.replace(' ', '-') + '.out')
    with open(out, 'wb') as sink:
        return subprocess.Popen([runner, exe, 'resend-kept'], env=env, stdout=sink, stderr=subprocess.STDOUT), out


def finish(started, expected, what):
    process, out = started
    code = process.wait(timeout=180)
    if code != expected:
        fail('%s: exit code %d, expected %d' % (what, code, expected))
        print(open(out, 'rb').read().decode('latin-1')[-1500:])


def run(exe, env, expected, what):
    finish(start(exe, env, what), expected, what)


def keep_copies(transport, folder, messages):
    """The program beside its kept copies, and their names: each message is a fault whose
    delivery fails (the server at the port is down)."""
    os.makedirs(folder)
    exe = os.path.join(folder, os.path.basename(program))
    shutil.copy(program, exe)
    port = free_port()
    env = dict(os.environ, FAULTLAB_PORT=str(port), FAULTLAB_TRANSPORT=transport)
    for i, message in enumerate(messages):
        run(exe, dict(env, FAULTLAB_FAULT=message), 1, '%s fault %d' % (transport, i + 1))
    return exe, port, env, leftovers(folder)


for transport in ('smtp', 'http'):
    folder = os.path.join(work, transport)
    messages = ['kept report %d by %s' % (i, transport) for i in (1, 2)]
    exe, port, env, kept = keep_copies(transport, folder, messages)
    if len(kept) != 2:
        fail('%s: kept copies %r' % (transport, kept))
        continue
    # The oldest one was being sent by a process that has gone: its claim names a process that
    # does not exist (no such creation time).
    os.rename(os.path.join(folder, kept[0]), os.path.join(folder, 'Sending.4-0000000000000001.' + kept[0]))
    received.clear()
    stop = start_server(transport, port)
    try:
        run(exe, env, 0, transport + ' resend')
        got = list(received)
        run(exe, env, 0, transport + ' again')
        again = received[len(got):]
    finally:
        stop()
    names = [name for name, _ in got]
    if len(got) != 2 or not all(holds_report(data, m) for (_, data), m in zip(got, messages)):
        fail('%s: received %r, expected one copy of each report, oldest first' % (transport, names))
    elif names != kept:
        fail('%s: sent under %r, kept as %r' % (transport, names, kept))
    else:
        print('ok   %s: both kept reports arrived once, oldest first (%s)' % (transport, ', '.join(names)))
    if leftovers(folder):
        fail('%s: left behind %r' % (transport, leftovers(folder)))
    if again:
        fail('%s: a further start sent %r' % (transport, [name for name, _ in again]))

# Two processes start together over three kept copies while the server takes a while over each
# message: each copy goes once (neither takes a copy, or a claim, the other holds).
folder = os.path.join(work, 'race')
messages = ['kept report %d by the race' % i for i in (1, 2, 3)]
exe, port, env, kept = keep_copies('smtp', folder, messages)
received.clear()
stop = start_server('smtp', port, delay=0.7)
try:
    both = [start(exe, env, 'race %d' % i) for i in (1, 2)]
    for i, started in enumerate(both):
        finish(started, 0, 'race %d' % (i + 1))
finally:
    stop()
counts = [sum(holds_report(data, m) for _, data in received) for m in messages]
if len(kept) != 3 or counts != [1, 1, 1] or len(received) != 3:
    fail('race: kept %r; received %r; copies of each report %r' % (kept, [n for n, _ in received], counts))
else:
    print('ok   race: two processes sent the three kept reports once each')
if leftovers(folder):
    fail('race: left behind %r' % leftovers(folder))

if failures:
    sys.exit(1)
print('crash laboratory: kept copies sent again at the next start')
