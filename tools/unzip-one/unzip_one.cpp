// unzip-one ARCHIVE FOLDER [PASSWORD]
//
// Extracts one archive into a folder through an unzip session, exactly as the program unpacks
// its converter runtime (folder names kept, every other option at its default), prints the
// engine's messages and exits 0 exactly when the session reports success. A password, when
// given, answers the session's password requests. It is how anyone tries an archive by hand,
// and what the unzip benchmark times.

#include "platform/RunTimeError.h"
#include "unzip/cUnzip.h"
#include "unzip/mUnzip.h"

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QString>

#include <cstdio>

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitUnzipFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitError = 3;

void Print(FILE* stream, const QString& text) {
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
    if (!text.endsWith(QLatin1Char('\n'))) {
        std::fputc('\n', stream);
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // A load failure is explained below, in the user's words; the log line would repeat it.
    QLoggingCategory::setFilterRules(QStringLiteral("brindlequill.unzip.warning=false"));
    const QStringList args = QCoreApplication::arguments().mid(1);
    if (args.size() < 2 || args.size() > 3) {
        Print(stderr, QStringLiteral("Usage: unzip-one ARCHIVE FOLDER [PASSWORD]\n"
                                     "Extracts ARCHIVE into FOLDER (made when missing) through "
                                     "the program's unzip engine; exit status 0 on success."));
        return kExitUsage;
    }
    const bool hasPassword = args.size() == 3;
    const QString password = hasPassword ? args.at(2) : QString();

    bq::cUnzip session;
    session.ZipFile(args.at(0));
    session.UseFolderNames(true);
    session.UnzipFolder(args.at(1));
    QObject::connect(&session, &bq::cUnzip::Progress,
                     [](std::int32_t, const QString& sMsg) { Print(stdout, sMsg); });
    QObject::connect(&session, &bq::cUnzip::PasswordRequest, [&](QString& sPassword, bool&) {
        if (hasPassword) {
            sPassword = password;  // none given: the request is refused
        }
    });
    try {
        const bool done = session.Unzip();
        std::fflush(stdout);
        if (!done) {
            Print(stderr, QStringLiteral("unzip-one: %1 was not extracted whole into %2; the "
                                         "messages above say why.")
                              .arg(args.at(0), args.at(1)));
            return kExitUnzipFailed;
        }
        return kExitSuccess;
    } catch (const bq::RunTimeError& e) {
        QString text = QStringLiteral("unzip-one: %1 (error %2 in %3)")
                           .arg(e.description())
                           .arg(e.number())
                           .arg(e.source());
        const QString problem = bq::mUnzip::EngineLoadProblem();
        if (!problem.isEmpty()) {
            text += QStringLiteral(
                        "\nThe unzip engine could not be loaded: %1\nBuild it (target "
                        "bqunzip) so that %2 sits beside unzip-one.")
                        .arg(problem, bq::mUnzip::EngineLibraryPath());
        }
        Print(stderr, text);
        return kExitError;
    }
}
