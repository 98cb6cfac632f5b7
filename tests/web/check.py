"""Judges the web error page with real peers: lighttpd runs the CGI program through Wine and
Python's http.client reads the answers; html.parser reads the pages. The WinCGI program, the
extension's host and the framework points program run directly under Wine.
Usage: check.py ROOT WORKDIR WEB-CGI.EXE WEB-WINCGI.EXE WEB-EXT.DLL WEB-HOST.EXE WEB-POINTS.EXE"""
import html.parser
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import time

root, work, cgi, wincgi, ext, host, points = sys.argv[1:8]
prefix = os.environ["TARN_PREFIX"]
runner = os.path.join(root, "scripts", "wine-run.sh")
OK_BUTTON = ('<br><input type=button value="Ok" OnClick="history.go(-1)" '
             'style="width:75;height:25;z-index:100;font-style:normal;font-size:10pt;text-decoration:none;">')
MARKER = re.compile(rb"<!-- Faultline ID: ([0-9A-F]{8}) -->")
# Addresses are as wide as the program's: 8 hexadecimal digits, 16 in a 64-bit one.
ADDRESS_DIGITS = 16 if os.environ.get("TARN_WINE_ARCH") == "64" else 8
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


class Page(html.parser.HTMLParser):
    """What a browser would show: the title, the visible text, the tags and the buttons."""

    def __init__(self, body):
        super().__init__(convert_charrefs=True)
        self.title, self.text, self.tags, self.buttons, self._in_title = "", "", [], [], False
        self.feed(body.decode("latin-1"))

    def handle_starttag(self, tag, attrs):
        self.tags.append(tag)
        self._in_title = tag == "title"
        if tag == "input":
            self.buttons.append(dict(attrs))

    def handle_endtag(self, tag):
        self._in_title = False

    def handle_data(self, data):
        if self._in_title:
            self.title += data
        else:
            self.text += data

    def handle_comment(self, data):
        pass


def error_page_checks(name, body, message):
    page = Page(body)
    check(message in page.text.replace("\xa0", " "), f"{name}: the message shows as text: {page.text!r}")
    check("script" not in page.tags, f"{name}: the message's tag became markup")
    check(any(b.get("value") == "Ok" and b.get("onclick") == "history.go(-1)" for b in page.buttons),
          f"{name}: the OK button")
    check(body.count(OK_BUTTON.encode()) == 1, f"{name}: one OK button")
    check(len(MARKER.findall(body)) == 1, f"{name}: one marker")
    return page


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wine(*args, **kw):
    if "stdout" not in kw:
        kw["capture_output"] = True
    return subprocess.run(["bash", runner, *args], cwd=work, timeout=120, **kw)


shutil.rmtree(work, ignore_errors=True)
docs = os.path.join(work, "htdocs")
os.makedirs(docs)
for f in (cgi, wincgi, ext, host, points):
    shutil.copy(f, work)
shutil.copy(cgi, docs)
# The prefix is made (and its wineserver kept running) before the server starts several programs.
subprocess.run(["bash", "-c", '. "$1"; tarn_prefix_ready; wineserver -p10', "_",
                os.path.join(root, "scripts", "wine-env.sh")], check=True)

# --- CGI through lighttpd -------------------------------------------------------------------
wrapper = os.path.join(work, "wine-cgi.sh")
with open(wrapper, "w") as f:
    f.write("#!/bin/bash\n"
            "export PATH=/usr/local/bin:/usr/bin:/bin\n"
            f"export TARN_PREFIX='{prefix}'\n"
            # The Wine of the tree under test (the server gives its programs no environment).
            f"export TARN_WINE_ARCH='{os.environ.get('TARN_WINE_ARCH', '32')}'\n"
            f"exec bash '{runner}' \"$1\" 2>/dev/null\n")
