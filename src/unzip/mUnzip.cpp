#include "unzip/mUnzip.h"

#include "platform/ProgramFolder.h"
#include "platform/RunTimeError.h"
#include "unzip/cUnzip.h"
#include "unzip_engine.h"

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QTime>

#include <dlfcn.h>
#include <limits.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

Q_LOGGING_CATEGORY(lcUnzipBridge, "brindlequill.unzip")

namespace bq {
namespace mUnzip {

// The session's side of the bridge: the friend operations the callbacks call.
struct SessionAccess {
    static void AddEntry(cUnzip& s, const QString& name, const QString& folder,
                         const QDateTime& date, std::int32_t size, std::int32_t crc, bool encrypted,
                         std::int32_t ratio, const QString& method) {
        s.AddEntry(name, folder, date, size, crc, encrypted, ratio, method);
    }
    static void RaiseOverwritePrompt(cUnzip& s, const QString& file, std::int32_t& reply) {
        s.RaiseOverwritePrompt(file, reply);
    }
    static void RaiseProgress(cUnzip& s, const QString& text) { s.RaiseProgress(text); }
    static void RaiseCancel(cUnzip& s, const QString& text, bool& cancel) {
        s.RaiseCancel(text, cancel);
    }
    static void RaisePasswordRequest(cUnzip& s, QString& password, bool& cancel) {
        s.RaisePasswordRequest(password, cancel);
    }
};

namespace {

// Print and service texts are heard when they hold 2 to 1023 bytes.
constexpr std::uint32_t kShortestMessage = 2;
constexpr std::uint32_t kLongestMessage = 1023;
// A listed entry's path is read up to the platform's path limit, its method name up to 256
// bytes.
constexpr std::size_t kLongestEntryPath = PATH_MAX;
constexpr std::size_t kLongestMethod = 256;
// The longest password handed to the engine, in bytes.
constexpr int kLongestPassword = 254;
// The reply to an overwrite question nobody answered: keep the file.
constexpr std::int32_t kDefaultOverwriteReply = 100;

// The fifteen flag fields of the options record, as the session keeps them and as the engine
// receives them: both copies (to the engine, and back after the call) go through this table.
struct FlagField {
    std::int32_t UnzipOptions::*session;
    std::int32_t UzpOptions::*engine;
};
constexpr FlagField kFlagFields[] = {
    {&UnzipOptions::ExtractOnlyNewer, &UzpOptions::ExtractOnlyNewer},
    {&UnzipOptions::SpaceToUnderScore, &UzpOptions::SpaceToUnderScore},
    {&UnzipOptions::PromptToOverwrite, &UzpOptions::PromptToOverwrite},
    {&UnzipOptions::MessageLevel, &UzpOptions::MessageLevel},
    {&UnzipOptions::Reserved5, &UzpOptions::Reserved5},
    {&UnzipOptions::TestZip, &UzpOptions::TestZip},
    {&UnzipOptions::ListOnly, &UzpOptions::ListOnly},
    {&UnzipOptions::Reserved8, &UzpOptions::Reserved8},
    {&UnzipOptions::Reserved9, &UzpOptions::Reserved9},
    {&UnzipOptions::UseFolderNames, &UzpOptions::UseFolderNames},
    {&UnzipOptions::OverwriteExisting, &UzpOptions::OverwriteExisting},
    {&UnzipOptions::ConvertCRToCRLF, &UzpOptions::ConvertCRToCRLF},
    {&UnzipOptions::Reserved13, &UzpOptions::Reserved13},
    {&UnzipOptions::CaseSensitiveFileNames, &UzpOptions::CaseSensitiveFileNames},
    {&UnzipOptions::Reserved15, &UzpOptions::Reserved15},
};

// ---- Module state --------------------------------------------------------------------------

QPointer<cUnzip> g_currentSession;  // becomes null by itself when the session is destroyed
std::atomic<bool> g_passwordCancelled{false};

// One engine call at a time: the running call's thread holds g_callMutex.
std::mutex g_callMutex;
std::atomic<std::thread::id> g_callThread{};

// The loaded engine library and its entry points.
std::mutex g_libraryMutex;
void* g_library = nullptr;
UzpSingleEntryUnzipFunction g_singleEntryUnzip = nullptr;
UzpVersion2Function g_version2 = nullptr;
QString g_libraryPathOverride;
QString g_loadProblem;

// ---- Helpers -------------------------------------------------------------------------------

QString ExecutableName() {
    const QString target = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    const QString name = QFileInfo(target).fileName();
    return name.isEmpty() ? QStringLiteral("brindlequill") : name;
}

// Texts to and from the engine are in the file system's encoding. This one takes exactly
// length bytes, zero bytes included.
QString EngineTextOfLength(const char* text, std::size_t length) {
    return QFile::decodeName(QByteArray(text, static_cast<qsizetype>(length)));
}

// A zero-terminated text of the engine, read up to its first zero byte and at most limit bytes.
QString EngineTextUpTo(const char* text, std::size_t limit) {
    if (text == nullptr) {
        return {};
    }
    return EngineTextOfLength(text, strnlen(text, limit));
}

QString EngineText(const char* text) {
    return text == nullptr ? QString() : EngineTextOfLength(text, std::strlen(text));
}

// Resolves an entry point of the engine library, loading the library on first use. A missing
// library or entry point is "File not found" (53); what the system said is kept for messages.
void* EngineEntryPoint(const char* name) {
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (g_library == nullptr) {
        const QString path = EngineLibraryPath();
        void* handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* why = dlerror();
            g_loadProblem = why != nullptr ? QString::fromLocal8Bit(why) : path;
            qCWarning(lcUnzipBridge) << "cannot load the unzip engine:" << g_loadProblem;
            RaiseError(ErrFileNotFound);
        }
        g_library = handle;
    }
    dlerror();
    void* symbol = dlsym(g_library, name);
    if (symbol == nullptr) {
        const char* why = dlerror();
        g_loadProblem = why != nullptr
                            ? QString::fromLocal8Bit(why)
                            : EngineLibraryPath() + QStringLiteral(": no ") + QLatin1String(name);
        qCWarning(lcUnzipBridge) << "unzip engine entry point missing:" << g_loadProblem;
        RaiseError(ErrFileNotFound);
    }
    g_loadProblem.clear();
    return symbol;
}

UzpSingleEntryUnzipFunction SingleEntryUnzip() {
    if (g_singleEntryUnzip == nullptr) {
        g_singleEntryUnzip =
            reinterpret_cast<UzpSingleEntryUnzipFunction>(EngineEntryPoint("Wiz_SingleEntryUnzip"));
    }
    return g_singleEntryUnzip;
}

UzpVersion2Function Version2() {
    if (g_version2 == nullptr) {
        g_version2 = reinterpret_cast<UzpVersion2Function>(EngineEntryPoint("UzpVersion2"));
    }
    return g_version2;
}

// A name table as the engine receives it: names 1..count in slots 0..count-1, an empty text in
// slot count, null after it. More than 1023 names do not fit ("Subscript out of range").
class NameTable {
  public:
    NameTable(std::int32_t count, const QStringList& names) {
        if (count < 0 || count >= kNameTableSlots || count > names.size()) {
            RaiseError(ErrSubscriptOutOfRange);
        }
        m_texts.reserve(static_cast<std::size_t>(count) + 1);
        for (std::int32_t i = 0; i < count; ++i) {
            m_texts.push_back(QFile::encodeName(names.at(i)));
        }
        m_texts.emplace_back();  // the empty text that ends the table
        m_slots.fill(nullptr);
        for (std::size_t i = 0; i < m_texts.size(); ++i) {
            m_slots[i] = m_texts[i].constData();  // a QByteArray's data is always terminated
        }
    }

