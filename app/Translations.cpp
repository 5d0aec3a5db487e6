#include "Translations.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QLibraryInfo>
#include <QTranslator>

namespace {
bool haveProgramTranslation(const QString &language)
{
    return QFile::exists(QStringLiteral(":/i18n/velmora_%1.qm").arg(language));
}

// "en-US" -> "en_US", then "en".
QStringList candidates(const QString &uiLanguage)
{
    QString name = uiLanguage;
    name.replace(QLatin1Char('-'), QLatin1Char('_'));
    QStringList out{name};
    const qsizetype cut = name.indexOf(QLatin1Char('_'));
    if (cut > 0)
        out << name.left(cut);
    return out;
}
} // namespace

QString Translations::choose(const QStringList &uiLanguages)
{
    for (const QString &ui : uiLanguages) {
        const QStringList names = candidates(ui);
        if (names.last() == QLatin1String("zh") || names.last() == QLatin1String("C")
            || names.last() == QLatin1String("POSIX"))
            return QString();
        for (const QString &name : names) {
            if (haveProgramTranslation(name))
                return name;
        }
    }
    // No language the user reads is there: English rather than the Chinese source. With no
    // language at all (an empty list) the source texts stay.
    return uiLanguages.isEmpty() ? QString() : QStringLiteral("en");
}

QString Translations::install(const QLocale &locale)
{
    QCoreApplication *app = QCoreApplication::instance();
    const QStringList ui = locale.uiLanguages();
    const QString language = choose(ui);
    const QString qtDir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);

    // Qt's texts in the language of the program's: Chinese for the source texts (unless the
    // locale is C/POSIX), else the chosen language.
    QString qtLanguage = language;
    if (language.isEmpty()) {
        for (const QString &u : ui) {
            if (candidates(u).last() == QLatin1String("zh")) {
                qtLanguage = candidates(u).first();
                break;
            }
            if (u == QLatin1String("C") || u == QLatin1String("POSIX"))
                break;
        }
    }
    if (!qtLanguage.isEmpty()) {
        auto *qt = new QTranslator(app);
        bool loaded = false;
        for (const QString &name : candidates(qtLanguage)) {
            if ((loaded = qt->load(QStringLiteral("qtbase_") + name, qtDir)))
                break;
        }
        // zh_HK, zh_SG and the like: the script decides, and without one Simplified.
        if (!loaded && qtLanguage.startsWith(QLatin1String("zh")))
            loaded = qt->load(QLocale(qtLanguage).script() == QLocale::TraditionalChineseScript
                                  ? QStringLiteral("qtbase_zh_TW") : QStringLiteral("qtbase_zh_CN"),
                              qtDir);
        if (loaded)
            app->installTranslator(qt);
        else
            delete qt;
    }
    if (!language.isEmpty()) {
        auto *own = new QTranslator(app);
        if (own->load(QStringLiteral(":/i18n/velmora_") + language))
            app->installTranslator(own);
        else
            delete own;
    }
    return language;
}

bool Translations::installCommandLine(const QLocale &locale)
{
    const QStringList ui = locale.uiLanguages();
    if (ui.isEmpty() || candidates(ui.first()).last() != QLatin1String("zh"))
        return false;
    auto *own = new QTranslator(QCoreApplication::instance());
    if (own->load(QStringLiteral(":/i18n/velmoractl_zh_CN")))
        return QCoreApplication::installTranslator(own);
    delete own;
    return false;
}
