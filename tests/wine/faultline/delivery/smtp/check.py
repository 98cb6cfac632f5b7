#!/usr/bin/python3
"""SMTP delivery of the Windows program judged by real servers on 127.0.0.1.

Servers: aiosmtpd with and without AUTH LOGIN (the received message is read with the email
package, its attachments compared byte for byte, the report archive read by GNU tar and gzip, and
every conversation that delivered a message ends with QUIT),
DNS servers answering with dnslib (the one of the resolver configuration on port 53 and the
fallback one of the options), and scripted SMTP servers for the faults (a refusal at each step, a
silent, trickling, flooding or hanging-up server). One run of the driver handles every case.
"""
import argparse
import base64
import email
import email.utils
import os
import random
import re
import socket
import socketserver
import struct
import subprocess
import sys
import threading
import logging
import time

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword
from dnslib import A, DNSRecord, MX, QTYPE, RCODE, RR, TXT

# aiosmtpd logs a warning about a field of its own session that it still fills in itself.
logging.getLogger('mail.log').setLevel(logging.ERROR)

HOST = '127.0.0.1'
USER = 'reporter@example.test'
PASSWORD = 's3cret:Pa55'
SENDER = 'faults@example.test'
BOUNDARY = '=_xcjvnxkbhvfkxzhfdbvzldjhfv'
FAILURES = []
# Lines that are a lone "." or begin with one: sent stuffed, received whole.
BODY = 'Tarn Import stopped.\r\n.\r\n..two dots\r\n.\r\n报告 end'


MANY = ['reader%03d.%s@example%d.test' % (i, 'x' * 40, i % 7) for i in range(150)]


def check(ok, what):
    print(('ok    ' if ok else 'FAIL  ') + what)
    if not ok:
        FAILURES.append(what)
    return ok


# ---- aiosmtpd ----

class Store:
    """Keeps every message with its envelope, and writes it to a file for a person to look at."""

    def __init__(self, folder):
        self.folder = folder
        self.messages = []
        self.quits = []  # the peers (address, port) that said QUIT
        os.makedirs(folder, exist_ok=True)

    async def handle_DATA(self, server, session, envelope):
        login = session.auth_data.login if session.authenticated and session.auth_data else None
        self.messages.append({'from': envelope.mail_from, 'to': list(envelope.rcpt_tos),
                              'data': envelope.original_content, 'login': login, 'peer': session.peer})
        with open(os.path.join(self.folder, '%d.eml' % len(self.messages)), 'wb') as f:
            f.write(envelope.original_content)
        return '250 Message accepted for delivery'

    async def handle_QUIT(self, server, session, envelope):
        self.quits.append(session.peer)
        return '221 Bye'


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = (mechanism == 'LOGIN' and isinstance(auth_data, LoginPassword)
          and auth_data.login == USER.encode() and auth_data.password == PASSWORD.encode())
    return AuthResult(success=ok, handled=False, auth_data=auth_data)


# ---- DNS ----

DNS_LOG = []  # (server role, name, type)
MX_QUERY_IDS = []  # the identifier of every MX query, in order


