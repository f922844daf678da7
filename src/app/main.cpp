#include "app/CommandLineFiles.h"
#include "app/Form1.h"
#include "cli/ConsoleConversion.h"
#include "cli/ProgramArguments.h"
#include "convert/ConverterSlots.h"
#include "platform/AbsoluteFolderVariables.h"
#include "platform/ByteText.h"
#include "platform/SafeLogMessages.h"
#include "platform/SettingsStore.h"
#include "platform/TerminalText.h"
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
    // Before anything changes the current folder (the conversion run does).
    bq::MakeFolderVariablesAbsolute();
    bq::ShowLogMessagesSafely();
    // Arguments keep their bytes: a name that is not valid UTF-8 still names its file.
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << bq::TextKeepingBytes(QByteArray(argv[i]));
    }
    const bq::ProgramArguments request =
        bq::ParseProgramArguments(arguments, bq::DefaultConverterCount());
    switch (request.mode) {
        case bq::ProgramArguments::Mode::Help:
            std::fputs(bq::HelpText().toUtf8().constData(), stdout);
            return 0;
        case bq::ProgramArguments::Mode::Version:
            std::printf("brindlequill %s\n", BQ_VERSION);
            return 0;
        case bq::ProgramArguments::Mode::UsageError:
            // It may quote an argument: shown with its control characters and odd bytes escaped.
            std::fprintf(stderr, "brindlequill: %s\n",
                         bq::TerminalSafe(request.usageError).toUtf8().constData());
            return bq::kExitUsage;
        case bq::ProgramArguments::Mode::Convert: {
            // No window, no display, none of the window's settings.
            QCoreApplication app(argc, argv);
            return bq::ConvertWithoutWindow(request.convert);
        }
        case bq::ProgramArguments::Mode::Window:
            break;
    }
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
    bq::QueueCommandLineFiles(window, request.windowPaths, QDir::currentPath());
    return QApplication::exec();
}
