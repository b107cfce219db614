"""End-to-end test of skins and images of the CGI program `counter` behind lighttpd.

Logos and previews are decoded with Pillow, skin files are built here from the skin file layout
and posted with curl, and headless Chromium (driven over its DevTools pipe) loads the previews
and sends a real file through the upload form. Every wait is bounded; lighttpd is stopped.
Usage: e2e_skins.py COUNTER_BINARY REPO_ROOT [TestClass ...]
"""
import fcntl
import io
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from PIL import Image

from skin_files import skin_file
from e2e_support import TIMEOUT, Chromium, ServerTestCase, fetch

COUNTER, REPO = sys.argv[1:3]
SUCCESS = "Skin added succesfully! Back to Skin editor"
ERROR = "Error during adding skin! Back to Skin editor and try again"


def post_file(url, path, name="file1"):
    """The page answered to a curl upload of Path as the form field Name."""
    result = subprocess.run(["curl", "-sS", "--max-time", str(TIMEOUT), "-F", "%s=@%s" % (name, path), url],
                            capture_output=True, timeout=TIMEOUT + 5)
    return result.stdout.decode("utf-8", "replace")


def decode(data):
    picture = Image.open(io.BytesIO(data))
    picture.load()
    return picture


class ServerTest(ServerTestCase):
    program, repo, runtime_prefix = COUNTER, REPO, "kestrow-skins-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.files = tempfile.mkdtemp(prefix="kestrow-skinfiles-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.files, ignore_errors=True)
        super().tearDownClass()

    def file(self, name, data):
        path = os.path.join(self.files, name)
        with open(path, "wb") as out:
            out.write(data)
        return path

    def image(self, query, content_type):
        status, headers, body = fetch(self.server.base + "?" + query)
        self.assertEqual(status, 200, body[:300])
        self.assertEqual(headers["Content-Type"], content_type, query)
        self.assertEqual(int(headers["Content-Length"]), len(body))
        self.assertEqual(body[:6], b"GIF87a")
        return decode(body)

    def page(self, query):
        status, headers, body = fetch(self.server.base + "?" + self.server.change(query))
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "text/html")
        return body.decode("utf-8", "replace")


class SkinsBehindLighttpd(ServerTest):
    def test_1_default_preview_on_a_new_database(self):
        self.assertFalse(os.path.exists(self.server.database))
        picture = self.image("skin=0", "image/GIF")
        self.assertEqual(picture.format, "GIF")
        self.assertEqual(picture.size, (81, 63))
        self.assertTrue(os.path.exists(self.server.database))

    def test_2_logos(self):
        sizes = [(207, 64), (88, 31), (88, 31), (88, 31), (88, 31)]
        for index, size in enumerate(sizes):
            picture = self.image("logos=1&img=%d" % index, "image/gif")
            self.assertEqual(picture.size, size, index)
            status, headers, body = fetch(self.server.base + "/Images?img=%d" % index)
            self.assertEqual(headers["Content-Type"], "image/gif")
            self.assertEqual(decode(body).size, size, "/Images %d" % index)
        colours = self.image("logos=1&img=4", "image/gif").convert("RGB").getcolors(256)
        self.assertLessEqual(len(colours), 47)
        first = fetch(self.server.base + "?logos=1&img=0")[2]
        for img in ("5", "abc"):
            self.assertEqual(fetch(self.server.base + "?logos=1&img=" + img)[2], first, img)
        status, _, body = fetch(self.server.base + "?logos=1&img=-1")
        self.assertEqual(status, 500)
        self.assertIn(b"List index out of bounds (-1)", body)

    def test_3_upload_list_preview_delete(self):
        path = self.file("good.skn", skin_file())
        self.assertIn(SUCCESS, post_file(self.server.base + "?proof=" + self.server.proof(), path))
        editor = self.page("page=editskins")
        self.assertIn('<input type=radio name="val" value="1">Skin # 1<img src="/cgi-bin/counter?skin=1"><br>', editor)
        self.assertIn("/cgi-bin/counter?skin=1", self.page("page=browse&col=20"))
        self.assertEqual(self.image("skin=1", "image/GIF").size, (90, 30))
        appended = self.file("below.skn", skin_file(overlay=0))
        self.assertIn(SUCCESS, post_file(self.server.base + "?proof=" + self.server.proof(), appended))
        self.assertEqual(self.image("skin=2", "image/GIF").size, (90, 44))
        after = self.page("page=editskins&ed=delpg&val=1")
        self.assertNotIn("Skin # 1<img", after)
        self.assertIn("Skin # 2<img", after)
        self.assertEqual(self.image("skin=1", "image/GIF").size, (81, 63), "a deleted skin previews skin 0")

    def test_4_uploads_that_fail_quickly(self):
        good = skin_file()
        cases = [("file2", self.file("named.skn", good)),
                 ("file1", self.file("empty.skn", b"")),
                 ("file1", self.file("truncated.skn", good[:-900])),
                 ("file1", self.file("huge.skn", good + bytes(17 * 1024 * 1024)))]
        before = self.page("page=editskins").count("Skin # ")
        for name, path in cases:
            started = time.monotonic()
            answer = post_file(self.server.base + "?proof=" + self.server.proof(), path, name)
            self.assertIn(ERROR, answer, path)
            self.assertLess(time.monotonic() - started, 10, path)
        self.assertEqual(self.page("page=editskins").count("Skin # "), before)


