// A stand-in for the unzip engine library. It records exactly what the bridge hands it (counts,
// name tables, options, callback slots) and, when called, makes the callbacks a test scripted
// beforehand, recording every answer. Tests reach its script and records with dlsym on the same
// library the bridge loaded. Built twice: whole, and (STANDIN_WITHOUT_UNZIP) without the
// Wiz_SingleEntryUnzip entry point, to prove a missing entry point is reported.

#include "unzip_engine.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#define STANDIN_API extern "C" __attribute__((visibility("default")))

namespace {

struct Action {
    enum Kind { Print, Replace, Password, Entry, Service };
    Action(Kind k, std::string t, std::uint32_t c) : kind(k), text(std::move(t)), count(c) {}
    Kind kind;
    std::string text;         // print/service bytes, replace path, entry path
    std::uint32_t count = 0;  // print/service byte count
    std::string method;
    std::int32_t size = 0;
    std::int32_t ratio = 0;
    std::uint32_t month = 0, day = 0, year = 0, hour = 0, minute = 0;
    std::uint32_t crc = 0;
    unsigned char encrypted = ' ';
};

struct Slot {
    bool present = false;
    std::string text;
};

std::vector<Action> g_script;
std::int32_t g_result = 0;
int g_calls = 0;

// What the last call received.
std::int32_t g_includeCount = -1;
std::int32_t g_excludeCount = -1;
std::vector<Slot> g_include;
std::vector<Slot> g_exclude;
UzpOptions g_options{};
std::string g_zipFile;
std::string g_unzipFolder;
bool g_zipFileNull = true;
bool g_unzipFolderNull = true;
const void* g_slots[11] = {};
bool g_optionsChangeRequested = false;

// What the callbacks answered, one per scripted action.
std::vector<std::int32_t> g_answers;
std::vector<std::string> g_passwordBuffers;

[[maybe_unused]] std::vector<Slot> ReadTable(const char* const* table) {
    std::vector<Slot> slots(1024);
    if (table == nullptr) {
        return slots;
    }
    for (int i = 0; i < 1024; ++i) {
        if (table[i] != nullptr) {
            slots[static_cast<std::size_t>(i)].present = true;
            slots[static_cast<std::size_t>(i)].text = table[i];
        }
    }
    return slots;
}

}  // namespace

STANDIN_API void Standin_Reset() {
    g_script.clear();
    g_result = 0;
    g_calls = 0;
    g_answers.clear();
    g_passwordBuffers.clear();
    g_optionsChangeRequested = false;
}

STANDIN_API void Standin_SetResult(std::int32_t result) {
    g_result = result;
}

// The stand-in writes 5 into options field 4 (message level) during the next call: the bridge
// must carry the engine's changes back into the session.
STANDIN_API void Standin_ChangeOptions() {
    g_optionsChangeRequested = true;
}

STANDIN_API void Standin_AddPrint(const char* bytes, std::uint32_t length, std::uint32_t count) {
    Action a{Action::Print, std::string(bytes, length), count};
    g_script.push_back(a);
}

STANDIN_API void Standin_AddReplace(const char* path) {
    g_script.push_back(Action{Action::Replace, path, 0});
}

STANDIN_API void Standin_AddPassword() {
    g_script.push_back(Action{Action::Password, "", 0});
}

STANDIN_API void Standin_AddEntry(std::int32_t size, std::int32_t ratio, std::uint32_t month,
                                  std::uint32_t day, std::uint32_t year, std::uint32_t hour,
                                  std::uint32_t minute, const char* path, const char* method,
                                  std::uint32_t crc, unsigned char encrypted) {
    Action a{Action::Entry, path, 0};
    a.size = size;
    a.ratio = ratio;
    a.month = month;
    a.day = day;
    a.year = year;
    a.hour = hour;
    a.minute = minute;
    a.method = method;
    a.crc = crc;
    a.encrypted = encrypted;
    g_script.push_back(a);
}

STANDIN_API void Standin_AddService(const char* bytes, std::uint32_t length, std::uint32_t count) {
    g_script.push_back(Action{Action::Service, std::string(bytes, length), count});
}

STANDIN_API int Standin_Calls() {
    return g_calls;
}
STANDIN_API std::int32_t Standin_IncludeCount() {
    return g_includeCount;
}
STANDIN_API std::int32_t Standin_ExcludeCount() {
    return g_excludeCount;
}

// A slot of the last include (table 0) or exclude (table 1) table: its text, or null for a null
// slot.
STANDIN_API const char* Standin_TableSlot(int table, int slot) {
    const std::vector<Slot>& slots = table == 0 ? g_include : g_exclude;
    if (slot < 0 || static_cast<std::size_t>(slot) >= slots.size() ||
        !slots[static_cast<std::size_t>(slot)].present) {
        return nullptr;
    }
    return slots[static_cast<std::size_t>(slot)].text.c_str();
}

