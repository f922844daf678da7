#include "app/CommandLineFiles.h"

#include "app/Form1.h"
#include "list/CommandLinePaths.h"

#include <QTimer>

namespace bq {

void QueueCommandLineFiles(Form1& window, const QStringList& arguments,
                           const QString& currentFolder) {
    const QStringList paths = CommandLinePaths(arguments, currentFolder);
    if (paths.isEmpty()) {
        return;
    }
    QTimer::singleShot(0, &window, [&window, paths] {
        try {
            // The drop reports its own failures and keeps what it added.
            window.ListView1_OLEDragDrop(paths);
        } catch (...) {
            // Nothing may leave the message loop's call; the window stays as it is.
        }
    });
}

}  // namespace bq
