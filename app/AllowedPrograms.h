#pragma once

#include <QString>
#include <QStringList>

class QSettings;

// The programs the user allows to change the mode ("Deamon"/"AllowedPrograms"): while one of
// them runs, the lock steps aside, and puts back once when the last one has ended. A program is
// named by its executable's whole file name.
class AllowedPrograms
{
public:
    // The stored names; what is no list of file names reads as none, and `bad` (may be null)
    // gets its text then.
    static QStringList read(QSettings &settings, QString *bad = nullptr);
    static void write(QSettings &settings, const QStringList &names);
    // Whether `name` can name a program: a file name, without a folder.
    static bool isName(const QString &name);

    // The names a process counts by, from its executable's path, its argument list and the
    // kernel's (shortened) name of what was executed: the executable's file name, argv[0]'s (a
    // Windows program under Wine or Proton shows its own path there, split at either slash),
    // and a script's own, which its interpreter gets as argv[1].
    static QStringList namesOf(const QString &executable, const QStringList &arguments, const QString &shortName);
    // The file name at the end of `path`, split at '/' or '\'; a command line that is one
    // string ("C:\Program Files\Game\game.exe -w") ends at its program's name.
    static QString fileNameOf(const QString &path);
};
