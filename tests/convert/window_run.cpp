// The program as a child for the tests that kill it: the real window, headless, with scripted
// boxes, the given books listed and the results going to a folder, "Start Converting" pressed,
// and the ending signals taken as the program takes them (they close the window). Ends when the
// run and the window are done.
//
// Usage: window_run JOBS OUT_FOLDER BOOK...
// The settings store and TEMP are the caller's (point XDG_CONFIG_HOME and TEMP elsewhere).
#include "app/Form1.h"
#include "convert/MobiCheck.h"
#include "list/ConversionList.h"
#include "platform/SettingsStore.h"
#include "platform/TerminationSignals.h"
#include "support/ScriptedDialogs.h"
#include "unzip/mUnzip.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <memory>

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QLatin1String(bq::kSettingsAppName));
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() < 3) {
        std::fputs("usage: window_run JOBS OUT_FOLDER BOOK...\n", stderr);
        return 2;
    }
    bq::mUnzip::SetEngineLibraryPath(QStringLiteral(BQ_ENGINE_LIBRARY));
    bq::SetMobiCheckerPath(QStringLiteral(BQ_MOBI_CHECKER));
    bq::SaveSetting(bq::Setting::Option1, QStringLiteral("True"));
    bq::SaveSetting(bq::Setting::Option2, QStringLiteral("False"));
    bq::SaveSetting(bq::Setting::Text1, arguments[1] + QLatin1Char('/'));
    bq::SaveSetting(bq::Setting::Jobs, arguments[0]);

    bq::Form1 form(std::make_unique<ScriptedDialogs>());
    form.show();
    form.List().Append(arguments.mid(2));
    bq::TerminationSignals endSignals;
    QObject::connect(&endSignals, &bq::TerminationSignals::received, &form,
                     [&form](int) { form.close(); });
    QTimer::singleShot(0, &form, [&form] {
        form.PushButton2->click();
        QCoreApplication::exit(0);
    });
    return QApplication::exec();
}