class SkinsInChromium(ServerTest):
    def test_1_every_preview_on_browse_loads(self):
        for overlay in (0, 1, 1):
            self.assertIn(SUCCESS, post_file(self.server.base + "?proof=" + self.server.proof(), self.file("s.skn", skin_file(overlay=overlay))))
        with Chromium() as browser:
            browser.open(self.server.base + "?page=browse&col=20")
            script = ("Array.from(document.images).filter(i => i.src.includes('?skin='))"
                      ".map(i => [i.complete, i.naturalWidth, i.src])")
            deadline = time.monotonic() + 60
            while True:
                images = browser.evaluate(script)
                if images and all(done for done, _, _ in images) or time.monotonic() > deadline:
                    break
                time.sleep(0.2)
            self.assertGreaterEqual(len(images), 4, images)
            for done, width, src in images:
                self.assertTrue(done, src)
                self.assertGreater(width, 0, src)

    def test_2_upload_form_sends_a_real_file(self):
        before = self.page("page=editskins").count("Skin # ")
        path = self.file("chromium.skn", skin_file(name="Chromium"))
        with Chromium() as browser:
            browser.open(self.server.base + "?page=editskins&ed=addpg")
            root = browser.call("DOM.getDocument", {})["root"]["nodeId"]
            node = browser.call("DOM.querySelector", {"nodeId": root, "selector": "input[name=file1]"})["nodeId"]
            browser.call("DOM.setFileInputFiles", {"nodeId": node, "files": [path]})
            self.assertEqual(browser.evaluate("document.forms[0].file1.files.length"), 1)
            browser.evaluate("ButtonClick(); true")
            deadline = time.monotonic() + TIMEOUT
            text = ""
            while SUCCESS not in text and time.monotonic() < deadline:
                time.sleep(0.2)
                try:
                    text = browser.evaluate("document.body ? document.body.innerText : ''") or ""
                except RuntimeError:
                    pass  # the page is being replaced
            self.assertIn(SUCCESS, text)
        self.assertEqual(self.page("page=editskins").count("Skin # "), before + 1)


class SkinPreviewWhileBusy(ServerTest):
    def test_no_image_after_the_retries(self):
        self.page("page=admin")
        with open(self.server.database, "rb+") as held:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            started = time.monotonic()
            status, headers, body = fetch(self.server.base + "?skin=0", timeout=20)
            elapsed = time.monotonic() - started
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "image/GIF")
        self.assertGreater(elapsed, 10, "eleven tries a second apart")
        self.assertLess(elapsed, 15)
        picture = decode(body).convert("RGB")
        self.assertEqual(picture.size, (50, 20))
        colours = {colour for _, colour in picture.getcolors(256)}
        self.assertIn((255, 255, 0), colours)
        self.assertIn((0, 0, 0), colours)
        self.assertEqual(self.image("skin=0", "image/GIF").size, (81, 63), "free again")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[3:])
