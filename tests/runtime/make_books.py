#!/usr/bin/python3
"""Writes the EPUB books that the runtime tests convert.

Every book is made here from public-domain text (Austen, Carroll, Melville, Dickens, Soseki,
Genesis, the Thousand and One Nights), so that the tests depend on no file from elsewhere.
Each book exercises a feature the carried converter must handle as well as the installed one:

  plain-epub2          EPUB 2 with an NCX table of contents and a style sheet
  epub3-pictures       EPUB 3 navigation, cover, PNG/JPEG/GIF pictures, SVG files and inline SVG,
                       tables
  fonts                embedded fonts, plain and obfuscated (IDPF and Adobe algorithms)
  mathml               EPUB 3 with MathML formulas
  rtl-vertical         a Japanese book read right to left: vertical Japanese, Arabic and Hebrew
  non-ascii            non-ASCII names inside the book and in the book's own file name
  many-chapters        thousands of chapters
  broken               a book whose package document is missing (conversion must fail)

Three more books serve the trace that decides what the carried runtime keeps (they widen the
evidence; the tests do not need them):

  tag-soup             EPUB 2 with HTML that is not well-formed, entities, footnote links, a guide,
                       rich metadata (series, subjects, HTML description, ISBN, date)
  big-pictures         large and unusual pictures: PNG with transparency, CMYK JPEG, WebP, BMP
  long-chapter         one very long chapter with headings, lists, block quotes and links

Two more serve the tests and benchmarks of a conversion's limits, and are made only when named:

  large                a large valid book: 2,000 chapters of varied prose, about 11 MB, which
                       calibre needs about 1 GB of memory to convert
  bomb                 a decompression bomb: one chapter of 2 GiB of repeated paragraphs,
                       deflated to a few MB

Usage: make_books.py OUTPUT_FOLDER [NAME ...|--all]   (no names: the tests' books)
The output is the same bytes at every run (fixed entry times).
"""

import hashlib
import io
import os
import sys
import uuid
import zipfile

FIXED_TIME = (2021, 8, 31, 12, 0, 0)

