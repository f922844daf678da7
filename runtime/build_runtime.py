#!/usr/bin/python3
"""Makes the converter runtime archive from the calibre installed on this machine.

The archive holds a trimmed, relocatable calibre ebook-convert:

  ebook-convert   the launcher: finds everything below relative to its own location and runs
                  with the interpreter that calibre's own launcher names; hands the conversion
                  to the warm converter when that runs (launcher.py)
  warm-converter  the warm converter: imports the conversion modules once and converts each
                  book in a child it forks (warm_converter.py)
  pylib.zip       calibre's pure-Python modules as bytecode (hash-based, unchecked, so it stays
                  valid wherever and whenever it is unpacked), entries stored, imported by
                  zipimport
  plugins/        calibre's native extension modules and its headless Qt platform plugin, but
                  for cPalmdoc: the program's own PalmDOC module (runtime/palmdoc/), which gives
                  the same bytes as calibre's in a fraction of the time, carried in its place
  resources/      the resource files the conversion reads

The carried bytecode of a few modules is made from their source with changes (SOURCE_CHANGES)
that make work calibre repeats for every chapter cheaper without changing its results: caches
that calibre bounds below what one book needs are made large enough for a book, so that its
style sheets' selectors are parsed once, not again for every chapter; selectors that cannot
match a chapter are not walked; a style attribute's text is flattened once, and each rule of
calibre's html.css once per conversion instead of once per pass; the table of
contents' play orders are put in order in one pass. Other changes make a cold start cheaper, again
without changing what a conversion gives: the plugin registry carries no device drivers and no
catalogs (whose names it still knows, listed from the installed calibre when the runtime is
made), and modules a conversion into MOBI seldom needs are imported when first used instead of
at start-up (BeautifulSoup for a jacket's comments, mechanize and regex for metadata look-ups, Qt
and its application for drawing an SVG, PIL and calibre's picture module for pictures, the
transliteration tables for text beyond ASCII). The launcher imports with Python's cyclic garbage
collector off, and the carried Plumber.run turns it on before converting. The build fails when
the place a change is made is not found exactly once in the installed calibre: the runtime is
never made with a change half-made.

What is kept is listed in manifest.txt (see there and evidence/ for why). Links are
dereferenced; permission bits and modification times are stored (the Unix mode in the
external attributes, the exact time in an extended-timestamp field); already-compressed files
are stored, the rest deflated. The same inputs give the same bytes.

Run it with the interpreter named on the first line of calibre's launcher (the bytecode must
match it); CMake does. Usage:
  build_runtime.py --manifest manifest.txt --output calibre-runtime.zip
                   --palmdoc cPalmdoc.so [--launcher /usr/bin/ebook-convert]
                   [--depfile FILE] [--listing FILE] [--source FILE]

--palmdoc names the program's PalmDOC module; it is loaded here and must compress and
decompress a sample as calibre's own module does, or nothing is made.

--source writes which Debian packages the carried calibre files come from (the Debian package
of the program names them in Built-Using, and takes their copyright file):
  Built-Using: calibre (= 6.13.0+repack-2+deb12u10)
  Packages: calibre calibre-bin
"""

import argparse
import fnmatch
import importlib.util
import os
import re
import stat
import struct
import subprocess
import sys
import time
import zipfile
import zlib
from importlib import _bootstrap_external

# Files whose content is already compressed: deflating them again only costs time.
COMPRESSED_SUFFIXES = (".zip", ".png", ".jpg", ".jpeg", ".gif", ".webp", ".gz", ".bz2", ".xz",
                       ".woff", ".woff2", ".rcc", ".epub", ".mobi")

# The launcher (ebook-convert) and the warm converter, written beside this script.
HERE = os.path.dirname(os.path.abspath(__file__))
LAUNCHER_SOURCE = os.path.join(HERE, "launcher.py")
WARM_SOURCE = os.path.join(HERE, "warm_converter.py")
# The extension module replaced by the program's own (--palmdoc).
PALMDOC = "cPalmdoc"
# Select.__call__ of the carried css_selectors skips a selector that cannot match: one made only
# of type, class, id and attribute selectors and combinators (none of which can fail) whose
# rightmost type selector names a tag that no element of the tree has, once the Select's map of
# elements by tag is made. Whatever it skips would have given nothing: every such selector yields
# only elements of its rightmost type, looked up in that same map (which is never made earlier
# than calibre makes it, so a tree changed in between is seen as calibre sees it). calibre's
# Stylizer asks every rule of a book's style sheets and of its own html.css for every chapter,
# three times; most name tags a chapter lacks.
SELECTOR_SKIP_METHODS = """\
    _plain_selector_types = frozenset(('Element', 'Class', 'Hash', 'Attrib', 'CombinedSelector'))

    def _plain_rightmost_tag(self, parsed):
        # The tag the selector's rightmost type selector names, or None: None too when a part
        # of it is not plain (a pseudo-class, a function, a negation) or its type is universal.
        try:
            return parsed._plain_rightmost_tag
        except AttributeError:
            pass
        parsed._plain_rightmost_tag = tag = self._find_plain_rightmost_tag(parsed)
        return tag

    def _find_plain_rightmost_tag(self, parsed):
        if parsed.pseudo_element is not None:
            return None
        stack = [parsed.parsed_tree]
        while stack:
            s = stack.pop()
            kind = type(s).__name__
            if kind not in self._plain_selector_types:
                return None
            if kind == 'CombinedSelector':
                if s.combinator not in self.combinator_mapping:
                    return None
                stack.extend((s.selector, s.subselector))
            elif kind == 'Attrib':
                if s.operator not in self.attribute_operator_mapping:
                    return None
                stack.append(s.selector)
            elif kind != 'Element':
                stack.append(s.selector)
        s = parsed.parsed_tree
        while type(s).__name__ != 'Element':
            s = s.subselector if type(s).__name__ == 'CombinedSelector' else s.selector
        if not s.element or s.element == '*':
            return None
        return ascii_lower(s.element)

    def __call__(self, selector, root=None):
"""
SELECTOR_SKIP_LOOP = """\
        for parsed_selector in get_parsed_selector(selector):
            if self.dispatch_map is default_dispatch_map:
                tag = self._plain_rightmost_tag(parsed_selector)
                if tag is not None and self._element_map is not None and \\
                        not self._element_map.get(tag):
                    continue
            for item in self.iterparsedselector(parsed_selector):
"""

