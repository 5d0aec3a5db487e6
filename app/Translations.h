#pragma once

#include <QLocale>
#include <QString>

class QCoreApplication;

// The UI's source texts are Chinese. installTranslators() picks the first of the user's UI
// languages (QLocale::uiLanguages(): LANGUAGE, LC_ALL, LC_MESSAGES, LANG) that Velmora has
// texts for and installs the program's translation (embedded, :/i18n/velmora_<lang>.qm) and
// Qt's own (qtbase_<lang>.qm from QLibraryInfo's translations path, for the box buttons).
//   zh*            the source texts, with Qt's Chinese buttons
//   C, POSIX       the source texts, as before translations existed
//   a translated language (en)        that translation
//   any other language                English, the one translation everyone can read
namespace Translations {
// The language chosen for these UI languages: "" for the source texts, else e.g. "en".
QString choose(const QStringList &uiLanguages);
// Installs the translators for `locale` on the running application; returns the language
// chosen as above.
QString install(const QLocale &locale = QLocale::system());
// velmoractl's texts are English; in a Chinese locale its Chinese catalogue
// (:/i18n/velmoractl_zh_CN.qm) is installed. Returns whether it was.
bool installCommandLine(const QLocale &locale = QLocale::system());
}