AUSTEN = [
    "It is a truth universally acknowledged, that a single man in possession of a good "
    "fortune, must be in want of a wife.",
    "However little known the feelings or views of such a man may be on his first entering a "
    "neighbourhood, this truth is so well fixed in the minds of the surrounding families, that "
    "he is considered the rightful property of some one or other of their daughters.",
    "\u201cMy dear Mr. Bennet,\u201d said his lady to him one day, \u201chave you heard that "
    "Netherfield Park is let at last?\u201d",
    "Mr. Bennet replied that he had not.",
]
CARROLL = [
    "Alice was beginning to get very tired of sitting by her sister on the bank, and of having "
    "nothing to do: once or twice she had peeped into the book her sister was reading, but it "
    "had no pictures or conversations in it, \u201cand what is the use of a book,\u201d thought "
    "Alice \u201cwithout pictures or conversations?\u201d",
    "So she was considering in her own mind (as well as she could, for the hot day made her "
    "feel very sleepy and stupid), whether the pleasure of making a daisy-chain would be worth "
    "the trouble of getting up and picking the daisies, when suddenly a White Rabbit with pink "
    "eyes ran close by her.",
]
MELVILLE = [
    "Call me Ishmael. Some years ago\u2014never mind how long precisely\u2014having little or no "
    "money in my purse, and nothing particular to interest me on shore, I thought I would sail "
    "about a little and see the watery part of the world.",
    "It is a way I have of driving off the spleen and regulating the circulation.",
]
DICKENS = [
    "It was the best of times, it was the worst of times, it was the age of wisdom, it was the "
    "age of foolishness, it was the epoch of belief, it was the epoch of incredulity, it was "
    "the season of Light, it was the season of Darkness.",
    "There were a king with a large jaw and a queen with a plain face, on the throne of "
    "England; there were a king with a large jaw and a queen with a fair face, on the throne "
    "of France.",
]
SOSEKI = [
    "\u543e\u8f29\u306f\u732b\u3067\u3042\u308b\u3002\u540d\u524d\u306f\u307e\u3060\u7121"
    "\u3044\u3002",
    "\u3069\u3053\u3067\u751f\u308c\u305f\u304b\u3068\u3093\u3068\u898b\u5f53\u304c\u3064"
    "\u304b\u306c\u3002\u4f55\u3067\u3082\u8584\u6697\u3044\u3058\u3081\u3058\u3081\u3057"
    "\u305f\u6240\u3067\u30cb\u30e3\u30fc\u30cb\u30e3\u30fc\u6ce3\u3044\u3066\u3044\u305f"
    "\u4e8b\u3060\u3051\u306f\u8a18\u61b6\u3057\u3066\u3044\u308b\u3002",
]
GENESIS_HE = [
    "\u05d1\u05e8\u05d0\u05e9\u05d9\u05ea \u05d1\u05e8\u05d0 \u05d0\u05dc\u05d4\u05d9\u05dd "
    "\u05d0\u05ea \u05d4\u05e9\u05de\u05d9\u05dd \u05d5\u05d0\u05ea \u05d4\u05d0\u05e8\u05e5.",
    "\u05d5\u05d4\u05d0\u05e8\u05e5 \u05d4\u05d9\u05ea\u05d4 \u05ea\u05d4\u05d5 \u05d5\u05d1"
    "\u05d4\u05d5 \u05d5\u05d7\u05e9\u05da \u05e2\u05dc \u05e4\u05e0\u05d9 \u05ea\u05d4\u05d5"
    "\u05dd.",
]
NIGHTS_AR = [
    "\u062d\u0643\u064a \u0648\u0627\u0644\u0644\u0647 \u0623\u0639\u0644\u0645 \u0623\u0646"
    "\u0647 \u0643\u0627\u0646 \u0641\u064a\u0645\u0627 \u0645\u0636\u0649 \u0645\u0646 "
    "\u0642\u062f\u064a\u0645 \u0627\u0644\u0632\u0645\u0627\u0646 \u0645\u0644\u0643 "
    "\u0645\u0646 \u0645\u0644\u0648\u0643 \u0633\u0627\u0633\u0627\u0646.",
    "\u0648\u0643\u0627\u0646 \u0644\u0647 \u0648\u0644\u062f\u0627\u0646 \u0623\u062d\u062f"
    "\u0647\u0645\u0627 \u0643\u0628\u064a\u0631 \u0648\u0627\u0644\u0622\u062e\u0631 "
    "\u0635\u063a\u064a\u0631.",
]

CSS = """body { font-family: serif; margin: 0 5%; }
h1 { text-align: center; font-size: 1.6em; page-break-before: always; }
p { text-indent: 1.5em; margin: 0; }
table { border-collapse: collapse; }
td, th { border: 1px solid black; padding: 0.2em; }
.note { font-style: italic; font-size: smaller; }
"""


def xhtml(title, body, lang="en", extra_head="", epub3=True, dirattr=""):
    ns_epub = ' xmlns:epub="http://www.idpf.org/2007/ops"' if epub3 else ""
    doctype = "<!DOCTYPE html>" if epub3 else (
        '<!DOCTYPE html PUBLIC "-//W3C//DTD XHTML 1.1//EN" '
        '"http://www.w3.org/TR/xhtml11/DTD/xhtml11.dtd">')
    lang_attr = f'xml:lang="{lang}"' + (f' lang="{lang}"' if epub3 else "")
    return (f'<?xml version="1.0" encoding="utf-8"?>\n{doctype}\n'
            f'<html xmlns="http://www.w3.org/1999/xhtml"{ns_epub} {lang_attr}{dirattr}>\n'
            f'<head><title>{title}</title>'
            f'<link rel="stylesheet" type="text/css" href="style.css"/>{extra_head}</head>\n'
            f'<body>\n{body}\n</body>\n</html>\n')


def paragraphs(texts):
    return "\n".join(f"<p>{t}</p>" for t in texts)