# The carried Stylizer keeps, for the style rules of a book (calibre's StylizerRules, which
# decide how a declaration is flattened), what each style attribute's text flattened to, and
# parses an attribute seen before no more. Only texts without "url" and without backslashes are
# kept: no URL in them is made absolute relative to their chapter, so what they flatten to
# depends on the text and the rules alone. The dictionary handed on is only read.
STYLE_ATTR_CACHE = """\
        flatten = self._stylizer.flatten_style
        rules = getattr(flatten, '__self__', None)
        cacheable = rules is not None and chr(92) not in css and 'url' not in css.lower()
        if cacheable:
            cache = rules.__dict__.setdefault('_style_attr_cache', {})
            if css in cache:
                flat = cache[css]
                if flat is not None:
                    self._update_style(flat)
                return
        try:
            style = parseStyle(css, validate=False)
        except CSSSyntaxError:
            if cacheable:
                cache[css] = None
            return
        if url_replacer is not None:
            replaceUrls(style, url_replacer, ignoreImportRules=True)
        flat = flatten(style)
        if cacheable:
            cache[css] = flat
        self._update_style(flat)
"""

# The carried StylizerRules keeps what each style rule of calibre's own html.css flattened to,
# for the output profile and the justification asked for, and flattens such a rule no more: a
# conversion makes a StylizerRules for each pass over the book (five or more), each flattening
# all of html.css's rules anew. What a style rule flattens to depends on the rule, its place,
# the profile's font sizes and the justification alone; the rules of html.css (parsed once per
# process, by html_css_stylesheet) are never changed, and what they flatten to is only read.
USER_AGENT_RULES = """\
_user_agent_rules = {}


class StylizerRules:
"""
FLATTEN_RULE = """\
    def flatten_rule(self, rule, href, index, is_user_agent_sheet=False):
        if not (is_user_agent_sheet and isinstance(rule, CSSStyleRule) and
                _html_css_stylesheet is not None and
                getattr(rule, 'parentStyleSheet', None) is _html_css_stylesheet):
            return self._flatten_rule(rule, href, index, is_user_agent_sheet)
        key = (id(rule), href, index, getattr(self.opts, 'change_justification', None),
               id(self.profile))
        found = _user_agent_rules.get(key)
        if found is None or found[0] is not rule or found[1] is not self.profile:
            found = (rule, self.profile, self._flatten_rule(rule, href, index, True))
            _user_agent_rules[key] = found
        return list(found[2])

    def _flatten_rule(self, rule, href, index, is_user_agent_sheet=False):
"""

# The carried TOC puts its play orders in order in one pass, not by scanning all the entries
# before each entry twice (thousands of chapters: millions of steps). Each entry takes the play
# order of the first entry before it with its href, when there is one, and when the first
# entry before it with its play order has another href, either that same first play order of its
# href or one more than the largest play order in the table: as calibre's scan does, with the
# earlier entries' play orders and the largest found in tables kept as it goes. A table that
# holds an entry twice, or a play order that is not an integer, or an href that cannot be a key,
# is put in order by calibre's scan.
PLAY_ORDERS = """\
    def rationalize_play_orders(self):
        nodes = list(self.iter())
        if len({id(x) for x in nodes}) != len(nodes) or not all(
                isinstance(x.play_order, int) and
                (x.href is None or isinstance(x.href, str)) for x in nodes):
            return self._rationalize_play_orders_scan()
        counts = {}
        for x in nodes:
            counts[x.play_order] = counts.get(x.play_order, 0) + 1

        def set_play_order(x, value):
            counts[x.play_order] -= 1
            if not counts[x.play_order]:
                del counts[x.play_order]
            x.play_order = value
            counts[value] = counts.get(value, 0) + 1

        first_with_play_order, first_with_href = {}, {}
        for x in nodes:
            y = first_with_play_order.get(x.play_order)
            if y is not None and x.href != y.href:
                h = first_with_href.get(x.href)
                set_play_order(x, h.play_order if h is not None else max(counts) + 1)
            y = first_with_href.get(x.href)
            if y is not None:
                set_play_order(x, y.play_order)
            first_with_play_order.setdefault(x.play_order, x)
            first_with_href.setdefault(x.href, x)

    def _rationalize_play_orders_scan(self):
"""
# The carried TOC finds its next play order (one more than the largest in the table) by walking
# its entries with a list instead of through nested generators, the entry ever asked when a
# table of contents has no play orders of its own; a play order that is not a plain integer
# leaves it to calibre's walk.
NEXT_PLAY_ORDER = """\
    def next_play_order(self):
        largest = self.play_order
        stack = list(self.nodes)
        if type(largest) is not int:
            return self._next_play_order_scan()
        while stack:
            x = stack.pop()
            po = x.play_order
            if type(po) is not int:
                return self._next_play_order_scan()
            if po > largest:
                largest = po
            stack.extend(x.nodes)
        return largest + 1

    def _next_play_order_scan(self):
"""
# The carried OEB reader asks the table of contents for its next play order only for an entry
# that has no playOrder of its own (or a bad one), as the value calibre falls back to, instead of
# for every entry (each time a walk over the whole table).
PLAY_ORDER_DEFAULT = """\
                po = child.get('playOrder')
                po = int(po if po is not None else self.oeb.toc.next_play_order())
"""