os.chmod(wrapper, 0o755)
port = free_port()
conf = os.path.join(work, "lighttpd.conf")
with open(conf, "w") as f:
    f.write(f'server.document-root = "{docs}"\n'
            f'server.bind = "127.0.0.1"\nserver.port = {port}\n'
            'server.modules = ("mod_cgi")\n'
            f'cgi.assign = (".exe" => "{wrapper}")\n'
            f'server.errorlog = "{work}/lighttpd-error.log"\n')
server = subprocess.Popen(["lighttpd", "-D", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)


def request(query="", body=None):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    conn.request("POST" if body is not None else "GET", "/web-cgi.exe" + ("?" + query if query else ""), body=body)
    r = conn.getresponse()
    data = r.read()
    conn.close()
    return r, data


try:
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)
    message = "Bad <script>alert(\"x\")</script> & 'quoted'  input"
    markers = []
    for attempt in range(2):
        r, body = request()
        name = f"cgi request {attempt + 1}"
        check(r.status == 200, f"{name}: status {r.status}")
        check(r.getheader("Content-Type") == "text/html", f"{name}: Content-Type {r.getheader('Content-Type')}")
        check(r.getheader("Cache-Control") == "no-cache" and r.getheader("Expires") == "0",
              f"{name}: caching headers {r.getheaders()}")
        check(r.getheader("Content-Length") == str(len(body)),
              f"{name}: Content-Length {r.getheader('Content-Length')} for {len(body)} bytes")
        page = error_page_checks(name, body, message)
        check(page.title == "Error.", f"{name}: default title {page.title!r}")
        markers += MARKER.findall(body)
    check(len(set(markers)) == 2, f"two requests, two markers: {markers}")

    # template sent as the request body | how the page begins | the message is on the page
    escaped = b"Bad &lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt; &amp; &#039;quoted&#039;&nbsp;&nbsp;input"
    templates = [
        (b"<html><head><title>Mine</title></head><body><%HTML_TAG%></body></html>", b"<html><head><title>Mine", True),
        (b"<html><body><p><%html_tag%></p></body></html>", b"<title>Error.</title><html><body><p>Bad", True),
        (b"<html><title>Static</title><body>no report here</body></html>", b"<html><title>Static", False),
        (b"<html></title><title><%HTML_TAG%></html>", b"<title>Error.</title><html></title><title>Bad", True),
    ]
    for template, start, shown in templates:
        name = f"template {template[:40]!r}"
        r, body = request(body=template)
        check(r.status == 200 and r.getheader("Content-Length") == str(len(body)), f"{name}: status and length")
        check(body.startswith(start), f"{name}: begins {body[:60]!r}")
        check((escaped + OK_BUTTON.encode() in body) == shown, f"{name}: message shown {shown}")
        check(b"HTML_TAG" not in body.upper(), f"{name}: placeholder left")
        check(body.count(OK_BUTTON.encode()) == 1 and len(MARKER.findall(body)) == 1, f"{name}: button and marker")
finally:
    server.terminate()
    server.wait(10)

# --- CGI: the program's own page stays its last page ------------------------------------------
temp = wine("cmd", "/c", "echo %TEMP%").stdout.decode().strip()
# Wine's own winepath program, run by the Wine of the tree under test (the winepath command of
# the system starts the 32-bit loader, which machines without 32-bit execution cannot run).
temp_unix = wine("winepath", "-u", temp).stdout.decode().strip()
last_page = os.path.join(temp_unix, "LastHTMLPage.html")
if os.path.exists(last_page):
    os.remove(last_page)
env = dict(os.environ, REQUEST_METHOD="GET", QUERY_STRING="page")
run = wine(os.path.basename(cgi), env=env)
own = b"<html><body>the program's own page</body></html>"
check(run.stdout.startswith(own + b"Status: 200 Error\r\n"), f"cgi direct: own page, then the error page: {run.stdout[:120]!r}")
check(os.path.exists(last_page) and open(last_page, "rb").read() == own,
      "cgi direct: the kept last page is the program's own, not the error page")