class Book:
    """An EPUB being assembled: files with media types, a spine and a table of contents."""

    def __init__(self, title, identifier, lang="en", epub3=True, creator="Anonymous"):
        self.title = title
        self.identifier = identifier
        self.lang = lang
        self.epub3 = epub3
        self.creator = creator
        self.items = []  # (id, href, media type, bytes, properties)
        self.spine = []  # ids
        self.toc = []  # (title, href)
        self.extra_meta = ""
        self.spine_attrs = ""
        self.meta_inf = {}  # extra files under META-INF/
        self.add("style", "style.css", "text/css", CSS.encode())

    def add(self, item_id, href, media_type, data, properties=""):
        self.items.append((item_id, href, media_type, data, properties))

    def chapter(self, item_id, href, title, body, properties="", **kw):
        data = xhtml(title, body, lang=kw.pop("lang", self.lang), epub3=self.epub3, **kw)
        self.add(item_id, href, "application/xhtml+xml", data.encode("utf-8"), properties)
        self.spine.append(item_id)
        self.toc.append((title, href))

    def opf(self):
        version = "3.0" if self.epub3 else "2.0"
        modified = ('<meta property="dcterms:modified">2021-08-31T12:00:00Z</meta>'
                    if self.epub3 else "")
        manifest = []
        for item_id, href, media_type, _, props in self.items:
            p = f' properties="{props}"' if props and self.epub3 else ""
            manifest.append(f'<item id="{item_id}" href="{href}" media-type="{media_type}"{p}/>')
        if self.epub3:
            manifest.append('<item id="nav" href="nav.xhtml" '
                            'media-type="application/xhtml+xml" properties="nav"/>')
        manifest.append('<item id="ncx" href="toc.ncx" media-type="application/x-dtbncx+xml"/>')
        spine = "\n".join(f'<itemref idref="{i}"/>' for i in self.spine)
        return (f'<?xml version="1.0" encoding="utf-8"?>\n'
                f'<package xmlns="http://www.idpf.org/2007/opf" version="{version}" '
                f'unique-identifier="uid">\n'
                f'<metadata xmlns:dc="http://purl.org/dc/elements/1.1/" '
                f'xmlns:opf="http://www.idpf.org/2007/opf">\n'
                f'<dc:identifier id="uid">{self.identifier}</dc:identifier>\n'
                f'<dc:title>{self.title}</dc:title>\n'
                f'<dc:creator>{self.creator}</dc:creator>\n'
                f'<dc:language>{self.lang}</dc:language>\n{modified}{self.extra_meta}\n'
                f'</metadata>\n<manifest>\n' + "\n".join(manifest) + '\n</manifest>\n'
                f'<spine toc="ncx"{self.spine_attrs}>\n{spine}\n</spine>\n</package>\n')

    def ncx(self):
        points = "\n".join(
            f'<navPoint id="p{n}" playOrder="{n}"><navLabel><text>{t}</text></navLabel>'
            f'<content src="{h}"/></navPoint>' for n, (t, h) in enumerate(self.toc, 1))
        return (f'<?xml version="1.0" encoding="utf-8"?>\n'
                f'<ncx xmlns="http://www.daisy.org/z3986/2005/ncx/" version="2005-1">\n'
                f'<head><meta name="dtb:uid" content="{self.identifier}"/>'
                f'<meta name="dtb:depth" content="1"/>'
                f'<meta name="dtb:totalPageCount" content="0"/>'
                f'<meta name="dtb:maxPageNumber" content="0"/></head>\n'
                f'<docTitle><text>{self.title}</text></docTitle>\n<navMap>\n{points}\n'
                f'</navMap>\n</ncx>\n')

    def nav(self):
        links = "\n".join(f'<li><a href="{h}">{t}</a></li>' for t, h in self.toc)
        body = f'<nav epub:type="toc" id="toc"><h1>Contents</h1><ol>\n{links}\n</ol></nav>'
        return xhtml("Contents", body, lang=self.lang, epub3=True)

    def write(self, path):
        def add(z, name, data, compress=zipfile.ZIP_DEFLATED):
            info = zipfile.ZipInfo(name, FIXED_TIME)
            info.compress_type = compress
            info.external_attr = 0o644 << 16
            z.writestr(info, data)

        with zipfile.ZipFile(path, "w") as z:
            add(z, "mimetype", b"application/epub+zip", zipfile.ZIP_STORED)
            add(z, "META-INF/container.xml",
                '<?xml version="1.0"?>\n<container version="1.0" '
                'xmlns="urn:oasis:names:tc:opendocument:xmlns:container">\n<rootfiles>'
                '<rootfile full-path="OEBPS/content.opf" '
                'media-type="application/oebps-package+xml"/></rootfiles>\n</container>\n')
            for name, data in sorted(self.meta_inf.items()):
                add(z, "META-INF/" + name, data)
            add(z, "OEBPS/content.opf", self.opf().encode("utf-8"))
            add(z, "OEBPS/toc.ncx", self.ncx().encode("utf-8"))
            if self.epub3:
                add(z, "OEBPS/nav.xhtml", self.nav().encode("utf-8"))
            for _, href, media_type, data, _ in self.items:
                stored = media_type.startswith("image/") and not media_type.endswith("svg+xml")
                add(z, "OEBPS/" + href, data, zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED)


