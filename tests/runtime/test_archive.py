#!/usr/bin/python3
"""The converter runtime archive's shape: what the program unpacks at every conversion run.

Usage: test_archive.py ARCHIVE CALIBRE_LAUNCHER PALMDOC_MODULE

Checks, without running a conversion: the launcher at the root (executable, naming calibre's own
interpreter), pylib.zip with stored, hash-based unchecked bytecode for that interpreter, the
native modules and resources as regular files (no links), permission bits and modification
times recorded and restored by Info-ZIP unzip, already-compressed files stored, the size
targets, the program's PalmDOC module in place of calibre's, the selector caches sized for a book
(and a build that fails when calibre no longer sets them where it did), and that building again
gives the same bytes.
"""

import os
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile

ARCHIVE = None
LAUNCHER = "/usr/bin/ebook-convert"
PALMDOC = None
HERE = os.path.dirname(os.path.abspath(__file__))
BUILD_SCRIPT = os.path.join(HERE, "..", "..", "runtime", "build_runtime.py")
MANIFEST = os.path.join(HERE, "..", "..", "runtime", "manifest.txt")
MAX_FILES = 300
MAX_UNPACKED = 60 * 1000 * 1000


def calibre_interpreter():
    with open(LAUNCHER, "rb") as f:
        return f.readline().decode()[2:].split()[0]


def ut_time(info):
    """The modification time from an entry's extended-timestamp field, or None."""
    extra = info.extra
    while len(extra) >= 4:
        tag, size = struct.unpack("<HH", extra[:4])
        body = extra[4:4 + size]
        if tag == 0x5455 and body and body[0] & 1:
            return struct.unpack("<l", body[1:5])[0]
        extra = extra[4 + size:]
    return None


