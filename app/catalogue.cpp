#include "catalogue.h"

#include "mainwindow.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTranslator>

#ifndef IAP_SHARE_FROM_BIN
#define IAP_SHARE_FROM_BIN "../share/upgrade-assistant/translations"
#endif

namespace catalogue {

namespace {

QStringList &overriddenFolders()
{
    static QStringList folders;
    return folders;
}

} // namespace

QString shareFolderFromExecutable()
{
    return QStringLiteral(IAP_SHARE_FROM_BIN);
}

QStringList defaultSearchFolders(const QString &executableFolder)
{
    const QDir executable(executableFolder);
    return {QString(), executable.absolutePath(),
            QDir::cleanPath(executable.absoluteFilePath(shareFolderFromExecutable()))};
}

QStringList searchFolders()
{
    if (!overriddenFolders().isEmpty())
        return overriddenFolders();
    return defaultSearchFolders(QCoreApplication::applicationDirPath());
}

void setSearchFolders(const QStringList &folders)
{
    overriddenFolders() = folders;
}

QString load(QTranslator &translator)
{
    const QString name = QString::fromLatin1(MainWindow::CatalogueName);
    for (const QString &folder : searchFolders()) {
        // The working folder is named relative, read afresh by every English operation.
        if (translator.load(name, folder))
            return folder.isEmpty() ? name : QDir(folder).filePath(name);
    }
    const QString builtIn = QString::fromLatin1(MainWindow::BuiltInCatalogue);
    if (translator.load(builtIn))
        return builtIn;
    return QString();
}

} // namespace catalogue
