#!/usr/bin/python3
"""Makes the sample books that ship in the Samples folder beside the program.

Three small EPUB 3 books, each a few chapters of a public-domain text:

  Pride-and-Prejudice.epub   Jane Austen (1813), English
  Alice-in-Wonderland.epub   Lewis Carroll (1865), English, with a cover picture
  Die-Verwandlung.epub       Franz Kafka (1915), German: umlauts, sharp s, typographic quotes

Everything is made here from the texts below (the cover is drawn as a PNG by this script), and
the output is the same bytes at every run: fixed entry times, fixed identifiers, fixed order.

Usage: make_samples.py OUTPUT_FOLDER
"""

import os
import struct
import sys
import zipfile
import zlib

FIXED_TIME = (2021, 8, 31, 12, 0, 0)
MODIFIED = "2021-08-31T12:00:00Z"

BOOKS = [
    {
        "file": "Pride-and-Prejudice.epub",
        "id": "urn:uuid:6f1c1b2e-6a64-4b8e-9d0e-2c1d8a1b0001",
        "title": "Pride and Prejudice",
        "creator": "Jane Austen",
        "lang": "en",
        "chapters": [
            ("Chapter 1", [
                "It is a truth universally acknowledged, that a single man in possession of a "
                "good fortune, must be in want of a wife.",
                "However little known the feelings or views of such a man may be on his first "
                "entering a neighbourhood, this truth is so well fixed in the minds of the "
                "surrounding families, that he is considered the rightful property of some one "
                "or other of their daughters.",
                "\u201cMy dear Mr. Bennet,\u201d said his lady to him one day, \u201chave you "
                "heard that Netherfield Park is let at last?\u201d",
                "Mr. Bennet replied that he had not.",
            ]),
            ("Chapter 2", [
                "Mr. Bennet was among the earliest of those who waited on Mr. Bingley. He had "
                "always intended to visit him, though to the last always assuring his wife that "
                "he should not go; and till the evening after the visit was paid she had no "
                "knowledge of it.",
            ]),
            ("Chapter 3", [
                "Not all that Mrs. Bennet, however, with the assistance of her five daughters, "
                "could ask on the subject, was sufficient to draw from her husband any "
                "satisfactory description of Mr. Bingley.",
            ]),
        ],
    },
    {
        "file": "Alice-in-Wonderland.epub",
        "id": "urn:uuid:6f1c1b2e-6a64-4b8e-9d0e-2c1d8a1b0002",
        "title": "Alice\u2019s Adventures in Wonderland",
        "creator": "Lewis Carroll",
        "lang": "en",
        "cover": True,
        "chapters": [
            ("Down the Rabbit-Hole", [
                "Alice was beginning to get very tired of sitting by her sister on the bank, and "
                "of having nothing to do: once or twice she had peeped into the book her sister "
                "was reading, but it had no pictures or conversations in it, \u201cand what is "
                "the use of a book,\u201d thought Alice \u201cwithout pictures or "
                "conversations?\u201d",
                "So she was considering in her own mind (as well as she could, for the hot day "
                "made her feel very sleepy and stupid), whether the pleasure of making a "
                "daisy-chain would be worth the trouble of getting up and picking the daisies, "
                "when suddenly a White Rabbit with pink eyes ran close by her.",
            ]),
            ("The Pool of Tears", [
                "\u201cCuriouser and curiouser!\u201d cried Alice (she was so much surprised, "
                "that for the moment she quite forgot how to speak good English); \u201cnow "
                "I\u2019m opening out like the largest telescope that ever was! Good-bye, "
                "feet!\u201d",
            ]),
            ("A Caucus-Race and a Long Tale", [
                "They were indeed a queer-looking party that assembled on the bank\u2014the "
                "birds with draggled feathers, the animals with their fur clinging close to "
                "them, and all dripping wet, cross, and uncomfortable.",
            ]),
        ],
    },
    {
        "file": "Die-Verwandlung.epub",
        "id": "urn:uuid:6f1c1b2e-6a64-4b8e-9d0e-2c1d8a1b0003",
        "title": "Die Verwandlung",
        "creator": "Franz Kafka",
        "lang": "de",
        "chapters": [
            ("I", [
                "Als Gregor Samsa eines Morgens aus unruhigen Tr\u00e4umen erwachte, fand er "
                "sich in seinem Bett zu einem ungeheueren Ungeziefer verwandelt.",
                "Er lag auf seinem panzerartig harten R\u00fccken und sah, wenn er den Kopf ein "
                "wenig hob, seinen gew\u00f6lbten, braunen, von bogenf\u00f6rmigen Versteifungen "
                "geteilten Bauch, auf dessen H\u00f6he sich die Bettdecke, zum g\u00e4nzlichen "
                "Niedergleiten bereit, kaum noch erhalten konnte.",
                "\u201eWas ist mit mir geschehen?\u201c, dachte er. Es war kein Traum.",
            ]),
            ("II", [
                "Erst in der Abendd\u00e4mmerung erwachte Gregor aus seinem schweren "
                "ohnmachts\u00e4hnlichen Schlaf.",
            ]),
            ("III", [
                "Die schwere Verwundung Gregors, an der er \u00fcber einen Monat litt \u2013 der "
                "Apfel blieb, da ihn niemand zu entfernen wagte, als sichtbares Andenken im "
                "Fleische stecken \u2013, schien selbst den Vater daran erinnert zu haben, "
                "da\u00df Gregor trotz seiner gegenw\u00e4rtigen traurigen und ekelhaften "
                "Gestalt ein Familienmitglied war.",
            ]),
        ],
    },
]


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def xhtml(title, body, lang):
    return (
        '<?xml version="1.0" encoding="utf-8"?>\n<!DOCTYPE html>\n'
        f'<html xmlns="http://www.w3.org/1999/xhtml" xmlns:epub="http://www.idpf.org/2007/ops" '
        f'xml:lang="{lang}" lang="{lang}">\n'
        f'<head><meta charset="utf-8"/><title>{escape(title)}</title>'
        '<link rel="stylesheet" type="text/css" href="style.css"/></head>\n'
        f"<body>\n{body}\n</body>\n</html>\n")


