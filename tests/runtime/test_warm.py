#!/usr/bin/python3
"""The warm converter: conversions handed over by the launcher equal cold ones, and anything
that goes wrong with it leaves the launcher converting cold.

Usage: test_warm.py ARCHIVE

The archive is unpacked twice with Info-ZIP unzip: one copy runs its warm converter, the other
never does (cold). Warm and cold conversions of the tests' books must give the same text and
metadata (as libmobi's mobitool reads them), the same exit codes and the same log; paths with
new lines, non-ASCII letters and bytes that are no UTF-8 pass through the hand-over; a stale
socket, a stopped or killed warm converter all end in cold conversions that succeed; killing a
launcher ends its conversion; a conversion killed by a signal shows it as a cold one would; the
warm converter leaves no process and no socket behind when it is stopped.
"""

import concurrent.futures
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ARCHIVE = None
sys.path.insert(0, HERE)
import make_books  # noqa: E402
from test_conversions import mobi_text  # noqa: E402

GOOD_BOOKS = [n for n in make_books.TEST_BOOKS if n != "broken"]


def metadata(mobi):
    """mobitool's metadata listing without what differs at every conversion (the time of the
    conversion and the random identifier calibre gives each book)."""
    out = subprocess.run(["mobitool", mobi], capture_output=True, text=True).stdout
    keep = [line for line in out.splitlines()
            if not line.startswith(("Publishing date:", "ASIN:"))]
    return "\n".join(keep), out


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def wait_until(what, seconds=60.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if what():
            return True
        time.sleep(0.05)
    return False


class WarmConverter:
    """One warm converter of a runtime folder, its log in a file."""

    def __init__(self, runtime, log, env):
        self.runtime = runtime
        self.socket = os.path.join(runtime, "warm.sock")
        self.log_path = log
        with open(log, "ab") as f:
            self.process = subprocess.Popen([os.path.join(runtime, "warm-converter")],
                                            stdin=subprocess.DEVNULL, stdout=f, stderr=f,
                                            env=env, start_new_session=True)
        if not wait_until(lambda: "ready" in self.log() or self.process.poll() is not None, 180):
            raise AssertionError("the warm converter did not get ready:\n" + self.log())
        if self.process.poll() is not None:
            raise AssertionError("the warm converter ended:\n" + self.log())

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def conversions(self):
        return re.findall(r"converting in (\d+)", self.log())

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        return self.process.wait(30)

    def descendants(self):
        """Processes of the warm converter's session still there (it leads its session)."""
        found = []
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat") as f:
                        fields = f.read().rsplit(")", 1)[1].split()
                except OSError:
                    continue
                if int(fields[3]) == self.process.pid and fields[0] != "Z":
                    found.append(int(entry))
        return found


class Warm(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmpdir = tempfile.TemporaryDirectory(prefix="bq warm test ")
        tmp = cls.tmpdir.name
        cls.runtimes = {}
        for who in ("warm", "cold"):
            folder = os.path.join(tmp, f"{who} runtime", "calibre")
            os.makedirs(folder)
            subprocess.run(["unzip", "-q", ARCHIVE, "-d", folder], check=True)
            cls.runtimes[who] = folder
        cls.books_dir = os.path.join(tmp, "books with spaces")
        subprocess.run([sys.executable, os.path.join(HERE, "make_books.py"), cls.books_dir]
                       + make_books.TEST_BOOKS, check=True, stdout=subprocess.DEVNULL)
        cls.books = {n: os.path.join(cls.books_dir, make_books.BOOKS[n][0])
                     for n in make_books.TEST_BOOKS}
        cls.truncated = os.path.join(cls.books_dir, "truncated.epub")
        with open(cls.books["epub3-pictures"], "rb") as f:
            data = f.read()
        with open(cls.truncated, "wb") as f:
            f.write(data[:len(data) // 2])
        cls.elsewhere = os.path.join(tmp, "elsewhere")
        os.makedirs(cls.elsewhere)
        cls.env = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8",
                       HOME=os.path.join(tmp, "home"))
        cls.server = WarmConverter(cls.runtimes["warm"], os.path.join(tmp, "warm.log"), cls.env)
        jobs = [(n, who) for n in make_books.TEST_BOOKS + ["truncated"]
                for who in ("warm", "cold")]
        jobs.sort(key=lambda j: j[0] != "many-chapters")
        cls.results = {}
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            for job, result in zip(jobs, pool.map(lambda j: cls.convert_book(*j), jobs)):
                cls.results[job] = result

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.tmpdir.cleanup()

    @classmethod
    def convert(cls, who, source, output, env=None, **kw):
        exe = os.path.join(cls.runtimes[who], "ebook-convert")
        return subprocess.run([exe, source, output], cwd=cls.elsewhere, env=env or cls.env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, **kw)

    @classmethod
    def convert_book(cls, name, who):
        out_dir = os.path.join(cls.tmpdir.name, f"out {who}")
        os.makedirs(out_dir, exist_ok=True)
        mobi = os.path.join(out_dir, name + ".mobi")
        source = cls.truncated if name == "truncated" else cls.books[name]
        r = cls.convert(who, source, mobi)
        return r.returncode, r.stdout.decode("utf-8", "replace"), mobi

    def normalised(self, log, who):
        """A log's lines in order of their text (calibre walks some sets, whose order changes
        from run to run, cold or warm) and its last line."""
        log = log.replace(os.path.join(self.tmpdir.name, f"out {who}"), "OUT")
        log = log.replace(self.runtimes[who], "RUNTIME")
        lines = re.sub(r"\d+(\.\d+)? seconds", "N seconds", log).splitlines()
        return sorted(lines), [x for x in lines if x.strip()][-1:]

    def test_same_books_warm_and_cold(self):
        self.assertGreaterEqual(len(self.server.conversions()), len(GOOD_BOOKS))
        for name in GOOD_BOOKS:
            with self.subTest(book=name):
                rc, log, mobi = self.results[(name, "warm")]
                rc_c, log_c, mobi_c = self.results[(name, "cold")]
                self.assertEqual(rc, 0, f"warm {name}:\n{log[-3000:]}")
                self.assertEqual(rc_c, 0, f"cold {name}:\n{log_c[-3000:]}")
                work = os.path.join(self.tmpdir.name, "dumps", name)
                read_rc, text, resources, read_log = mobi_text(mobi, os.path.join(work, "w"))
                self.assertEqual(read_rc, 0, f"mobitool cannot read the warm {name}: {read_log}")
                _, text_c, resources_c, _ = mobi_text(mobi_c, os.path.join(work, "c"))
                self.assertGreater(len(text), 100)
                self.assertEqual(text, text_c, f"{name}: another text warm than cold")
                self.assertEqual(resources, resources_c, f"{name}: other resources")
                self.assertEqual(metadata(mobi)[0], metadata(mobi_c)[0], name)
                self.assertEqual(self.normalised(log, "warm"), self.normalised(log_c, "cold"),
                                 f"{name}: another log warm than cold")

    def test_each_warm_book_gets_its_own_identifier(self):
        ids = {re.search(r"ASIN: (\S+)", metadata(self.results[(n, "warm")][2])[1]).group(1)
               for n in GOOD_BOOKS}
        self.assertEqual(len(ids), len(GOOD_BOOKS), "forked children share their random state")

    def test_broken_books_fail_alike(self):
        for name in ("broken", "truncated"):
            with self.subTest(book=name):
                rc, log, mobi = self.results[(name, "warm")]
                rc_c, log_c, _ = self.results[(name, "cold")]
                self.assertNotEqual(rc, 0)
                self.assertEqual(rc, rc_c)
                self.assertEqual(self.normalised(log, "warm"), self.normalised(log_c, "cold"))
                self.assertFalse(os.path.exists(mobi))
        last = [x for x in self.results[("broken", "warm")][1].splitlines() if x.strip()][-1]
        self.assertIn("is not a valid EPUB file (could not find opf)", last)

    def test_strange_paths_through_the_hand_over(self):
        folder = os.path.join(self.tmpdir.name, "new\nline \u00e9t\u00e9 \u5bfa\u5c71")
        os.makedirs(folder, exist_ok=True)
        fs_folder = os.fsencode(folder)
        for i, name in enumerate((b"line\nbreak \xc3\xa9.epub", b"not utf-8 \xff\xfe.epub")):
            with self.subTest(name=name):
                source = os.path.join(fs_folder, name)
                shutil.copyfile(self.books["plain-epub2"], source)
                before = len(self.server.conversions())
                results = {}
                for who in ("warm", "cold"):
                    out = os.path.join(fs_folder, f"{who} {i}\n\u00e9.mobi".encode())
                    r = self.convert(who, source, out)
                    log = r.stdout.replace(out, b"OUT").replace(
                        os.fsencode(self.runtimes[who]), b"RUNTIME")
                    lines = re.sub(rb"\d+(\.\d+)? seconds", b"N seconds", log).splitlines()
                    results[who] = (r.returncode, sorted(lines), lines[-1:], os.path.exists(out))
                self.assertEqual(len(self.server.conversions()), before + 1)
                self.assertEqual(results["warm"], results["cold"])
                self.assertEqual(results["warm"][0], 0, results["warm"][2])
                self.assertTrue(results["warm"][3])

    def test_other_locale_is_converted_cold_in_its_language(self):
        env = dict(self.env, LANG="de_DE.UTF-8", LC_ALL="de_DE.UTF-8")
        out = os.path.join(self.tmpdir.name, "german.mobi")
        before = len(self.server.conversions())
        r = self.convert("warm", self.books["plain-epub2"], out, env=env)
        self.assertEqual(r.returncode, 0)
        self.assertIn(b"Ausgabe gespeichert in", r.stdout)
        self.assertEqual(len(self.server.conversions()), before)
        self.assertRegex(self.server.log(), r"declined \((LANG|LC_ALL) differs\)")

    def test_killing_the_launcher_ends_its_conversion(self):
        exe = os.path.join(self.runtimes["warm"], "ebook-convert")
        for signum in (signal.SIGKILL, signal.SIGTERM):
            with self.subTest(signal=signum):
                before = len(self.server.conversions())
                launcher = subprocess.Popen(
                    [exe, self.books["many-chapters"], os.path.join(self.tmpdir.name, "k.mobi")],
                    cwd=self.elsewhere, env=self.env, stdin=subprocess.DEVNULL,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.assertTrue(wait_until(lambda: len(self.server.conversions()) > before))
                child = int(self.server.conversions()[before])
                self.assertTrue(alive(child))
                launcher.send_signal(signum)
                self.assertEqual(launcher.wait(30), -signum, "not ended as a cold one would")
                self.assertTrue(wait_until(lambda: not alive(child), 10),
                                "the conversion outlived its launcher")
        self.assertIsNone(self.server.process.poll())

    def test_a_conversion_killed_shows_its_signal_and_others_go_on(self):
        exe = os.path.join(self.runtimes["warm"], "ebook-convert")
        before = len(self.server.conversions())
        log = os.path.join(self.tmpdir.name, "killed.log")
        with open(log, "wb") as f:
            launcher = subprocess.Popen(
                [exe, self.books["many-chapters"], os.path.join(self.tmpdir.name, "s.mobi")],
                cwd=self.elsewhere, env=self.env, stdin=subprocess.DEVNULL, stdout=f,
                stderr=subprocess.STDOUT)
        self.assertTrue(wait_until(lambda: len(self.server.conversions()) > before))
        child = int(self.server.conversions()[before])
        # Converting: calibre has begun to write its log (a child killed before it became the
        # launcher leaves the book to a cold launcher instead).
        self.assertTrue(wait_until(lambda: os.path.getsize(log) > 0, 120))
        os.kill(child, signal.SIGSTOP)  # a hanging conversion ...
        out = os.path.join(self.tmpdir.name, "beside a hanging one.mobi")
        r = self.convert("warm", self.books["plain-epub2"], out)  # ... holds up no other
        self.assertEqual(r.returncode, 0)
        self.assertEqual(len(self.server.conversions()), before + 2)
        os.kill(child, signal.SIGKILL)  # a crash
        self.assertEqual(launcher.wait(30), -signal.SIGKILL)
        self.assertIsNone(self.server.process.poll(), "a crashed conversion ended the warm one")

    def test_fallbacks_to_cold(self):
        tmp = self.tmpdir.name
        folder = os.path.join(tmp, "fallback runtime", "calibre")
        os.makedirs(folder)
        subprocess.run(["unzip", "-q", ARCHIVE, "-d", folder], check=True)
        exe = os.path.join(folder, "ebook-convert")
        book = self.books["plain-epub2"]

        def convert(out_name, **kw):
            out = os.path.join(tmp, out_name)
            r = subprocess.run([exe, book, out], env=self.env, stdin=subprocess.DEVNULL,
                               capture_output=True, **kw)
            self.assertEqual(r.returncode, 0, r.stderr[-2000:])
            self.assertEqual(mobi_text(out, os.path.join(tmp, "dumps", out_name))[0], 0)
            return r

        # A stale socket: left by a warm converter that was killed.
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(os.path.join(folder, "warm.sock"))
        stale.close()
        convert("stale.mobi")

        server = WarmConverter(folder, os.path.join(tmp, "fallback.log"), self.env)
        self.assertEqual(len(server.conversions()), 0)  # it replaced the stale socket
        convert("warm.mobi")
        self.assertEqual(len(server.conversions()), 1)
        # A second warm converter for the same folder refuses and leaves the first alone.
        second = subprocess.run([os.path.join(folder, "warm-converter")], env=self.env,
                                capture_output=True, text=True, timeout=180)
        self.assertNotEqual(second.returncode, 0)
        self.assertIn("another warm converter", second.stderr)
        convert("still warm.mobi")
        self.assertEqual(len(server.conversions()), 2)

        # Stopped: it does not answer at once.
        os.killpg(server.process.pid, signal.SIGSTOP)
        started = time.monotonic()
        convert("stopped.mobi", timeout=120)
        self.assertLess(time.monotonic() - started, 60)
        os.killpg(server.process.pid, signal.SIGCONT)
        self.assertEqual(len(server.conversions()), 2, "a declined launcher was converted")

        # Killed in the middle of a conversion: the launcher converts again, cold.
        out = os.path.join(tmp, "interrupted.mobi")
        launcher = subprocess.Popen([exe, self.books["many-chapters"], out], env=self.env,
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
        self.assertTrue(wait_until(lambda: len(server.conversions()) == 3))
        child = int(server.conversions()[2])
        server.process.kill()
        server.process.wait()
        self.assertTrue(wait_until(lambda: not alive(child), 10), server.log())
        log, _ = launcher.communicate(timeout=600)
        self.assertEqual(launcher.returncode, 0, log[-2000:])
        self.assertEqual(mobi_text(out, os.path.join(tmp, "dumps", "interrupted"))[0], 0)
        # Gone: its socket is stale now, and the next conversions are cold.
        self.assertTrue(os.path.exists(server.socket))
        convert("after.mobi")
        self.assertEqual(server.descendants(), [])

    def test_nothing_left_after_stopping(self):
        tmp = self.tmpdir.name
        folder = os.path.join(tmp, "stopped runtime", "calibre")
        os.makedirs(folder)
        subprocess.run(["unzip", "-q", ARCHIVE, "-d", folder], check=True)
        server = WarmConverter(folder, os.path.join(tmp, "stopping.log"), self.env)
        st = os.stat(server.socket)
        self.assertEqual(st.st_mode & 0o777, 0o600)
        launcher = subprocess.Popen(
            [os.path.join(folder, "ebook-convert"), self.books["many-chapters"],
             os.path.join(tmp, "during stop.mobi")], env=self.env, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.assertTrue(wait_until(lambda: len(server.conversions()) == 1))
        self.assertEqual(server.stop(), 0)
        self.assertTrue(wait_until(lambda: server.descendants() == [], 10), server.descendants())
        self.assertFalse(os.path.exists(server.socket))
        launcher.kill()
        launcher.wait()
        # Removing its folder ends it too.
        again = WarmConverter(folder, os.path.join(tmp, "removed.log"), self.env)
        shutil.rmtree(os.path.dirname(folder))
        self.assertEqual(again.process.wait(30), 0)
        self.assertEqual(again.descendants(), [])


if __name__ == "__main__":
    ARCHIVE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