# The carried Select finds the elements with an id or a class by walking the document's elements
# in document order, as the XPath expressions //*[@id] and //*[@class] it replaces select them
# (from the root of the document that holds the tree, whatever element the Select was made for):
# libxml2's XPath takes a quarter of a second for that in a long chapter, the walk milliseconds.
TAGS_WITH_ATTRIBUTE = """\
    def iteridtags(self):
        return [e for e in self.root.getroottree().getroot().iter('*') if e.get('id') is not None]

    def iterclasstags(self):
        return [e for e in self.root.getroottree().getroot().iter('*')
                if e.get('class') is not None]
"""

# The carried calibre.ebooks.oeb.base.xpath compiles each expression once (per thread; at most
# 4,096 kept, then started afresh) instead of at every call: the Stylizer alone asks three for
# every chapter, three times. An expression lxml cannot compile is handed to elem.xpath as
# before, so that it fails as it did.
COMPILED_XPATH = """\
from threading import get_ident as _xpath_thread
_compiled_xpaths = {}


def xpath(elem, expr):
    key = (_xpath_thread(), expr)
    try:
        compiled = _compiled_xpaths[key]
    except KeyError:
        try:
            compiled = etree.XPath(expr, namespaces=XPNSMAP)
        except etree.XPathError:
            return elem.xpath(expr, namespaces=XPNSMAP)
        if len(_compiled_xpaths) >= 4096:
            _compiled_xpaths.clear()
        _compiled_xpaths[key] = compiled
    return compiled(elem)
"""

# The carried jacket module imports calibre's comments module (and with it BeautifulSoup) when
# a jacket's comments are rendered, not when the module is imported: every conversion imports the
# module to remove a first picture or a jacket, few render one.
JACKET_COMMENTS = """\
def comments_to_html(*args, **kwargs):
    from calibre.library.comments import comments_to_html
    return comments_to_html(*args, **kwargs)


def markdown(*args, **kwargs):
    from calibre.library.comments import markdown
    return markdown(*args, **kwargs)
"""

# The carried Amazon and Google metadata sources import mechanize and regex when they look a book
# up, not when the registry imports them: a conversion never looks a book up.
AMAZON_HTTP_ERROR = """\
        from mechanize import HTTPError
        try:
            results, qurl = sfunc(terms, site, log=log, br=br, timeout=timeout)
        except HTTPError as err:
"""
GOOGLE_REGEX = "        import regex\n        strip_punc_pat = regex.compile("

# The carried SVG rasterizer makes calibre's headless Qt application (importing calibre.gui2 and
# Qt's widgets to do so), and imports Qt's modules, when it first draws an SVG, not when it is
# made or imported; the MOBI writer makes it before it converts a picture that came after its
# other pictures (calibre.ebooks.mobi.writer2.resources). calibre makes the application when the
# MOBI output makes its rasterizer, for every book: after the book's pictures were converted
# (by Resources, made earlier), before those the rasterizer draws are. A picture Qt writes while
# the application exists gets the screen's resolution in its header (96 dpi, not 100), so each
# picture is written with the application there exactly when calibre has it. Nothing else in the
# MOBI output needs it (calibre.utils.img sets Qt's picture allocation limit itself, calibre
# set the process's locale at its start already), and most books have no SVG to draw.
RASTERIZER_INIT = """\
    def __init__(self, base_css=''):
        self.base_css = base_css

    def _must_use_qt(self):
        from calibre.gui2 import must_use_qt
        must_use_qt()
        _import_qt()
"""
EXTRA_IMAGES_QT = """\
            if (item.media_type not in OEB_RASTER_IMAGES or item.href in self.item_map):
                continue
            from calibre.gui2 import must_use_qt
            must_use_qt()
"""
RASTERIZE_QT_IMPORT = """\
def _import_qt():
    global Qt, QByteArray, QBuffer, QIODevice, QColor, QImage, QPainter, QSvgRenderer
    from qt.core import (
        Qt, QByteArray, QBuffer, QIODevice, QColor, QImage, QPainter, QSvgRenderer)
"""
RASTERIZE_SVG_FUNCTION = """\
def rasterize_svg(data=TEST_SVG, sizes=(), width=0, height=0, print=None, fmt='PNG', as_qimage=False):
    _import_qt()
"""
RASTERIZE_SVG = """\
    def rasterize_svg(self, elem, width=0, height=0, format='PNG'):
        self._must_use_qt()
"""
RASTERIZE_EXTERNAL = """\
    def rasterize_external(self, elem, style, item, svgitem):
        self._must_use_qt()
"""

# The carried MOBI writer imports calibre's picture module (and with it Qt's GUI library) and PIL
# when it first handles a picture, not when it is imported: a book without pictures needs
# neither.
MOBI_UTILS_IMG_NAMES = ("save_cover_data_to", "scale_image", "image_to_data", "image_from_data",
                        "resize_image", "png_data_to_gif_data")
MOBI_UTILS_IMG = "\n\n".join(f"def {name}(*args, **kwargs):\n"
                               f"    from calibre.utils.img import {name}\n"
                               f"    return {name}(*args, **kwargs)\n"
                               for name in MOBI_UTILS_IMG_NAMES)
RESOURCES_PIL = """\
def process_jpegs_for_amazon(data: bytes) -> bytes:
    from PIL import Image, ImageOps
"""

