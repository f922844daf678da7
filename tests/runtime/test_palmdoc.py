#!/usr/bin/python3
"""The runtime's PalmDOC module (cPalmdoc) against calibre's own, loaded side by side.

Usage: test_palmdoc.py OUR_MODULE [CALIBRE_LAUNCHER]

Every record of the real books at hand (runtime/palmdoc/fuzz/make_seeds.py), the edge cases and
random inputs: the same compressed bytes as calibre's module, and decompressing gives the input
back. The same answers to empty input, wrong types and wrong argument counts; the same
decompressed bytes from calibre's compressed records and from well-formed codes of every kind.
"""

import importlib.util
import os
import random
import re
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "runtime", "palmdoc", "fuzz"))
import make_seeds  # noqa: E402

OURS = None
LAUNCHER = "/usr/bin/ebook-convert"


def load(path):
    spec = importlib.util.spec_from_file_location("cPalmdoc", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def calibre_module_path():
    text = open(LAUNCHER, encoding="utf-8").read()
    m = re.search(r"CALIBRE_EXTENSIONS_PATH'\s*,\s*'([^']+)'", text)
    if not m:
        raise RuntimeError(f"{LAUNCHER} names no extension folder")
    return os.path.join(m.group(1), "cPalmdoc.so")


def outcome(function, *args):
    try:
        return ("value", function(*args))
    except Exception as e:  # the kind and message of the error are part of the behaviour
        return (type(e).__name__, str(e))


class SameAsCalibre(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ours = load(OURS)
        cls.theirs = load(calibre_module_path())
        assert cls.ours.__file__ != cls.theirs.__file__
        cls.inputs = list(make_seeds.inputs())

    def check(self, name, data):
        packed = self.ours.compress(data)
        # calibre's module writes into a buffer of 1.25 times the input: an input whose
        # compressed form is longer would overrun it, so those are compared from C only
        # (palmdoc_fuzz_seeds).
        if len(packed) <= int(1.25 * len(data)):
            self.assertEqual(packed, self.theirs.compress(data), name)
            checked = True
        else:
            checked = False
        self.assertEqual(self.ours.decompress(packed), data, name)
        self.assertEqual(self.theirs.decompress(packed), data, name)
        return checked

    def test_every_record_of_the_books_and_the_edge_cases(self):
        book_records = 0
        left_to_c = []
        for name, data in self.inputs:
            if not data:
                continue
            if not self.check(name, data):
                left_to_c.append(name)
            book_records += "#" in name
        self.assertGreater(book_records, 200)
        # Only random bytes and the shortest inputs compress to more than 1.25 times their size.
        self.assertFalse([n for n in left_to_c if "#" in n], left_to_c)
        self.assertLess(len(left_to_c), 16, left_to_c)

    def test_random_inputs(self):
        rng = random.Random(2209)
        text = b"".join(d for n, d in self.inputs if "#" in n)
        for n in range(300):
            size = rng.choice([1, 2, 5, 10, 11, 12, 21, 22, 100, 2047, 2048, 4095, 4096])
            kind = n % 4
            if kind == 0:
                data = bytes(rng.randrange(256) for _ in range(size))
            elif kind == 1:
                data = bytes(rng.choice(b"ab \x00\x01\x08\x09\x7f\x80\xc0\xff") for _ in
                             range(size))
            elif kind == 2:
                at = rng.randrange(len(text) - size)
                data = text[at:at + size]
            else:
                data = bytearray(text[:size])
                for _ in range(rng.randrange(1, 20)):
                    data[rng.randrange(size)] = rng.randrange(256)
                data = bytes(data)
            self.check(f"random {n}", data)

    def test_longer_than_a_record(self):
        text = b"".join(d for n, d in self.inputs if "#" in n)[:3 * 4096 + 17]
        self.check("three records and more", text)

    def test_the_same_answers_to_bad_calls(self):
        for args in ([b""], ["text"], [bytearray(b"abc")], [memoryview(b"abc")], [5], [None],
                     [], [b"a", b"b"]):
            for function in ("compress", "decompress"):
                self.assertEqual(outcome(getattr(self.ours, function), *args),
                                 outcome(getattr(self.theirs, function), *args),
                                 f"{function}{tuple(args)!r}")
        self.assertEqual(self.ours.__doc__, self.theirs.__doc__)
        for function in ("compress", "decompress"):
            self.assertEqual(getattr(self.ours, function).__doc__,
                             getattr(self.theirs, function).__doc__)
        self.assertEqual([n for n in dir(self.ours) if not n.startswith("__")],
                         [n for n in dir(self.theirs) if not n.startswith("__")])

    def test_decompressing_well_formed_codes(self):
        rng = random.Random(22)
        for n in range(500):
            codes = bytearray()
            produced = 0
            while len(codes) < rng.randrange(1, 300):
                kind = rng.randrange(4)
                if kind == 0:
                    codes.append(rng.choice([0] + list(range(9, 0x80))))
                    produced += 1
                elif kind == 1:
                    count = rng.randrange(1, 9)
                    codes.append(count)
                    codes += bytes(rng.randrange(256) for _ in range(count))
                    produced += count
                elif kind == 2:
                    codes.append(rng.randrange(0xc0, 0x100))
                    produced += 2
                elif produced > 0:
                    distance = rng.randrange(1, min(produced, 2047) + 1)
                    length = rng.randrange(3, 11)
                    code = 0x8000 | (distance << 3) | (length - 3)
                    codes += code.to_bytes(2, "big")
                    produced += length
            data = bytes(codes)
            self.assertEqual(self.ours.decompress(data), self.theirs.decompress(data), f"#{n}")


if __name__ == "__main__":
    OURS = sys.argv.pop(1)
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        LAUNCHER = sys.argv.pop(1)
    unittest.main(verbosity=2)