// Field 1..15 of the last options record.
STANDIN_API std::int32_t Standin_OptionField(int field) {
    const std::int32_t* fields = &g_options.ExtractOnlyNewer;
    return field >= 1 && field <= 15 ? fields[field - 1] : -999;
}

STANDIN_API const char* Standin_ZipFile() {
    return g_zipFileNull ? nullptr : g_zipFile.c_str();
}
STANDIN_API const char* Standin_UnzipFolder() {
    return g_unzipFolderNull ? nullptr : g_unzipFolder.c_str();
}

// The callback record's slot 1..11, as an address (0 for none).
STANDIN_API const void* Standin_CallbackSlot(int slot) {
    return slot >= 1 && slot <= 11 ? g_slots[slot - 1] : nullptr;
}

STANDIN_API int Standin_AnswerCount() {
    return static_cast<int>(g_answers.size());
}
STANDIN_API std::int32_t Standin_Answer(int i) {
    return g_answers[static_cast<std::size_t>(i)];
}
STANDIN_API const char* Standin_PasswordBuffer(int i) {
    return g_passwordBuffers[static_cast<std::size_t>(i)].c_str();
}
STANDIN_API int Standin_PasswordBufferLength(int i) {
    return static_cast<int>(g_passwordBuffers[static_cast<std::size_t>(i)].size());
}

#ifndef STANDIN_WITHOUT_UNZIP
extern "C" __attribute__((visibility("default"))) std::int32_t Wiz_SingleEntryUnzip(
    std::int32_t includeCount, const char* const* includeTable, std::int32_t excludeCount,
    const char* const* excludeTable, const UzpOptions* options, const UzpCallbacks* callbacks) {
    ++g_calls;
    g_includeCount = includeCount;
    g_excludeCount = excludeCount;
    g_include = ReadTable(includeTable);
    g_exclude = ReadTable(excludeTable);
    g_options = *options;
    g_zipFileNull = options->ZipFile == nullptr;
    g_zipFile = g_zipFileNull ? "" : options->ZipFile;
    g_unzipFolderNull = options->UnzipFolder == nullptr;
    g_unzipFolder = g_unzipFolderNull ? "" : options->UnzipFolder;
    std::memcpy(g_slots, callbacks, sizeof g_slots);
    if (g_optionsChangeRequested) {
        const_cast<UzpOptions*>(options)->MessageLevel = 5;
    }

    // The script runs on a copy: a handler may start another call, which must not disturb it.
    const std::vector<Action> script = g_script;
    for (const Action& a : script) {
        switch (a.kind) {
            case Action::Print: {
                // The bytes sit in a buffer of count bytes at least, so any count can be read.
                std::string buffer = a.text;
                if (buffer.size() < a.count) {
                    buffer.resize(a.count, 'x');
                }
                g_answers.push_back(callbacks->Print(buffer.c_str(), a.count));
                break;
            }
            case Action::Replace:
                g_answers.push_back(callbacks->Replace(a.text.c_str()));
                break;
            case Action::Password: {
                char buffer[BQUZP_PASSWORD_BUFFER_SIZE] = {};
                g_answers.push_back(callbacks->Password(buffer, sizeof buffer, "Password:", "x"));
                g_passwordBuffers.emplace_back(buffer, strnlen(buffer, sizeof buffer));
                break;
            }
            case Action::Entry:
                if (options->ListOnly != 1) {
                    break;  // entries are reported only while listing
                }
                callbacks->EntryInfo(12345, a.size, a.ratio, a.month, a.day, a.year, a.hour,
                                     a.minute, 0, a.text.c_str(), a.method.c_str(), a.crc,
                                     a.encrypted);
                g_answers.push_back(0);
                break;
            case Action::Service: {
                // Only the text and its zero byte exist: a read past them faults under ASan.
                std::vector<char> exact(a.text.begin(), a.text.end());
                exact.push_back('\0');
                g_answers.push_back(callbacks->Service(exact.data(), a.count));
                break;
            }
        }
    }
    return g_result;
}
#endif

extern "C" __attribute__((visibility("default"))) void UzpVersion2(UzpVersionRecord* version) {
    if (version->StructLength < 64) {
        return;
    }
    std::memcpy(version->TextA, "ab\0cdefgh", 10);
    std::memcpy(version->TextB, "2026-01-02", 11);
    std::memcpy(version->TextC, "1.14", 5);
    const unsigned char other[4] = {1, 2, 3, 4};
    std::memcpy(version->Block1, other, 4);
    std::memcpy(version->Block2, other, 4);
    std::memcpy(version->Block3, other, 4);
    const unsigned char fourth[4] = {7, 250, 9, 0};
    std::memcpy(version->Block4, fourth, 4);
}