# The launcher starts with Python's cyclic garbage collector off (sys.gc_off_for_startup): the
# tens of thousands of objects its imports make are garbage none of, and the collector would walk
# them again and again. The carried Plumber.run turns it on before converting, the objects made
# until then set aside for good (gc.freeze), so that the conversion collects as calibre's does.
PLUMBER_RUN_GC = """\
    def run(self):
        '''
        Run the conversion pipeline
        '''
        if getattr(sys, 'gc_off_for_startup', False):
            import gc
            sys.gc_off_for_startup = False
            gc.freeze()
            gc.enable()
"""

# The carried Unidecoder (which calibre's ascii_text uses, under most languages) takes its
# tables of ASCII stand-ins (two modules of some 60,000 strings) when it first meets a character
# beyond ASCII, not when it is made: text that is ASCII already is given back as it is without
# them. It takes them as calibre's does (the Chinese readings added to the shared table).
UNIDECODER_INIT = """\
    def __init__(self):
        pass

    def _take_codepoints(self):
        from calibre.ebooks.unihandecode.unicodepoints import CODEPOINTS
        from calibre.ebooks.unihandecode.zhcodepoints import CODEPOINTS as HANCODES
        self.codepoints = CODEPOINTS
        self.codepoints.update(HANCODES)
"""
UNIDECODER_REPLACE_POINT = """\
    def replace_point(self, codepoint):
        '''
        Returns the replacement character or ? if none can be found.
        '''
        if 'codepoints' not in self.__dict__:
            self._take_codepoints()
"""

# The carried plugin registry holds no device drivers and no catalog plugins: a conversion asks
# the registry for its input and output plugins, its profiles, its file type plugins and its
# metadata plugins (which stay), never for a device or a catalog. Importing the drivers, and
# making each one (the wireless driver imports zeroconf to do so), is most of what importing the
# registry costs. The names of what is left out are still known as calibre's own (the registry
# tells a plugin of the user's that takes a built-in name by them), listed when the runtime is
# made (left_out_plugin_names).
BUILTIN_NAMES = """\
builtin_names = frozenset(p.name for p in builtin_plugins) | frozenset(@LEFT_OUT_NAMES@)
"""

