#pragma once

#include <QString>

#include <cstdint>

namespace bq {

// The engine's options record as a session keeps it: fifteen 32-bit fields, then the archive
// path and the folder to extract into as texts. The bridge hands the engine a copy in which the
// texts are zero-terminated byte strings in the file system's encoding. Flags are 1 or 0.
struct UnzipOptions {
    std::int32_t ExtractOnlyNewer = 0;        // 1: only entries newer than the file on disk
    std::int32_t SpaceToUnderScore = 0;       // 2: spaces in names become "_"
    std::int32_t PromptToOverwrite = 0;       // 3: ask through the replace callback
    std::int32_t MessageLevel = 0;            // 4: how much the print callback hears
    std::int32_t Reserved5 = 0;               // 5: never set
    std::int32_t TestZip = 0;                 // 6: test without writing
    std::int32_t ListOnly = 0;                // 7: 1 lists the archive, 0 extracts
    std::int32_t Reserved8 = 0;               // 8: never set
    std::int32_t Reserved9 = 0;               // 9: never set
    std::int32_t UseFolderNames = 0;          // 10: recreate the entries' folders
    std::int32_t OverwriteExisting = 0;       // 11: replace existing files without asking
    std::int32_t ConvertCRToCRLF = 0;         // 12: convert line ends of text entries
    std::int32_t Reserved13 = 0;              // 13: never set
    std::int32_t CaseSensitiveFileNames = 0;  // 14: names match with letter case
    std::int32_t Reserved15 = 0;              // 15: never set
    QString ZipFile;                          // 16: archive path
    QString UnzipFolder;                      // 17: folder to extract into ("" when listing)
};

}  // namespace bq
