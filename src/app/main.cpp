#include "app/CommandLineFiles.h"
#include "app/Form1.h"
#include "platform/SettingsStore.h"
#include "platform/TerminationSignals.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <cstdlib>

namespace {

// Qt cannot open a window without a display; say so plainly instead of aborting.
bool HasDisplay() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY") || set("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char* argv[]) {
    if (!HasDisplay()) {
        std::fputs(
            "Brindlequill needs a graphical display, and none was found (DISPLAY and "
            "WAYLAND_DISPLAY are not set).\nStart it from a desktop session, or without a screen "
            "under a virtual display:\n    xvfb-run -a brindlequill\n",
            stderr);
        return 1;
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QLatin1String(bq::kSettingsAppName));
    // The desktop entry the windows belong to: docks and task switchers show its name and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(BQ_APP_ID));
    bq::Form1 window;
    window.show();
    // Told to end (SIGTERM, SIGHUP, Ctrl-C in its terminal): as closing the window, so a run
    // stops and keeps the books it converted.
    bq::TerminationSignals endSignals;
    QObject::connect(&endSignals, &bq::TerminationSignals::received, &window,
                     [&window](int) { window.close(); });
    // Files and folders on the command line ("Open With") join the list once the window is up.
    bq::QueueCommandLineFiles(window, QApplication::arguments().mid(1), QDir::currentPath());
    return QApplication::exec();
}
