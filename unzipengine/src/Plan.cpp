// Planning the entries: names, selection, kinds, bits, times and safety decisions (see Plan.h).
#include "Plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

namespace bq::unzipengine {

namespace {

// DOS times are local times. mktime looks at the time zone file on every call, so the start of
// each hour met is worked out once (summer time changes on whole hours).
class DosTimes {
  public:
    std::time_t Convert(std::uint16_t date, std::uint16_t time) {
        const std::uint32_t hourKey = (std::uint32_t{date} << 5) | ((time >> 11) & 0x1F);
        auto it = hours_.find(hourKey);
        if (it == hours_.end()) {
            std::tm tm{};
            tm.tm_year = ((date >> 9) & 0x7F) + 80;
            tm.tm_mon = std::max(((date >> 5) & 0x0F) - 1, 0);
            tm.tm_mday = std::max(date & 0x1F, 1);
            tm.tm_hour = (time >> 11) & 0x1F;
            tm.tm_isdst = -1;
            std::time_t t = std::mktime(&tm);
            it = hours_.emplace(hourKey, t == static_cast<std::time_t>(-1) ? 0 : t).first;
        }
        return it->second + ((time >> 5) & 0x3F) * 60 + (time & 0x1F) * 2;
    }

  private:
    std::unordered_map<std::uint32_t, std::time_t> hours_;
};

}  // namespace

std::string MethodName(std::uint16_t method, std::uint16_t flags) {
    switch (method) {
        case 0:
            return "Stored";
        case 1:
            return "Shrunk";
        case 2:
        case 3:
        case 4:
        case 5:
            return "Reduce" + std::to_string(method - 1);
        case 6:
            return "Implode";
        case 7:
            return "Token";
        case 8: {
            static const char* const kLevels[] = {"Defl:N", "Defl:X", "Defl:F", "Defl:S"};
            return kLevels[(flags >> 1) & 3];
        }
        case 9:
            return "Defl64";
        case 10:
            return "ImplDCL";
        case 12:
            return "BZip2";
        case 14:
            return "LZMA";
        case 93:
            return "Zstd";
        case 95:
            return "XZ";
        case 96:
            return "Jpeg";
        case 97:
            return "Wavpack";
        case 98:
            return "PPMd";
        default: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "Unk:%03u", static_cast<unsigned>(method % 1000));
            return buf;
        }
    }
}

std::vector<Planned> PlanEntries(const Archive& archive, const UzpOptions& options,
                                 const std::vector<std::string>& includes,
                                 const std::vector<std::string>& excludes,
                                 std::vector<bool>& includeMatched) {
    const bool caseSensitive = options.CaseSensitiveFileNames != 0;
    const std::string targetPath = options.UnzipFolder == nullptr || options.UnzipFolder[0] == '\0'
                                       ? "."
                                       : options.UnzipFolder;
    DosTimes dosTimes;
    std::unordered_set<std::string> files;
    std::vector<Planned> plan(archive.Count());
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const CentralEntry& e = archive.Entry(i);
        Planned& p = plan[i];
        const char* name = archive.ZipName(i);
        // libzip gives the name as UTF-8 (from the Unicode path field, or CP437 converted when
        // the name is not marked as UTF-8); a name with a zero byte is cut there by libzip, so
        // the raw name decides that.
        p.name = ParseEntryName(name != nullptr ? std::string_view(name) : e.rawName);
        if (e.rawName.find('\0') != std::string_view::npos) {
            p.name.problem = NameProblem::ZeroByte;
            p.name.relative.clear();
        }
        bool selected = includes.empty();
        for (std::size_t k = 0; k < includes.size(); ++k) {
            if (WildcardMatch(includes[k], p.name.shown, caseSensitive)) {
                selected = true;
                includeMatched[k] = true;
            }
        }
        for (const std::string& x : excludes) {
            if (selected && WildcardMatch(x, p.name.shown, caseSensitive)) {
                selected = false;
            }
        }
        p.selected = selected;
        p.method = e.method;
        if ((archive.Stat(i).valid & ZIP_STAT_COMP_METHOD) != 0) {
            p.method = archive.Stat(i).comp_method;
        }
        p.encrypted = (e.flags & 1) != 0 || e.method == 99;
        p.mtime = e.hasUnixTime ? static_cast<std::time_t>(e.unixTime)
                                : dosTimes.Convert(e.dosDate, e.dosTime);
        p.text = (e.internalAttributes & 1) != 0;
        const unsigned host = e.madeBy >> 8;
        const std::uint32_t unixBits = e.externalAttributes >> 16;
        p.kind = p.name.folder ? Kind::Folder : Kind::File;
        if (host == 3 && unixBits != 0) {
            p.unixMode = true;
            p.permissions = static_cast<mode_t>(unixBits & 0777);
            const std::uint32_t type = unixBits & S_IFMT;
            if (!p.name.folder && type == S_IFLNK) {
                p.kind = Kind::Link;
            } else if (!p.name.folder && type != 0 && type != S_IFREG && type != S_IFDIR) {
                p.kind = Kind::Special;
            }
        } else {
            p.readOnly = (e.externalAttributes & 1) != 0;
        }
        if (!selected || p.name.problem != NameProblem::None || !archive.Readable(i)) {
            continue;
        }
        if (targetPath.size() + 1 + p.name.relative.size() + 32 >= PATH_MAX) {
            p.pathTooLong = true;
            continue;
        }
        if (p.kind != Kind::Folder && !files.insert(p.name.relative).second) {
            p.duplicate = true;
        }
    }
    return plan;
}

Refusal RefusalOf(const Archive& archive, std::size_t i, const Planned& p) {
    const bool folder = p.kind == Kind::Folder;
    if (!archive.Readable(i)) {
        return {BQUZP_ERR, "  skipping: " + Shorten(Printable(archive.Entry(i).rawName), 400) +
                               ": its central directory record cannot be read (" +
                               archive.Refused(i) +
                               "), so it is left out; the other entries are extracted (a "
                               "damaged archive)"};
    }
    const std::string shown = Report::Shown(p.name.shown);
    if (p.name.problem != NameProblem::None) {
        return {BQUZP_ERR, "  skipping: " + shown + ": the name " +
                               DescribeNameProblem(p.name.problem) +
                               (folder ? ", so the folder is not made" : ", so it is not written") +
                               " (a damaged or hostile archive)"};
    }
    if (p.pathTooLong) {
        return {BQUZP_ERR, "  skipping: " + shown +
                               ": the path is longer than the file system allows; extract into "
                               "a folder with a shorter path"};
    }
    if (p.duplicate) {
        return {BQUZP_ERR, "  skipping: " + shown +
                               ": the archive holds this name more than once; only the first is "
                               "extracted (a damaged or hostile archive)"};
    }
    if (p.kind == Kind::Link) {
        return {BQUZP_WARN, "  skipping: " + shown +
                                ": symbolic links are never extracted (the link is left out)"};
    }
    return {};
}

}  // namespace bq::unzipengine
