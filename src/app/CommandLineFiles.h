#pragma once

#include <QString>
#include <QStringList>

namespace bq {

class Form1;

// Files and folders named on the command line (a file manager's "Open With" names them so) join
// the window's list once the message loop runs, that is once the window has loaded and shows:
// they are added exactly as a drop of them onto the list adds them (CommandLinePaths tells which
// local paths the arguments stand for). arguments: without the program's own name.
void QueueCommandLineFiles(Form1& window, const QStringList& arguments,
                           const QString& currentFolder);

}  // namespace bq