# Changes made to the source of carried modules before it is compiled: module -> (name, pattern
# of the one place it changes, the text that replaces it). calibre's css_selectors keeps 200
# parsed selectors and 30 compiled XPath expressions, first in first out: a book with more
# selectors than that parses nearly all of them again for each chapter.
SOURCE_CHANGES = {
    "css_selectors.select": [
        ("PARSE_CACHE_SIZE", r"^PARSE_CACHE_SIZE = \d+$", "PARSE_CACHE_SIZE = 1000000"),
        ("XPATH_CACHE_SIZE", r"^XPATH_CACHE_SIZE = \d+$", "XPATH_CACHE_SIZE = 100000"),
        ("Select.__call__", r"^    def __call__\(self, selector, root=None\):\n",
         SELECTOR_SKIP_METHODS),
        ("Select.__call__'s loop",
         r"^        for parsed_selector in get_parsed_selector\(selector\):\n"
         r"            for item in self\.iterparsedselector\(parsed_selector\):\n",
         SELECTOR_SKIP_LOOP),
        ("Select.iteridtags and Select.iterclasstags",
         r"^    def iteridtags\(self\):\n"
         r"        return get_compiled_xpath\('//\*\[@id\]'\)\(self\.root\)\n\n"
         r"    def iterclasstags\(self\):\n"
         r"        return get_compiled_xpath\('//\*\[@class\]'\)\(self\.root\)\n",
         TAGS_WITH_ATTRIBUTE),
    ],
    "calibre.ebooks.oeb.stylizer": [
        ("StylizerRules", r"^class StylizerRules:\n", USER_AGENT_RULES),
        ("StylizerRules.flatten_rule",
         r"^    def flatten_rule\(self, rule, href, index, is_user_agent_sheet=False\):\n",
         FLATTEN_RULE),
        ("Style._apply_style_attr",
         r"^        try:\n"
         r"            style = parseStyle\(css, validate=False\)\n"
         r"        except CSSSyntaxError:\n"
         r"            return\n"
         r"        if url_replacer is not None:\n"
         r"            replaceUrls\(style, url_replacer, ignoreImportRules=True\)\n"
         r"        self\._update_style\(self\._stylizer\.flatten_style\(style\)\)\n",
         STYLE_ATTR_CACHE),
    ],
    "calibre.ebooks.oeb.base": [
        ("xpath", r"^def xpath\(elem, expr\):\n    return elem\.xpath\(expr, namespaces=XPNSMAP\)\n",
         COMPILED_XPATH),
        ("TOC.rationalize_play_orders", r"^    def rationalize_play_orders\(self\):\n",
         PLAY_ORDERS),
        ("TOC.next_play_order", r"^    def next_play_order\(self\):\n", NEXT_PLAY_ORDER),
    ],
    "calibre.ebooks.oeb.transforms.jacket": [
        ("jacket's comments import",
         r"^from calibre\.library\.comments import comments_to_html, markdown\n",
         JACKET_COMMENTS),
    ],
    "calibre.ebooks.oeb.transforms.rasterize": [
        ("rasterize's Qt import",
         r"^from qt\.core import \(\n"
         r"    Qt, QByteArray, QBuffer, QIODevice, QColor, QImage, QPainter, QSvgRenderer\)\n",
         RASTERIZE_QT_IMPORT),
        ("rasterize_svg",
         r"^def rasterize_svg\(data=TEST_SVG, sizes=\(\), width=0, height=0, print=None, "
         r"fmt='PNG', as_qimage=False\):\n",
         RASTERIZE_SVG_FUNCTION),
        ("SVGRasterizer.__init__",
         r"^    def __init__\(self, base_css=''\):\n"
         r"        self\.base_css = base_css\n"
         r"        from calibre\.gui2 import must_use_qt\n"
         r"        must_use_qt\(\)\n",
         RASTERIZER_INIT),
        ("SVGRasterizer.rasterize_svg",
         r"^    def rasterize_svg\(self, elem, width=0, height=0, format='PNG'\):\n",
         RASTERIZE_SVG),
        ("SVGRasterizer.rasterize_external",
         r"^    def rasterize_external\(self, elem, style, item, svgitem\):\n",
         RASTERIZE_EXTERNAL),
    ],
    "calibre.ebooks.mobi.utils": [
        ("mobi.utils' picture import",
         r"^from calibre\.utils\.img import " + ", ".join(MOBI_UTILS_IMG_NAMES) + r"\n",
         MOBI_UTILS_IMG),
    ],
    "calibre.ebooks.mobi.writer2.resources": [
        ("resources' PIL import", r"^from PIL import Image, ImageOps\n", ""),
        ("process_jpegs_for_amazon",
         r"^def process_jpegs_for_amazon\(data: bytes\) -> bytes:\n", RESOURCES_PIL),
        ("Resources.add_extra_images' Qt application",
         r"^            if \(item\.media_type not in OEB_RASTER_IMAGES or "
         r"item\.href in self\.item_map\):\n                continue\n", EXTRA_IMAGES_QT),
    ],
    "calibre.ebooks.conversion.plumber": [
        ("Plumber.run", r"^    def run\(self\):\n        '''\n        Run the conversion pipeline\n"
         r"        '''\n", PLUMBER_RUN_GC),
    ],
    "calibre.ebooks.unihandecode.unidecoder": [
        ("unidecoder's table imports",
         r"^from calibre\.ebooks\.unihandecode\.unicodepoints import CODEPOINTS\n"
         r"from calibre\.ebooks\.unihandecode\.zhcodepoints import CODEPOINTS as HANCODES\n", ""),
        ("Unidecoder.__init__",
         r"^    def __init__\(self\):\n        self\.codepoints = CODEPOINTS\n"
         r"        self\.codepoints\.update\(HANCODES\)\n", UNIDECODER_INIT),
        ("Unidecoder.replace_point", r"^    def replace_point\(self, codepoint\):\n        '''\n"
         r"        Returns the replacement character or \? if none can be found\.\n"
         r"        '''\n", UNIDECODER_REPLACE_POINT),
    ],
    "calibre.customize.builtins": [
        ("the catalog plugins", r"(?s)^# Catalog plugins \{\{\{\n.*?^# \}\}\}\n",
         "# Catalog plugins: not carried.\n"),
        ("the device driver plugins",
         r"(?s)^# Device driver plugins \{\{\{\n.*?^    USER_DEFINED,\n\]\n",
         "# Device driver plugins: not carried.\n"),
    ],
    "calibre.ebooks.metadata.sources.amazon": [
        ("amazon's mechanize import", r"^from mechanize import HTTPError\n", ""),
        ("Amazon.search_engine's HTTPError",
         r"^        try:\n"
         r"            results, qurl = sfunc\(terms, site, log=log, br=br, timeout=timeout\)\n"
         r"        except HTTPError as err:\n",
         AMAZON_HTTP_ERROR),
    ],
    "calibre.ebooks.metadata.sources.google": [
        ("google's regex import", r"^import regex\n", ""),
        ("GoogleBooks.identify's regex", r"^        strip_punc_pat = regex\.compile\(",
         GOOGLE_REGEX),
    ],
    "calibre.customize.ui": [
        ("builtin_names", r"^builtin_names = frozenset\(p\.name for p in builtin_plugins\)\n",
         BUILTIN_NAMES),
    ],
    "calibre.ebooks.oeb.reader": [
        ("OEBReader._toc_from_navpoint's play order",
         r"^                po = int\(child\.get\('playOrder', "
         r"self\.oeb\.toc\.next_play_order\(\)\)\)\n",
         PLAY_ORDER_DEFAULT),
    ],
}
# The warm converter imports every module that at least this many traced conversions imported.
WARM_MIN_CONVERSIONS = 2


def fail(message):
    sys.exit(f"build_runtime: {message}")