def picture(fmt, size, colour, label):
    from PIL import Image, ImageDraw
    img = Image.new("RGB", size, colour)
    draw = ImageDraw.Draw(img)
    draw.rectangle([4, 4, size[0] - 5, size[1] - 5], outline=(0, 0, 0), width=3)
    draw.text((12, 12), label, fill=(0, 0, 0))
    if fmt == "GIF":
        img = img.convert("P")
    out = io.BytesIO()
    img.save(out, fmt)
    return out.getvalue()


SVG_FILE = """<?xml version="1.0" encoding="utf-8"?>
<svg xmlns="http://www.w3.org/2000/svg" width="300" height="200" viewBox="0 0 300 200">
<rect x="10" y="10" width="280" height="180" fill="#e8d8b0" stroke="black" stroke-width="4"/>
<circle cx="150" cy="100" r="60" fill="#8b4513"/>
<text x="150" y="190" text-anchor="middle" font-size="18">The White Whale</text>
</svg>
"""


def book_plain_epub2():
    b = Book("Pride and Prejudice (opening)", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0001",
             epub3=False, creator="Jane Austen")
    for n in range(1, 4):
        b.chapter(f"c{n}", f"chapter{n}.xhtml", f"Chapter {n}",
                  f"<h1>Chapter {n}</h1>\n" + paragraphs(AUSTEN))
    return b


def book_epub3_pictures():
    b = Book("Alice and the Whale", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0002",
             creator="Lewis Carroll")
    b.add("cover-image", "images/cover.jpg", "image/jpeg",
          picture("JPEG", (600, 800), (200, 220, 240), "Alice and the Whale"), "cover-image")
    b.extra_meta = '<meta name="cover" content="cover-image"/>'
    b.add("png", "images/rabbit.png", "image/png", picture("PNG", (320, 240), (250, 250, 250),
                                                           "White Rabbit"))
    b.add("gif", "images/daisy.gif", "image/gif", picture("GIF", (200, 150), (255, 255, 0),
                                                          "Daisy"))
    b.add("svgimg", "images/whale.svg", "image/svg+xml", SVG_FILE.encode())
    b.chapter("cover", "cover.xhtml", "Cover",
              '<div><img src="images/cover.jpg" alt="Cover"/></div>')
    b.chapter("c1", "rabbit.xhtml", "Down the Rabbit-Hole",
              "<h1>Down the Rabbit-Hole</h1>\n" + paragraphs(CARROLL) +
              '\n<p><img src="images/rabbit.png" alt="A white rabbit"/></p>'
              '\n<p><img src="images/daisy.gif" alt="A daisy"/></p>')
    inline_svg = ('<svg xmlns="http://www.w3.org/2000/svg" width="200" height="100" '
                  'viewBox="0 0 200 100"><rect x="5" y="5" width="190" height="90" '
                  'fill="#4682b4"/><text x="100" y="60" text-anchor="middle" fill="white">'
                  'Pequod</text></svg>')
    b.chapter("c2", "whale.xhtml", "Loomings",
              "<h1>Loomings</h1>\n" + paragraphs(MELVILLE) +
              '\n<p><img src="images/whale.svg" alt="The whale, drawn"/></p>\n' + inline_svg,
              properties="svg")
    rows = "\n".join(
        f"<tr><td>{n}</td><td>{name}</td><td>{role}</td></tr>"
        for n, (name, role) in enumerate([("Ishmael", "narrator"), ("Ahab", "captain"),
                                          ("Starbuck", "first mate"), ("Queequeg",
                                                                        "harpooneer")], 1))
    b.chapter("c3", "crew.xhtml", "The Crew",
              "<h1>The Crew</h1>\n<table>\n<thead><tr><th>No.</th><th>Name</th><th>Role</th>"
              f"</tr></thead>\n<tbody>\n{rows}\n</tbody>\n</table>\n" + paragraphs(DICKENS))
    return b


