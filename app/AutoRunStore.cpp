#include "AutoRunStore.h"

#include "AppPlatform.h"

#include <QFile>
#include <QFileInfo>

std::unique_ptr<AutoRunStore> AutoRunStore::open()
{
    return AppPlatform::autoRunStore();
}

QString AutoRunStore::replaceableAt(const QString &program) const
{
    QString path = QFileInfo(program).absoluteFilePath();
    for (;;) {
        if (othersMayWrite(path))
            return path;
        const QString parent = QFileInfo(path).path();
        if (parent == path)
            return QString();
        path = parent;
    }
}

bool AutoRunStore::othersMayWrite(const QString &path) const
{
    const QFileInfo info(path);
    const QFile::Permissions permissions = info.permissions();
    if (permissions & QFile::WriteOther)
        return true;
    // A group of the owner's own (user private groups) has no other member.
    return (permissions & QFile::WriteGroup) && info.group() != info.owner();
}
