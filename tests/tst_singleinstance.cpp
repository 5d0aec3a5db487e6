// One instance per user: hand-over to the running one, stale locks, a silent owner.
#include "SingleInstance.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

namespace {
// A later start, in a thread of its own: the first instance needs its event loop meanwhile.
SingleInstance::Result claimFromAnotherThread(const QString &dir, const QByteArray &request)
{
    SingleInstance::Result result = SingleInstance::Result::First;
    QThread *thread = QThread::create([&] { result = SingleInstance(dir).claim(request); });
    startThread(*thread);
    while (!thread->isFinished())
        QTest::qWait(10);
    stopThread(*thread);
    delete thread;
    return result;
}
} // namespace

class TestSingleInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void laterStartsHandOverTheirRequest()
    {
        QTemporaryDir dir;
        SingleInstance first(dir.path());
        QCOMPARE(first.claim("show"), SingleInstance::Result::First);
        QSignalSpy spy(&first, &SingleInstance::requested);

        QCOMPARE(claimFromAnotherThread(dir.path(), "show"), SingleInstance::Result::HandedOver);
        QTRY_COMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).toByteArray(), QByteArray("show"));

        QCOMPARE(claimFromAnotherThread(dir.path(), "background"), SingleInstance::Result::HandedOver);
        QTRY_COMPARE(spy.size(), 2);
        QCOMPARE(spy.at(1).at(0).toByteArray(), QByteArray("background"));
    }

    void lockOfACrashedInstanceDoesNotBlock()
    {
        // A real instance of the program, killed without a chance to clean up.
        QTemporaryDir dir;
        QTemporaryDir home;
        QFile display(home.filePath("display.json"));
        QVERIFY(display.open(QIODevice::WriteOnly));
        display.write(R"({"modes": [[1024,768,32,60]], "current": 0})");
        display.close();
        QProcess velmora;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", dir.path());
        env.insert("HOME", home.path());
        env.insert("XDG_CONFIG_HOME", home.path());
        env.insert("VELMORA_FAKE_DISPLAY", display.fileName());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        velmora.setProcessEnvironment(env);
        velmora.start(QStringLiteral(VELMORA_BINARY), {"-d"});
        QVERIFY(velmora.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir.filePath("velmora.socket")), 10000);
        velmora.kill();
        QVERIFY(velmora.waitForFinished());
        QVERIFY(QFile::exists(dir.filePath("velmora.lock")));

        SingleInstance next(dir.path());
        QCOMPARE(next.claim("show"), SingleInstance::Result::First);
        // ...and it is reachable in turn.
        QSignalSpy spy(&next, &SingleInstance::requested);
        QCOMPARE(claimFromAnotherThread(dir.path(), "show"), SingleInstance::Result::HandedOver);
        QTRY_COMPARE(spy.size(), 1);
    }

    void ownerThatDoesNotAnswerIsReported()
    {
        // A live process holds the lock but listens nowhere.
        QTemporaryDir dir;
        QLockFile held(dir.filePath("velmora.lock"));
        QVERIFY(held.tryLock(0));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(claimFromAnotherThread(dir.path(), "show"), SingleInstance::Result::Unreachable);
        QVERIFY(clock.elapsed() < 10000);
    }
};

QTEST_GUILESS_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
