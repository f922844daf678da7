/* The unzip engine's call interface: libbqunzip.so, beside the program's executable.
 *
 * The engine lists, tests or extracts one ZIP archive per call of Wiz_SingleEntryUnzip and
 * reports the engine's version through UzpVersion2. Both have C linkage. The records below keep
 * their fields in the order given, with the platform's native pointer width.
 *
 * Conventions:
 * - Every text handed to the engine or by the engine is UTF-8 and zero-terminated.
 * - Entry paths use "/" as the separator; folder entries end in "/". A "\" in an archive's entry
 *   name is read as a separator too (archives made on Windows use it).
 * - Every callback is made on the thread that called Wiz_SingleEntryUnzip, in entry order, before
 *   the call returns. The engine may use worker threads inside one call; they never call back.
 * - Only one engine call runs at a time in a process (the callbacks carry no context pointer).
 */
#ifndef BQ_UNZIP_ENGINE_H
#define BQ_UNZIP_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#if defined(BQUNZIP_BUILDING_LIBRARY)
#define BQUNZIP_API __attribute__((visibility("default")))
#else
#define BQUNZIP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The engine library's file name, in the program folder. */
#define BQUNZIP_LIBRARY_NAME "libbqunzip.so"

/* ---- Results of Wiz_SingleEntryUnzip (Info-ZIP's codes) -------------------------------------
 * 0 is success; every other value is a warning or an error, and the print callback has heard a
 * message saying what happened (whatever the message level). When several things went wrong
 * the highest code is returned. */
#define BQUZP_OK 0 /* everything selected was listed, tested or extracted */
#define BQUZP_WARN                                                                          \
    1                   /* warnings: entries skipped (links, devices, wrong password, ...), \
                         * or the archive holds no entry */
#define BQUZP_ERR 2     /* errors in the archive: bad CRC, unsafe or duplicate names, ... */
#define BQUZP_BADERR 3  /* severe errors: broken structure, overlapping entries */
#define BQUZP_MEM 4     /* out of memory */
#define BQUZP_NOZIP 9   /* the archive cannot be opened, is not a ZIP or is truncated */
#define BQUZP_PARAM 10  /* bad arguments: null records, negative counts, no archive path */
#define BQUZP_FIND 11   /* an include name matched no entry */
#define BQUZP_DISK 50   /* the target folder cannot be made or written (disk full, access) */
#define BQUZP_EOF 51    /* an entry's data ends early */
#define BQUZP_CTRLC 80  /* the service callback stopped the engine */
#define BQUZP_UNSUP 81  /* no selected entry could be read: unsupported method/encryption */
#define BQUZP_BADPWD 82 /* no selected entry could be read: every password was refused or wrong */

/* ---- Replies of the replace callback -------------------------------------------------------- */
#define BQUZP_REPLACE_NO 100   /* keep the existing file (also any reply not listed here) */
#define BQUZP_REPLACE_YES 102  /* replace this file */
#define BQUZP_REPLACE_ALL 103  /* replace this file and every later one without asking */
#define BQUZP_REPLACE_NONE 104 /* keep this file and every later one without asking */

/* Size of the buffer the password callback receives; it is all zero bytes on every call, so a
 * password of up to 255 bytes written without a terminating zero still ends in one. */
#define BQUZP_PASSWORD_BUFFER_SIZE 256

/* ---- The options record, field by field (field 7 chooses listing or extraction) ------------- */
typedef struct UzpOptions {
    int32_t ExtractOnlyNewer;       /*  1: 1 = an existing file is replaced only by a newer entry
                                     *     (without asking); missing files are made as usual */
    int32_t SpaceToUnderScore;      /*  2: 1 = spaces in the written names become "_" */
    int32_t PromptToOverwrite;      /*  3: 1 = ask the replace callback before replacing a file */
    int32_t MessageLevel;           /*  4: 0 = a line per entry, warnings and errors; 1 = warnings
                                     *     and errors; 2 or more = errors only */
    int32_t Reserved5;              /*  5: always 0; not read */
    int32_t TestZip;                /*  6: 1 = test every selected entry (inflate, check CRC), write
                                     *     nothing */
    int32_t ListOnly;               /*  7: 1 = list (one entry-info callback per selected entry),
                                     *     0 = extract (or test, with field 6) */
    int32_t Reserved8;              /*  8: always 0; not read */
    int32_t Reserved9;              /*  9: always 0; not read */
    int32_t UseFolderNames;         /* 10: 1 = recreate the entries' folders below the target;
                                     *     0 = every file straight into the target, folder entries
                                     *     skipped */
    int32_t OverwriteExisting;      /* 11: 1 = replace existing files without asking */
    int32_t ConvertCRToCRLF;        /* 12: 1 = entries marked as text get this system's line ends
                                     *     (CR LF and lone CR become LF) */
    int32_t Reserved13;             /* 13: always 0; not read */
    int32_t CaseSensitiveFileNames; /* 14: 1 = include/exclude names match with letter case;
                                     *     0 = ASCII letters match in either case */
    int32_t Reserved15;             /* 15: always 0; not read */
    const char* ZipFile;            /* 16: the archive's path */
    const char* UnzipFolder;        /* 17: the folder to extract into, made when missing; null or ""
                                     *     is the current folder; not read when listing */
} UzpOptions;

/* ---- Callbacks ------------------------------------------------------------------------------ */

/* One message: byteCount bytes of UTF-8 text, always ending in a line feed, 2 to 1023 bytes,
 * with no zero byte inside (text[byteCount] is a zero byte). The answer is not read. */
typedef int32_t (*UzpPrintCallback)(const char* text, uint32_t byteCount);

/* The file at path (the target folder joined with the entry's written name) exists and the
 * options ask before replacing it. Answer with a BQUZP_REPLACE_* code. */
