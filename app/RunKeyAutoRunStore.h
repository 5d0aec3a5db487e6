#pragma once

#include "AutoRunStore.h"

#include <QSettings>

// Windows: a value of the per-user Run key.
class RunKeyAutoRunStore : public AutoRunStore
{
public:
    RunKeyAutoRunStore();

    QString value(const QString &name) override;
    bool setValue(const QString &name, const QString &command) override;
    bool remove(const QString &name) override;
    bool sync() override;
    QString command(const QString &program, const QString &arguments) const override;

protected:
    bool othersMayWrite(const QString &path) const override;

private:
    QSettings runKey;
};
