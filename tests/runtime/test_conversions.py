#!/usr/bin/python3
"""The unpacked converter runtime converts what the installed calibre converts, with the same text.

Usage: test_conversions.py ARCHIVE [INSTALLED_EBOOK_CONVERT]

The archive is unpacked with Info-ZIP unzip into a temporary folder whose path holds spaces.
Every book of make_books.py is converted to MOBI by the unpacked runtime and by the installed
ebook-convert (two at a time); libmobi's mobitool, a reader that is not calibre, must read each
runtime MOBI whole, and the text it recovers must be the text of the installed converter's
MOBI, and the two MOBIs must read the same under tests/support/mobi_compare.py (text with
pictures by digest, pictures, metadata, table of contents). A broken book must fail with calibre's own reason on the last line and a non-zero exit.
The runtime runs from other current folders, with a python3 on PATH that must not be used and
with PYTHON* variables that would break a non-isolated interpreter.
"""

import concurrent.futures
import glob
import html
import os
import re
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ARCHIVE = None
INSTALLED = "/usr/bin/ebook-convert"
sys.path.insert(0, HERE)
import make_books  # noqa: E402
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import mobi_compare  # noqa: E402

# A phrase of each book's source that its MOBI must hold.
PHRASES = {
    "plain-epub2": ["It is a truth universally acknowledged", "Netherfield Park"],
    "epub3-pictures": ["Down the Rabbit-Hole", "Call me Ishmael", "Queequeg"],
    "fonts": ["It was the best of times", "a single man in possession"],
    "mathml": ["Euler wrote", "The roots of a quadratic equation"],
    "rtl-vertical": ["\u543e\u8f29\u306f\u732b\u3067\u3042\u308b", "\u062d\u0643\u064a",
                     "\u05d1\u05e8\u05d0\u05e9\u05d9\u05ea"],
    "non-ascii": ["Premier chapitre", "\u7b2c\u4e8c\u7ae0"],
    "many-chapters": ["Chapter 1999", "Chapter 2000"],
}


def mobi_text(mobi, workdir):
    """mobitool's reading of a MOBI: (exit code, text of its markup, number of resources)."""
    out = os.path.join(workdir, os.path.basename(mobi) + ".dump")
    os.makedirs(out, exist_ok=True)
    r = subprocess.run(["mobitool", "-s", "-o", out, mobi], capture_output=True, text=True)
    parts = sorted(glob.glob(os.path.join(out, "*_markup", "part*.html")))
    text = ""
    for p in parts:
        with open(p, encoding="utf-8", errors="replace") as f:
            raw = f.read()
        raw = re.sub(r"(?s)<head.*?</head>", " ", raw)
        text += html.unescape(re.sub(r"<[^>]+>", " ", raw)) + "\n"
    resources = glob.glob(os.path.join(out, "*_markup", "resource*"))
    return r.returncode, " ".join(text.split()), len(resources), r.stdout + r.stderr


