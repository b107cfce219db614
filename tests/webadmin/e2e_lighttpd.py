"""End-to-end test of the CGI program `counter` behind lighttpd, laid out by scripts/serve.sh.

Starts lighttpd on a free loopback port, drives the pages over HTTP (and, when Chromium is
installed, in headless Chromium), and stops lighttpd again. Every wait is bounded.
Usage: e2e_lighttpd.py COUNTER_BINARY REPO_ROOT ARTIFACT_DIR
"""
import fcntl
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest
import urllib.error
import urllib.parse
import urllib.request

from e2e_support import CHROMIUM, TIMEOUT, ServerTestCase, chromium_command, fetch

COUNTER, REPO, ARTIFACTS = sys.argv[1:4]
UNAVAILABLE = "Counter base is unavaliable, please try again in few second.<br>"


def get(url):
    """(status, headers, body text) of a GET."""
    status, headers, body = fetch(url)
    return status, headers, body.decode("utf-8", "replace")


def run_direct(runtime, query):
    """Runs the program in the runtime folder as a web server would, without one."""
    env = {"PATH": "/usr/bin:/bin", "SERVER_PROTOCOL": "HTTP/1.1", "REQUEST_METHOD": "GET",
           "SCRIPT_NAME": "/cgi-bin/counter", "QUERY_STRING": query}
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    program = os.path.join(runtime, "cgi-bin", "counter")
    result = subprocess.run([program], env=env, cwd=os.path.dirname(program), capture_output=True,
                            timeout=TIMEOUT, check=True)
    return result.stdout