def obfuscate(data, key, length):
    head = bytes(d ^ key[i % len(key)] for i, d in enumerate(data[:length]))
    return head + data[length:]


def book_fonts():
    ident = "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0003"
    b = Book("A Tale of Two Cities (fonts)", ident, creator="Charles Dickens")
    fonts = "/usr/share/fonts/truetype/dejavu"
    plain = open(os.path.join(fonts, "DejaVuSerif.ttf"), "rb").read()
    idpf = open(os.path.join(fonts, "DejaVuSans-Oblique.ttf"), "rb").read()
    adobe = open(os.path.join(fonts, "DejaVuSansMono.ttf"), "rb").read()
    idpf_key = hashlib.sha1("".join(ident.split()).encode()).digest()
    adobe_key = uuid.UUID(ident[len("urn:uuid:"):]).bytes
    b.add("f1", "fonts/plain.ttf", "application/vnd.ms-opentype", plain)
    b.add("f2", "fonts/idpf.ttf", "application/vnd.ms-opentype",
          obfuscate(idpf, idpf_key, 1040))
    b.add("f3", "fonts/adobe.ttf", "application/vnd.ms-opentype",
          obfuscate(adobe, adobe_key, 1024))
    enc = ('<?xml version="1.0" encoding="utf-8"?>\n'
           '<encryption xmlns="urn:oasis:names:tc:opendocument:xmlns:container" '
           'xmlns:enc="http://www.w3.org/2001/04/xmlenc#">\n')
    for href, alg in (("fonts/idpf.ttf", "http://www.idpf.org/2008/embedding"),
                      ("fonts/adobe.ttf", "http://ns.adobe.com/pdf/enc#RC")):
        enc += (f'<enc:EncryptedData><enc:EncryptionMethod Algorithm="{alg}"/>'
                f'<enc:CipherData><enc:CipherReference URI="OEBPS/{href}"/></enc:CipherData>'
                f'</enc:EncryptedData>\n')
    enc += "</encryption>\n"
    b.meta_inf["encryption.xml"] = enc.encode()
    faces = ('<style type="text/css">\n'
             '@font-face { font-family: "Plain"; src: url(fonts/plain.ttf); }\n'
             '@font-face { font-family: "Idpf"; src: url(fonts/idpf.ttf); }\n'
             '@font-face { font-family: "Adobe"; src: url(fonts/adobe.ttf); }\n'
             '.a { font-family: "Plain"; } .b { font-family: "Idpf"; } '
             '.c { font-family: "Adobe"; }\n</style>')
    b.chapter("c1", "book1.xhtml", "Recalled to Life",
              "<h1>Recalled to Life</h1>\n" +
              "\n".join(f'<p class="{c}">{t}</p>' for c, t in zip("abc", DICKENS + AUSTEN)),
              extra_head=faces)
    return b


