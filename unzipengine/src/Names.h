// Entry names: UTF-8 checks, safe relative paths, wildcard matching, shortening for messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace bq::unzipengine {

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Why an entry name cannot be written below the target folder.
enum class NameProblem {
    None,
    Empty,         // nothing left to write ("", "/", "./")
    Absolute,      // starts with "/" or "\"
    ParentFolder,  // has a ".." part (with "/" or "\" as the separator)
    ZeroByte,      // holds a zero byte
    NotUtf8,       // not well-formed UTF-8
    PartTooLong,   // a part longer than the file system allows (NAME_MAX bytes)
};

// The sentence a message uses for a problem ("contains a \"..\" part", ...).
const char* DescribeNameProblem(NameProblem problem);

// An entry name as the engine shows, matches and writes it.
struct EntryName {
    std::string shown;     // "\" turned into "/"; folder entries end in "/"
    std::string relative;  // the safe path below the target: no empty, "." or ".." parts,
                           // no leading or trailing "/"; empty for a problem
    bool folder = false;   // the name ends in a separator
    NameProblem problem = NameProblem::None;
};
EntryName ParseEntryName(std::string_view raw);

// The last part of a relative path.
std::string_view LastPart(std::string_view relative);

// Wildcard match of a whole name: "*" any run of characters ("/" included), "?" one byte;
// ASCII letters match in either case unless caseSensitive.
bool WildcardMatch(std::string_view pattern, std::string_view name, bool caseSensitive);

// text with every byte that is not part of well-formed UTF-8 shown as "?".
std::string Printable(std::string_view text);

// text cut (in its middle, at UTF-8 character boundaries, with "...") to at most maxBytes.
std::string Shorten(std::string_view text, std::size_t maxBytes);

}  // namespace bq::unzipengine
