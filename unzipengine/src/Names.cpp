// Entry names: UTF-8 checks, safe relative paths, wildcard matching, shortening for messages.
#include "Names.h"

#include <climits>
#include <cstdint>

namespace bq::unzipengine {

bool IsValidUtf8(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int extra = 0;
        std::uint32_t code = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        if (end - p <= extra) {
            return false;
        }
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) {
                return false;
            }
            code = (code << 6) | (p[i] & 0x3F);
        }
        if ((extra == 2 && code < 0x800) || (extra == 3 && (code < 0x10000 || code > 0x10FFFF)) ||
            (code >= 0xD800 && code <= 0xDFFF)) {
            return false;
        }
        p += extra + 1;
    }
    return true;
}

std::string Printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t length = 1;
        while (length <= 4 && !IsValidUtf8(text.substr(i, length))) {
            ++length;
        }
        if (length > 4 || i + length > text.size()) {
            out += '?';
            ++i;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

const char* DescribeNameProblem(NameProblem problem) {
    switch (problem) {
        case NameProblem::None:
            return "is fine";
        case NameProblem::Empty:
            return "is empty";
        case NameProblem::Absolute:
            return "is an absolute path";
        case NameProblem::ParentFolder:
            return "contains a \"..\" part that would leave the target folder";
        case NameProblem::ZeroByte:
            return "contains a zero byte";
        case NameProblem::NotUtf8:
            return "is not valid UTF-8";
        case NameProblem::PartTooLong:
            return "has a part longer than the file system allows";
    }
    return "is unusable";
}

EntryName ParseEntryName(std::string_view raw) {
    EntryName n;
    n.shown.assign(raw);
    for (char& c : n.shown) {
        if (c == '\\') {
            c = '/';
        }
    }
    n.folder = !n.shown.empty() && n.shown.back() == '/';
    if (n.shown.find('\0') != std::string::npos) {
        n.problem = NameProblem::ZeroByte;
        return n;
    }
    if (!IsValidUtf8(n.shown)) {
        n.problem = NameProblem::NotUtf8;
        return n;
    }
    if (!n.shown.empty() && n.shown.front() == '/') {
        n.problem = NameProblem::Absolute;
        return n;
    }
    std::string_view rest(n.shown);
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view part = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            n.problem = NameProblem::ParentFolder;
            n.relative.clear();
            return n;
        }
        if (part.size() > NAME_MAX) {
            n.problem = NameProblem::PartTooLong;
            n.relative.clear();
            return n;
        }
        if (!n.relative.empty()) {
            n.relative += '/';
        }
        n.relative += part;
    }
    if (n.relative.empty()) {
        n.problem = NameProblem::Empty;
    }
    return n;
}

std::string_view LastPart(std::string_view relative) {
    const std::size_t slash = relative.rfind('/');
    return slash == std::string_view::npos ? relative : relative.substr(slash + 1);
}

namespace {
char Fold(char c, bool caseSensitive) {
    if (!caseSensitive && c >= 'A' && c <= 'Z') {
        return static_cast<char>(c - 'A' + 'a');
    }
    return c;
}
}  // namespace

bool WildcardMatch(std::string_view pattern, std::string_view name, bool caseSensitive) {
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t starP = std::string_view::npos;
    std::size_t starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || Fold(pattern[p], caseSensitive) ==
                                                                   Fold(name[n], caseSensitive))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

std::string Shorten(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) {
        return std::string(text);
    }
    if (maxBytes < 5) {
        return std::string(text.substr(0, 0));
    }
    auto isContinuation = [&](std::size_t i) {
        return i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    };
    const std::size_t keep = maxBytes - 3;
    std::size_t head = keep / 2;
    while (head > 0 && isContinuation(head)) {
        --head;
    }
    std::size_t tail = text.size() - (keep - keep / 2);
    while (tail < text.size() && isContinuation(tail)) {
        ++tail;
    }
    std::string out(text.substr(0, head));
    out += "...";
    out += text.substr(tail);
    return out;
}

}  // namespace bq::unzipengine
