#pragma once

#include <QString>

namespace bq {

class DialogSeam;

// Shows the folder picker, modal to the window behind `dialogs`, with `title` above the folders
// and `initialFolder` selected when it opens (a folder that does not exist leaves the picker's own
// choice). Gives the chosen folder ("/" for the root, any other folder without a trailing "/"), or
// "" when the person cancels.
QString BrowseForFolder(DialogSeam& dialogs, const QString& title, const QString& initialFolder);

}  // namespace bq
