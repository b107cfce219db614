"""Harness shared by the end-to-end tests of the CGI program `counter`: lighttpd serving a fresh
copy of the program (laid out by scripts/serve.sh) on a free loopback port, bounded HTTP fetches,
and the headless Chromium command line. Holds no tests itself; every wait is bounded.
"""
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest
import urllib.error
import urllib.request

CHROMIUM = "/usr/bin/chromium"
TIMEOUT = 30
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update", "--disable-sync"]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def chromium_command(profile):
    """Headless Chromium with its own profile folder; the caller adds options and the URL."""
    return [CHROMIUM] + CHROMIUM_FLAGS + ["--user-data-dir=" + profile]


def await_listening(process, port):
    """True once Process (a server started in a session of its own) takes connections on Port;
    false when it ends or does not within TIMEOUT."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline and process.poll() is None:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.1)
    return False


def stop_group(process):
    """Stops the whole process group of Process: lighttpd and any CGI child still running."""
    if process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(timeout=10)


class Server:
    """lighttpd serving a fresh copy of the program on a free port."""

    def __init__(self, program, repo, prefix):
        self.runtime = tempfile.mkdtemp(prefix=prefix)
        self.port = free_port()
        self.start([os.path.join(repo, "scripts", "serve.sh"), program, self.runtime, str(self.port)])

    def start(self, command):
        """Runs Command (lighttpd in the foreground, its CGI log in logs/ of the runtime folder)
        in a session of its own, until it takes connections."""
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                        start_new_session=True)
        if not await_listening(self.process, self.port):
            self.stop()
            raise RuntimeError("lighttpd did not start")

    @property
    def base(self):
        return "http://127.0.0.1:%d/cgi-bin/counter" % self.port

    @property
    def database(self):
        return os.path.join(self.runtime, "cgi-bin", "counter.ostra")

    def proof(self):
        """The proof of origin a change must carry, read from a form page as a script would."""
        _, _, body = fetch(self.base + "?page=editsname")
        return re.search(rb"<input name=proof type=hidden value=([0-9A-F]{32})>", body).group(1).decode()

    def change(self, query):
        """Query with the proof added when it asks for a change."""
        return query + "&proof=" + self.proof() if "ed=" in query else query

    def cgi_log(self):
        path = os.path.join(self.runtime, "logs", "cgi-stderr.log")
        if not os.path.exists(path):
            return ""
        with open(path, errors="replace") as log:
            return log.read()

    def stop(self):
        stop_group(self.process)
        self.process.stderr.close()
        shutil.rmtree(self.runtime, ignore_errors=True)


class ServerTestCase(unittest.TestCase):
    """One lighttpd for the whole class; a sanitizer report in the CGI log fails the class.
    Subclasses name the program, the repository root and the runtime folder prefix."""

    program = None
    repo = None
    runtime_prefix = "kestrow-e2e-"

    @classmethod
    def setUpClass(cls):
        cls.server = Server(cls.program, cls.repo, cls.runtime_prefix)

    @classmethod
    def tearDownClass(cls):
        log = cls.server.cgi_log()
        cls.server.stop()
        if "Sanitizer" in log:
            raise AssertionError("sanitizer report from the CGI program:\n" + log)


def fetch(url, timeout=TIMEOUT):
    """(status, headers, body bytes) of a GET."""
    try:
        with urllib.request.urlopen(url, timeout=timeout) as answer:
            return answer.status, answer.headers, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read()


class Chromium:
    """Headless Chromium driven over the DevTools protocol on a pipe (fds 3 and 4)."""

    def __init__(self, options=()):
        self.profile = tempfile.mkdtemp(prefix="kestrow-chromium-")
        self.process = subprocess.Popen(
            ["/bin/sh", "-c", 'exec "$0" "$@" 3<&0 4>&1 </dev/null >/dev/null']
            + chromium_command(self.profile) + list(options) + ["--remote-debugging-pipe", "about:blank"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, start_new_session=True)
        self.buffer = b""
        self.next_id = 0
        self.session = None

    def __enter__(self):
        try:
            target = self.call("Target.createTarget", {"url": "about:blank"}, session=False)["targetId"]
            self.session = self.call("Target.attachToTarget", {"targetId": target, "flatten": True},
                                     session=False)["sessionId"]
            self.call("Page.enable", {})
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait(timeout=10)
        self.process.stdin.close()
        self.process.stdout.close()
        shutil.rmtree(self.profile, ignore_errors=True)

    def call(self, method, params, session=True):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = self.session
        self.process.stdin.write(json.dumps(message).encode() + b"\0")
        self.process.stdin.flush()
        deadline = time.monotonic() + TIMEOUT
        while True:
            reply = self.read(deadline)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError("%s: %s" % (method, reply["error"]))
                return reply["result"]

    def read(self, deadline):
        while b"\0" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
                raise TimeoutError("no answer from Chromium")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise RuntimeError("Chromium ended")
            self.buffer += chunk
        message, _, self.buffer = self.buffer.partition(b"\0")
        return json.loads(message)

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", {"expression": expression, "returnByValue": True})
        if "exceptionDetails" in result:
            raise RuntimeError(str(result["exceptionDetails"]))
        return result["result"].get("value")

    def open(self, url):
        self.call("Page.navigate", {"url": url})
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            try:
                if self.evaluate("document.readyState") == "complete" and self.evaluate("location.href") == url:
                    return
            except RuntimeError:
                pass
            time.sleep(0.1)
        raise TimeoutError("page did not load: " + url)
