#include "convert/RunOutputs.h"

#include "fs/OutputName.h"
#include "fs/PathText.h"
#include "process/WhileYielding.h"

#include <QFile>
#include <QFileInfo>

namespace bq {

QString RunOutputs::FileIdentity(const struct stat& st) {
    return QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino);
}

QString RunOutputs::OutputKey(const QString& output) {
    const QString folder = QFileInfo(FolderPart(output)).canonicalFilePath();
    if (folder.isEmpty()) {
        return output;
    }
    return CollapseSeparators(folder + QLatin1Char('/') + FileNamePart(output));
}

void RunOutputs::CollectListedSources(const QStringList& sources) {
    m_listedSources = RunWhileYielding([sources] {
        QSet<QString> identities;
        for (const QString& source : sources) {
            struct stat st {};
            if (::stat(QFile::encodeName(source).constData(), &st) == 0) {
                identities.insert(FileIdentity(st));
            }
        }
        return identities;
    });
}

bool RunOutputs::IsListedSource(const struct stat& st) const {
    return m_listedSources.contains(FileIdentity(st));
}

bool RunOutputs::FirstWriteInto(const QString& folder) {
    if (m_sweptFolders.contains(folder)) {
        return false;
    }
    m_sweptFolders.insert(folder);
    return true;
}

bool RunOutputs::FolderIgnoresCaseCached(const QString& folder) {
    auto ignores = m_foldersIgnoringCase.find(folder);
    if (ignores == m_foldersIgnoringCase.end()) {
        ignores = m_foldersIgnoringCase.insert(folder, FolderIgnoresCase(folder));
    }
    return *ignores;
}

QString RunOutputs::SameFileProblem(const QString& output) {
    // The same name twice, or two names that are one file in the output folder's file system
    // ("Dune.mobi" and "dune.mobi" on a stick, or a link to an output made earlier): the later
    // book fails and the earlier result stays.
    const QString folder = FolderPart(output);
    const bool ignoresCase =
        FolderIgnoresCaseCached(folder.size() > 1 ? folder.chopped(1) : folder);
    const QString ownKey = OutputKey(output);
    const Made* earlier = nullptr;
    const auto made = m_madeByIdentity.constFind(OutputIdentityKey(output, ignoresCase));
    if (made != m_madeByIdentity.constEnd()) {
        earlier = &*made;
    }
    struct stat st {};
    if (earlier == nullptr && ::stat(QFile::encodeName(output).constData(), &st) == 0) {
        const auto linked = m_madeByFile.constFind(FileIdentity(st));
        if (linked != m_madeByFile.constEnd()) {
            earlier = &*linked;
        }
    }
    if (earlier == nullptr) {
        return {};
    }
    if (earlier->key == ownKey && earlier->upToDate) {
        return QStringLiteral(
                   "its result %1 is the one of %2, earlier in this run, which was kept "
                   "as up to date")
            .arg(output, earlier->source);
    }
    if (earlier->key == ownKey) {
        return QStringLiteral("its result %1 would replace the one just made from %2")
            .arg(output, earlier->source);
    }
    return QStringLiteral(
               "its result %1 would be the same file as %2, made earlier in this run (the output "
               "folder does not tell the two names apart); the earlier book was kept")
        .arg(output, earlier->output);
}

void RunOutputs::RecordMade(const QString& output, const QString& source, bool upToDate) {
    const QString folder = FolderPart(output);
    const bool ignoresCase =
        FolderIgnoresCaseCached(folder.size() > 1 ? folder.chopped(1) : folder);
    const Made made{OutputKey(output), output, source, upToDate};
    m_madeByIdentity.insert(OutputIdentityKey(output, ignoresCase), made);
    struct stat st {};
    if (::stat(QFile::encodeName(output).constData(), &st) == 0) {
        m_madeByFile.insert(FileIdentity(st), made);
    }
}

}  // namespace bq
