#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <sys/stat.h>

namespace bq {

// What one run knows of the files it reads and makes, across its books: the listed sources (no
// output may replace one), the output folders it has swept of abandoned temporaries, and the
// outputs it has made, so that a later book never replaces an output made from an earlier one.
class RunOutputs {
  public:
    // Takes note of the listed sources as they are now (off the window's thread: on a slow
    // mount a long list takes a while to look at).
    void CollectListedSources(const QStringList& sources);
    // True when the file st is one of the listed sources.
    bool IsListedSource(const struct stat& st) const;
    // True the first time a book of this run writes into folder (it is then swept).
    bool FirstWriteInto(const QString& folder);

    // Why output would replace an output made earlier in this run (the same name, or another
    // name of the same file); "" when it would not.
    QString SameFileProblem(const QString& output);
    // Notes an output put in place (or kept as up to date) for source.
    void RecordMade(const QString& output, const QString& source, bool upToDate);

    // The place of an output: its folder's real path and its name (the text when the folder
    // does not exist), so that two spellings of one place compare equal.
    static QString OutputKey(const QString& output);
    // "device:inode" of a file.
    static QString FileIdentity(const struct stat& st);

  private:
    struct Made {
        QString key;     // OutputKey
        QString output;  // its path as this run gave it
        QString source;  // the book it was made from
        bool upToDate;   // kept as it was: the book's output is newer than the book
    };
    bool FolderIgnoresCaseCached(const QString& folder);

    QSet<QString> m_listedSources;  // "device:inode" of every listed source when the loop began
    QSet<QString> m_sweptFolders;
    QHash<QString, bool> m_foldersIgnoringCase;
    // The outputs made, by identity key and by "device:inode".
    QHash<QString, Made> m_madeByIdentity;
    QHash<QString, Made> m_madeByFile;
};

}  // namespace bq