class RuntimeConversions(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmpdir = tempfile.TemporaryDirectory(prefix="bq runtime test ")
        tmp = cls.tmpdir.name
        cls.runtime = os.path.join(tmp, "unpacked runtime", "calibre")
        os.makedirs(cls.runtime)
        subprocess.run(["unzip", "-q", ARCHIVE, "-d", cls.runtime], check=True)
        cls.converter = os.path.join(cls.runtime, "ebook-convert")
        cls.books_dir = os.path.join(tmp, "books with spaces")
        cls.books = {}
        for name in make_books.TEST_BOOKS:
            file_name, _ = make_books.BOOKS[name]
            cls.books[name] = os.path.join(cls.books_dir, file_name)
        subprocess.run([sys.executable, os.path.join(HERE, "make_books.py"), cls.books_dir]
                       + make_books.TEST_BOOKS, check=True, stdout=subprocess.DEVNULL)
        # A python3 that must never run, first on PATH, and variables that would send a
        # non-isolated interpreter astray.
        trap = os.path.join(tmp, "trap")
        os.makedirs(trap)
        with open(os.path.join(trap, "python3"), "w") as f:
            f.write("#!/bin/sh\necho 'the python3 on PATH was used' >&2\nexit 97\n")
        os.chmod(os.path.join(trap, "python3"), 0o755)
        cls.elsewhere = os.path.join(tmp, "elsewhere")
        os.makedirs(cls.elsewhere)
        xdg = os.path.join(tmp, "xdg")
        os.makedirs(xdg, mode=0o700)
        base = dict(os.environ, LANG="C.UTF-8", LC_ALL="C.UTF-8", XDG_RUNTIME_DIR=xdg)
        cls.env = {
            "runtime": dict(base, HOME=os.path.join(tmp, "home-runtime"),
                            PATH=trap + os.pathsep + os.environ.get("PATH", "/usr/bin:/bin"),
                            PYTHONHOME="/nonexistent", PYTHONPATH="/nonexistent"),
            "installed": dict(base, HOME=os.path.join(tmp, "home-installed")),
        }
        cls.results = {}
        jobs = [(name, who, "C.UTF-8") for name in cls.books
                for who in ("runtime", "installed")]
        # calibre reads its translations and, for a Japanese user, its transliteration tables
        # only under such a locale.
        jobs += [("non-ascii", who, lang) for lang in ("de_DE.UTF-8", "ja_JP.UTF-8")
                 for who in ("runtime", "installed")]
        # The longest book first, so that the two workers end together.
        jobs.sort(key=lambda j: j[0] != "many-chapters")
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            for (name, who, lang), result in zip(jobs, pool.map(cls.convert, jobs)):
                cls.results[(name, who) if lang == "C.UTF-8" else (name, who, lang)] = result

    @classmethod
    def tearDownClass(cls):
        cls.tmpdir.cleanup()

    @classmethod
    def convert(cls, job):
        name, who, lang = job
        out_dir = os.path.join(cls.tmpdir.name, f"out {who} {lang}")
        os.makedirs(out_dir, exist_ok=True)
        mobi = os.path.join(out_dir, name + ".mobi")
        exe = cls.converter if who == "runtime" else INSTALLED
        env = dict(cls.env[who], LANG=lang, LC_ALL=lang)
        r = subprocess.run([exe, cls.books[name], mobi], cwd=cls.elsewhere, env=env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        return r.returncode, r.stdout, mobi

    def check_book(self, name, lang=()):
        rc, log, mobi = self.results[(name, "runtime") + lang]
        self.assertEqual(rc, 0, f"the runtime failed on {name}:\n{log[-3000:]}")
        rc_i, log_i, mobi_i = self.results[(name, "installed") + lang]
        self.assertEqual(rc_i, 0, f"the installed converter failed on {name}:\n{log_i[-3000:]}")
        work = os.path.join(self.tmpdir.name, "dumps", name, *lang)
        read_rc, text, resources, read_log = mobi_text(mobi, os.path.join(work, "runtime"))
        self.assertEqual(read_rc, 0, f"mobitool could not read the runtime's {name}: {read_log}")
        _, text_i, resources_i, _ = mobi_text(mobi_i, os.path.join(work, "installed"))
        for phrase in PHRASES[name]:
            self.assertIn(phrase, text, f"{name}: the runtime's MOBI lacks '{phrase}'")
        self.assertEqual(text, text_i, f"{name}: the runtime's text differs from calibre's")
        self.assertEqual(resources, resources_i, f"{name}: other pictures or resources")
        self.assertEqual(mobi_compare.differences(mobi_compare.reading(mobi),
                                                  mobi_compare.reading(mobi_i)), [],
                         f"{name}: the runtime's MOBI reads otherwise than calibre's")
        # calibre's closing words, in the user's language (its translations came along).
        last = [x for x in log.replace(mobi, "OUT").splitlines() if x.strip()][-1]
        last_i = [x for x in log_i.replace(mobi_i, "OUT").splitlines() if x.strip()][-1]
        self.assertEqual(last, last_i, f"{name}: calibre's last words differ")
        # The book's name in the MOBI header: the title in ASCII, transliterated by calibre.
        with open(mobi, "rb") as a, open(mobi_i, "rb") as b:
            self.assertEqual(a.read(32), b.read(32), f"{name}: another transliterated title")
        return text, resources

    def test_epub2(self):
        self.check_book("plain-epub2")

    def test_epub3_pictures_svg_tables(self):
        text, resources = self.check_book("epub3-pictures")
        # cover, PNG, GIF, the SVG file drawn as a picture
        self.assertGreaterEqual(resources, 4)
        self.assertIn("Ishmael narrator", text)  # a table row, in order

    def test_embedded_and_obfuscated_fonts(self):
        self.check_book("fonts")

    def test_mathml(self):
        self.check_book("mathml")

    def test_right_to_left_and_vertical(self):
        self.check_book("rtl-vertical")

    def test_non_ascii_names(self):
        _, resources = self.check_book("non-ascii")
        self.assertGreaterEqual(resources, 1)  # the picture with a non-ASCII name was found

    def test_german_and_japanese_locales(self):
        for lang in ("de_DE.UTF-8", "ja_JP.UTF-8"):
            with self.subTest(lang=lang):
                self.check_book("non-ascii", (lang,))
        log = self.results[("non-ascii", "runtime", "de_DE.UTF-8")][1]
        self.assertIn("Ausgabe gespeichert in", log)

    def test_thousands_of_chapters(self):
        text, _ = self.check_book("many-chapters")
        self.assertGreaterEqual(len(re.findall(r"\bChapter \d+\b", text)), 2000)

    def test_broken_book_fails_with_calibres_reason(self):
        rc, log, mobi = self.results[("broken", "runtime")]
        rc_i, log_i, _ = self.results[("broken", "installed")]
        self.assertNotEqual(rc, 0)
        self.assertNotEqual(rc_i, 0)
        last = [line for line in log.splitlines() if line.strip()][-1]
        last_i = [line for line in log_i.splitlines() if line.strip()][-1]
        self.assertEqual(last, last_i)
        self.assertIn("is not a valid EPUB file (could not find opf)", last)
        self.assertFalse(os.path.exists(mobi))

    def test_launcher_is_executable(self):
        st = os.stat(self.converter)
        self.assertTrue(stat.S_ISREG(st.st_mode))
        self.assertTrue(st.st_mode & stat.S_IXUSR and os.access(self.converter, os.X_OK))

    def test_runs_from_any_current_folder(self):
        want = subprocess.run([INSTALLED, "--version"], capture_output=True,
                              text=True).stdout.splitlines()[0]
        parent = os.path.dirname(self.runtime)
        link_dir = os.path.join(self.tmpdir.name, "links")
        os.makedirs(link_dir, exist_ok=True)
        link = os.path.join(link_dir, "ebook-convert")
        if not os.path.lexists(link):
            os.symlink(self.converter, link)
        for cwd, cmd in ((self.runtime, "./ebook-convert"),
                         (parent, "calibre/ebook-convert"),
                         ("/", self.converter),
                         (self.elsewhere, os.path.relpath(self.converter, self.elsewhere)),
                         (self.elsewhere, link)):
            r = subprocess.run([cmd, "--version"], cwd=cwd, env=self.env["runtime"],
                               capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, f"{cmd} from {cwd}: {r.stderr}")
            self.assertEqual(r.stdout.splitlines()[0], want, f"{cmd} from {cwd}")

    def imported(self, name):
        """The modules the runtime's converter imports converting a book (-X importtime)."""
        with open(self.converter, encoding="utf-8") as f:
            interpreter = f.readline()[2:].split()
        mobi = os.path.join(self.tmpdir.name, "imports", name + ".mobi")
        os.makedirs(os.path.dirname(mobi), exist_ok=True)
        r = subprocess.run(interpreter + ["-X", "importtime", self.converter, self.books[name],
                                          mobi], cwd=self.elsewhere, env=self.env["runtime"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
        self.assertEqual(r.returncode, 0, r.stderr[-3000:])
        return {line.rsplit("|", 1)[1].strip() for line in r.stderr.splitlines()
                if line.startswith("import time:") and "|" in line}

    def test_start_up_leaves_out_what_the_book_does_not_use(self):
        # A book without pictures, SVG, jacket or text beyond ASCII: no device driver, no Qt
        # application, no picture library, no HTML soup, no transliteration table.
        plain = self.imported("plain-epub2")
        self.assertIn("calibre.ebooks.conversion.plumber", plain)
        for name in ("calibre.devices.kindle.driver", "calibre.library.catalogs.csv_xml",
                     "zeroconf", "mechanize", "regex", "bs4", "calibre.gui2", "PyQt6.QtWidgets",
                     "PIL.Image", "calibre.utils.img",
                     "calibre.ebooks.unihandecode.unicodepoints"):
            self.assertNotIn(name, plain, f"a plain book's conversion imports {name}")
        # A book with SVG and pictures takes them up when it needs them.
        pictures = self.imported("epub3-pictures")
        for name in ("calibre.gui2", "PyQt6.QtWidgets", "calibre.utils.img", "PIL.Image"):
            self.assertIn(name, pictures, f"the SVG book's conversion does not import {name}")

    def test_picture_converted_after_the_rest_as_calibre_converts_it(self):
        # A masthead named in the guide: the MOBI writer converts that picture once more after
        # the rasterizer, when calibre has its Qt application (and Qt writes the screen's
        # resolution into the picture's header); the carried converter must have it then too,
        # though the book has no SVG.
        import zipfile
        folder = os.path.join(self.tmpdir.name, "masthead")
        os.makedirs(folder, exist_ok=True)
        subprocess.run([sys.executable, os.path.join(HERE, "make_books.py"), folder,
                        "big-pictures"], check=True, stdout=subprocess.DEVNULL)
        source, _ = make_books.BOOKS["big-pictures"]
        book = os.path.join(folder, "masthead.epub")
        with zipfile.ZipFile(os.path.join(folder, source)) as z, \
                zipfile.ZipFile(book, "w") as out:
            for info in z.infolist():
                data = z.read(info.filename)
                if info.filename.endswith(".opf"):
                    text = data.decode("utf-8")
                    picture = re.search(r'href="([^"]+\.png)"', text).group(1)
                    guide = f'<reference type="masthead" title="Masthead" href="{picture}"/>'
                    if "<guide>" in text:
                        text = text.replace("<guide>", "<guide>" + guide, 1)
                    else:
                        text = text.replace("</package>", f"<guide>{guide}</guide></package>", 1)
                    data = text.encode("utf-8")
                out.writestr(info, data)
        made = {}
        for who, exe in (("runtime", self.converter), ("installed", INSTALLED)):
            made[who] = os.path.join(folder, who + ".mobi")
            r = subprocess.run([exe, book, made[who]], cwd=self.elsewhere, env=self.env[who],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True)
            self.assertEqual(r.returncode, 0, f"{who}: {r.stdout[-2000:]}{r.stderr[-2000:]}")
        self.assertEqual(mobi_compare.differences(mobi_compare.reading(made["runtime"]),
                                                  mobi_compare.reading(made["installed"])), [])

    def test_writes_nothing_into_the_runtime(self):
        # Python must find valid bytecode and write none: the runtime folder keeps exactly the
        # archive's files after all the conversions.
        import zipfile
        names = {i.filename.rstrip("/") for i in zipfile.ZipFile(ARCHIVE).infolist()}
        found = set()
        for folder, dirs, files in os.walk(self.runtime):
            for n in dirs + files:
                found.add(os.path.relpath(os.path.join(folder, n), self.runtime))
        self.assertEqual(found, names)


if __name__ == "__main__":
    ARCHIVE = os.path.abspath(sys.argv.pop(1))
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        INSTALLED = sys.argv.pop(1)
    unittest.main(verbosity=2)