# --- WinCGI ----------------------------------------------------------------------------------
profile = os.path.join(work, "request.ini")
with open(profile, "w") as f:
    f.write("[CGI]\r\nRequest Method=GET\r\n[System]\r\n")
output = os.path.join(work, "answer.out")
run = wine(os.path.basename(wincgi), "request.ini", "content.in", "answer.out")
answer = open(output, "rb").read() if os.path.exists(output) else b""
head, _, body = answer.partition(b"\r\n\r\n")
check(head.startswith(b"Status: 200 Error\r\n"), f"wincgi: status line {answer[:60]!r}")
check(f"Content-Length: {len(body)}".encode() in head.split(b"\r\n"), f"wincgi: length of {len(body)} bytes")
check(b"x" * 64 not in answer, "wincgi: the program's earlier output is gone")
error_page_checks("wincgi", body, "WinCGI <failure>")

# --- Web-server extension in a host of ours --------------------------------------------------
run = wine(os.path.basename(host), os.path.basename(ext))
check(run.returncode == 0, f"host: exit code {run.returncode} {run.stderr[-300:]!r}")


def read(name):
    path = os.path.join(work, name)
    return open(path, "rb").read() if os.path.exists(path) else b""


failed_body, paged_body = read("conn1.body"), read("conn2.body")
own = b"<html>the request's own page</html>"
check(failed_body.startswith(own), f"extension: the failing request's own page first: {failed_body[:60]!r}")
error = failed_body[len(own):]
check(read("conn1.status") == b"200 Error" and read("conn1.code") == b"200", "extension: status 200 Error")
header = read("conn1.header")
check(header.endswith(b"\r\n\r\n") and f"Content-Length: {len(error)}\r\n".encode() in header,
      f"extension: header {header!r} for {len(error)} bytes")
error_page_checks("extension", error, 'extension <failed> "here"')
binary = b"<html>binary:" + bytes(range(256)) + b"</html>"
check(paged_body == binary, "extension: the other request got its own page only")
check(read("conn2.header") == b"", "extension: the other request got no error header")
check(read("lastpage.bin") == binary, "extension: the kept last page is the program's last page, every byte")

# A failure while no request runs has no connection for its page: a warning on the debugger
# output, and the extension goes on.
run = wine(os.path.basename(host), os.path.basename(ext), "outside", env=dict(os.environ, WINEDEBUG="+debugstr"))
trace = run.stderr.decode("latin-1")
check(run.returncode == 0, f"outside: exit code {run.returncode} {trace[-300:]!r}")
check('[WARNING] - Code: eeShowError - Address: ' + ('0' * ADDRESS_DIGITS) + ' - Message: \\"ISAPI: ServerECB = nil\\"' in trace,
      f"outside: the warning on the debugger output: {trace[-600:]!r}")

# A CGI program whose standard output is gone cannot send its page: a warning, no crash.
reader, writer = os.pipe()
os.close(reader)
run = wine(os.path.basename(cgi), stdout=writer, stderr=subprocess.PIPE,
           env=dict(os.environ, WINEDEBUG="+debugstr", REQUEST_METHOD="GET", QUERY_STRING="",
                    GATEWAY_INTERFACE="CGI/1.1"))
os.close(writer)
trace = run.stderr.decode("latin-1")
check('Message: \\"CGI: Cannot write in the ouput file.\\"' in trace,
      f"cgi without output: the warning on the debugger output: {trace[-600:]!r}")

# --- Framework points ------------------------------------------------------------------------
run = wine(os.path.basename(points))
out = run.stdout.decode(errors="replace")
check("hooked: 10\n" in out.replace("\r", ""), f"points: only the configured export is hooked: {out!r}")
check("reports: 1 original: 0" in out, f"points: the hooked procedure reports: {out!r}")

print("FAILED" if failures else "OK", f"({len(failures)} failures)")
sys.exit(1 if failures else 0)