def dns_reply(role, data):
    request = DNSRecord.parse(data)
    name = str(request.q.qname).rstrip('.').lower()
    qtype = QTYPE[request.q.qtype]
    DNS_LOG.append((role, name, qtype))
    if qtype == 'MX':
        MX_QUERY_IDS.append(request.header.id)
    reply = request.reply()
    if qtype == 'A' and name.startswith('mx.down.'):
        # An exchanger whose address nobody listens on: connecting to it is refused.
        reply.add_answer(RR(request.q.qname, QTYPE.A, rdata=A('127.0.0.2'), ttl=60))
        return reply.pack()
    if qtype == 'A' and name.startswith('mx.'):
        reply.add_answer(RR(request.q.qname, QTYPE.A, rdata=A(HOST), ttl=60))
        return reply.pack()
    if qtype != 'MX':
        if not name.startswith('mx.'):
            reply.header.rcode = RCODE.NXDOMAIN
        return reply.pack()
    mx = lambda exchange, pref=10: RR(request.q.qname, QTYPE.MX, rdata=MX(exchange, pref), ttl=60)
    if name == 'alpha.test':
        reply.add_answer(mx('mx.alpha.test'))
    elif name == 'beta.test':
        # The MX is the second answer: whatever comes first is no exchange.
        reply.add_answer(RR(request.q.qname, QTYPE.TXT, rdata=TXT('v=spf1 -all'), ttl=60))
        reply.add_answer(mx('mx.beta.test', 5))
    elif name == 'order.test':
        # Out of order: the most preferred exchanger (down) comes second, the next one first.
        reply.add_answer(mx('mx.second.order.test', 20))
        reply.add_answer(mx('mx.down.order.test', 5))
        reply.add_answer(mx('mx.third.order.test', 30))
    elif name == 'fallback.test':
        if role == 'system':
            return None
        reply.add_answer(mx('mx.alpha.test'))
    elif name == 'silent.test':
        return None
    elif name == 'nomx.test':
        reply.add_answer(RR(request.q.qname, QTYPE.A, rdata=A(HOST), ttl=60))
    elif name == 'trunc.test':
        reply.add_answer(mx('mx.alpha.test'))
        return reply.pack()[:-6]
    elif name == 'wrongid.test':
        reply.add_answer(mx('mx.alpha.test'))
        packed = bytearray(reply.pack())
        packed[0] ^= 0x01
        return bytes(packed)
    elif name in ('loop.test', 'pastend.test'):
        # Header, the question as asked, then one MX answer whose exchange is a compression
        # pointer: to itself, or far beyond the end of the message.
        question = data[12:]
        out = struct.pack('>HHHHHH', request.header.id, 0x8180, 1, 1, 0, 0) + question
        out += b'\xc0\x0c' + struct.pack('>HHIH', 15, 1, 60, 4) + b'\x00\x0a'
        target = len(out) if name == 'loop.test' else 0x3ff0
        return out + struct.pack('>H', 0xc000 | target)
    else:
        reply.header.rcode = RCODE.NXDOMAIN
    return reply.pack()