class CounterBehindLighttpd(ServerTestCase):
    program, repo, runtime_prefix = COUNTER, REPO, "kestrow-e2e-"

    def page(self, query):
        status, headers, body = get(self.server.base + ("?" + self.server.change(query) if query else ""))
        self.assertEqual(status, 200, body)
        self.assertEqual(headers["Content-Type"], "text/html")
        self.assertEqual(int(headers["Content-Length"]), len(body.encode("utf-8")))
        return body

    def test_1_about_page_and_database(self):
        body = self.page("")
        self.assertTrue(body.startswith("<html><head><title>Kestrow Web Access - Your Site</title>"), body[:200])
        self.assertTrue(body.endswith("</body></html>"))
        self.assertTrue(os.path.exists(self.server.database))
        # The program run directly gives the same page, with exactly these header lines.
        raw = run_direct(self.server.runtime, "page=admin")
        head, _, direct = raw.partition(b"\r\n\r\n")
        self.assertEqual(head, b"Status: 200 OK\r\nContent-Type: text/html\r\nContent-Length: %d\r\n"
                         b"X-Frame-Options: DENY\r\nContent-Security-Policy: frame-ancestors 'none'\r\n"
                         b"Referrer-Policy: same-origin\r\nContent:" % len(direct))
        self.assertEqual(direct.decode(), body)

    def test_2_unknown_and_failing_requests(self):
        body = self.page("page=Admin")
        self.assertTrue(body.startswith("<center><br><br><font color=black><b>Unknown request!!!</b></font>"))
        self.assertNotIn("<title>", body)
        status, _, body = get(self.server.base + "?page=browse&col=x")
        self.assertEqual(status, 500)
        self.assertIn("Exception: EConvertError<br>", body)
        self.assertIn("Message: &#39;x&#39; is not a valid integer value<br></html>", body)
        # A request for another name is refused: a rebound name would make its page the program's
        # own origin.
        for host, status in (("localhost:%d" % self.server.port, 200), ("rebound.example:%d" % self.server.port, 403),
                             ("127.0.0.1", 403)):
            request = urllib.request.Request(self.server.base + "?page=edit", headers={"Host": host})
            try:
                with urllib.request.urlopen(request, timeout=TIMEOUT) as answer:
                    self.assertEqual(answer.status, status, host)
            except urllib.error.HTTPError as error:
                self.assertEqual(error.code, status, host)

    def test_3_busy_database(self):
        self.page("")
        with open(self.server.database, "rb+") as held:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            for page in ("browse", "bradv", "brref", "brdate&type=lmd", "editip"):
                body = self.page("page=" + page)
                self.assertTrue(body.endswith(UNAVAILABLE + '<a href="/cgi-bin/counter?page=admin">'
                                              "Enter into admin interface</a></body></html>"), body[-300:])
            self.assertIn("Edit Skip - address", self.page("page=edit"))
        self.assertIn("Basic information:", self.page("page=browse"))

    def test_4_settings_show_on_the_pages(self):
        self.assertIn("<br>Site name changed to: <b><font color=navy>My Site</font></b>",
                      self.page("page=editsname&ed=My+Site"))
        self.assertTrue(self.page("page=browse").startswith("<html><head><title>Kestrow Web Access - My Site</title>"))
        bad = self.page("page=editinterval&ed=abc")
        self.assertIn("<font color=black>Error!!! Interval <b><font color=navy>not</font></b> changed!!! "
                      "Current Value is: 720</font>", bad)
        browse = self.page("page=browse")
        self.assertIn("720 min (12 hours-0 minutes)", browse)
        self.page("page=editip&ed=add&val=192.0.2.7")
        self.page("page=editskip&ed=add&val=192.0.2.99")
        browse = self.page("page=browse")
        self.assertIn("<td><font color=black>192.0.2.7</font>", browse)
        self.assertIn("<tr>\r\n<td><font color=black>192.0.2.99</font>", browse)
        self.assertIn('<option value="192.0.2.7">192.0.2.7</option>', self.page("page=editip"))
        self.assertNotIn("192.0.2.7</option>", self.page("page=editip&ed=del&val=192.0.2.7"))
        self.page("page=bradv&ed=add&val=index.html")
        nodes = self.page("page=bradv")
        self.assertIn("<td><font color=black>index.html</font>", nodes)
        self.assertIn('<option value="index.html">index.html</option>', self.page("page=brdate&seltype=1"))
        calendar = self.page("page=brdate&type=lmd&nodes=all&nname=")
        self.assertIn("<td><font color=black>index.html</font></td>", calendar)
        self.assertIn("Hosts(all site)", calendar)
        self.assertIn("<b>Referer list:</b>", self.page("page=brref"))
        self.assertIn("HomePageURL changed to: <b>http://example.org/</b>",
                      self.page("page=editurl&ed=" + urllib.parse.quote("http://example.org/")))

    def test_5_chromium(self):
        if not os.path.exists(CHROMIUM):
            self.skipTest("no Chromium")
        marker = "<script>document.documentElement.setAttribute('data-pwned','1')</script>"
        self.page("page=editsname&ed=" + urllib.parse.quote(marker))
        self.page("page=bradv&ed=add&val=" + urllib.parse.quote(marker))
        self.page("page=editip&ed=add&val=192.0.2.1")
        pages = ["", "page=admin", "page=browse&col=20", "page=bradv", "page=brdate&seltype=1",
                 "page=brdate&type=lmd&nodes=all&nname=", "page=brdate&type=lwd", "page=brdate&type=cus&mon=JAN&year=2005",
                 "page=brref", "page=edit", "page=editip", "page=editskip", "page=editinterval", "page=editurl",
                 "page=editsname"]
        for query in pages:
            dom = chromium(["--dump-dom"], self.server.base + "?" + query)
            self.assertIn("</html>", dom, query)
            self.assertNotIn('data-pwned="1"', dom, query)
            self.assertNotIn("<script>document", dom, query)
        dom = chromium(["--dump-dom"], self.server.base + "?page=bradv")
        self.assertIn("&lt;script&gt;document.documentElement", dom)
        os.makedirs(ARTIFACTS, exist_ok=True)
        shot = os.path.join(ARTIFACTS, "browse.png")
        if os.path.exists(shot):
            os.remove(shot)
        chromium(["--screenshot=" + shot, "--window-size=1280,2400"], self.server.base + "?page=browse&col=20")
        self.assertTrue(os.path.exists(shot))
        with open(shot, "rb") as picture:
            self.assertEqual(picture.read(8), b"\x89PNG\r\n\x1a\n")

    def test_6_changes_from_another_site_in_chromium(self):
        if not os.path.exists(CHROMIUM):
            self.skipTest("no Chromium")
        htdocs = os.path.join(self.server.runtime, "htdocs")
        own = "http://127.0.0.1:%d" % self.server.port
        self.page("page=editsname&ed=Owner+Site")
        # Another site (another host name of this machine) that changes the settings behind the
        # owner's back, then sends the browser to a change outright.
        with open(os.path.join(htdocs, "attack.html"), "w") as page:
            page.write('<html><body><img src="%s/cgi-bin/counter?page=editsname&ed=Pwned">'
                       '<img src="%s/cgi-bin/counter?page=bradv&ed=add&val=pwned.html">'
                       '<script>window.onload = function () { setTimeout(function () { location ='
                       ' "%s/cgi-bin/counter?page=editurl&ed=http://evil.example/"; }, 200); };</script>'
                       '</body></html>' % (own, own, own))
        dom = chromium(["--dump-dom", "--virtual-time-budget=5000"],
                       "http://localhost:%d/attack.html" % self.server.port)
        self.assertIn("Refused: this change was asked for by another web site.", dom)
        self.assertIn("Current value of Site name is: <b><font color=navy>Owner Site</font></b>",
                      self.page("page=editsname"))
        self.assertNotIn("pwned.html", self.page("page=bradv"))
        self.assertNotIn("evil.example", self.page("page=editurl"))
        # A script URL typed into the settings is refused, and no page links to one.
        dom = chromium(["--dump-dom"], self.server.base + "?" + self.server.change(
            "page=editurl&ed=" + urllib.parse.quote(" JavaScript:alert(document.domain)")))
        self.assertIn("Not stored: the home page URL must begin with http: or https:", dom)
        self.assertNotIn('href="javascript', dom.lower().replace(" ", ""))


def chromium(options, url):
    profile = tempfile.mkdtemp(prefix="kestrow-chromium-")
    process = subprocess.Popen(
        chromium_command(profile) + options + [url],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        out, _ = process.communicate(timeout=90)
        return out.decode("utf-8", "replace")
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    finally:
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