def read_launcher(path):
    """The installed launcher's interpreter, folders and entry point."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        fail(f"cannot read calibre's launcher {path}: {e.strerror}. Install calibre "
             f"(scripts/deps.sh) or point BQ_CALIBRE_LAUNCHER at its ebook-convert.")
    first = text.splitlines()[0] if text else ""
    if not first.startswith("#!"):
        fail(f"{path} does not start with an interpreter line")
    interpreter = first[2:].split()[0]

    def default(var):
        m = re.search(r"os\.environ\.get\(\s*'" + var + r"'\s*,\s*'([^']+)'\s*\)", text)
        if not m:
            fail(f"{path}: cannot find the default of {var}")
        return m.group(1)

    m = re.search(r"^from\s+([\w.]+)\s+import\s+(\w+)\s*$", text, re.M)
    if not m:
        fail(f"{path}: cannot find the converter's entry point")
    return {
        "launcher": path,
        "interpreter": interpreter,
        "lib": default("CALIBRE_PYTHON_PATH"),
        "resources": default("CALIBRE_RESOURCES_PATH"),
        "extensions": default("CALIBRE_EXTENSIONS_PATH"),
        "entry_module": m.group(1),
        "entry_function": m.group(2),
    }


def read_manifest(path):
    """Rules: (kind, pattern) pairs. Kinds: python, python-list, extension, resource."""
    rules = []
    base = os.path.dirname(os.path.abspath(path))
    for n, line in enumerate(open(path, encoding="utf-8"), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        kind, _, pattern = line.partition(" ")
        pattern = pattern.strip()
        if kind not in ("python", "python-list", "extension", "resource") or not pattern:
            fail(f"{path}:{n}: cannot read '{line}'")
        if kind == "python-list":
            rules.append((kind, os.path.join(base, pattern)))
        else:
            rules.append((kind, pattern))
    return rules


def python_modules(lib):
    """Every pure-Python module below lib: dotted name -> source path."""
    modules = {}
    for folder, dirs, files in os.walk(lib):
        dirs[:] = sorted(d for d in dirs if d != "__pycache__")
        rel = os.path.relpath(folder, lib)
        parts = [] if rel == "." else rel.split(os.sep)
        if parts and not os.path.exists(os.path.join(folder, "__init__.py")):
            dirs[:] = []
            continue
        for f in files:
            if not f.endswith(".py"):
                continue
            name = f[:-3]
            dotted = ".".join(parts if name == "__init__" else parts + [name])
            if dotted:
                modules[dotted] = os.path.join(folder, f)
    return modules


def select_modules(rules, modules):
    chosen = set()
    for kind, pattern in rules:
        if kind == "python-list":
            names = []
            for line in open(pattern, encoding="utf-8"):
                line = line.split("#", 1)[0].strip()
                if line:
                    names.append(line.split()[0])
            # Evidence lists also name extension modules; those are chosen separately.
            names = [n for n in names if not n.startswith("calibre_extensions")]
            missing = [n for n in names if n not in modules]
            if missing:
                fail(f"{pattern} names modules calibre no longer has: {', '.join(missing[:5])}; "
                     f"run trace_conversions.py again")
            chosen.update(names)
        elif kind == "python":
            if pattern.endswith(".*"):
                pkg = pattern[:-2]
                found = [m for m in modules if m == pkg or m.startswith(pkg + ".")]
            else:
                found = [m for m in modules if m == pattern]
            if not found:
                fail(f"manifest: no module matches 'python {pattern}'")
            chosen.update(found)
    # A module needs every package above it.
    for name in list(chosen):
        parts = name.split(".")
        for i in range(1, len(parts)):
            parent = ".".join(parts[:i])
            if parent not in modules:
                fail(f"{name} has no package {parent}")
            chosen.add(parent)
    return sorted(chosen)


def warm_modules(rules, names):
    """The modules the warm converter imports, in the evidence's order: those that at least
    WARM_MIN_CONVERSIONS traced conversions imported and that the runtime keeps."""
    kept = set(names)
    chosen = []
    for kind, pattern in rules:
        if kind != "python-list":
            continue
        for line in open(pattern, encoding="utf-8"):
            words = line.split("#", 1)[0].split()
            if len(words) < 2 or not words[1].isdigit() or int(words[1]) < WARM_MIN_CONVERSIONS:
                continue
            if (words[0] in kept or words[0].startswith("calibre_extensions.")) \
                    and words[0] not in chosen:
                chosen.append(words[0])
    return chosen


def script(source, calibre, **more):
    text = open(source, encoding="utf-8").read()
    values = {"INTERPRETER": calibre["interpreter"], "ENTRY_MODULE": calibre["entry_module"],
              "ENTRY_FUNCTION": calibre["entry_function"]}
    values.update(more)
    for key, value in values.items():
        text = text.replace(f"@{key}@", value)
    if "@" in "".join(line for line in text.splitlines() if line.lstrip().startswith("#!")):
        fail(f"{source}: a placeholder was left")
    return text.encode("utf-8")


def select_files(rules, kind, root):
    patterns = [p for k, p in rules if k == kind]
    if kind == "extension":
        patterns = [p + ".so" for p in patterns]
    everything = []
    for folder, dirs, files in os.walk(root, followlinks=True):
        dirs.sort()
        for f in sorted(files):
            everything.append(os.path.relpath(os.path.join(folder, f), root))
    chosen = set()
    for p in patterns:
        found = [f for f in everything if fnmatch.fnmatchcase(f, p)]
        if not found:
            fail(f"manifest: nothing below {root} matches '{kind} {p}'")
        chosen.update(found)
    return sorted(chosen)


# Values the changes' texts name as @NAME@, found when the runtime is made.
SOURCE_VALUES = {}

LEFT_OUT_PLUGINS = """\
import sys
sys.path.insert(0, sys.argv[1])
sys.resources_location, sys.extensions_location, sys.executables_location = sys.argv[2:5]
sys.system_plugins_location = None
from calibre.customize import CatalogPlugin
from calibre.customize.builtins import plugins
from calibre.devices.interface import DevicePlugin
print(repr(sorted(p.name for p in plugins if issubclass(p, (CatalogPlugin, DevicePlugin)))))
"""


def left_out_plugin_names(calibre):
    """The names of the installed calibre's built-in device driver and catalog plugins, which the
    carried registry leaves out, as the text of a Python list."""
    import ast
    import tempfile
    with tempfile.TemporaryDirectory(prefix="bq-runtime-") as home:
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": home, "LANG": "C.UTF-8",
               "CALIBRE_CONFIG_DIRECTORY": os.path.join(home, "config"), "PYTHONHASHSEED": "0"}
        found = subprocess.run(
            [calibre["interpreter"], "-I", "-c", LEFT_OUT_PLUGINS, calibre["lib"],
             calibre["resources"], calibre["extensions"], os.path.dirname(calibre["launcher"])],
            capture_output=True, text=True, env=env, cwd=home)
    try:
        names = ast.literal_eval(found.stdout.strip().splitlines()[-1])
    except (IndexError, SyntaxError, ValueError):
        names = None
    if found.returncode != 0 or not names or not all(isinstance(n, str) for n in names):
        fail("cannot list the device driver and catalog plugins of calibre's registry: "
             + (found.stderr.strip().splitlines() or ["no names"])[-1])
    return repr(names)


def changed_source(name, source):
    """The module's source with SOURCE_CHANGES made; fails naming any change not found."""
    changes = SOURCE_CHANGES.get(name, [])
    if not changes:
        return source
    text = source.decode("utf-8")
    for what, pattern, line in changes:
        for key in re.findall(r"@(\w+)@", line):
            line = line.replace(f"@{key}@", SOURCE_VALUES[key])
        text, count = re.subn(pattern, lambda m, line=line: line, text, flags=re.M)
        if count != 1:
            fail(f"cannot change {what} in calibre's {name}: the place it changes is "
                 f"{'not there' if count == 0 else f'there {count} times'} (calibre changed?)")
    return text.encode("utf-8")


