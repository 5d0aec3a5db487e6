#include "ArrangementScenario.h"

#include "Deamon.h"
#include "ProgramHome.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

namespace {
const QByteArray Restore = "hold: putting back the arrangement of ";
} // namespace

QString ArrangementScenario::status(const ProgramHome &home, const QProcessEnvironment &env) const
{
    QString out;
    home.control({"status"}, env, &out);
    return out;
}

void ArrangementScenario::run(const ProgramHome &home, const QProcessEnvironment &env) const
{
    QProcess velmora;
    QByteArray err;
    const auto cleanup = qScopeGuard([&] {
        err += stopProcess(velmora);
        if (QTest::currentTestFailed())
            qWarning().noquote() << "velmora:" << err;
        reset();
    });
    // Long enough for a second apply of one restore to show, and for the next restore not to
    // count as a fight.
    const int quiet = 2 * interval + Deamon::SettleMs + 200;
    const QString set = QStringLiteral("arrangement of %1  ").arg(monitors.join(QLatin1Char('+')));
    const QByteArray giveUp = QStringLiteral("hold: the arrangement of %1 monitors is undone after every restore, "
                                             "giving up until the monitors change")
                                  .arg(monitors.size())
                                  .toUtf8();
    auto restores = [&] {
        err += velmora.readAllStandardError();
        return int(err.count(Restore));
    };

    home.store("Deamon/msec", interval);
    QVERIFY(home.start(velmora, {"-d"}, env));
    QTRY_VERIFY_WITH_TIMEOUT(home.control({"status"}, env) == 0, 15000);
    QString out;
    QCOMPARE(home.control({"hold", "--arrangement"}, env, &out), 0);
    QVERIFY2(out.contains(QStringLiteral("the arrangement of %1 monitors held").arg(monitors.size())), qPrintable(out));
    QTRY_VERIFY_WITH_TIMEOUT(status(home, env).contains(set + "held  never restored"), 5000);

    // Changed by another program: back in one apply.
    QVERIFY(foreign());
    QTRY_VERIFY_WITH_TIMEOUT(held(), 10000);
    QTest::qWait(quiet);
    QVERIFY(held());
    QCOMPARE(restores(), 1);
    QVERIFY(status(home, env).contains(set + "held  last restored "));

    // A program that undoes every restore at once: a few rounds, then Velmora stops and says
    // so once, however long the other goes on.
    const int before = restores();
    QElapsedTimer fight;
    fight.start();
    QElapsedTimer after;
    while (!after.isValid() || after.elapsed() < quiet) {
        if (held())
            foreign();
        QTest::qWait(50);
        err += velmora.readAllStandardError();
        if (!after.isValid() && err.contains(giveUp))
            after.start();
        QVERIFY2(fight.elapsed() < 30000, err.constData());
    }
    QVERIFY(!held());
    QCOMPARE(restores() - before, Deamon::FightRestores);
    QCOMPARE(err.count(giveUp), 1);
    QVERIFY(status(home, env).contains(set + "given up"));

    if (unplug) {
        // Another set of monitors is on: left as it is, the monitor off stays off.
        QVERIFY(unplug());
        QTRY_VERIFY_WITH_TIMEOUT(status(home, env).contains(set + "waiting"), 5000);
        QTest::qWait(quiet);
        QVERIFY(unplugged());
        QCOMPARE(restores(), before + Deamon::FightRestores);
        // Docked again, in the other program's arrangement: the held one comes back, in one apply.
        QVERIFY(dock());
        QTRY_VERIFY_WITH_TIMEOUT(held(), 10000);
        QTest::qWait(quiet);
        QVERIFY(held());
        QCOMPARE(restores(), before + Deamon::FightRestores + 1);
        QVERIFY(status(home, env).contains(set + "held  last restored "));
        QCOMPARE(err.count(giveUp), 1);
    }

    err += stopProcess(velmora);
    QCOMPARE(velmora.exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora.exitCode(), 0);
}
