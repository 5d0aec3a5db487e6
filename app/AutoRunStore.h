#pragma once

#include <QString>

#include <memory>

class QFileInfo;

// The per-user list of commands started at log-on, reduced to what the program needs of it:
// one command string per name.
class AutoRunStore
{
public:
    virtual ~AutoRunStore() = default;

    // The command stored under `name`; empty when there is none.
    virtual QString value(const QString &name) = 0;
    // Each false when the list could not be changed (a read-only folder, an entry owned by
    // somebody else). Removing a name that is not there is not an error.
    virtual bool setValue(const QString &name, const QString &command) = 0;
    virtual bool remove(const QString &name) = 0;
    virtual bool sync() = 0;

    // The command line that starts `program` with `arguments`, quoted for this store so that
    // blanks and special characters in the path survive.
    virtual QString command(const QString &program, const QString &arguments) const = 0;

    // Where another user could put a program of theirs in place of `program`: the file itself
    // or the first folder above it that others may write (such as /tmp). Empty when there is
    // none; only such a program may be started at log-on.
    QString replaceableAt(const QString &program) const;

    // The store of this platform.
    static std::unique_ptr<AutoRunStore> open();

protected:
    // Whether somebody other than the user may write `path`.
    virtual bool othersMayWrite(const QString &path) const;
};