    const char* const* Slots() const { return m_slots.data(); }

  private:
    std::vector<QByteArray> m_texts;
    std::array<const char*, kNameTableSlots> m_slots{};
};

// Trims the blanks at both ends of a text (only blanks, as the password box's answer is taken).
QString TrimBlanks(const QString& text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == QLatin1Char(' ')) {
        ++first;
    }
    while (last > first && text.at(last - 1) == QLatin1Char(' ')) {
        --last;
    }
    return text.mid(first, last - first);
}

// The calendar date year-month-day with carry (month 13 is January of the next year, day 0 the
// last day of the month before), plus the time of day, seconds 0.
QDateTime EntryDate(std::uint32_t year, std::uint32_t month, std::uint32_t day, std::uint32_t hour,
                    std::uint32_t minute) {
    const std::int64_t monthIndex = std::int64_t{month} - 1;  // -1 or more
    const std::int64_t yearCarry = monthIndex < 0 ? -1 : monthIndex / 12;
    const int normalMonth = static_cast<int>(monthIndex - yearCarry * 12) + 1;
    QDate date(static_cast<int>(std::int64_t{year} + yearCarry), normalMonth, 1);
    const std::int64_t minutes = std::int64_t{hour} * 60 + std::int64_t{minute};
    date = date.addDays(std::int64_t{day} - 1 + minutes / (24 * 60));
    const QTime time = QTime(0, 0).addSecs(static_cast<int>((minutes % (24 * 60)) * 60));
    return QDateTime(date, time);
}

// ---- Callbacks handed to the engine --------------------------------------------------------
// They run on the calling thread while the engine call runs. No error or exception leaves
// them: each step that fails is passed over and the callback always returns to the engine.

std::int32_t PrintCallback(const char* text, std::uint32_t byteCount) {
    try {
        if (text != nullptr && byteCount >= kShortestMessage && byteCount <= kLongestMessage) {
            QString message = EngineTextOfLength(text, std::size_t{byteCount});
            SlashesToBackslashes(message);
            if (cUnzip* session = g_currentSession.data()) {
                SessionAccess::RaiseProgress(*session, message);
            }
        }
    } catch (...) {
        qCWarning(lcUnzipBridge) << "a progress handler failed";
    }
    return 0;
}

std::int32_t ReplaceCallback(const char* path) {
    std::int32_t reply = kDefaultOverwriteReply;
    try {
        QString file = EngineText(path);
        SlashesToBackslashes(file);
        if (cUnzip* session = g_currentSession.data()) {
            SessionAccess::RaiseOverwritePrompt(*session, file, reply);
        }
    } catch (...) {
        qCWarning(lcUnzipBridge) << "an overwrite handler failed";
    }
    return reply;
}

std::int32_t PasswordCallback(char* buffer, std::int32_t bufferSize, const char* prompt,
                              const char* entryName) {
    Q_UNUSED(prompt);
    Q_UNUSED(entryName);
    if (g_passwordCancelled) {
        return 1;
    }
    QString password;
    bool cancel = false;
    try {
        if (cUnzip* session = g_currentSession.data()) {
            SessionAccess::RaisePasswordRequest(*session, password, cancel);
        }
    } catch (...) {
        qCWarning(lcUnzipBridge) << "a password handler failed";
    }
    try {
        password = TrimBlanks(password);
        if (password.isEmpty() || cancel) {
            g_passwordCancelled = true;
            return 1;
        }
        // The length is counted in bytes of the encoded password, so that a password with
        // letters beyond ASCII reaches the engine whole. It stays within the engine's buffer,
        // whose last byte is left as the terminating zero.
        const QByteArray bytes = QFile::encodeName(password);
        qsizetype n = std::min<qsizetype>(bytes.size(), kLongestPassword);
        n = std::min<qsizetype>(n, std::max<qsizetype>(bufferSize - 1, 0));
        if (buffer != nullptr && n > 0) {
            std::memcpy(buffer, bytes.constData(), static_cast<std::size_t>(n));
        }
    } catch (...) {
        qCWarning(lcUnzipBridge) << "a password could not be handed on";
    }
    return 0;
}

void EntryInfoCallback(std::uint64_t packedSize, std::int32_t size, std::int32_t ratio,
                       std::uint32_t month, std::uint32_t day, std::uint32_t year,
                       std::uint32_t hour, std::uint32_t minute, unsigned char reserved,
                       const char* path, const char* method, std::uint32_t crc,
                       unsigned char encrypted) {
    Q_UNUSED(packedSize);
    Q_UNUSED(reserved);
    try {
        QString name = EngineTextUpTo(path, kLongestEntryPath);
        QString folder;
        SplitEntryPath(name, folder);
        const QDateTime date = EntryDate(year & 0xFFFFu, month & 0xFFFFu, day & 0xFFFFu,
                                         hour & 0xFFFFu, minute & 0xFFFFu);
        const QString methodName = EngineTextUpTo(method, kLongestMethod);
        const auto ratio16 = static_cast<std::int16_t>(static_cast<std::uint16_t>(ratio & 0xFFFF));
        if (cUnzip* session = g_currentSession.data()) {
            SessionAccess::AddEntry(*session, name, folder, date, size,
                                    static_cast<std::int32_t>(crc), (encrypted & 64u) != 0,
                                    std::int32_t{ratio16}, methodName);
        }
    } catch (...) {
        qCWarning(lcUnzipBridge) << "a listed entry could not be added";
    }
}

std::int32_t ServiceCallback(const char* text, std::uint32_t byteCount) {
    bool cancel = false;
    try {
        if (text != nullptr && byteCount >= kShortestMessage && byteCount <= kLongestMessage) {
            // Up to byteCount bytes, cut before the first zero byte; the read never passes it.
            QString message = EngineTextUpTo(text, std::size_t{byteCount});
            SlashesToBackslashes(message);
            if (cUnzip* session = g_currentSession.data()) {
                SessionAccess::RaiseCancel(*session, message, cancel);
            }
        }
    } catch (...) {
        qCWarning(lcUnzipBridge) << "a cancel handler failed";
    }
    return cancel ? 1 : 0;
}

// Marks the calling thread as the one whose engine call runs, for as long as it runs.
class CallGuard {
  public:
    CallGuard() : m_lock(g_callMutex) { g_callThread = std::this_thread::get_id(); }
    ~CallGuard() { g_callThread = std::thread::id(); }
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;