def bytecode(source_path, in_zip_name, name=None):
    source = changed_source(name, open(source_path, "rb").read())
    code = compile(source, in_zip_name, "exec", dont_inherit=True, optimize=0)
    return _bootstrap_external._code_to_hash_pyc(code, importlib.util.source_hash(source),
                                                 checked=False)


def load_extension(name, path):
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def check_palmdoc(ours_path, calibre_path, sample):
    """The program's PalmDOC module must load with this interpreter and give calibre's bytes."""
    try:
        ours = load_extension(PALMDOC, ours_path)
    except (ImportError, OSError) as e:
        fail(f"the PalmDOC module {ours_path} does not load with {sys.executable}: {e}")
    theirs = load_extension(PALMDOC, calibre_path)
    records = [sample[i:i + 4096] for i in range(0, len(sample), 4096)]
    if len(records) < 2:
        fail("the PalmDOC check has too small a sample")
    for n, record in enumerate(records):
        packed = ours.compress(record)
        if packed != theirs.compress(record) or ours.decompress(packed) != record:
            fail(f"the PalmDOC module {ours_path} does not give calibre's bytes "
                 f"(record {n} of the sample)")


def dos_time(mtime):
    t = time.gmtime(max(mtime, 315532800))  # the DOS epoch is 1980
    return t[:6]


def extended_timestamp(mtime):
    # Info-ZIP's "UT" field: flags (modification time present) and the time in seconds.
    return struct.pack("<HHBl", 0x5455, 5, 1, int(mtime))


class ArchiveWriter:
    def __init__(self, path):
        self.zip = zipfile.ZipFile(path, "w", compresslevel=9)
        self.files = 0
        self.unpacked = 0

    def add_folder(self, name, mtime):
        info = zipfile.ZipInfo(name.rstrip("/") + "/", dos_time(mtime))
        info.create_system = 3
        info.external_attr = ((stat.S_IFDIR | 0o755) << 16) | 0x10
        info.extra = extended_timestamp(mtime)
        self.zip.writestr(info, b"")

    def add_file(self, name, data, mode, mtime, compress=None):
        info = zipfile.ZipInfo(name, dos_time(mtime))
        info.create_system = 3
        info.external_attr = (stat.S_IFREG | (mode & 0o7777)) << 16
        info.extra = extended_timestamp(mtime)
        if compress is None:
            compress = not name.lower().endswith(COMPRESSED_SUFFIXES) and worth_deflating(data)
        info.compress_type = zipfile.ZIP_DEFLATED if compress else zipfile.ZIP_STORED
        self.zip.writestr(info, data)
        self.files += 1
        self.unpacked += len(data)

    def close(self):
        self.zip.close()


def worth_deflating(data):
    if len(data) < 64:
        return len(data) > 0
    return len(zlib.compress(data, 6)) < len(data) * 0.97


def build_pylib(names, modules, lib):
    """pylib.zip's bytes: one stored .pyc per module, in name order, at a fixed time."""
    import io
    buf = io.BytesIO()
    newest = 0
    with zipfile.ZipFile(buf, "w") as z:
        for name in names:
            src = modules[name]
            rel = os.path.relpath(src, lib).replace(os.sep, "/")
            newest = max(newest, int(os.stat(src).st_mtime))
            info = zipfile.ZipInfo(rel[:-3] + ".pyc", (1980, 1, 1, 0, 0, 0))
            info.create_system = 3
            info.external_attr = (stat.S_IFREG | 0o644) << 16
            info.compress_type = zipfile.ZIP_STORED
            z.writestr(info, bytecode(src, rel, name))
    return buf.getvalue(), newest


def debian_source(paths):
    """The record of the Debian packages that hold paths: their source package with its version
    in the form of a Built-Using field, and the binary packages. Fails when dpkg does not know
    a file, or when the files come from more than one source package."""
    found = subprocess.run(["dpkg-query", "-S", *paths], capture_output=True, text=True,
                           env=dict(os.environ, LC_ALL="C"))
    owners = set()
    for line in found.stdout.splitlines():
        names, sep, _ = line.partition(": ")
        if sep and not line.startswith("diversion "):
            owners.update(n.strip().split(":")[0] for n in names.split(","))
    if found.returncode != 0 or not owners:
        missing = found.stderr.strip().splitlines()[:1]
        fail("the carried calibre files must come from Debian's calibre package (dpkg does not "
             f"know them: {missing[0] if missing else 'no owner found'})")
    packages = sorted(owners)
    query = subprocess.run(["dpkg-query", "-W", "-f=${source:Package} ${source:Version}\n",
                            *packages], capture_output=True, text=True, check=True)
    sources = sorted(set(query.stdout.split("\n")) - {""})
    if len(sources) != 1:
        fail(f"the carried calibre files come from several source packages: {sources}")
    name, version = sources[0].split(" ")
    return f"Built-Using: {name} (= {version})\nPackages: {' '.join(packages)}\n"


