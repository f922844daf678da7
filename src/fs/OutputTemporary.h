#pragma once

#include <QString>

#include <optional>
#include <utility>

namespace bq {

// The file a converter writes a book into, beside the output it is to replace:
// "<folder>/.brindlequill-XXXXXX.mobi" (six random letters and digits), readable by its user
// only. While the object lives it holds an exclusive flock on the file, which tells other
// programs that a running program owns it; the object's end removes the file unless it was put
// in place of an output, from its folder even when that folder was moved or renamed meanwhile.
class OutputTemporary {
  public:
    // Makes a new temporary in the folder; nullopt with errnoValue set when none can be made.
    static std::optional<OutputTemporary> Create(const QString& folder, int& errnoValue);

    // Removes the temporaries that earlier programs left in the folder and that no running
    // program holds: regular files of this user named exactly like one, never through a link.
    // Answers how many were removed.
    static int RemoveAbandoned(const QString& folder);

    OutputTemporary(OutputTemporary&& other) noexcept;
    OutputTemporary& operator=(OutputTemporary&& other) noexcept;
    OutputTemporary(const OutputTemporary&) = delete;
    OutputTemporary& operator=(const OutputTemporary&) = delete;
    ~OutputTemporary();

    // "" once removed or put in place.
    const QString& path() const { return m_path; }

    // Removes the file while its name in the folder it was made in still names the file made
    // (never what a link points to, nor a file put under the name since), and lets go of it.
    void Remove();

    // Puts the file in place of output so that an unplugged stick never holds a truncated book
    // under that name: flushes the content (of whatever regular file the converter left under the
    // name), gives it the mode (where the file system keeps modes), renames it over output, then
    // flushes the folder. True when done; the object then owns no file. False with errnoValue
    // set when it failed: before the rename the temporary stays the object's and output is
    // untouched; after it (only the folder's flush failed) the book stands at output but may not
    // survive an unplugging.
    bool ReplaceDurably(const QString& output, int mode, int& errnoValue);

  private:
    OutputTemporary(QString path, int fd, int folderFd)
        : m_path(std::move(path)), m_fd(fd), m_folderFd(folderFd) {}

    // Whether name (relative to folder, or AT_FDCWD) still names the file made.
    bool NameIsOurs(int folder, const QByteArray& name) const;
    // Closes the file (which lets go of the lock) and forgets it.
    void Release();

    QString m_path;
    int m_fd = -1;
    int m_folderFd = -1;  // the folder it was made in (O_PATH), wherever that folder is now
};

}  // namespace bq