MATHML = """<math xmlns="http://www.w3.org/1998/Math/MathML" display="block">
<mrow><mi>x</mi><mo>=</mo><mfrac><mrow><mo>&#x2212;</mo><mi>b</mi><mo>&#xB1;</mo>
<msqrt><mrow><msup><mi>b</mi><mn>2</mn></msup><mo>&#x2212;</mo><mn>4</mn><mi>a</mi><mi>c</mi>
</mrow></msqrt></mrow><mrow><mn>2</mn><mi>a</mi></mrow></mfrac></mrow></math>"""
MATHML_INLINE = """<math xmlns="http://www.w3.org/1998/Math/MathML"><msup><mi>e</mi>
<mrow><mi>i</mi><mi>&#x3C0;</mi></mrow></msup><mo>+</mo><mn>1</mn><mo>=</mo><mn>0</mn></math>"""


def book_mathml():
    b = Book("Formulas", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0004")
    b.chapter("c1", "formulas.xhtml", "Formulas",
              "<h1>Formulas</h1>\n<p>The roots of a quadratic equation are</p>\n" + MATHML +
              f"\n<p>and Euler wrote {MATHML_INLINE} long ago.</p>\n" + paragraphs(MELVILLE),
              properties="mathml")
    return b


def book_rtl_vertical():
    b = Book("\u0623\u0644\u0641 \u0644\u064a\u0644\u0629 \u0648\u0644\u064a\u0644\u0629",
             "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0005", lang="ja")
    b.spine_attrs = ' page-progression-direction="rtl"'
    b.chapter("c1", "nights.xhtml", "\u0627\u0644\u0644\u064a\u0644\u0629 \u0627\u0644\u0623"
              "\u0648\u0644\u0649", '<h1>\u0627\u0644\u0644\u064a\u0644\u0629</h1>\n' +
              paragraphs(NIGHTS_AR), lang="ar", dirattr=' dir="rtl"')
    b.chapter("c2", "genesis.xhtml", "\u05d1\u05e8\u05d0\u05e9\u05d9\u05ea",
              '<h1>\u05d1\u05e8\u05d0\u05e9\u05d9\u05ea</h1>\n' + paragraphs(GENESIS_HE),
              lang="he", dirattr=' dir="rtl"')
    b.chapter("c3", "neko.xhtml", "\u543e\u8f29\u306f\u732b\u3067\u3042\u308b",
              '<div style="writing-mode: vertical-rl; -epub-writing-mode: vertical-rl;">'
              '<h1>\u543e\u8f29\u306f\u732b\u3067\u3042\u308b</h1>\n' + paragraphs(SOSEKI) +
              "</div>", lang="ja",
              extra_head='<style type="text/css">html { writing-mode: vertical-rl; '
              '-epub-writing-mode: vertical-rl; }</style>')
    return b


def book_non_ascii():
    b = Book("\u00c9l\u00e8ves \u0026amp; \u00dcbung \u2014 \u5bfa\u5c71",
             "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0006", lang="fr",
             creator="\u00c9mile Zola")
    b.add("img", "images/\u00e9t\u00e9 \u5bfa.png", "image/png",
          picture("PNG", (160, 120), (180, 240, 180), "ete"))
    b.chapter("c1", "chapitre-\u00e9t\u00e9.xhtml", "Premier chapitre \u00e9t\u00e9",
              "<h1>Premier chapitre</h1>\n" + paragraphs(AUSTEN[:2]) +
              '\n<p><img src="images/%C3%A9t%C3%A9%20%E5%AF%BA.png" alt="\u00e9t\u00e9"/></p>')
    b.chapter("c2", "\u7b2c\u4e8c\u7ae0.xhtml", "\u7b2c\u4e8c\u7ae0",
              "<h1>\u7b2c\u4e8c\u7ae0</h1>\n" + paragraphs(CARROLL[:1] + SOSEKI[:1]))
    return b


def book_many_chapters(count=2000):
    b = Book("Two Thousand Chapters", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0007",
             creator="Herman Melville")
    texts = AUSTEN + CARROLL + MELVILLE + DICKENS
    for n in range(1, count + 1):
        b.chapter(f"c{n}", f"text/c{n:04d}.xhtml", f"Chapter {n}",
                  f"<h1>Chapter {n}</h1>\n<p>{texts[n % len(texts)]}</p>")
    # The style sheet is linked from text/, so give the chapters their own copy.
    b.add("style2", "text/style.css", "text/css", CSS.encode())
    return b


def book_large(count=2000, words_per_chapter=2400):
    """2,000 chapters of prose drawn word by word from the books' texts (a fixed seed), marked
    up as typeset books are (a span of its own for every twenty words, short paragraphs),
    with a heading, a list and a link to the next chapter each: about 11 MB deflated."""
    import random
    b = Book("A Very Large Book", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0011",
             creator="Anonymous")
    words = " ".join(AUSTEN + CARROLL + MELVILLE + DICKENS).split()
    draw = random.Random(2000)
    for n in range(1, count + 1):
        chosen = draw.choices(words, k=words_per_chapter)
        spans = [f'<span class="s{i % 7}">{" ".join(chosen[i:i + 20])}</span>'
                 for i in range(0, len(chosen), 20)]
        paras = [" ".join(spans[i:i + 2]) for i in range(0, len(spans), 2)]
        items = "".join(f"<li>{w}</li>" for w in chosen[:12])
        following = f"c{n + 1:04d}.xhtml" if n < count else "c0001.xhtml"
        b.chapter(f"c{n}", f"text/c{n:04d}.xhtml", f"Chapter {n}",
                  f"<h1>Chapter {n}</h1>\n{paragraphs(paras)}\n<ul>{items}</ul>\n"
                  f'<p><a href="{following}">Next</a></p>')
    b.add("style2", "text/style.css", "text/css", CSS.encode())
    return b


def book_tag_soup():
    b = Book("Bleak House &amp; Others", "urn:isbn:9780000000002", epub3=False,
             creator="Charles Dickens")
    b.extra_meta = (
        '<meta name="calibre:series" content="Serial Parts"/>'
        '<meta name="calibre:series_index" content="3"/>'
        '<dc:subject>Fiction</dc:subject><dc:subject>London</dc:subject>'
        '<dc:publisher>Bradbury &amp; Evans</dc:publisher><dc:date>1853-01-01</dc:date>'
        '<dc:description>&lt;p&gt;A &lt;b&gt;long&lt;/b&gt; novel.&lt;/p&gt;</dc:description>')
    soup = ('<html><head><title>Fog</title><link rel="stylesheet" href="style.css"></head>'
            '<body><h2>Fog<p>Fog everywhere. Fog up the river&nbsp;&mdash; where it flows among '
            'green aits and meadows<sup><a href="notes.html#n1" id="r1">1</a></sup>; fog down '
            'the river.<br><p>London. Michaelmas term lately over<blockquote>Implacable '
            'November weather.</blockquote><ul><li>mud<li>smoke<li>soot</ul>'
            '<table><tr><td>a<td>b<tr><td>c<td>d</table></body></html>')
    b.add("c1", "fog.html", "application/xhtml+xml", soup.encode("utf-8"))
    b.spine.append("c1")
    b.toc.append(("Fog", "fog.html"))
    b.chapter("notes", "notes.html", "Notes",
              '<h1>Notes</h1><p id="n1"><a href="fog.html#r1">1</a> The Thames.</p>')
    return b


def book_big_pictures():
    from PIL import Image
    b = Book("Pictures", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0008")
    body = ["<h1>Pictures</h1>"]
    big = Image.new("RGBA", (2400, 3200), (10, 80, 160, 128))
    for name, img, fmt, media in (
            ("alpha.png", big, "PNG", "image/png"),
            ("cmyk.jpg", Image.new("CMYK", (900, 700), (0, 120, 200, 10)), "JPEG",
             "image/jpeg"),
            ("leaf.webp", Image.new("RGB", (400, 300), (30, 160, 60)), "WEBP", "image/webp"),
            ("old.bmp", Image.new("RGB", (64, 48), (200, 10, 10)), "BMP", "image/bmp")):
        out = io.BytesIO()
        img.save(out, fmt)
        b.add(name.replace(".", "-"), "images/" + name, media, out.getvalue())
        body.append(f'<p><img src="images/{name}" alt="{name}"/></p>')
    b.chapter("c1", "pictures.xhtml", "Pictures", "\n".join(body) + paragraphs(CARROLL))
    return b


def book_long_chapter():
    b = Book("One Long Chapter", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0009")
    texts = AUSTEN + CARROLL + MELVILLE + DICKENS
    parts = []
    for n in range(600):
        parts.append(f'<h2 id="s{n}">Section {n}</h2>')
        parts.append(paragraphs(texts))
        parts.append(f'<blockquote><p>{texts[n % len(texts)]}</p></blockquote>')
        parts.append(f'<ol><li>first</li><li><a href="#s{(n * 7) % 600}">see '
                     f'section {(n * 7) % 600}</a></li></ol>')
    b.chapter("c1", "long.xhtml", "One Long Chapter", "\n".join(parts))
    return b


def write_bomb(path, size=2 << 30):
    """One chapter of `size` bytes of repeated paragraphs, written and deflated piece by piece."""
    b = Book("A Bomb", "urn:uuid:5d1c4d0a-0c5a-4f0b-9a39-2c6a0d9c0010")
    b.chapter("c1", "bomb.xhtml", "A Bomb", "")
    head, tail = xhtml("A Bomb", "@BODY@").encode("utf-8").split(b"@BODY@")
    piece = (paragraphs(AUSTEN + CARROLL) + "\n").encode("utf-8") * 256
    buf = io.BytesIO()
    b.write(buf)  # everything, the chapter empty
    src = zipfile.ZipFile(io.BytesIO(buf.getvalue()))
    with zipfile.ZipFile(path, "w", compresslevel=9) as z:
        for info in src.infolist():
            if info.filename != "OEBPS/bomb.xhtml":
                z.writestr(info, src.read(info))
        info = zipfile.ZipInfo("OEBPS/bomb.xhtml", FIXED_TIME)
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = 0o644 << 16
        with z.open(info, "w", force_zip64=True) as chapter:
            chapter.write(head)
            written = len(head)
            while written < size:
                chapter.write(piece)
                written += len(piece)
            chapter.write(tail)


def write_broken(path):
    """An EPUB whose container names a package document that is not in the archive."""
    b = book_plain_epub2()
    buf = io.BytesIO()
    b.write(buf)
    src = zipfile.ZipFile(io.BytesIO(buf.getvalue()))
    with zipfile.ZipFile(path, "w") as z:
        for info in src.infolist():
            if info.filename != "OEBPS/content.opf":
                z.writestr(info, src.read(info))


BOOKS = {
    "plain-epub2": ("plain-epub2.epub", book_plain_epub2),
    "epub3-pictures": ("epub3-pictures.epub", book_epub3_pictures),
    "fonts": ("fonts.epub", book_fonts),
    "mathml": ("mathml.epub", book_mathml),
    "rtl-vertical": ("rtl-vertical.epub", book_rtl_vertical),
    "non-ascii": ("Non-ASCII \u00e9t\u00e9 \u5bfa\u5c71.epub", book_non_ascii),
    "many-chapters": ("many-chapters.epub", book_many_chapters),
    "broken": ("broken.epub", None),
    "bomb": ("bomb.epub", None),
    "large": ("large.epub", book_large),
    "tag-soup": ("tag-soup.epub", book_tag_soup),
    "big-pictures": ("big-pictures.epub", book_big_pictures),
    "long-chapter": ("long-chapter.epub", book_long_chapter),
}
TEST_BOOKS = ["plain-epub2", "epub3-pictures", "fonts", "mathml", "rtl-vertical", "non-ascii",
              "many-chapters", "broken"]


def main(argv):
    if len(argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    out = argv[1]
    os.makedirs(out, exist_ok=True)
    names = argv[2:] or TEST_BOOKS
    if names == ["--all"]:
        names = [name for name in BOOKS if name not in ("bomb", "large")]
    for name in names:
        file_name, make = BOOKS[name]
        path = os.path.join(out, file_name)
        if name == "bomb":
            write_bomb(path)
        elif make is None:
            write_broken(path)
        else:
            make().write(path)
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