def reexec_with_fixed_hash_seed():
    # Sets and frozensets in code constants are marshalled in hash order: fix the seed so that
    # the bytecode is the same at every build.
    if os.environ.get("PYTHONHASHSEED") != "0":
        env = dict(os.environ, PYTHONHASHSEED="0")
        for var in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONOPTIMIZE"):
            env.pop(var, None)
        os.execve(sys.executable, [sys.executable, "-s"] + sys.argv, env)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--manifest", required=True)
    ap.add_argument("--output", required=True)
    ap.add_argument("--launcher", default="/usr/bin/ebook-convert")
    ap.add_argument("--palmdoc", required=True,
                    help=f"the program's PalmDOC module, carried in place of calibre's {PALMDOC}")
    ap.add_argument("--depfile")
    ap.add_argument("--listing", help="write the archive's entries with sizes here")
    ap.add_argument("--source", help="write the Debian packages the carried files come from here")
    args = ap.parse_args()
    reexec_with_fixed_hash_seed()

    calibre = read_launcher(args.launcher)
    want = os.path.realpath(calibre["interpreter"])
    if os.path.realpath(sys.executable) != want:
        fail(f"run me with {calibre['interpreter']} (calibre's interpreter), "
             f"not {sys.executable}: the bytecode must match the interpreter that runs it")

    rules = read_manifest(args.manifest)
    modules = python_modules(calibre["lib"])
    names = select_modules(rules, modules)
    missing = sorted(set(SOURCE_CHANGES) - set(names))
    if missing:
        fail(f"the runtime would not carry {', '.join(missing)}, whose source it changes")
    extensions = select_files(rules, "extension", calibre["extensions"])
    if PALMDOC + ".so" not in extensions:
        fail(f"the manifest carries no {PALMDOC} extension for the PalmDOC module to replace")
    check_palmdoc(args.palmdoc, os.path.join(calibre["extensions"], PALMDOC + ".so"),
                  open(os.path.abspath(__file__), "rb").read())
    resources = select_files(rules, "resource", calibre["resources"])

    SOURCE_VALUES["LEFT_OUT_NAMES"] = left_out_plugin_names(calibre)
    pylib, newest_py = build_pylib(names, modules, calibre["lib"])
    carried = [modules[n] for n in names]
    carried += [os.path.join(calibre["extensions"], f) for f in extensions
                if f != PALMDOC + ".so"]
    carried += [os.path.join(calibre["resources"], f) for f in resources]
    inputs = [args.launcher] + carried
    # Asked before anything is written: a runtime whose origin is unknown is not made.
    source = debian_source(sorted({os.path.realpath(p) for p in carried})) if args.source else None
    # Folders get the time of the newest calibre file taken: a time of the installed calibre,
    # never of this checkout, so a fresh clone makes the same bytes.
    newest = max(int(os.stat(p).st_mtime) for p in inputs)
    inputs += [args.manifest] + [p for k, p in rules if k == "python-list"]
    inputs += [LAUNCHER_SOURCE, WARM_SOURCE, args.palmdoc]

    tmp = args.output + ".tmp"
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    out = ArchiveWriter(tmp)
    launcher = script(LAUNCHER_SOURCE, calibre)
    out.add_file("ebook-convert", launcher, 0o755, int(os.stat(args.launcher).st_mtime))
    warm = script(WARM_SOURCE, calibre, WARM_MODULES=repr(tuple(warm_modules(rules, names))))
    out.add_file("warm-converter", warm, 0o755, int(os.stat(args.launcher).st_mtime))
    out.add_file("pylib.zip", pylib, 0o644, newest_py)
    for top, root, files in (("plugins", calibre["extensions"], extensions),
                             ("resources", calibre["resources"], resources)):
        folders = sorted({os.path.dirname(f) for f in files} | {""})
        for folder in folders:
            # Every folder on the way down gets its entry, before its files.
            parts = [p for p in folder.split(os.sep) if p]
            for i in range(len(parts) + 1):
                name = "/".join([top] + parts[:i])
                if name not in out.zip.NameToInfo and name + "/" not in out.zip.NameToInfo:
                    out.add_folder(name, newest)
        for f in files:
            src = os.path.join(root, f)
            st = os.stat(src)  # follows links: the archive holds the linked file's content
            if top == "plugins" and f == PALMDOC + ".so":
                # The program's module, with the mode and time of calibre's file it replaces
                # (never the build's time, so that the archive's bytes stay the same).
                src = args.palmdoc
            out.add_file(f"{top}/{f.replace(os.sep, '/')}", open(src, "rb").read(),
                         st.st_mode, int(st.st_mtime))
    files, unpacked = out.files, out.unpacked
    out.close()
    os.replace(tmp, args.output)

    if args.listing:
        with open(args.listing, "w", encoding="utf-8") as f:
            with zipfile.ZipFile(args.output) as z:
                for i in z.infolist():
                    how = "stored" if i.compress_type == zipfile.ZIP_STORED else "deflated"
                    f.write(f"{i.file_size:>10} {i.compress_size:>10} {how:8} {i.filename}\n")
            f.write(f"# {len(names)} Python modules in pylib.zip ({len(pylib)} bytes)\n")
    if args.source:
        with open(args.source, "w", encoding="utf-8") as f:
            f.write(source)
    if args.depfile:
        def esc(p):
            return p.replace("\\", "\\\\").replace(" ", "\\ ").replace("#", "\\#")
        with open(args.depfile, "w", encoding="utf-8") as f:
            f.write(esc(args.output) + ": " + " \\\n  ".join(esc(os.path.abspath(p))
                                                           for p in sorted(set(inputs))) + "\n")
    print(f"converter runtime: {files} files, {unpacked} bytes unpacked, "
          f"{os.path.getsize(args.output)} bytes packed, {len(names)} Python modules "
          f"-> {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
