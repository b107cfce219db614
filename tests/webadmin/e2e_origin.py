"""Changes from another site, framing and stalled bodies, tried as an attacker would.

lighttpd serves `counter` under the named virtual host stats.example (as the README advises) and
an attacker's pages under evil.example, both on one free loopback port; headless Chromium maps
the two names to 127.0.0.1. Plain http, so the browser sends no Sec-Fetch-Site: only the proof
of origin and the refusal to be framed stand between the attacker and the database. The
program's own forms must still work in the same browser. A stalled body is tried on the program
run directly. Every wait is bounded; lighttpd and Chromium are stopped.
Usage: e2e_origin.py COUNTER_BINARY [TestClass ...]
"""
import base64
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from e2e_support import CHROMIUM, TIMEOUT, Chromium, Server, free_port
from skin_files import skin_file

COUNTER = sys.argv[1]
UNAVAILABLE = "Counter base is unavaliable"
SUCCESS = "Skin added succesfully! Back to Skin editor"
NO_PROOF = "Refused: this change does not carry the proof"

CONFIG = """server.modules = ("mod_access", "mod_alias", "mod_cgi")
server.document-root = "{runtime}/attacker"
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = "{runtime}/logs/error.log"
server.breakagelog = "{runtime}/logs/cgi-stderr.log"
mimetype.assign = (".html" => "text/html")
$HTTP["host"] == "stats.example:{port}" {{
  server.document-root = "{runtime}/htdocs"
  alias.url = ("/cgi-bin/" => "{runtime}/cgi-bin/")
  $HTTP["url"] =~ "^/cgi-bin/" {{
    cgi.assign = ("" => "")
  }}
}}
"""


