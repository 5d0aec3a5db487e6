// One instance per user: hand-over to the running one, stale locks, a silent owner, a
// shared machine.
#include "ProgramHome.h"
#include "SingleInstance.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QThread>

#include <chrono>
#include <thread>

namespace {
// A later start, in a thread of its own: the first instance needs its event loop meanwhile.
// `busyMs`: the first instance's thread does not answer for that long meanwhile.
SingleInstance::Result claimFromAnotherThread(const QString &dir, const QByteArray &request, int busyMs = 0)
{
    SingleInstance::Result result = SingleInstance::Result::First;
    QThread *thread = QThread::create([&] { result = SingleInstance(dir).claim(request); });
    startThread(*thread);
    QThread::msleep(busyMs);
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

        // A first instance busy for seconds still gets the request, once.
        QCOMPARE(claimFromAnotherThread(dir.path(), "show", 4000), SingleInstance::Result::HandedOver);
        QTRY_COMPARE(spy.size(), 3);
        QTest::qWait(500);
        QCOMPARE(spy.size(), 3);
    }

    // Whatever connects gets a few bytes and a moment to say them in one line, then is cut off.
    void requestsAreSmallAndBounded()
    {
        QTemporaryDir dir;
        SingleInstance first(dir.path());
        QCOMPARE(first.claim("show"), SingleInstance::Result::First);
        QSignalSpy spy(&first, &SingleInstance::requested);

        QLocalSocket silent, flood;
        silent.connectToServer(first.serverName());
        flood.connectToServer(first.serverName());
        QVERIFY(silent.waitForConnected(1000) && flood.waitForConnected(1000));
        flood.write(QByteArray(1 << 20, 'x'));
        QTRY_COMPARE_WITH_TIMEOUT(flood.state(), QLocalSocket::UnconnectedState, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(silent.state(), QLocalSocket::UnconnectedState, 5000);
        QCOMPARE(spy.size(), 0);

        QCOMPARE(claimFromAnotherThread(dir.path(), "show"), SingleInstance::Result::HandedOver);
        QTRY_COMPARE(spy.size(), 1);

        // velmoractl's requests get one line back; a line too long or a request not known is
        // dropped unanswered, and never reaches the answerer.
        QByteArrayList answered;
        first.setAnswerer([&answered](const QByteArray &request) {
            answered << request;
            return request == "status" ? QByteArray("ok {}") : QByteArray();
        });
        auto ask = [&dir](const QByteArray &request, QByteArray *answer) {
            SingleInstance::Asked result = SingleInstance::Asked::NotRunning;
            QThread *thread = QThread::create([&] { result = SingleInstance(dir.path()).ask(request, answer); });
            startThread(*thread);
            while (!thread->isFinished())
                QTest::qWait(10);
            stopThread(*thread);
            delete thread;
            return result;
        };
        QByteArray answer;
        QCOMPARE(ask("status", &answer), SingleInstance::Asked::Answered);
        QCOMPARE(answer, QByteArray("ok {}"));
        QCOMPARE(ask("frobnicate", &answer), SingleInstance::Asked::Unreachable);
        QCOMPARE(ask("hold " + QByteArray(SingleInstance::MaxRequestBytes, 'x'), &answer), SingleInstance::Asked::Unreachable);
        QCOMPARE(answered, QByteArrayList({"status", "frobnicate"}));
    }

    // No private runtime folder (XDG_RUNTIME_DIR unset, Qt's fallback owned by somebody
    // else): the lock and the socket go to a folder of the user's own, not to the shared one.
    void sharedTemporaryFolderIsNeverUsed()
    {
        QTemporaryDir tmp, home;
        const QString fallback = tmp.filePath("runtime-" + qEnvironmentVariable("USER", "root"));
        QVERIFY(QDir().mkpath(fallback));
        if (QProcess::execute("chown", {"nobody", fallback}) != 0)
            QSKIP("needs root to give the fallback runtime folder to another user");
        const QByteArray saved[] = {qgetenv("XDG_RUNTIME_DIR"), qgetenv("TMPDIR"), qgetenv("HOME"),
                                    qgetenv("XDG_CACHE_HOME")};
        qunsetenv("XDG_RUNTIME_DIR");
        qunsetenv("XDG_CACHE_HOME");
        qputenv("TMPDIR", tmp.path().toLocal8Bit());
        qputenv("HOME", home.path().toLocal8Bit());

        SingleInstance first;
        const SingleInstance::Result claimed = first.claim("show");
        QSignalSpy spy(&first, &SingleInstance::requested);
        const SingleInstance::Result handed = claimFromAnotherThread(QString(), "show");
        const QFileInfo folder(QFileInfo(first.lockPath()).path());
        const QFileInfo socket(first.serverName());

        const char *names[] = {"XDG_RUNTIME_DIR", "TMPDIR", "HOME", "XDG_CACHE_HOME"};
        for (int i = 0; i < 4; ++i) {
            if (saved[i].isNull())
                qunsetenv(names[i]);
            else
                qputenv(names[i], saved[i]);
        }
        QCOMPARE(claimed, SingleInstance::Result::First);
        QCOMPARE(handed, SingleInstance::Result::HandedOver);
        QTRY_COMPARE(spy.size(), 1);
        QVERIFY2(folder.absoluteFilePath().startsWith(home.path() + "/"), qPrintable(first.lockPath()));
        QCOMPARE(socket.path(), folder.absoluteFilePath());
        // rwx for the owner (0x7000), nothing for group and others (0x0077).
        QCOMPARE(int(folder.permissions() & 0x7077), 0x7000);
    }

    void lockOfACrashedInstanceDoesNotBlock()
    {
#ifdef Q_OS_WIN
        QSKIP("the program's lock folder cannot be chosen from outside on Windows");
#endif
        // A real instance of the program, killed without a chance to clean up.
        ProgramHome home;
        const QString dir = home.runtimeDir();
        QVERIFY(writeFile(home.fakeDisplayFile(), R"({"modes": [[1024,768,32,60]], "current": 0})"));
        QProcess velmora;
        QVERIFY(home.start(velmora, {"-d"}, home.fakeDisplay()));
        // Up and listening (a socket file on Unix, a named pipe on Windows).
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                QLocalSocket probe;
                probe.connectToServer(SingleInstance(dir).serverName());
                return probe.waitForConnected(100);
            }(),
            10000);
        velmora.kill();
        QVERIFY(velmora.waitForFinished());
        QVERIFY(QFile::exists(dir + "/velmora.lock"));

        SingleInstance next(dir);
        QCOMPARE(next.claim("show"), SingleInstance::Result::First);
        // ...and it is reachable in turn.
        QSignalSpy spy(&next, &SingleInstance::requested);
        QCOMPARE(claimFromAnotherThread(dir, "show"), SingleInstance::Result::HandedOver);
        QTRY_COMPARE(spy.size(), 1);

    }

    // velmoractl asking while the program starts probes the lock for a moment: the start is
    // still the first instance, not one that finds an instance that does not answer.
    void probeDuringTheStartIsNoInstance()
    {
        QTemporaryDir dir;
        QLockFile probe(dir.filePath("velmora.lock"));
        QVERIFY(probe.tryLock(0));
        std::thread release([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            probe.unlock();
        });
        SingleInstance first(dir.path());
        const SingleInstance::Result result = first.claim("show");
        release.join();
        QCOMPARE(result, SingleInstance::Result::First);
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
