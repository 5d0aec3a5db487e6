#pragma once

#include "AutoRunStore.h"

// freedesktop: one desktop entry per name in $XDG_CONFIG_HOME/autostart, whose Exec key is
// the command.
class XdgAutoRunStore : public AutoRunStore
{
public:
    // Without a folder: the user's autostart folder.
    explicit XdgAutoRunStore(const QString &directory = QString());

    QString value(const QString &name) override;
    bool setValue(const QString &name, const QString &command) override;
    bool remove(const QString &name) override;
    bool sync() override;
    QString command(const QString &program, const QString &arguments) const override;

    QString filePath(const QString &name) const;

    // Exec quoting of one argument (quotes where needed, "%" doubled).
    static QString quoteArgument(const QString &argument);
    // The escapes of a desktop entry's string values, and back.
    static QString escapeValue(const QString &value);
    static QString unescapeValue(const QString &value);

protected:
    bool othersMayWrite(const QString &path) const override;

private:
    QString directory;
};