def png(width, height):
    """A cover picture: a sky-blue field with a darker frame and a white card in the middle."""
    rows = []
    for y in range(height):
        row = bytearray([0])
        for x in range(width):
            edge = min(x, y, width - 1 - x, height - 1 - y)
            if edge < 12:
                pixel = (40, 70, 120)
            elif width // 5 < x < width * 4 // 5 and height // 3 < y < height // 2:
                pixel = (250, 250, 245)
            else:
                shade = 170 + (y * 60) // height
                pixel = (shade - 60, shade - 20, min(255, shade + 30))
            row += bytes(pixel)
        rows.append(bytes(row))
    raw = b"".join(rows)

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


STYLE = ("body { font-family: serif; line-height: 1.4; margin: 0 1em; }\n"
         "h1 { text-align: center; margin: 1em 0; }\n"
         "p { text-indent: 1.5em; margin: 0; }\n"
         "div.cover { text-align: center; }\n"
         "div.cover img { max-width: 100%; }\n")


def make_book(book):
    lang = book["lang"]
    files = []  # (name in OEBPS, media type, data, id, properties)
    spine = []
    toc = []
    if book.get("cover"):
        files.append(("images/cover.png", "image/png", png(300, 450), "cover-image",
                      "cover-image"))
        body = (f'<div class="cover"><img src="images/cover.png" '
                f'alt="{escape(book["title"])}"/></div>')
        files.append(("cover.xhtml", "application/xhtml+xml",
                      xhtml(book["title"], body, lang).encode("utf-8"), "cover", ""))
        spine.append("cover")
    for n, (heading, paragraphs) in enumerate(book["chapters"], 1):
        body = f'<section epub:type="chapter"><h1>{escape(heading)}</h1>\n' + "\n".join(
            f"<p>{escape(p)}</p>" for p in paragraphs) + "\n</section>"
        name = f"chapter{n}.xhtml"
        files.append((name, "application/xhtml+xml",
                       xhtml(heading, body, lang).encode("utf-8"), f"chapter{n}", ""))
        spine.append(f"chapter{n}")
        toc.append((heading, name))
    links = "\n".join(f'<li><a href="{h}">{escape(t)}</a></li>' for t, h in toc)
    nav = xhtml(book["title"],
                f'<nav epub:type="toc" id="toc"><h1>{escape(book["title"])}</h1><ol>\n{links}\n'
                "</ol></nav>", lang)
    files.append(("nav.xhtml", "application/xhtml+xml", nav.encode("utf-8"), "nav", "nav"))
    files.append(("style.css", "text/css", STYLE.encode("utf-8"), "style", ""))

    manifest = "\n".join(
        f'    <item id="{i}" href="{n}" media-type="{m}"'
        + (f' properties="{p}"' if p else "") + "/>" for n, m, _, i, p in files)
    itemrefs = "\n".join(f'    <itemref idref="{i}"/>' for i in spine)
    opf = (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        '<package xmlns="http://www.idpf.org/2007/opf" version="3.0" '
        f'unique-identifier="bookid" xml:lang="{lang}">\n'
        '  <metadata xmlns:dc="http://purl.org/dc/elements/1.1/">\n'
        f'    <dc:identifier id="bookid">{book["id"]}</dc:identifier>\n'
        f'    <dc:title>{escape(book["title"])}</dc:title>\n'
        f'    <dc:creator>{escape(book["creator"])}</dc:creator>\n'
        f"    <dc:language>{lang}</dc:language>\n"
        "    <dc:rights>Public domain</dc:rights>\n"
        f'    <meta property="dcterms:modified">{MODIFIED}</meta>\n'
        "  </metadata>\n"
        f"  <manifest>\n{manifest}\n  </manifest>\n"
        f"  <spine>\n{itemrefs}\n  </spine>\n"
        "</package>\n")
    container = (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        '<container version="1.0" xmlns="urn:oasis:names:tc:opendocument:xmlns:container">\n'
        '  <rootfiles>\n'
        '    <rootfile full-path="OEBPS/content.opf" '
        'media-type="application/oebps-package+xml"/>\n'
        "  </rootfiles>\n</container>\n")

    entries = [("mimetype", b"application/epub+zip", zipfile.ZIP_STORED),
               ("META-INF/container.xml", container.encode("utf-8"), zipfile.ZIP_DEFLATED),
               ("OEBPS/content.opf", opf.encode("utf-8"), zipfile.ZIP_DEFLATED)]
    entries += [("OEBPS/" + n, d, zipfile.ZIP_STORED if m == "image/png" else
                 zipfile.ZIP_DEFLATED) for n, m, d, _, _ in files]
    return entries


def write_book(path, entries):
    partial = path + ".part"
    with zipfile.ZipFile(partial, "w") as z:
        for name, data, method in entries:
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = method
            info.external_attr = 0o644 << 16
            info.create_system = 3
            z.writestr(info, data, compresslevel=9 if method == zipfile.ZIP_DEFLATED else None)
    os.replace(partial, path)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for book in BOOKS:
        write_book(os.path.join(out, book["file"]), make_book(book))


if __name__ == "__main__":
    main()
