"""The program killed in the middle of each changing request, at every call that changes a file
(each write, truncation, sync and removal, by turns, through strace's fault injection), then a
read page: it must answer, show the change whole or not at all, leave no journal that still
holds a commit, and the
file must pass an outsider's check of its format. The same calls failing (a full disk, a failing
one) must give a 500 answer, never a success page, and leave the database as it was. Usage: e2e_kill.py COUNTER_BINARY
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

from ostra_check import check
from skin_files import skin_file

COUNTER = sys.argv[1]
TIMEOUT = 60
UNAVAILABLE = "Counter base is unavaliable, please try again in few second."
# The calls by which the program changes its files.
CALLS = ["pwrite64", "ftruncate", "fdatasync", "fsync", "unlink", "renameat2"]
BOUNDARY = "KillTestBoundary"


def get(query):
    return {"REQUEST_METHOD": "GET", "QUERY_STRING": query}, b""


def upload(data):
    body = ("--%s\r\nContent-Disposition: form-data; name=\"file1\"; filename=\"k.skn\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" % BOUNDARY).encode() + data + (
        "\r\n--%s--\r\n" % BOUNDARY).encode()
    return {"REQUEST_METHOD": "POST", "QUERY_STRING": "", "CONTENT_TYPE": "multipart/form-data; boundary=" + BOUNDARY,
            "CONTENT_LENGTH": str(len(body))}, body


def options(page):
    return re.findall(r"<option value=\"([^\"]*)\"", page)


# What each request changes, and how a read page shows it.
CASES = [
    ("host added", [], get("page=editip&ed=add&val=192.0.2.7"), "page=editip", options),
    ("host deleted", [get("page=editip&ed=add&val=192.0.2.7")], get("page=editip&ed=del&val=192.0.2.7"),
     "page=editip", options),
    ("page added", [], get("page=bradv&ed=add&val=index.html"), "page=bradv", options),
    ("page deleted", [get("page=bradv&ed=add&val=index.html")], get("page=bradv&ed=del&val=index.html"),
     "page=bradv", options),
    ("site renamed", [], get("page=editsname&ed=Renamed+Site"), "page=admin",
     lambda page: re.findall(r"<title>[^<]*</title>", page)),
    ("skin uploaded", [], upload(skin_file()), "page=editskins", lambda page: page.count("Skin # ")),
    ("skin deleted", [upload(skin_file(name="Old"))], get("page=editskins&ed=delpg&val=1"), "page=editskins",
     lambda page: page.count("Skin # ")),
]


class KilledRequests(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="kestrow-kill-")
        self.program = os.path.join(self.folder, "counter")
        shutil.copy(COUNTER, self.program)
        self.database = os.path.join(self.folder, "counter.ostra")
        self.journal = self.database + "-journal"

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def run_program(self, request, prefix=()):
        fields, body = request
        env = {"PATH": "/usr/bin:/bin", "SERVER_PROTOCOL": "HTTP/1.1", "SCRIPT_NAME": "/cgi-bin/counter"}
        env.update(fields)
        if "ed=" in env["QUERY_STRING"] or "CONTENT_TYPE" in env:
            env["QUERY_STRING"] += "&proof=" + self.proof()
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if name in os.environ:
                env[name] = os.environ[name]
        return subprocess.run(list(prefix) + [self.program], env=env, cwd=self.folder, input=body,
                              capture_output=True, timeout=TIMEOUT)

    def proof(self):
        """The proof of origin, read from its file beside the database as a script on the server
        would; a page made first makes the file, so that no changing request does."""
        key = self.database + "-key"
        if not os.path.exists(key):
            self.read("page=editsname")
        with open(key) as proof:
            return proof.read()

    def journal_holds_a_commit(self):
        """A journal is left beside the database between commits, its header zeroed."""
        if not os.path.exists(self.journal):
            return False
        with open(self.journal, "rb") as journal:
            return any(journal.read(512))

    def read(self, query):
        result = self.run_program(get(query))
        self.assertEqual(result.returncode, 0, result.stderr)
        page = result.stdout.decode("utf-8", "replace")
        self.assertNotIn(UNAVAILABLE, page)
        self.assertNotIn("Status: 500", page)
        return page

    def test_every_kill_point_of_every_changing_request(self):
        for name, setup, request, read_query, shown in CASES:
            with self.subTest(request=name):
                self.sweep(setup, request, read_query, shown, self.kill_everywhere)

    def test_every_failing_call_of_every_changing_request_answers_500(self):
        for name, setup, request, read_query, shown in CASES:
            with self.subTest(request=name):
                self.sweep(setup, request, read_query, shown, self.fail_everywhere)

    def sweep(self, setup, request, read_query, shown, inject):
        for path in (self.database, self.journal):
            if os.path.exists(path):
                os.remove(path)
        self.read("page=admin")  # creates the database
        for step in setup:
            self.assertEqual(self.run_program(step).returncode, 0)
        base = self.database + ".base"
        shutil.copy(self.database, base)
        before = shown(self.read(read_query))
        shutil.copy(base, self.database)
        self.assertEqual(self.run_program(request).returncode, 0)
        after = shown(self.read(read_query))
        self.assertNotEqual(before, after, "the request changes nothing the page shows")
        self.assertGreaterEqual(inject(base, request, read_query, shown, before, after), 4)

    def kill_everywhere(self, base, request, read_query, shown, before, after):
        kills = 0
        for call in CALLS:
            for n in range(1, 1000):
                shutil.copy(base, self.database)
                strace = ["strace", "-f", "-o", "/dev/null", "-e", "trace=" + call,
                          "-e", "inject=%s:signal=KILL:when=%d" % (call, n)]
                if self.run_program(request, strace).returncode != -9:
                    break  # the request made fewer such calls
                kills += 1
                where = "killed at %s #%d" % (call, n)
                now = shown(self.read(read_query))
                self.assertIn(now, (before, after), where)
                self.assertFalse(self.journal_holds_a_commit(), where)
                self.assertEqual(check(self.database), [], where)
        return kills

    def fail_everywhere(self, base, request, read_query, shown, before, after):
        failures = 0
        trace = os.path.join(self.folder, "trace")
        for call, error in (("pwrite64", "ENOSPC"), ("pwrite64", "EIO"), ("fdatasync", "EIO"), ("fsync", "EIO"),
                            ("ftruncate", "EIO"), ("unlink", "EIO")):
            for n in range(1, 1000):
                shutil.copy(base, self.database)
                strace = ["strace", "-f", "-o", trace, "-e", "trace=" + call,
                          "-e", "inject=%s:error=%s:when=%d" % (call, error, n)]
                answer = self.run_program(request, strace).stdout.decode("utf-8", "replace")
                with open(trace) as lines:
                    if "INJECTED" not in lines.read():
                        break
                failures += 1
                where = "%s #%d failing with %s" % (call, n, error)
                self.assertTrue(answer.startswith("Status: 500 "), where + " gave: " + answer[:300])
                self.assertEqual(shown(self.read(read_query)), before, where + ": a 500 left the change")
                self.assertFalse(self.journal_holds_a_commit(), where)
                self.assertEqual(check(self.database), [], where)
        return failures


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