  private:
    std::lock_guard<std::mutex> m_lock;
};

}  // namespace

std::int32_t VBUnzip(cUnzip& session, UnzipOptions& options, std::int32_t& nameCount,
                     QStringList& names, std::int32_t& excludeCount, QStringList& excludeNames) {
    const QString source = ExecutableName() + QStringLiteral(".VBUnzip");
    if (g_callThread.load() == std::this_thread::get_id()) {
        // An event handler of the running call asked for another one. The callbacks reach
        // their session through the module, so the running call is left as it is.
        throw RunTimeError(ErrInvalidCall,
                           QStringLiteral("The unzip engine is already working on an archive; "
                                          "start the next one after it has finished."),
                           source);
    }
    CallGuard guard;
    try {
        g_currentSession = &session;

        UzpCallbacks callbacks{};
        callbacks.Print = &PrintCallback;
        callbacks.Sound = nullptr;
        callbacks.Replace = &ReplaceCallback;
        callbacks.Password = &PasswordCallback;
        callbacks.EntryInfo = &EntryInfoCallback;
        callbacks.Service = &ServiceCallback;

        const NameTable includes(nameCount, names);
        const NameTable excludes(excludeCount, excludeNames);

        g_passwordCancelled = false;

        const QByteArray zipFile = QFile::encodeName(options.ZipFile);
        const QByteArray unzipFolder = QFile::encodeName(options.UnzipFolder);
        UzpOptions engineOptions{};
        for (const FlagField& field : kFlagFields) {
            engineOptions.*field.engine = options.*field.session;
        }
        engineOptions.ZipFile = zipFile.constData();
        engineOptions.UnzipFolder = unzipFolder.constData();

        const std::int32_t result =
            SingleEntryUnzip()(nameCount, includes.Slots(), excludeCount, excludes.Slots(),
                               &engineOptions, &callbacks);

        // Whatever the engine left in the records stays with the session.
        for (const FlagField& field : kFlagFields) {
            options.*field.session = engineOptions.*field.engine;
        }
        options.ZipFile = EngineText(engineOptions.ZipFile);
        options.UnzipFolder = EngineText(engineOptions.UnzipFolder);
        return result;
    } catch (const RunTimeError& error) {
        g_currentSession = nullptr;
        throw RunTimeError(error.number(), error.description(), source);
    } catch (const std::bad_alloc&) {
        g_currentSession = nullptr;
        throw RunTimeError(ErrOutOfMemory, {}, source);
    }
}