class NamedHosts(Server):
    """lighttpd with the program under stats.example and the attacker under evil.example."""

    def __init__(self):
        self.runtime = tempfile.mkdtemp(prefix="kestrow-origin-")
        self.port = free_port()
        for folder in ("cgi-bin", "htdocs", "attacker", "logs"):
            os.makedirs(os.path.join(self.runtime, folder))
        shutil.copy(COUNTER, os.path.join(self.runtime, "cgi-bin", "counter"))
        config = os.path.join(self.runtime, "lighttpd.conf")
        with open(config, "w") as out:
            out.write(CONFIG.format(runtime=self.runtime, port=self.port))
        self.start([shutil.which("lighttpd") or "/usr/sbin/lighttpd", "-D", "-f", config])

    @property
    def host(self):
        return "stats.example:%d" % self.port

    @property
    def base(self):
        return "http://%s/cgi-bin/counter" % self.host

    def attacker_page(self, name, html):
        with open(os.path.join(self.runtime, "attacker", name), "w") as out:
            out.write(html)
        return "http://evil.example:%d/%s" % (self.port, name)

    def get(self, query):
        """(status, headers, text) of a GET of the program under its own name."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=TIMEOUT)
        try:
            connection.request("GET", "/cgi-bin/counter?" + query, headers={"Host": self.host})
            answer = connection.getresponse()
            return answer.status, answer.headers, answer.read().decode("utf-8", "replace")
        finally:
            connection.close()

    def proof(self):
        return re.search(r"<input name=proof type=hidden value=([0-9A-F]{32})>", self.get("page=editsname")[2]).group(1)

    def upload(self, path):
        result = subprocess.run(["curl", "-sS", "--max-time", str(TIMEOUT), "--resolve",
                                 "%s:127.0.0.1" % self.host, "-F", "file1=@" + path,
                                 self.base + "?proof=" + self.proof()], capture_output=True, timeout=TIMEOUT + 5)
        return result.stdout.decode("utf-8", "replace")

    def state(self):
        """Everything a change could touch, as one text."""
        def options(query):
            return re.findall(r'<option value="([^"]*)">', self.get(query)[2])
        current = re.compile(r"Current value of [^:]*: <b><font color=navy>([^<]*)</font>")
        return {"ip": options("page=editip"), "skip": options("page=editskip"), "pages": options("page=bradv"),
                "name": current.findall(self.get("page=editsname")[2]),
                "url": current.findall(self.get("page=editurl")[2]),
                "skins": self.get("page=editskins")[2].count("Skin # ")}


def wait_for(browser, expression):
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        try:
            if browser.evaluate(expression):
                return
        except RuntimeError:
            pass  # the page is being replaced
        time.sleep(0.1)
    raise TimeoutError(expression)


def click(browser, x, y):
    for kind in ("mousePressed", "mouseReleased"):
        browser.call("Input.dispatchMouseEvent", {"type": kind, "x": x, "y": y, "button": "left", "clickCount": 1})


@unittest.skipUnless(os.path.exists(CHROMIUM), "no Chromium")
class ChangesInChromium(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.server = NamedHosts()
        cls.files = tempfile.mkdtemp(prefix="kestrow-originfiles-")
        cls.skin = os.path.join(cls.files, "own.skn")
        with open(cls.skin, "wb") as out:
            out.write(skin_file(name="Own"))

    @classmethod
    def tearDownClass(cls):
        log = cls.server.cgi_log()
        cls.server.stop()
        shutil.rmtree(cls.files, ignore_errors=True)
        if "Sanitizer" in log:
            raise AssertionError("sanitizer report from the CGI program:\n" + log)

    def browser(self):
        return Chromium(["--host-resolver-rules=MAP stats.example 127.0.0.1, MAP evil.example 127.0.0.1",
                         "--window-size=1280,2000"])

    def own_form(self, browser, query, fill):
        """Opens the program's page, lets Fill (a script) fill in and send its form, and waits
        for the answer."""
        browser.open(self.server.base + "?" + query)
        browser.evaluate("window.sent = true; " + fill + "; true")
        wait_for(browser, "!window.sent && document.readyState == 'complete'")
        return browser.evaluate("document.body.innerText")

    def test_1_own_forms_work_and_nothing_from_another_site_applies(self):
        proof = "&proof=" + self.server.proof()
        for query in ("page=bradv&ed=add&val=keep.html", "page=editip&ed=add&val=192.0.2.1",
                      "page=editskip&ed=add&val=192.0.2.2", "page=editsname&ed=Owner+Site"):
            self.assertEqual(self.server.get(query + proof)[0], 200)
        self.assertIn(SUCCESS, self.server.upload(self.skin))
        before = self.server.state()
        self.assertEqual(before["pages"], ["keep.html"])
        self.assertEqual(before["skins"], 2)

        changes = ["page=editip&ed=add&val=10.66.0.1", "page=editip&ed=del&val=192.0.2.1",
                   "page=editskip&ed=add&val=10.66.0.2", "page=editskip&ed=del&val=192.0.2.2",
                   "page=bradv&ed=add&val=evil.html", "page=bradv&ed=del&val=keep.html",
                   "page=brref&ed=del&val=UNKNOWN", "page=editsname&ed=Pwned",
                   "page=editurl&ed=http://evil.example/", "page=editinterval&ed=1",
                   "page=editskins&ed=delpg&val=1"]
        images = "".join('<img referrerpolicy="no-referrer" src="%s?%s">' % (self.server.base, change)
                         for change in changes)
        skin = base64.b64encode(skin_file(name="Evil")).decode()
        attack = self.server.attacker_page("attack.html", (
            '<html><body>%s<a id="link" rel="noreferrer" href="%s?page=editsname&ed=Pwned+by+link">win</a>'
            '<script>window.onload = function () {'
            ' var data = new FormData();'
            ' data.append("file1", new Blob([Uint8Array.from(atob("%s"), c => c.charCodeAt(0))]), "e.skn");'
            ' fetch("%s", {method: "POST", body: data, mode: "no-cors"}).finally(function () {'
            ' document.title = "posted"; }); };</script></body></html>') % (images, self.server.base, skin,
                                                                           self.server.base))
        with self.browser() as browser:
            browser.open(attack)
            wait_for(browser, "document.title == 'posted'")
            self.assertEqual(self.server.state(), before, "images with no referrer, a multipart POST")
            browser.evaluate("document.getElementById('link').click(); true")
            wait_for(browser, "location.host == '%s' && document.readyState == 'complete'" % self.server.host)
            self.assertIn(NO_PROOF, browser.evaluate("document.body.innerText"))
            self.assertEqual(self.server.state(), before, "a link with rel=noreferrer")

            # Where "Delete node" lies on the program's own page, and the same spot clicked
            # through an invisible frame of that page on the attacker's.
            browser.open(self.server.base + "?page=bradv")
            spot = browser.evaluate("(function () { var r = document.querySelector("
                                    "'input[value=\"Delete node\"]').getBoundingClientRect();"
                                    " return [r.x + r.width / 2, r.y + r.height / 2]; })()")
            framed = self.server.attacker_page("frame.html", (
                '<html><body style="margin:0"><iframe src="%s?page=bradv" style="position:absolute; left:0;'
                ' top:0; width:1280px; height:2000px; border:0; opacity:0.01"></iframe></body></html>')
                % self.server.base)
            browser.open(framed)
            time.sleep(1)
            click(browser, *spot)
            time.sleep(1)
            self.assertEqual(self.server.state(), before, "a click through a frame")

            # The same click on the page itself is the owner's: the node goes.
            browser.open(self.server.base + "?page=bradv")
            browser.evaluate("window.sent = true")
            click(browser, *spot)
            wait_for(browser, "!window.sent && document.readyState == 'complete'")
            self.assertEqual(self.server.state()["pages"], [])

            # The owner's forms, filled in and sent in the browser.
            self.own_form(browser, "page=editip",
                          "document.forms.form1.val.value = '192.0.2.50'; document.forms.form1.submit()")
            self.own_form(browser, "page=bradv",
                          "document.forms.form1.val.value = 'own.html'; document.forms.form1.submit()")
            self.own_form(browser, "page=editsname",
                          "document.forms[0].ed.value = 'Renamed Site'; document.forms[0].submit()")
            browser.open(self.server.base + "?page=editskins&ed=addpg")
            root = browser.call("DOM.getDocument", {})["root"]["nodeId"]
            node = browser.call("DOM.querySelector", {"nodeId": root, "selector": "input[name=file1]"})["nodeId"]
            browser.call("DOM.setFileInputFiles", {"nodeId": node, "files": [self.skin]})
            browser.evaluate("window.sent = true; ButtonClick(); true")
            wait_for(browser, "!window.sent && document.readyState == 'complete'")
            self.assertIn(SUCCESS, browser.evaluate("document.body.innerText"))
            self.own_form(browser, "page=editskins",
                          "document.querySelector('input[name=val][value=\"1\"]').click();"
                          " document.querySelector('input[value=\"Delete skin\"]').click()")
        after = self.server.state()
        self.assertEqual(after["ip"], ["192.0.2.1", "192.0.2.50"])
        self.assertEqual(after["pages"], ["own.html"])
        self.assertEqual(after["name"], ["Renamed Site"])
        self.assertEqual(after["skins"], 2, "one uploaded, one deleted")
        self.assertEqual(after["skip"], before["skip"])

    def test_2_html_refuses_frames_and_images_do_not_care(self):
        _, headers, _ = self.server.get("page=bradv")
        self.assertEqual(headers["X-Frame-Options"], "DENY")
        self.assertEqual(headers["Content-Security-Policy"], "frame-ancestors 'none'")
        self.assertEqual(headers["Referrer-Policy"], "same-origin")
        _, headers, _ = self.server.get("skin=0")
        self.assertEqual(headers["Content-Type"], "image/GIF")
        self.assertIsNone(headers["X-Frame-Options"])


class StalledBody(unittest.TestCase):
    """Requests whose bodies stop half-way hold nothing while they wait, and are given up."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kestrow-stall-")
        self.program = os.path.join(self.folder, "counter")
        shutil.copy(COUNTER, self.program)

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def start(self, query, content_type, length):
        env = {"PATH": "/usr/bin:/bin", "SERVER_PROTOCOL": "HTTP/1.1", "SCRIPT_NAME": "/cgi-bin/counter",
               "REQUEST_METHOD": "POST" if length else "GET", "QUERY_STRING": query}
        if length:
            env.update({"CONTENT_TYPE": content_type, "CONTENT_LENGTH": str(length)})
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        return subprocess.Popen([self.program], env=env, cwd=self.folder, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    @staticmethod
    def answer_of(process):
        """What Process answers while its input stays open."""
        try:
            process.wait(timeout=45)
        finally:
            process.kill()
            process.stdin.close()
        answer = process.stdout.read()
        process.stdout.close()
        process.stderr.close()
        return answer

    def run_get(self, query):
        process = self.start(query, None, 0)
        out, _ = process.communicate(timeout=TIMEOUT)
        return out.decode("utf-8", "replace")

    def test_a_second_request_opens_the_database_while_the_first_waits(self):
        self.run_get("page=editsname")
        with open(os.path.join(self.folder, "counter.ostra-key")) as key:
            proof = key.read()
        form = self.start("", "application/x-www-form-urlencoded", 100)
        form.stdin.write(b"page=editsn")
        form.stdin.flush()
        upload = self.start("proof=" + proof, "multipart/form-data; boundary=b", 5000)
        upload.stdin.write(b"--b\r\nContent-Disposition: form-data; name=\"file1\"\r\n")
        upload.stdin.flush()
        time.sleep(0.5)
        started = time.monotonic()
        for query in ("page=browse", "page=editsname&ed=Meanwhile&proof=" + proof, "skin=0"):
            answer = self.run_get(query)
            self.assertNotIn(UNAVAILABLE, answer, query)
            self.assertNotIn("Status: 500", answer, query)
        self.assertLess(time.monotonic() - started, 10, "no preview retries on a busy database")
        self.assertIsNone(form.poll())
        self.assertIsNone(upload.poll())
        # The clients never finish: each waiting request gives up on its own and changes nothing.
        form_answer, upload_answer = self.answer_of(form), self.answer_of(upload)
        self.assertIn(b"Status: 500", form_answer)
        self.assertIn(b"The request body did not arrive in time", form_answer)
        self.assertIn(b"Error during adding skin!", upload_answer)
        self.assertIn("Site name changed to", self.run_get("page=editsname&ed=Again&proof=" + proof))
        self.assertEqual(self.run_get("page=editskins").count("Skin # "), 1)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:])