typedef int32_t (*UzpReplaceCallback)(const char* path);

/* An encrypted entry needs a password. Write it to buffer (bufferSize bytes, all zero on entry)
 * and answer 0; any other answer refuses, and the entry is skipped. prompt is a message such as
 * "Password for a/b.txt:"; entryName is the entry's path. The engine keeps the last password
 * given and tries it first on later encrypted entries of the same call; it asks again (once per
 * entry) when that password is wrong. */
typedef int32_t (*UzpPasswordCallback)(char* buffer, int32_t bufferSize, const char* prompt,
                                       const char* entryName);

/* One entry of a listing (field 7 = 1), in archive order, folder entries included.
 *  packedSize  the entry's compressed size, full width
 *  size        the entry's uncompressed size (2147483647 when larger)
 *  ratio       the packed size as a per cent of the size, rounded to the nearest whole number
 *              (0 for an empty entry; at most 32767), so that size * ratio / 100 is about the
 *              packed size
 *  month, day, year (four digits), hour, minute   the entry's modification time, local time
 *  reserved    always 0
 *  path        the entry's path, "/" separated; folder entries end in "/"
 *  method      the compression method as Info-ZIP's listing names it: "Stored", "Defl:N",
 *              "Defl:X", "Defl:F", "Defl:S", "BZip2", "LZMA", "Zstd", "XZ", "Unk:NNN", ...
 *  crc         the stored CRC-32
 *  encrypted   'E' (bit 6, value 64, set) when the entry is encrypted, ' ' (bit 6 clear) when
 *              not */
typedef void (*UzpEntryInfoCallback)(uint64_t packedSize, int32_t size, int32_t ratio,
                                     uint32_t month, uint32_t day, uint32_t year, uint32_t hour,
                                     uint32_t minute, unsigned char reserved, const char* path,
                                     const char* method, uint32_t crc, unsigned char encrypted);

/* Called once per selected entry while testing or extracting, before anything of it is written:
 * text is the entry's path ("/" separated), byteCount the text's length plus one (the
 * terminating zero is counted, so a one-letter name gives 2). Answer 1 to stop the engine:
 * nothing more is written, and the call returns BQUZP_CTRLC. Any other answer goes on. */
typedef int32_t (*UzpServiceCallback)(const char* text, uint32_t byteCount);

/* Slot 2: never called (Info-ZIP's sound procedure). */
typedef void (*UzpUnusedCallback)(void);

/* The callbacks record: 11 pointer-sized slots. A null slot means "no procedure": nothing is
 * printed, existing files are kept, passwords are refused, listings report nothing, the
 * service question is not asked. */
typedef struct UzpCallbacks {
    UzpPrintCallback Print;         /*  1 */
    UzpUnusedCallback Sound;        /*  2: not called */
    UzpReplaceCallback Replace;     /*  3 */
    UzpPasswordCallback Password;   /*  4 */
    UzpEntryInfoCallback EntryInfo; /*  5 */
    UzpServiceCallback Service;     /*  6 */
    uintptr_t Reserved7;            /*  7..11: 0; neither read nor written */
    uintptr_t Reserved8;
    uintptr_t Reserved9;
    uintptr_t Reserved10;
    uintptr_t Reserved11;
} UzpCallbacks;

/* ---- The version record (64 bytes) ---------------------------------------------------------- */
typedef struct UzpVersionRecord {
    uint32_t StructLength;   /*  0: set to 64 by the caller; the engine writes nothing when less */
    uint32_t Flags;          /*  4: the engine writes 0 */
    char TextA[10];          /*  8: the engine's name, "bqunzip", zero-terminated */
    char TextB[20];          /* 18: the engine's build date, "YYYY-MM-DD", zero-terminated */
    char TextC[10];          /* 38: the libdeflate version, zero-terminated */
    unsigned char Block1[4]; /* 48: the engine's version: major, minor, revision, 0 */
    unsigned char Block2[4]; /* 52: the same */
    unsigned char Block3[4]; /* 56: the same */
    unsigned char Block4[4]; /* 60: the same (the block the program reads) */
} UzpVersionRecord;

/* ---- Entry points --------------------------------------------------------------------------- */

/* Lists, tests or extracts the archive options->ZipFile (see UzpOptions).
 * includeCount names of includeTable select the entries (0 = every entry); excludeCount names
 * of excludeTable leave entries out. The names are entry paths or patterns with "*" (any run of
 * characters, "/" included) and "?" (one character); the tables are read up to the count, and a
 * null slot or an empty text ends a table early. Returns a BQUZP_* code. */
BQUNZIP_API int32_t Wiz_SingleEntryUnzip(int32_t includeCount, const char* const* includeTable,
                                         int32_t excludeCount, const char* const* excludeTable,
                                         const UzpOptions* options, const UzpCallbacks* callbacks);

/* Fills the version record (see UzpVersionRecord). */
BQUNZIP_API void UzpVersion2(UzpVersionRecord* version);

/* The entry points' types, for dlsym. */
typedef int32_t (*UzpSingleEntryUnzipFunction)(int32_t, const char* const*, int32_t,
                                               const char* const*, const UzpOptions*,
                                               const UzpCallbacks*);
typedef void (*UzpVersion2Function)(UzpVersionRecord*);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(UzpVersionRecord) == 64, "the version record is 64 bytes");
static_assert(sizeof(UzpCallbacks) == 11 * sizeof(void*), "the callbacks record has 11 slots");
static_assert(offsetof(UzpOptions, ZipFile) == (sizeof(void*) == 8 ? 64 : 60),
              "the archive path follows the fifteen flags");
#endif

#endif /* BQ_UNZIP_ENGINE_H */
