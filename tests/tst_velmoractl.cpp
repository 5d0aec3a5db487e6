// velmoractl on the test X server (Xorg, dummy driver) with two monitors, DUMMY0 and DUMMY1:
// with and without a running Velmora, its trial, what it refuses; checked with xrandr and in
// the settings file.
#include "ProgramHome.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryFile>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

namespace {
struct Result
{
    int code = -1;
    QString out;
    QString err;
};
} // namespace

class TestVelmoractl : public QObject
{
    Q_OBJECT

    QString display;
    QString initialMode;
    std::unique_ptr<ProgramHome> home;

    QProcessEnvironment environment() const { return home->x11(display); }

    // velmoractl with `arguments`; `input` is written to it, and its standard input closed
    // unless `keepOpen`.
    Result ctl(const QStringList &arguments, const QByteArray &input = QByteArray(), bool keepOpen = false,
               QProcessEnvironment env = QProcessEnvironment())
    {
        QProcess p;
        p.setProcessEnvironment(env.isEmpty() ? environment() : env);
        p.start(QStringLiteral(VELMORACTL_BINARY), arguments);
        p.waitForStarted();
        p.write(input);
        if (!keepOpen)
            p.closeWriteChannel();
        Result r;
        if (!p.waitForFinished(30000))
            p.kill();
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

    QVariant stored(const QString &key) const { return home->stored(key); }

    void startVelmora(QProcess &velmora)
    {
        QVERIFY(home->start(velmora, {"-d"}, environment()));
        QTRY_VERIFY_WITH_TIMEOUT(ctl({"status"}).code == 0, 15000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        REQUIRE_XSERVER();
        display = QString::fromLocal8Bit(qgetenv("DISPLAY"));
        initialMode = TestXServer::outputMode("DUMMY0");
        QVERIFY(!initialMode.isEmpty());
    }

    void init()
    {
        home = std::make_unique<ProgramHome>();
        QVERIFY(TestXServer::connectSecondOutput());
    }

    void cleanup()
    {
        TestXServer::resetOutputs(initialMode);
    }

    // Without Velmora: the store is changed and the user told; what cannot be is said on
    // standard error with exit 1 (no such monitor or mode), 2 (usage) or 3 (status).
    void withoutVelmora()
    {
        Result r = ctl({"hold", "DUMMY1"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains("Velmora is not running; the hold starts with it (velmora -d)"), qPrintable(r.out));
        QCOMPARE(stored("Monitors/DUMMY1/Locked").toBool(), true);
        QCOMPARE(stored("Monitors/DUMMY1/PelsWidth").toInt(), 1024);
        r = ctl({"list"});
        QCOMPARE(r.code, 0);
        QVERIFY2(r.out.contains(QRegularExpression("^DUMMY1 .* on .*1024x768@60:\\d+ +at \\d+,\\d+ +held 1024x768@60", QRegularExpression::MultilineOption)),
                 qPrintable(r.out));
        QVERIFY(r.out.contains(QRegularExpression("^DUMMY0 .* primary .* at 0,0", QRegularExpression::MultilineOption)));
        r = ctl({"list", "DUMMY1"});
        QVERIFY(r.out.startsWith("0: 1024 768 "));
        QVERIFY(r.out.contains(" *\n"));
        QCOMPARE(ctl({"release", "DUMMY1"}).code, 0);
        QCOMPARE(stored("Monitors/DUMMY1/Locked").toBool(), false);

        const QList<std::pair<QStringList, int>> refused{
            {{"hold", "DUMMY9"}, 1}, {{"hold", "DUMMY1", "7x7"}, 1}, {{"hold", "DUMMY1", "wide"}, 2},
            {{"frobnicate"}, 2},     {{}, 2},                         {{"status"}, 3}};
        for (const auto &[arguments, code] : refused) {
            r = ctl(arguments);
            QCOMPARE(r.code, code);
            QVERIFY2(r.err.startsWith("velmoractl: "), qPrintable(r.err));
            QVERIFY(r.out.isEmpty());
        }
        QVERIFY(ctl({"hold", "DUMMY9"}).err.contains("no monitor DUMMY9"));
        QVERIFY(ctl({"hold", "DUMMY1", "7x7"}).err.contains("DUMMY1 does not offer 7x7"));
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));
    }

    // The trial: end of input or no answer within 15 s switch back and hold nothing; "y" keeps
    // and holds. The other monitor is never touched.
    void trialRevertsUnlessKept()
    {
        Result r = ctl({"hold", "DUMMY1", "800x600@60"});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("Keep this mode? [y/N]"), qPrintable(r.err));
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));
        QVERIFY(!stored("Monitors/DUMMY1/Locked").toBool());

        QProcess silent;
        silent.setProcessEnvironment(environment());
        QElapsedTimer clock;
        clock.start();
        silent.start(QStringLiteral(VELMORACTL_BINARY), {"hold", "DUMMY1", "800x600@60"});
        QTRY_VERIFY_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1").startsWith("800x600"), 5000);
        QVERIFY(silent.waitForFinished(25000));
        QVERIFY2(clock.elapsed() >= 14500, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(silent.exitCode(), 1);
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));

        // Ctrl-C (and a closed terminal's SIGHUP) answer no, they do not leave the mode behind.
        QProcess interrupted;
        interrupted.setProcessEnvironment(environment());
        interrupted.start(QStringLiteral(VELMORACTL_BINARY), {"hold", "DUMMY1", "800x600@60"});
        QTRY_VERIFY_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1").startsWith("800x600"), 5000);
        QCOMPARE(QProcess::execute("kill", {"-INT", QString::number(interrupted.processId())}), 0);
        QVERIFY(interrupted.waitForFinished(5000));
        QCOMPARE(interrupted.exitCode(), 1);
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));

        r = ctl({"hold", "DUMMY1", "800x600@60"}, "y\n");
        QCOMPARE(r.code, 0);
        QVERIFY(TestXServer::outputMode("DUMMY1").startsWith("800x600"));
        QCOMPARE(stored("Monitors/DUMMY1/PelsWidth").toInt(), 800);
        QCOMPARE(stored("Monitors/DUMMY1/Locked").toBool(), true);
        QCOMPARE(TestXServer::outputMode("DUMMY0"), initialMode);
    }

    // Through a running Velmora: it holds at once what velmoractl asks, puts it back after a
    // foreign switch, lets go on release, and a trial of a held monitor is not fought. Another
    // user cannot ask it anything.
    void throughRunningVelmora()
    {
        QProcess velmora;
        startVelmora(velmora);
        Result r = ctl({"hold", "DUMMY1"});
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out.trimmed(), QString("DUMMY1 held at 1024x768@60:32"));
        QCOMPARE(stored("Monitors/DUMMY1/Locked").toBool(), true);
        r = ctl({"status"});
        QVERIFY2(r.out.contains(QRegularExpression("^DUMMY1  1024x768@60:32  held  never restored$", QRegularExpression::MultilineOption)),
                 qPrintable(r.out));
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--mode", "800x600"}));
        QTRY_COMPARE_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"), 5000);
        QVERIFY(ctl({"status"}).out.contains("DUMMY1  1024x768@60:32  held  last restored "));

        r = ctl({"hold", "DUMMY1", "800x600@60"}, "y\n");
        QCOMPARE(r.code, 0);
        QVERIFY(TestXServer::outputMode("DUMMY1").startsWith("800x600"));
        QVERIFY(ctl({"status"}).out.contains("DUMMY1  800x600@60:32  held"));
        QCOMPARE(stored("Monitors/DUMMY1/PelsWidth").toInt(), 800);

        // Declined, or velmoractl killed during its question: the earlier hold is back as it was;
        // killed, once Velmora's wait for the answer is over, and not fought before.
        QCOMPARE(ctl({"hold", "DUMMY1", "1024x768@60"}, "n\n").code, 1);
        QVERIFY(TestXServer::outputMode("DUMMY1").startsWith("800x600"));
        QProcess killed;
        killed.setProcessEnvironment(environment());
        killed.start(QStringLiteral(VELMORACTL_BINARY), {"hold", "DUMMY1", "1024x768@60"});
        QTRY_VERIFY_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1").startsWith("1024x768"), 5000);
        killed.kill();
        QVERIFY(killed.waitForFinished(5000));
        QTest::qWait(2000);
        QVERIFY(TestXServer::outputMode("DUMMY1").startsWith("1024x768"));
        QTRY_VERIFY_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1").startsWith("800x600"), 25000);
        QVERIFY(ctl({"status"}).out.contains("DUMMY1  800x600@60:32  held"));

        // Another account, pointed at this user's runtime folder, reaches nothing.
        QProcessEnvironment other = environment();
        other.insert("HOME", "/nonexistent");
        QProcess nobody;
        nobody.setProcessEnvironment(other);
        nobody.start("setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups", VELMORACTL_BINARY, "release", "--all"});
        QVERIFY(nobody.waitForFinished(30000));
        QVERIFY(ctl({"status"}).out.contains("DUMMY1  800x600@60:32  held"));

        QCOMPARE(ctl({"release", "DUMMY1"}).code, 0);
        r = ctl({"status"});
        QVERIFY2(!r.out.contains("DUMMY1"), qPrintable(r.out));
        QCOMPARE(stored("Monitors/DUMMY1/Locked").toBool(), false);
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--mode", "1024x768_60"}));
        QTest::qWait(2500);
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));
        QCOMPARE(ctl({"release", "--all"}).code, 0);
        QCOMPARE(ctl({"status"}).out.trimmed(), QString("Velmora runs and holds nothing"));
        stopProcess(velmora);
        QCOMPARE(ctl({"status"}).code, 3);
    }

    // A program allowed to change the mode (its name longer than the kernel's 15 characters, a
    // script run through its interpreter) switches DUMMY1 and keeps running: not fought, said
    // in the status; put back once, within a second of its end. Without it, fought as before.
    void allowedProgramIsNotFought()
    {
        const QString name = QStringLiteral("velmora-test-game-switcher");
        QFile script(home->path() + QLatin1Char('/') + name);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nxrandr --output DUMMY1 --mode 800x600 || exit 1\nread line\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcess velmora;
        startVelmora(velmora);
        QCOMPARE(ctl({"hold", "DUMMY1"}).code, 0);
        QCOMPARE(ctl({"allow", name}).code, 0);
        QCOMPARE(ctl({"allowed"}).out.trimmed(), name);
        QCOMPARE(stored("Deamon/AllowedPrograms").toStringList(), QStringList{name});

        QProcess game;
        game.setProcessEnvironment(environment());
        game.start(script.fileName(), {});
        QVERIFY(game.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1").startsWith("800x600"), 5000);
        QTest::qWait(2500);
        QVERIFY(TestXServer::outputMode("DUMMY1").startsWith("800x600"));
        const Result r = ctl({"status"});
        QVERIFY2(r.out.contains("DUMMY1  1024x768@60:32  stepped aside for " + name + "  never restored"), qPrintable(r.out));
        // The primary, untouched, is held as ever.
        QStringList states;
        for (const QJsonValue &h : QJsonDocument::fromJson(ctl({"--json", "status"}).out.toUtf8()).object().value("holds").toArray())
            states << h["monitor"].toString() + ' ' + h["state"].toString() + ' ' + h["for"].toString();
        QCOMPARE(states, QStringList({"DUMMY0 held ", "DUMMY1 stepped aside " + name}));

        QVERIFY(!velmora.readAllStandardError().contains("applyDisplaySetting()"));
        QElapsedTimer clock;
        clock.start();
        game.write("\n");
        game.closeWriteChannel();
        QVERIFY(game.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1").startsWith("1024x768"), 3000);
        QVERIFY2(clock.elapsed() <= 1000, qPrintable(QString("back after %1 ms").arg(clock.elapsed())));
        QTest::qWait(1500);
        QCOMPARE(velmora.readAllStandardError().count("applyDisplaySetting()"), 1);
        QVERIFY(ctl({"status"}).out.contains("DUMMY1  1024x768@60:32  held  last restored "));

        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--mode", "800x600"}));
        QTRY_VERIFY_WITH_TIMEOUT(TestXServer::outputMode("DUMMY1").startsWith("1024x768"), 5000);
        QCOMPARE(ctl({"disallow", name}).code, 0);
        QCOMPARE(ctl({"disallow", name}).code, 1);
        QVERIFY(ctl({"allowed"}).out.startsWith("no program is allowed"));
        stopProcess(velmora);
    }

    // What monitors and compositors call themselves is input: no escape sequence reaches the
    // terminal, and JSON carries it escaped.
    void namesAreShownSafely()
    {
        QTemporaryFile display;
        QVERIFY(display.open());
        display.write("{\"outputs\": [{\"name\": \"DP-1\", \"modes\": [[1024,768,32,60]], \"current\": 0,"
                      " \"identity\": \"EVIL\\u001b]0;pwned\\u0007-1\", \"label\": \"Bad\\u001b[2J\"}]}");
        display.close();
        QProcessEnvironment env = environment();
        env.insert("VELMORA_FAKE_DISPLAY", display.fileName());
        const Result plain = ctl({"list"}, QByteArray(), false, env);
        QCOMPARE(plain.code, 0);
        QVERIFY2(!plain.out.contains(QChar(0x1b)) && !plain.out.contains(QChar(0x07)), qPrintable(plain.out));
        QVERIFY(plain.out.contains("EVIL?]0;pwned?-1"));
        const Result json = ctl({"--json", "list"}, QByteArray(), false, env);
        QVERIFY(!json.out.contains(QChar(0x1b)));
        const QJsonObject monitor = QJsonDocument::fromJson(json.out.toUtf8()).object().value("monitors").toArray().at(0).toObject();
        QCOMPARE(monitor.value("identity").toString(), QString("EVIL\x1b]0;pwned\x07-1"));
    }

    // The arrangement, held through a running Velmora: another program's reordering and change
    // of primary come back together; let go, they stay as they are put.
    void arrangementThroughRunningVelmora()
    {
        QProcess velmora;
        startVelmora(velmora);
        QCOMPARE(ctl({"hold", "--arrangement"}).code, 0);
        QTRY_VERIFY_WITH_TIMEOUT(ctl({"status"}).out.contains("arrangement of DUMMY0+DUMMY1  held  never restored"), 5000);
        const QString place0 = TestXServer::outputPlace("DUMMY0"), place1 = TestXServer::outputPlace("DUMMY1");
        QCOMPARE(place1, QString("1024x768+%1+0").arg(place0.section('x', 0, 0)));

        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--pos", "0x0", "--primary", "--output", "DUMMY0", "--pos",
                                     "1024x0"}));
        QTRY_COMPARE_WITH_TIMEOUT(TestXServer::outputPlace("DUMMY1"), place1, 5000);
        QCOMPARE(TestXServer::outputPlace("DUMMY0"), place0);
        QVERIFY(TestXServer::isPrimary("DUMMY0"));
        QVERIFY(ctl({"status"}).out.contains("arrangement of DUMMY0+DUMMY1  held  last restored "));
        // A trial inside it: the arrangement steps aside meanwhile, then holds the mode kept.
        const Result trial = ctl({"hold", "DUMMY1", "800x600@60", "--yes"});
        QCOMPARE(trial.code, 0);
        QTest::qWait(1500);
        QVERIFY(TestXServer::outputMode("DUMMY1").startsWith("800x600"));
        QVERIFY(ctl({"status"}).out.contains("arrangement of DUMMY0+DUMMY1  held"));

        QCOMPARE(ctl({"release", "--arrangement"}).code, 0);
        QCOMPARE(ctl({"release", "--arrangement"}).code, 1);
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--pos", "0x768"}));
        QTest::qWait(2500);
        QCOMPARE(TestXServer::outputPlace("DUMMY1"), QString("800x600+0+768"));
        stopProcess(velmora);
    }

    // The held arrangement while the set changes: DUMMY0 with DUMMY2 is another set, left as it
    // is put; DUMMY1 on again elsewhere brings the held places and primary back in one apply; a
    // program that undoes every restore is given up on after a few. Velmora switches no monitor
    // on or off.
    void arrangementAcrossSets()
    {
        const auto third = qScopeGuard([] {
            TestXServer::xrandr({"--output", "DUMMY2", "--off"});
            TestXServer::xrandr({"--delmode", "DUMMY2", "1024x768_60"});
        });
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY2", "1024x768_60"}));
        QProcess velmora;
        startVelmora(velmora);
        QCOMPARE(ctl({"hold", "--arrangement"}).code, 0);
        QTRY_VERIFY_WITH_TIMEOUT(ctl({"status"}).out.contains("arrangement of DUMMY0+DUMMY1  held"), 5000);
        const QString place0 = TestXServer::outputPlace("DUMMY0"), place1 = TestXServer::outputPlace("DUMMY1");
        QByteArray err;
        const auto restores = [&] {
            err += velmora.readAllStandardError();
            return int(err.count("hold: putting back the arrangement"));
        };

        // The plain query probes: only then is DUMMY2 connected.
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--off", "--output", "DUMMY2", "--mode", "1024x768_60", "--pos",
                                     "0x0", "--primary", "--output", "DUMMY0", "--pos", "0x768"})
                && TestXServer::xrandr({}));
        QTRY_VERIFY_WITH_TIMEOUT(ctl({"status"}).out.contains("arrangement of DUMMY0+DUMMY1  waiting"), 5000);
        QTest::qWait(2500);
        QCOMPARE(restores(), 0);
        QCOMPARE(TestXServer::outputPlace("DUMMY0"), QString("1024x768+0+768"));
        QCOMPARE(TestXServer::outputPlace("DUMMY2"), QString("1024x768+0+0"));
        QVERIFY(TestXServer::isPrimary("DUMMY2"));
        QVERIFY(TestXServer::outputPlace("DUMMY1").isEmpty());

        // Docked again in DUMMY2's place, primary.
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY2", "--off", "--output", "DUMMY1", "--mode", "1024x768_60", "--pos",
                                     "0x0", "--primary"}));
        QTRY_COMPARE_WITH_TIMEOUT(TestXServer::outputPlace("DUMMY1"), place1, 5000);
        QCOMPARE(TestXServer::outputPlace("DUMMY0"), place0);
        QVERIFY(TestXServer::isPrimary("DUMMY0"));
        QVERIFY(TestXServer::outputPlace("DUMMY2").isEmpty());
        QTest::qWait(2500);
        QCOMPARE(restores(), 1);
        QVERIFY(ctl({"status"}).out.contains("arrangement of DUMMY0+DUMMY1  held  last restored "));

        // Undone within 0.2 s every time.
        QProcess fighter;
        fighter.start("sh", {"-c", "while :; do xrandr --output DUMMY1 --pos 0x768; sleep 0.2; done"});
        QVERIFY(fighter.waitForStarted());
        const QByteArray givingUp = "hold: the arrangement of 2 monitors is undone after every restore, giving up until "
                                    "the monitors change";
        QVERIFY2(waitForError(velmora, err, givingUp, 20000), err.right(2000).constData());
        const int fought = restores() - 1;
        QTest::qWait(3000);
        QCOMPARE(restores() - 1, fought);
        QCOMPARE(fought, Deamon::FightRestores);
        QCOMPARE(err.count(givingUp), 1);
        QVERIFY(ctl({"status"}).out.contains("arrangement of DUMMY0+DUMMY1  given up"));
        QCOMPARE(TestXServer::outputPlace("DUMMY1"), QString("1024x768+0+768"));
        fighter.kill();
        fighter.waitForFinished();
        stopProcess(velmora);
    }
};

QTEST_GUILESS_MAIN(TestVelmoractl)
#include "tst_velmoractl.moc"
