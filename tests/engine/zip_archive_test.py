#!/usr/bin/env python3
"""Download all: the real engine streams the published files as one ZIP that
Python's zipfile lists and extracts byte for byte, one file past 4 GiB
(sparse on the disk) included; a range in the middle answers the bytes of the
whole archive at that place, and the archive needs the download page's proof.

    zip_archive_test.py <engine program>
"""

import http.client
import os
import random
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

ENGINE = os.path.abspath(sys.argv.pop(1) if len(sys.argv) > 1 else os.environ.get("TESSARY_ENGINE", ""))
KEY = "zipkey"
BIG = 4 * 1024**3 + 3 * 1024**2 + 5  # past 4 GiB: ZIP64
BLOCK = 1 << 20


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class ArchiveTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="tessary-zip-")
        root = cls.work.name
        cls.dfiles = os.path.join(root, "wdoc", "d", "dfiles")
        os.makedirs(cls.dfiles)
        os.makedirs(os.path.join(root, "wdoc", "u", "ufiles"))
        with open(os.path.join(root, "wdoc", "d", KEY + ".html"), "w") as page:
            page.write("<!DOCTYPE html><title>download</title>")
        rng = random.Random(25)
        odd = ["Über café ☕.txt", "a & b #1.jpg", "back\\slash.txt", " leading blank.txt",
               ".dotfile", "tab\there.txt", "%41 percent.bin", "日本語の名前.pdf", "quote\"s.txt",
               "emoji 👍🏽.png", "semi;colon.txt", "name with many   blanks.doc"]
        with open(os.path.join(cls.dfiles, "index.html"), "w") as page:
            page.write("the folder's default page, not a published file")
        cls.expected = {}
        for i in range(50):
            name = odd[i] if i < len(odd) else f"IMG_{i:04d}.JPG"
            data = rng.randbytes(rng.choice([0, 1, 777, 65536, 300000]))
            with open(os.path.join(cls.dfiles, name), "wb") as f:
                f.write(data)
            cls.expected[name.replace("\\", "_")] = os.path.join(cls.dfiles, name)
        big = os.path.join(cls.dfiles, "disk image.img")
        with open(big, "wb") as f:
            f.truncate(BIG)
            for at in (0, 2**32 - 3, BIG - 9):  # bytes around the 4 GiB line and the end
                f.seek(at)
                f.write(b"TESSARY!!")
        cls.expected["disk image.img"] = big
        cls.port = free_port()
        cls.engine = subprocess.Popen(
            [ENGINE, KEY, "./wdoc", "--port", str(cls.port), "--bind", "127.0.0.1"], cwd=root)
        for _ in range(200):
            try:
                if cls.get("/d/" + KEY + ".html")[0] == 200:
                    break
            except OSError:
                time.sleep(0.05)
        cls.cookie = cls.get("/d/" + KEY + ".html")[1].get("set-cookie", "").split(";")[0]

    @classmethod
    def tearDownClass(cls):
        cls.engine.terminate()
        cls.engine.wait(10)
        cls.work.cleanup()

    @classmethod
    def get(cls, path, headers=None, sink=None):
        conn = http.client.HTTPConnection("127.0.0.1", cls.port, timeout=60)
        conn.request("GET", path, headers=headers or {})
        reply = conn.getresponse()
        heads = {k.lower(): v for k, v in reply.getheaders()}
        body = b""
        if sink is None:
            body = reply.read()
        else:
            while chunk := reply.read(BLOCK):
                sink(chunk)
        conn.close()
        return reply.status, heads, body

    def test_whole_archive_lists_and_extracts_byte_for_byte(self):
        path = os.path.join(self.work.name, "all.zip")
        received = 0
        with open(path, "wb") as out:
            def sink(chunk):
                nonlocal received
                received += len(chunk)
                # Blocks of zeros are skipped, so the copy is sparse like the original.
                if chunk.count(0) == len(chunk):
                    out.seek(len(chunk), os.SEEK_CUR)
                else:
                    out.write(chunk)
            status, heads, _ = self.get("/d/all.zip", {"Cookie": self.cookie}, sink)
            out.truncate(received)
        self.assertEqual(status, 200)
        self.assertEqual(int(heads["content-length"]), received)
        self.assertEqual(heads["content-type"], "application/zip")
        self.assertRegex(heads["content-disposition"],
                         r'^attachment; filename="Files from the PC \d{4}-\d\d-\d\d\.zip"$')
        with zipfile.ZipFile(path) as archive:
            self.assertIsNone(archive.testzip())  # every CRC checks
            infos = archive.infolist()
            self.assertEqual(sorted(i.filename for i in infos), sorted(self.expected))
            for info in infos:
                source = self.expected[info.filename]
                self.assertEqual(info.file_size, os.path.getsize(source), info.filename)
                self.assertEqual(info.compress_type, zipfile.ZIP_STORED)
                mtime = time.localtime(os.path.getmtime(source))
                self.assertEqual(info.date_time[:5], mtime[:5], info.filename)
                with archive.open(info) as got, open(source, "rb") as want:
                    while block := want.read(BLOCK):
                        self.assertEqual(got.read(len(block)), block, info.filename)
                    self.assertEqual(got.read(1), b"", info.filename)

        # Ranges, one across the 4 GiB line, answer the bytes of the whole.
        tag = heads["etag"]
        with open(path, "rb") as whole:
            for first, last in ((1234567, 2345678), (2**32 - 100, 2**32 + 100), (received - 4000, received - 1)):
                status, got, body = self.get(
                    "/d/all.zip", {"Cookie": self.cookie, "Range": f"bytes={first}-{last}", "If-Range": tag})
                self.assertEqual(status, 206)
                self.assertEqual(got["content-range"], f"bytes {first}-{last}/{received}")
                whole.seek(first)
                self.assertEqual(body, whole.read(last - first + 1), f"bytes {first}-{last}")
        # A validator of another version of the archive gets the whole.
        status, _, _ = self.get("/d/all.zip", {"Cookie": self.cookie, "Range": "bytes=0-9",
                                               "If-Range": '"z0"'}, sink=lambda c: None)
        self.assertEqual(status, 200)

    def test_needs_the_download_pages_proof(self):
        self.assertEqual(self.get("/d/all.zip")[0], 404)
        self.assertEqual(self.get("/d/all.zip", {"Cookie": "tessary_proof=guess"})[0], 404)


if __name__ == "__main__":
    unittest.main(verbosity=2)