class ArchiveShape(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zip = zipfile.ZipFile(ARCHIVE)
        cls.infos = cls.zip.infolist()
        cls.files = [i for i in cls.infos if not i.is_dir()]

    def test_plain_zip_without_comment(self):
        self.assertEqual(self.zip.comment, b"")
        self.assertIsNone(self.zip.testzip())
        for i in self.infos:
            self.assertIn(i.compress_type, (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED), i.filename)
            self.assertFalse(i.flag_bits & 1, f"{i.filename} is encrypted")
            self.assertFalse(i.filename.startswith("/") or ".." in i.filename.split("/"),
                             i.filename)

    def test_launcher_at_root_names_calibres_interpreter(self):
        info = self.zip.getinfo("ebook-convert")
        mode = info.external_attr >> 16
        self.assertTrue(stat.S_ISREG(mode))
        self.assertEqual(mode & 0o777, 0o755)
        first = self.zip.read(info).split(b"\n", 1)[0].decode()
        self.assertTrue(first.startswith("#!"))
        self.assertEqual(first[2:].split()[0], calibre_interpreter())
        self.assertNotIn("env", first, "the launcher must not look the interpreter up on PATH")

    def test_warm_converter_beside_the_launcher(self):
        info = self.zip.getinfo("warm-converter")
        self.assertEqual((info.external_attr >> 16) & 0o777, 0o755)
        text = self.zip.read(info).decode()
        self.assertEqual(text.split("\n", 1)[0], f"#!{calibre_interpreter()} -IB")
        self.assertNotIn("@", text.split("\n", 1)[0] + text.split("WARM_MODULES = ")[1][:20])
        modules = text.split("WARM_MODULES = ", 1)[1].split("\n", 1)[0]
        for must in ("'calibre.ebooks.conversion.cli'", "'calibre.ebooks.mobi.writer2.main'",
                     "'calibre.ebooks.conversion.plugins.epub_input'"):
            self.assertIn(must, modules)
        launcher = self.zip.read("ebook-convert").decode()
        self.assertIn("hand_over(base)", launcher)
        self.assertNotIn("@", launcher.split("\n", 1)[0])

    def test_layout_beside_the_launcher(self):
        tops = {i.filename.split("/")[0] for i in self.infos}
        self.assertEqual(tops, {"ebook-convert", "warm-converter", "pylib.zip", "plugins",
                                "resources"})
        self.assertIn("plugins/icu.so", self.zip.namelist())
        self.assertIn("plugins/libheadless.so", self.zip.namelist())
        self.assertIn("resources/mime.types", self.zip.namelist())

    def test_pylib_is_stored_bytecode_for_calibres_interpreter(self):
        magic = subprocess.run(
            [calibre_interpreter(), "-I", "-c",
             "import importlib.util,sys; sys.stdout.write(importlib.util.MAGIC_NUMBER.hex())"],
            check=True, capture_output=True, text=True).stdout
        import io
        pylib = zipfile.ZipFile(io.BytesIO(self.zip.read("pylib.zip")))
        names = pylib.namelist()
        self.assertGreater(len(names), 200)
        for must in ("calibre/__init__.pyc", "calibre/ebooks/conversion/cli.pyc",
                     "calibre/ebooks/conversion/plugins/epub_input.pyc",
                     "calibre/ebooks/mobi/writer2/main.pyc", "calibre/ebooks/oeb/base.pyc"):
            self.assertIn(must, names)
        for info in pylib.infolist():
            self.assertTrue(info.filename.endswith(".pyc"), info.filename)
            self.assertEqual(info.compress_type, zipfile.ZIP_STORED, info.filename)
            head = pylib.read(info)[:16]
            self.assertEqual(head[:4].hex(), magic, info.filename)
            flags = struct.unpack("<I", head[4:8])[0]
            # Bit 0: hash-based; bit 1 clear: never checked against a source.
            self.assertEqual(flags, 0b01, info.filename)

    def test_regular_files_with_modes_and_times(self):
        for info in self.infos:
            mode = info.external_attr >> 16
            self.assertEqual(info.create_system, 3, info.filename)
            if info.is_dir():
                self.assertTrue(stat.S_ISDIR(mode), info.filename)
            else:
                self.assertTrue(stat.S_ISREG(mode), f"{info.filename} is not a regular file")
                self.assertTrue(mode & 0o444, info.filename)
            self.assertIsNotNone(ut_time(info), f"{info.filename} has no modification time")

    def test_native_modules_are_elf(self):
        for info in self.files:
            if info.filename.endswith(".so"):
                self.assertEqual(self.zip.read(info)[:4], b"\x7fELF", info.filename)

    def test_palmdoc_module_is_the_programs(self):
        with open(PALMDOC, "rb") as f:
            self.assertTrue(self.zip.read("plugins/cPalmdoc.so") == f.read(),
                            "plugins/cPalmdoc.so is not the program's PalmDOC module")

    def test_selector_caches_sized_for_a_book(self):
        import io
        import marshal
        pylib = zipfile.ZipFile(io.BytesIO(self.zip.read("pylib.zip")))
        code = marshal.loads(pylib.read("css_selectors/select.pyc")[16:])
        sizes = dict(zip(("PARSE_CACHE_SIZE", "XPATH_CACHE_SIZE"),
                         [c for c in code.co_consts if type(c) is int and c > 1]))
        self.assertEqual(sizes, {"PARSE_CACHE_SIZE": 1000000, "XPATH_CACHE_SIZE": 100000})
        self.assertIn(b"_plain_rightmost_tag", pylib.read("css_selectors/select.pyc"))
        self.assertIn(b"_style_attr_cache", pylib.read("calibre/ebooks/oeb/stylizer.pyc"))

    def test_registry_knows_the_plugins_it_leaves_out(self):
        import ast
        import io
        import marshal
        import runpy
        build = runpy.run_path(BUILD_SCRIPT, run_name="build_runtime")
        calibre = build["read_launcher"](LAUNCHER)
        left_out = ast.literal_eval(build["left_out_plugin_names"](calibre))
        self.assertGreater(len(left_out), 50)
        pylib = zipfile.ZipFile(io.BytesIO(self.zip.read("pylib.zip")))
        ui = marshal.loads(pylib.read("calibre/customize/ui.pyc")[16:])
        self.assertIn(tuple(left_out), ui.co_consts)
        builtins = pylib.read("calibre/customize/builtins.pyc")
        self.assertNotIn(b"calibre.devices.kindle.driver", builtins)
        self.assertIn(b"calibre.ebooks.conversion.plugins.mobi_output", builtins)

    def test_a_change_not_found_fails_the_build(self):
        import importlib.util
        spec = importlib.util.spec_from_file_location("build_runtime", BUILD_SCRIPT)
        build = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(build)
        call = (b"class Select:\n    def __call__(self, selector, root=None):\n        seen = set()\n"
                b"        for parsed_selector in get_parsed_selector(selector):\n"
                b"            for item in self.iterparsedselector(parsed_selector):\n"
                b"                yield item\n\n"
                b"    def iteridtags(self):\n"
                b"        return get_compiled_xpath('//*[@id]')(self.root)\n\n"
                b"    def iterclasstags(self):\n"
                b"        return get_compiled_xpath('//*[@class]')(self.root)\n")
        good = b"PARSE_CACHE_SIZE = 200\nparse_cache = {}\nXPATH_CACHE_SIZE = 30\n" + call
        changed = build.changed_source("css_selectors.select", good)
        self.assertIn(b"PARSE_CACHE_SIZE = 1000000\n", changed)
        self.assertIn(b"_plain_rightmost_tag(parsed_selector)", changed)
        compile(changed, "select.py", "exec")
        for source, named in ((b"PARSE_CACHE_SIZE = 200\n", "XPATH_CACHE_SIZE"),
                              (b"XPATH_CACHE_SIZE = 30\nPARSE_CACHE_SIZE=200\n" + call,
                               "PARSE_CACHE_SIZE"),
                              (good + b"PARSE_CACHE_SIZE = 400\n", "PARSE_CACHE_SIZE"),
                              (good.replace(b"(parsed_selector):\n", b"(parsed):\n"),
                               "Select.__call__'s loop")):
            with self.assertRaises(SystemExit) as failed:
                build.changed_source("css_selectors.select", source)
            self.assertIn(named, str(failed.exception))
            self.assertIn("css_selectors.select", str(failed.exception))

    def test_compressed_content_stored_the_rest_deflated(self):
        for info in self.files:
            name = info.filename
            if name.endswith((".zip", ".png", ".jpg", ".gif")):
                self.assertEqual(info.compress_type, zipfile.ZIP_STORED, name)
            elif info.compress_type == zipfile.ZIP_DEFLATED:
                self.assertLess(info.compress_size, info.file_size, name)
        deflated = [i for i in self.files if i.compress_type == zipfile.ZIP_DEFLATED]
        self.assertGreater(len(deflated), len(self.files) // 2)

    def test_size_targets(self):
        unpacked = sum(i.file_size for i in self.files)
        self.assertLessEqual(len(self.files), MAX_FILES)
        self.assertLessEqual(unpacked, MAX_UNPACKED)

    def test_unzip_restores_modes_and_times(self):
        with tempfile.TemporaryDirectory(prefix="bq runtime ") as tmp:
            subprocess.run(["unzip", "-q", ARCHIVE, "-d", tmp], check=True)
            for info in self.files:
                path = os.path.join(tmp, info.filename)
                st = os.lstat(path)
                self.assertTrue(stat.S_ISREG(st.st_mode), info.filename)
                self.assertEqual(st.st_mode & 0o777, (info.external_attr >> 16) & 0o777,
                                 info.filename)
                self.assertEqual(int(st.st_mtime), ut_time(info), info.filename)
                self.assertEqual(st.st_size, info.file_size, info.filename)

    def test_building_again_gives_the_same_bytes(self):
        with tempfile.TemporaryDirectory() as tmp:
            again = os.path.join(tmp, "again.zip")
            subprocess.run([calibre_interpreter(), BUILD_SCRIPT, "--manifest", MANIFEST,
                            "--launcher", LAUNCHER, "--palmdoc", PALMDOC, "--output", again],
                           check=True, stdout=subprocess.DEVNULL)
            with open(again, "rb") as a, open(ARCHIVE, "rb") as b:
                self.assertTrue(a.read() == b.read(), "a second build gave other bytes")


if __name__ == "__main__":
    ARCHIVE = sys.argv.pop(1)
    LAUNCHER = sys.argv.pop(1)
    PALMDOC = sys.argv.pop(1)
    unittest.main(verbosity=2)