void EngineVersion(std::int32_t& lMajor, std::int32_t& lMinor, std::int32_t& lRevision,
                   QString& sExtraInfo) {
    UzpVersionRecord version;
    std::memset(&version, 0, sizeof version);
    version.StructLength = sizeof version;
    version.Flags = 0;
    std::memset(version.TextA, ' ', sizeof version.TextA - 1);
    std::memset(version.TextB, ' ', sizeof version.TextB - 1);
    std::memset(version.TextC, ' ', sizeof version.TextC - 1);
    try {
        Version2()(&version);
    } catch (const RunTimeError& error) {
        throw RunTimeError(error.number(), error.description(),
                           ExecutableName() + QStringLiteral(".cUnzip"));
    }
    lMajor = version.Block4[0];
    lMinor = version.Block4[1];
    lRevision = version.Block4[2];
    // Text A as ten characters: from a zero character after the first position on, blanks.
    QString extra = QString::fromLatin1(version.TextA, sizeof version.TextA);
    const qsizetype zero = extra.indexOf(QChar(u'\0'), 1);
    if (zero >= 0) {
        for (qsizetype i = zero; i < extra.size(); ++i) {
            extra[i] = QLatin1Char(' ');
        }
    }
    sExtraInfo = extra;
}

int SlashesToBackslashes(QString& text) {
    constexpr QChar kEngineSeparator = u'/';
    constexpr QChar kNativeSeparator = u'/';
    int after = 1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == kEngineSeparator && i > 0) {
            text[i] = kNativeSeparator;
            after = static_cast<int>(i) + 2;  // 1-based position just after it
        }
    }
    return after;
}

void SplitEntryPath(QString& path, QString& folder) {
    const qsizetype zero = path.indexOf(QChar(u'\0'));
    if (zero >= 0) {
        path.truncate(zero);
    }
    const int p = SlashesToBackslashes(path);
    if (p > 1) {
        folder = path.left(p - 2);
        path = path.mid(p - 1);
    }
}

cUnzip* CurrentSession() {
    return g_currentSession.data();
}

bool PasswordCancelled() {
    return g_passwordCancelled;
}

QString EngineLibraryPath() {
    if (!g_libraryPathOverride.isEmpty()) {
        return g_libraryPathOverride;
    }
    const QString folder = ProgramFolder();
    return (folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/')) +
           QLatin1String(kEngineLibraryName);
}

void SetEngineLibraryPath(const QString& path) {
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    if (g_library != nullptr) {
        dlclose(g_library);
    }
    g_library = nullptr;
    g_singleEntryUnzip = nullptr;
    g_version2 = nullptr;
    g_libraryPathOverride = path;
    g_loadProblem.clear();
}

QString EngineLoadProblem() {
    std::lock_guard<std::mutex> lock(g_libraryMutex);
    return g_loadProblem;
}

}  // namespace mUnzip
}  // namespace bq
