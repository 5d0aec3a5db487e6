// The freedesktop log-on start entry: what is written must read back, and must start the
// program that was meant when a desktop parses its Exec line.
#include "TestSupport.h"
#include "XdgAutoRunStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSettings>
#include <QTest>

namespace {
// Independent reading of an Exec value as a desktop would do it: string escapes first,
// then quoting, then field codes. Returns the argument list.
QStringList parseExec(const QString &raw)
{
    QString value;
    for (qsizetype i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\\' && i + 1 < raw.size()) {
            const QChar n = raw[++i];
            value += n == 's' ? QChar(' ') : n == 'n' ? QChar('\n') : n == 't' ? QChar('\t')
                   : n == 'r' ? QChar('\r') : n;
        } else {
            value += raw[i];
        }
    }
    QStringList args;
    QString current;
    bool inQuotes = false, have = false;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (inQuotes) {
            if (c == '\\' && i + 1 < value.size() && QString("\"`$\\").contains(value[i + 1]))
                current += value[++i];
            else if (c == '"')
                inQuotes = false;
            else
                current += c;
        } else if (c == ' ') {
            if (have)
                args << current;
            current.clear();
            have = false;
            continue;
        } else if (c == '"') {
            inQuotes = true;
        } else {
            current += c;
        }
        have = true;
    }
    if (have)
        args << current;
    for (QString &a : args)
        a.replace("%%", "%");
    return args;
}

QString execLine(const QString &file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("Exec="))
            return QString::fromUtf8(line.mid(5));
    }
    return QString();
}
} // namespace

class TestAutoRunStore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void awkwardPathsRoundTrip_data()
    {
        QTest::addColumn<QString>("program");
        QTest::newRow("plain") << "/usr/bin/velmora";
        QTest::newRow("blanks") << "/home/a b/My Apps/velmora";
        QTest::newRow("double quote") << "/opt/say \"hi\"/velmora";
        QTest::newRow("dollar and backtick") << "/opt/$HOME/`id`/velmora";
        QTest::newRow("percent") << "/opt/100%/%f/velmora";
        QTest::newRow("backslash") << "/opt/back\\slash/velmora";
        QTest::newRow("non-ASCII") << QString::fromUtf8("/home/用户/显示 工具/velmora");
        QTest::newRow("single quote and semicolon") << "/opt/it's;here/velmora";
    }

    void awkwardPathsRoundTrip()
    {
        QFETCH(QString, program);
        QTemporaryDir dir;
        XdgAutoRunStore store(dir.path());
        const QString command = store.command(program, "-d");
        store.setValue("Velmora", command);
        store.sync();
        // Read back exactly: an unchanged command is never rewritten.
        QCOMPARE(store.value("Velmora"), command);
        // And a desktop starts exactly this program with "-d".
        QCOMPARE(parseExec(execLine(store.filePath("Velmora"))), QStringList({program, "-d"}));
    }

    void entryIsAnAutostartApplication()
    {
        QTemporaryDir dir;
        XdgAutoRunStore store(dir.path() + "/autostart");
        QCOMPARE(store.value("Velmora"), QString());
        store.setValue("Velmora", "/usr/bin/velmora -d");
        QFile f(dir.path() + "/autostart/Velmora.desktop");
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.first(), QByteArray("[Desktop Entry]"));
        for (const char *key : {"Type=Application", "Name=Velmora", "Exec=/usr/bin/velmora -d", "Icon=velmora"})
            QVERIFY2(lines.contains(key), key);
        QVERIFY(std::any_of(lines.begin(), lines.end(), [](const QByteArray &l) { return l.startsWith("Comment="); }));
        // Removing twice is fine.
        store.remove("Velmora");
        store.remove("Velmora");
        QVERIFY(!f.exists());
        QCOMPARE(store.value("Velmora"), QString());
    }

    void unwritableFolderFailsQuietly()
    {
        QTemporaryDir dir;
        QFile blocker(dir.path() + "/autostart");
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should be
        blocker.close();
        XdgAutoRunStore store(dir.path() + "/autostart");
        store.setValue("Velmora", "/usr/bin/velmora -d");
        QCOMPARE(store.value("Velmora"), QString());
    }

    // Whoever else may write the program or a folder above it could replace it.
    void othersWhoCanWriteCanReplace()
    {
        QTemporaryDir dir(QCoreApplication::applicationDirPath() + "/replace-XXXXXX");
        const QString folder = dir.filePath("bin"), program = folder + "/velmora";
        QVERIFY(QDir().mkpath(folder));
        QFile file(program);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        XdgAutoRunStore store;
        // Nobody else may write in between: as replaceable as this test program (in /tmp, at /tmp).
        QCOMPARE(store.replaceableAt(program), store.replaceableAt(QCoreApplication::applicationFilePath()));
        if (QProcess::execute("chown", {"nobody", program}) != 0)
            QSKIP("needs root to hand files to other users");
        QCOMPARE(store.replaceableAt(program), program);
        QVERIFY(QProcess::execute("chown", {"--reference=" + folder, program}) == 0);
        QVERIFY(QProcess::execute("chown", {":nogroup", folder}) == 0);
        QVERIFY(QProcess::execute("chmod", {"g+w", folder}) == 0);
        QCOMPARE(store.replaceableAt(program), folder);
    }

    // Run from an unpacked build in /tmp, where anybody may put a program at that path once
    // it is gone: no log-on entry (an old one is removed), said once; the setting stays.
    void programOthersCanReplaceIsNotRegistered()
    {
        QTemporaryDir unpacked("/tmp/velmora-unpacked-XXXXXX"), home;
        const QString program = unpacked.filePath("velmora");
        QVERIFY(QFile::copy(QStringLiteral(VELMORA_BINARY), program));
        const QString entry = home.filePath(".config/autostart/Velmora.desktop");
        XdgAutoRunStore old(home.filePath(".config/autostart"));
        old.setValue("Velmora", old.command(program, "-d"));
        QFile display(home.filePath("display.json"));
        QVERIFY(display.open(QIODevice::WriteOnly));
        display.write(R"({"modes": [[1024,768,32,60]], "current": 0})");
        display.close();
        // Private, as a runtime folder is: else Velmora would fall back to the account's own
        // folder and hand over to an instance already running there.
        QVERIFY(QDir().mkpath(home.filePath("runtime")));
        QVERIFY(QFile::setPermissions(home.filePath("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcess velmora;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.filePath(".config"));
        env.insert("XDG_RUNTIME_DIR", home.filePath("runtime"));
        env.insert("VELMORA_FAKE_DISPLAY", display.fileName());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        velmora.setProcessEnvironment(env);
        velmora.setProcessChannelMode(QProcess::MergedChannels);
        velmora.start(program, {"-d"});
        QVERIFY(velmora.waitForStarted());
        QByteArray out;
        const QByteArray said = "updateAutorun(): not registered: other users can write /tmp\n";
        QTRY_VERIFY_WITH_TIMEOUT((out += velmora.readAll()).contains("\n-d\n"), 10000);
        velmora.terminate();
        QVERIFY(velmora.waitForFinished());
        out += velmora.readAll();
        QCOMPARE(out.count(said), 1);
        QVERIFY2(!QFile::exists(entry), out.constData());
        QCOMPARE(QSettings(home.filePath(".config/Orvanne/Velmora.conf"), QSettings::IniFormat).value("Ui/AutoRun"),
                 QVariant(true));
    }
};

QTEST_GUILESS_MAIN(TestAutoRunStore)
#include "tst_autorunstore.moc"