def start_dns(role, port):
    class Handler(socketserver.BaseRequestHandler):
        def handle(self):
            data, sock = self.request
            try:
                out = dns_reply(role, data)
            except Exception as e:  # a query we cannot read gets no answer
                print('dns server:', e)
                return
            if out is not None:
                sock.sendto(out, self.client_address)
    server = socketserver.ThreadingUDPServer((HOST, port), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


# ---- scripted SMTP servers ----

DEFAULT_REPLIES = {
    'greeting': '220 scripted ready\r\n', 'EHLO': '250-scripted\r\n250 AUTH LOGIN\r\n', 'HELO': '250 scripted\r\n',
    'RSET': '250 reset\r\n', 'AUTH': '334 VXNlcm5hbWU6\r\n', 'USER': '334 UGFzc3dvcmQ6\r\n',
    'PASS': '235 welcome\r\n', 'MAIL': '250 sender ok\r\n', 'RCPT': '250 recipient ok\r\n',
    'DATA': '354 go ahead\r\n', 'MESSAGE': '250 queued\r\n',
}


class Scripted:
    """One scripted server: the replies above with some replaced, and a behaviour at the greeting
    or after DATA. Records, per connection, the transcript the client should keep."""

    def __init__(self, name, replies=None, behaviour=None):
        self.name = name
        self.replies = dict(DEFAULT_REPLIES, **(replies or {}))
        self.behaviour = behaviour
        self.sessions = []
        outer = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                outer.serve(self.request)
        self.server = socketserver.ThreadingTCPServer((HOST, 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def serve(self, conn):
        session = {'transcript': 'Connected to %s port %d\r\n' % (HOST, self.port), 'data': None}
        self.sessions.append(session)
        conn.settimeout(20)

        def say(text):
            conn.sendall(text.encode('latin-1'))
            session['transcript'] += text

        b = self.behaviour
        try:
            if b == 'silent':
                conn.recv(1)  # until the client gives up
                return
            if b == 'hangup':
                return
            if b == 'trickle':  # never a final line, but never a quiet second either
                for _ in range(100):
                    conn.sendall(b'220-still going\r\n')
                    time.sleep(0.2)
                return
            if b == 'flood':
                conn.sendall(b'220-' + b'x' * 70 + b'\r\n' * 1 + (b'220-' + b'y' * 70 + b'\r\n') * 2000)
                conn.recv(1)
                return
            if b == 'split':
                # A reply in two parts 0.3 s apart, then a pause longer than a second inside the
                # multi-line greeting: a client that took the quiet second for the end of the reply
                # would read "220 go on" as the answer to HELO and give up.
                say('22')
                time.sleep(0.3)
                say('0-split greeting\r\n')
                time.sleep(1.3)
                say('220 go on\r\n')
            else:
                say(self.replies['greeting'])
            f = conn.makefile('rb')
            stage = None
            while True:
                line = f.readline()
                if not line:
                    return
                text = line.decode('latin-1')
                verb = text[:4].upper()
                if stage in ('USER', 'PASS'):
                    session['transcript'] += '****\r\n'
                    key = stage
                    stage = 'PASS' if stage == 'USER' else None
                else:
                    key = verb.strip()
                    if key == 'QUIT':
                        # After the conversation's outcome: not part of the transcript a failure shows.
                        session['quit'] = True
                        if b == 'quit-silent':
                            conn.recv(1)  # no reply, until the client gives up
                            return
                        say('502 unknown\r\n' if b == 'quit-502' else '221 bye\r\n')
                        return
                    session['transcript'] += text
                    if verb == 'AUTH':
                        stage = 'USER'
                reply = self.replies.get(key, '502 unknown\r\n')
                say(reply)
                if key == 'DATA' and reply.startswith('354'):
                    if b == 'close-in-data':
                        conn.recv(4096)
                        conn.close()  # with data unread: the client's sending breaks
                        return
                    data = b''
                    while not (data == b'.\r\n' or data.endswith(b'\r\n.\r\n')):
                        chunk = f.readline()
                        if not chunk:
                            return
                        data += chunk
                    session['data'] = data
                    session['transcript'] += '[message text, %d bytes]\r\n' % len(data)
                    say(self.replies['MESSAGE'])
        except OSError:
            return


def closed_port():
    s = socket.socket()
    s.bind((HOST, 0))
    port = s.getsockname()[1]
    s.close()
    return port


# ---- the cases ----

def esc(text):
    if isinstance(text, str):
        text = text.encode('gbk')
    out = ''
    for c in text:
        ch = chr(c)
        if c < 32 or c >= 127 or ch == '\\':
            out += '\\x%02x' % c
        else:
            out += ch
    return out


def to_windows(path):
    return 'Z:' + path.replace('/', '\\')


def write_cases(path, cases):
    with open(path, 'w', encoding='ascii') as f:
        for case in cases:
            for key, value in case.items():
                values = value if isinstance(value, list) else [value]
                for v in values:
                    f.write('%s=%s\n' % (key, esc(str(v)) if not isinstance(v, bytes) else esc(v)))
            f.write('==\n')


def read_results(path):
    results = {}
    current = None
    for line in open(path, encoding='latin-1').read().splitlines():
        if line == '==':
            results[current['case']] = current
            current = None
            continue
        current = current or {'recipients': []}
        key, _, value = line.partition('=')
        if key == 'recipient':
            address, server, sent, error = value.split('|')
            current['recipients'].append({'address': bytes.fromhex(address).decode('latin-1'),
                                          'server': bytes.fromhex(server).decode('latin-1'), 'sent': sent == '1',
                                          'error': bytes.fromhex(error)})
        elif key == 'error':
            current['error'] = bytes.fromhex(value)
        else:
            current[key] = value
    return results


def main():
    args = argparse.ArgumentParser()
    args.add_argument('--driver', required=True)
    args.add_argument('--work', required=True)
    args.add_argument('--runner', required=True)
    a = args.parse_args()
    work = a.work
    os.makedirs(work, exist_ok=True)

    # Files to attach: a report text (packed into the archive too), a screenshot-like binary, a
    # GBK-named log, a large binary for the broken connection, and one that does not exist.
    rnd = random.Random(7)
    report_text = ('Exception report\r\n2.5 Message: Access violation at address 0040A1B2\r\n' * 40).encode()
    files = {
        'report.txt': report_text,
        'shot.png': bytes(rnd.randrange(256) for _ in range(150)),
        'gbk.log': '错误日志 line one\r\n.\r\n'.encode('gbk'),
        'big.bin': bytes(rnd.randrange(256) for _ in range(3 * 1024 * 1024)),
    }
    for name, data in files.items():
        with open(os.path.join(work, name), 'wb') as f:
            f.write(data)
    w = lambda name: to_windows(os.path.join(work, name))
    archive = os.path.join(work, 'CompressFiles.tgz')
    gbk_name = '报告.log'

    plain_store, auth_store = Store(os.path.join(work, 'plain')), Store(os.path.join(work, 'auth'))
    plain = Controller(plain_store, hostname=HOST, port=free_port())
    plain.start()
    auth = Controller(auth_store, hostname=HOST, port=free_port(), authenticator=authenticator,
                      auth_require_tls=False)
    auth.start()
    start_dns('system', 53)
    fallback_port = free_port(socket.SOCK_DGRAM)
    start_dns('fallback', fallback_port)
    fallback = '%s:%d' % (HOST, fallback_port)

    # Refusals at each step, without and with login: (name, replies, login).
    refusals = [
        ('greeting-554', {'greeting': '554 no service here\r\n'}, False),
        ('helo-550', {'HELO': '550 who are you\r\n'}, False),
        ('rset-550', {'RSET': '550 cannot reset\r\n'}, False),
        ('mail-550', {'MAIL': '550 sender refused\r\n'}, False),
        ('rcpt-550', {'RCPT': '550 no such user\r\n'}, False),
        ('rcpt-252', {'RCPT': '252 cannot verify\r\n'}, False),
        ('data-554', {'DATA': '554 no data today\r\n'}, False),
        ('message-552', {'MESSAGE': '552 too much mail\r\n'}, False),
        ('ehlo-550', {'EHLO': '550 no extensions\r\n'}, True),
        ('auth-504', {'AUTH': '504 mechanism unknown\r\n'}, True),
        ('user-535', {'USER': '535 bad user\r\n'}, True),
        ('password-535', {'PASS': '535 bad password\r\n'}, True),
    ]
    scripted = {name: Scripted(name, replies) for name, replies, _ in refusals}
    for name, behaviour in (('silent', 'silent'), ('trickle', 'trickle'), ('flood', 'flood'), ('hangup', 'hangup'),
                            ('split', 'split'), ('close-in-data', 'close-in-data'), ('quit-silent', 'quit-silent'),
                            ('quit-502', 'quit-502')):
        scripted[name] = Scripted(name, behaviour=behaviour)
    scripted['rcpt-251'] = Scripted('rcpt-251', {'RCPT': '251 not local, will forward\r\n'})
    scripted['injection'] = Scripted('injection')

    base = {'Sender': SENDER, 'Body': BODY, 'Subject': 'Tarn 报告\r\nBcc: evil@example.test', 'FallbackDns': fallback,
            'Timeout': 1500}

    def case(name, **fields):
        c = dict(base)
        c['Name'] = name
        c.update(fields)
        return c

    cases = [
        case('plain', Server=HOST, Port=plain.port, Recipients='dev1@example.test; ;dev2@example.test',
             Attach=[w('report.txt') + '|report.txt', w('shot.png') + '|Screenshot.png', w('gbk.log') + '|' + gbk_name,
                     w('missing.txt') + '|missing.txt', '  |blank'],
             Archive=w('report.txt') + '|' + to_windows(archive) + '|CompressFiles.tgz'),
        # A very long recipient list (every separator, blanks between): one conversation each.
        case('many', Server=HOST, Port=plain.port,
             Recipients=''.join('%s%s' % (MANY[i], ' ; ' if i % 3 == 0 else ',' if i % 3 == 1 else ';;\t')
                                for i in range(len(MANY)))),
        case('auth', Server=HOST, Port=auth.port, User=USER, Password=PASSWORD, Recipients='boss@example.test'),
        case('auth-wrong-password', Server=HOST, Port=auth.port, User=USER, Password='wrong',
             Recipients='boss@example.test'),
        case('refused', Server=HOST, Port=closed_port(), Recipients='dev@example.test'),
        case('mx', Mx=1, Port=plain.port, User=USER, Password=PASSWORD,
             Recipients='x@alpha.test; ;y@beta.test, z@ALPHA.test', DnsTimeout=300),
        case('mx-partial', Mx=1, Port=plain.port, Recipients='r@nomx.test, p@alpha.test', DnsTimeout=300),
        case('mx-fallback', Mx=1, Port=plain.port, Recipients='f@fallback.test', DnsTimeout=300),
        case('mx-order', Mx=1, Port=plain.port, Recipients='o@order.test', DnsTimeout=300),
    ]
    dns_faults = ['nomx', 'trunc', 'loop', 'pastend', 'wrongid', 'silent']
    for d in dns_faults:
        cases.append(case('dns-' + d, Mx=1, Port=plain.port, Recipients='r@%s.test' % d, DnsTimeout=300))
    for name, _, login in refusals:
        extra = {'User': USER, 'Password': PASSWORD} if login else {}
        cases.append(case(name, Server=HOST, Port=scripted[name].port, Recipients='dev@example.test', **extra))
    for name in ('silent', 'trickle', 'flood', 'hangup', 'split', 'rcpt-251', 'quit-silent', 'quit-502'):
        cases.append(case(name, Server=HOST, Port=scripted[name].port, Recipients='dev@example.test',
                          Timeout=5000 if name == 'split' else 1500))
    cases.append(case('close-in-data', Server=HOST, Port=scripted['close-in-data'].port, Recipients='dev@example.test',
                      Attach=w('big.bin') + '|big.bin', Timeout=5000))
    cases.append(case('injection-recipient', Server=HOST, Port=scripted['injection'].port,
                      Recipients='dev@example.test>\r\nRCPT TO:<evil@example.test'))
    cases.append(case('injection-sender', Server=HOST, Port=scripted['injection'].port, Sender='a@example.test\r\nDATA',
                      Recipients='dev@example.test'))

    write_cases(os.path.join(work, 'cases.txt'), cases)
    results_path = os.path.join(work, 'results.txt')
    env = dict(os.environ, TZ='Asia/Kolkata')  # a zone whose offset is not whole hours
    started = time.time()
    run = subprocess.run([a.runner, a.driver, to_windows(os.path.join(work, 'cases.txt')), to_windows(results_path)],
                         env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=240)
    print('driver: exit %d after %.1f s' % (run.returncode, time.time() - started))
    if run.returncode != 0 or not os.path.exists(results_path):
        print(run.stdout.decode('latin-1')[-3000:])
        check(False, 'the driver ran every case')
        return finish()
    results = read_results(results_path)
    for c in cases:
        if not check(c['Name'] in results, 'result for case %s' % c['Name']):
            return finish()

    check_plain(results['plain'], plain_store, files, gbk_name)
    check_many(results['many'], plain_store)
    check_auth(results, auth_store)
    check_faults(results, scripted, refusals)
    check_mx(results, plain_store)
    check_mx_order(results, plain_store)
    check_dns_faults(results, dns_faults)
    check_quit(results, scripted, {'plain': plain_store, 'auth': auth_store})
    plain.stop()
    auth.stop()
    return finish()


def free_port(kind=socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind((HOST, 0))
    port = s.getsockname()[1]
    s.close()
    return port


def finish():
    print('%d checks failed' % len(FAILURES) if FAILURES else 'all checks passed')
    return 1 if FAILURES else 0


def error_of(result):
    return result['error'].decode('gbk', 'replace')


def messages_to(store, address):
    return [m for m in store.messages if m['to'] == [address]]


def check_message(m, recipient, body):
    """Headers as the program writes them, and the body whole (the lone dots were stuffed)."""
    # Read as 8-bit text: latin-1 keeps each byte one character, so GBK comes back as sent.
    msg = email.message_from_string(m['data'].decode('latin-1'))
    raw = m['data']
    check(not msg.defects, '%s: the message parses without defects' % recipient)
    date = msg['Date']
    check(re.fullmatch(r'(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d{1,2} (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) '
                             r'\d{4} \d\d:\d\d:\d\d \+0530', date or '') is not None,
                '%s: Date header %r keeps the half-hour zone' % (recipient, date))
    when = email.utils.parsedate_to_datetime(date)
    check(abs(when.timestamp() - time.time()) < 300, '%s: Date is now' % recipient)
    check(msg['From'] == '<%s>' % SENDER, '%s: From' % recipient)
    check(msg['To'] == '<%s>' % recipient, '%s: To' % recipient)
    check(b'\r\nSubject: Tarn \xb1\xa8\xb8\xe6 Bcc: evil@example.test\r\n' in raw and msg['Bcc'] is None,
                '%s: Subject on one line, its line break blanked' % recipient)
    check(re.fullmatch(r'<\d+@faultline\.tarn-import\.invalid>', msg['Message-ID'] or '') is not None,
                '%s: Message-ID' % recipient)
    check(msg['MIME-Version'] == '1.0' and msg.get_content_type() == 'multipart/mixed'
                and msg.get_boundary() == BOUNDARY, '%s: multipart with the fixed boundary' % recipient)
    parts = msg.get_payload()
    text = parts[0]
    check(text.get_content_type() == 'text/plain' and text['Content-Transfer-Encoding'] == '7bit'
                and text.get_payload(decode=True).rstrip(b'\r\n') == body.encode('gbk'),
                '%s: the body arrives whole, its "." lines kept' % recipient)
    return msg


def check_plain(result, store, files, gbk_name):
    check(result['sent'] == '1' and result['code'] == '0' and result['error'] == b'', 'plain: sent, no error')
    check(result['status'] == '78,1,2;79,1,2;80,1,2;78,2,2;79,2,2;80,2,2;',
          'plain: status texts per recipient (%s)' % result['status'])
    progress = [int(p) for p in result['progress'].split(',')]
    check(progress[0] == 0 and 100 in progress and all(0 <= p <= 100 for p in progress),
          'plain: progress from 0 to 100 (%s)' % result['progress'])
    for recipient in ('dev1@example.test', 'dev2@example.test'):
        got = messages_to(store, recipient)
        if not check(len(got) == 1, 'plain: one message for %s alone' % recipient):
            continue
        check(got[0]['from'] == SENDER, 'plain: envelope sender')
        msg = check_message(got[0], recipient, BODY)
        parts = msg.get_payload()[1:]
        names = [p.get_filename().encode('latin-1') if p.get_filename() else None for p in parts]
        want = [b'report.txt', b'Screenshot.png', gbk_name.encode('gbk'), b'CompressFiles.tgz']
        check(names == want, 'plain: attachments in list order, missing ones left out (%s)' % names)
        if names != want:
            continue
        for p, data, kind in zip(parts, [files['report.txt'], files['shot.png'], files['gbk.log']],
                                 ['application/octet-stream', 'image/png', 'application/octet-stream']):
            check(p.get_content_type() == kind and p.get_payload(decode=True) == data,
                  'plain: %s is %s and byte-identical' % (p.get_filename(), kind))
        encoded = base64.b64encode(files['shot.png']).decode()
        check('\r\n'.join([encoded[:80], encoded[80:160]]) + '\r\n' in got[0]['data'].decode('latin-1'),
              'plain: base64 in lines of 80')
        tgz = parts[3].get_payload(decode=True)
        path = os.path.join(os.path.dirname(store.folder), 'received-%s.tgz' % recipient)
        with open(path, 'wb') as f:
            f.write(tgz)
        gz = subprocess.run(['gzip', '-t', path], capture_output=True)
        listing = subprocess.run(['tar', '-tzf', path], capture_output=True)
        content = subprocess.run(['tar', '-xzOf', path, 'report.txt'], capture_output=True)
        check(gz.returncode == 0 and listing.stdout == b'report.txt\n' and content.stdout == files['report.txt'],
              'plain: the archive is read by gzip and tar and holds the report text')


def check_many(result, store):
    check(result['sent'] == '1' and result['error'] == b'' and
          [x['address'] for x in result['recipients']] == MANY and all(x['sent'] for x in result['recipients']),
          'many: all %d recipients served in list order' % len(MANY))
    got = [messages_to(store, address) for address in MANY]
    check(all(len(m) == 1 for m in got), 'many: one message for each recipient alone')
    if all(len(m) == 1 for m in got):
        check_message(got[-1][0], MANY[-1], BODY)


def check_auth(results, store):
    r = results['auth']
    got = messages_to(store, 'boss@example.test')
    check(r['sent'] == '1' and len(got) == 1, 'auth: sent through the server that wants a login')
    if got:
        check(got[0]['login'] == USER.encode(), 'auth: the server saw our login')
        check_message(got[0], 'boss@example.test', BODY)
    r = results['auth-wrong-password']
    text = error_of(r)
    secrets = [base64.b64encode(USER.encode()).decode(), base64.b64encode(b'wrong').decode(), 'wrong']
    check(r['sent'] == '0' and r['code'] == '5' and text.startswith('[SMTP] Connected to 127.0.0.1 port ')
          and 'AUTH LOGIN\r\n' in text and text.count('****\r\n') == 2 and '\r\n535' in text,
          'auth-wrong-password: the transcript ends in the refusal')
    check(not any(s in text for s in secrets), 'auth-wrong-password: no user name or password in the transcript')
    check(len(store.messages) == 1, 'auth: nothing else reached the server')


def check_faults(results, scripted, refusals):
    for name, _, _ in refusals:
        r = results[name]
        sessions = scripted[name].sessions
        if not check(len(sessions) == 1, '%s: one connection' % name):
            continue
        want = '[SMTP] ' + sessions[0]['transcript']
        check(r['sent'] == '0' and r['code'] == '5' and error_of(r) == want,
              '%s: fails with the transcript as the error text' % name)
        if error_of(r) != want:
            print('   got  %r\n   want %r' % (error_of(r), want))
    for name in ('user-535', 'password-535'):
        check(base64.b64encode(USER.encode()).decode() not in error_of(results[name]) and
              base64.b64encode(PASSWORD.encode()).decode() not in error_of(results[name]),
              '%s: credentials masked' % name)
    port = lambda n: scripted[n].port
    exact = {
        'silent': '[SMTP] Socket timeout.\r\nSocket log:\r\nConnected to 127.0.0.1 port %d\r\n' % port('silent'),
        'hangup': '[SMTP] Connection closed by the server.\r\nSocket log:\r\nConnected to 127.0.0.1 port %d\r\n'
                  % port('hangup'),
    }
    for name, want in exact.items():
        check(results[name]['sent'] == '0' and error_of(results[name]) == want, '%s: %r' % (name, want))
    r = results['trickle']
    check(error_of(r).startswith('[SMTP] Socket timeout.\r\nSocket log:\r\nConnected to 127.0.0.1 port')
          and int(r['ms']) < 4000,
          'trickle: a server that never finishes its reply costs the timeout (%s ms)' % r['ms'])
    check(1400 <= int(results['silent']['ms']) < 4000, 'silent: the timeout is kept (%s ms)' % results['silent']['ms'])
    r = results['flood']
    check(error_of(r).startswith('[SMTP] Socket reply too long.\r\nSocket log:\r\n'), 'flood: reply size capped')
    r = results['close-in-data']
    text = error_of(r)
    check(r['sent'] == '0' and re.match(r'\[SMTP\] (Error into "send": "|Error into "recv": "|Connection closed by the '
                                        r'server\.)', text) is not None and '\r\nSocket log:\r\n' in text,
          'close-in-data: fails with a socket error (%r)' % text[:80])
    check(results['split']['sent'] == '1' and scripted['split'].sessions[0]['data'] is not None,
          'split: replies in parts, and a long pause inside a multi-line reply, are read whole')
    r = results['refused']
    check(r['sent'] == '0' and error_of(r).startswith('[SMTP] Connection error: "') and
          error_of(r).endswith('"\r\nSocket log:\r\n'), 'refused: %r' % error_of(r)[:60])
    # The message as the server reads it off the wire: dots stuffed, the end mark not.
    r = results['rcpt-251']
    data = scripted['rcpt-251'].sessions[0]['data'] if scripted['rcpt-251'].sessions else None
    check(r['sent'] == '1' and data is not None, 'rcpt-251: 251 accepted')
    if data:
        check(data.endswith(b'--' + BOUNDARY.encode() + b'--\r\n.\r\n') and not data.endswith(b'\r\n..\r\n'),
              'rcpt-251: the final "." is not stuffed')
        check(b'\r\n..\r\n...two dots\r\n..\r\n' in data, 'rcpt-251: body lines starting with "." are stuffed')
    for name, address in (('injection-recipient', 'dev@example.test>\\x0D\\x0ARCPT TO:<evil@example.test'),
                          ('injection-sender', 'a@example.test\\x0D\\x0ADATA')):
        check(results[name]['sent'] == '0' and error_of(results[name]) == '[SMTP] Invalid mail address: "%s"' % address,
              '%s: refused (%r)' % (name, error_of(results[name])))
    check(not scripted['injection'].sessions, 'injection: nothing was sent to the server')


def check_mx(results, store):
    r = results['mx']
    check(r['sent'] == '1' and r['error'] == b'', 'mx: sent, no error')
    want = [('x@alpha.test', 'mx.alpha.test'), ('y@beta.test', 'mx.beta.test'), ('z@ALPHA.test', 'mx.alpha.test')]
    got = [(x['address'], x['server']) for x in r['recipients']]
    check(got == want, 'mx: each recipient through its domain\'s exchanger (%s)' % got)
    for address, _ in want:
        got = messages_to(store, address)
        if check(len(got) == 1 and got[0]['login'] is None, 'mx: %s got one message, without a login' % address):
            check_message(got[0], address, BODY)
    mx_queries = [(role, name) for role, name, t in DNS_LOG if t == 'MX' and name in ('alpha.test', 'beta.test')]
    # (The third query is the one of mx-partial, which runs later.)
    check(mx_queries == [('system', 'alpha.test'), ('system', 'beta.test'), ('system', 'alpha.test')],
          'mx: the DNS server of the resolver configuration was asked once per domain (%s)' % mx_queries)
    check(r['status'] == ''.join('%d,%d,3;' % (t, n) for n in (1, 2, 3) for t in (77, 78, 79, 80)),
          'mx: status texts with "Resolving DNS..." (%s)' % r['status'])
    # A domain that cannot be resolved fails its recipient only; the others are still served, and
    # the run counts as sent (a retry would mail them twice).
    r = results['mx-partial']
    want = '[SMTP] Cannot resolve the "nomx.test" MX record.'
    check(r['sent'] == '1' and [x['sent'] for x in r['recipients']] == [False, True]
          and r['recipients'][0]['error'] == want.encode() and error_of(r) == want and r['code'] == '5'
          and len(messages_to(store, 'p@alpha.test')) == 1,
          'mx-partial: an unresolved domain fails only its own recipient')
    r = results['mx-fallback']
    queries = [role for role, name, t in DNS_LOG if t == 'MX' and name == 'fallback.test']
    check(r['sent'] == '1' and len(messages_to(store, 'f@fallback.test')) == 1,
          'mx-fallback: delivered through the fallback DNS server\'s answer')
    check(queries == ['system'] * 3 + ['fallback'],
          'mx-fallback: three attempts on the system\'s server, then the fallback (%s)' % queries)


def check_quit(results, scripted, stores):
    for name, store in stores.items():
        unended = [m['to'] for m in store.messages if m['peer'] not in store.quits]
        check(store.messages and not unended,
              '%s server: every conversation that delivered a message ended with QUIT (not: %s)' % (name, unended[:3]))
    # A QUIT that is refused or never answered does not undo the delivery; the silent one costs the
    # timeout and no more.
    for name in ('quit-502', 'quit-silent'):
        r = results[name]
        sessions = scripted[name].sessions
        check(r['sent'] == '1' and r['error'] == b'' and len(sessions) == 1 and sessions[0]['data'] is not None
              and sessions[0].get('quit'), '%s: delivered, QUIT sent, no error (%r)' % (name, error_of(r)[:60]))
    check(int(results['quit-silent']['ms']) < 4000, 'quit-silent: the timeout bounds the wait (%s ms)'
          % results['quit-silent']['ms'])


def check_mx_order(results, store):
    r = results['mx-order']
    got = [(x['address'], x['server'], x['sent']) for x in r['recipients']]
    check(r['sent'] == '1' and r['error'] == b'' and got == [('o@order.test', 'mx.second.order.test', True)]
          and len(messages_to(store, 'o@order.test')) == 1,
          'mx-order: the preferred exchanger is down, the next by preference got the mail (%s)' % got)
    asked = [name for role, name, t in DNS_LOG if t == 'A' and name.endswith('.order.test')]
    firsts = [n for i, n in enumerate(asked) if n not in asked[:i]]
    check(firsts == ['mx.down.order.test', 'mx.second.order.test'],
          'mx-order: exchangers tried by preference, none after the one that took the mail (%s)' % firsts)
    # Every query its own identifier (a constant one would repeat in every query).
    ids = MX_QUERY_IDS
    check(len(ids) >= 10 and len(set(ids)) >= len(ids) - 2,
          'dns: %d MX queries carried %d different identifiers' % (len(ids), len(set(ids))))


def check_dns_faults(results, faults):
    for d in faults:
        r = results['dns-' + d]
        want = '[SMTP] Cannot resolve the "%s.test" MX record.' % d
        asked = [role for role, name, t in DNS_LOG if t == 'MX' and name == d + '.test']
        rounds = 2 if d == 'nomx' else 1  # mx-partial asked for it too
        check(r['sent'] == '0' and r['code'] == '5' and error_of(r) == want and
              asked == (['system'] * 3 + ['fallback'] * 3) * rounds,
              'dns-%s: %r after three attempts per server (%s)' % (d, error_of(r), asked))


if __name__ == '__main__':
    sys.exit(main())
