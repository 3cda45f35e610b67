#pragma once

#include <QString>
#include <QStringList>

class QTranslator;

// Where the window finds its English catalogue "IAP_en_US.qm", in this order: the working
// folder (as the program always did), the executable's folder (a build folder), the share
// folder of the installation the executable belongs to, and last the copy compiled into the
// program, so that a program started from any folder shows a whole English window.
namespace catalogue {

// The installed share folder, relative to the executable's folder
// ("../share/upgrade-assistant/translations" for an installation under /usr).
QString shareFolderFromExecutable();

// The folders to look in for an executable in executableFolder. The working folder is the
// empty entry; the built-in copy is not a folder and always comes last.
QStringList defaultSearchFolders(const QString &executableFolder);

// The folders the window looks in: the defaults for the running executable unless
// setSearchFolders replaced them. An empty list restores the defaults.
QStringList searchFolders();
void setSearchFolders(const QStringList &folders);

// Loads the first catalogue found along searchFolders(), else the built-in copy. Returns
// the file it loaded (":/i18n/IAP_en_US.qm" for the built-in copy), or an empty string when
// none could be read.
QString load(QTranslator &translator);

} // namespace catalogue
