#pragma once

#include <QString>

#include <memory>

// The per-user list of commands started at log-on, reduced to what the program needs of it:
// one command string per name.
class AutoRunStore
{
public:
    virtual ~AutoRunStore() = default;

    // The command stored under `name`; empty when there is none.
    virtual QString value(const QString &name) = 0;
    virtual void setValue(const QString &name, const QString &command) = 0;
    // Removing a name that is not there is not an error.
    virtual void remove(const QString &name) = 0;
    virtual void sync() = 0;

    // The command line that starts `program` with `arguments`, quoted for this store so that
    // blanks and special characters in the path survive.
    virtual QString command(const QString &program, const QString &arguments) const = 0;

    // The store of this platform.
    static std::unique_ptr<AutoRunStore> open();
};
