// The KDE and wlroots layers and the lock against velmora-test-compositor, a Wayland server of
// the tests' own that offers both output-management protocols over outputs from a JSON file:
// several modes (59.94/60 twins among them), lists renumbered, outputs switched off, unplugged
// and back, refused and stale configurations, a compositor that goes away. Checked from the
// compositor's side through the state it writes after every change.
#include "DisplayPlatform.h"
#include "DisplaySettings.h"
#include "KdeDisplayBackend.h"
#include "Pinned.h"
#include "TestSupport.h"
#include "WlrootsDisplayBackend.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <utility>

namespace {
const QString Dp1Modes = "[[1920,1080,60000],[1920,1080,59940],[1280,1024,75025],[1024,768,60000]]";
const QString Dp1Renumbered = "[[1024,768,60000],[1280,1024,75025],[1920,1080,59940],[1920,1080,60000]]";
const DisplayMode Twin59{1920, 1080, 32, 59};
const DisplayMode Sxga75{1280, 1024, 32, 75};

// DP-1 (primary, at the origin) with `modes` and `current`, HDMI-A-1 right of it, DP-2 off.
QString layout(const QString &dp1, const QString &modes = Dp1Modes, const QString &extra = QString())
{
    return QString(R"({"outputs": [{"name": "DP-1", "modes": %1, "preferred": 0, "x": 0, "y": 0, %2},
        {"name": "HDMI-A-1", "modes": [[1280,720,60000]], "current": 0, "x": 1920, "y": 0},
        {"name": "DP-2", "modes": [[1024,768,60000]], "current": 0, "enabled": false, "x": 0, "y": 1080}],
        "primary": "DP-1" %3})")
        .arg(modes, dp1, extra);
}

// An EDID block with what MonitorIdentity reads: maker, product code, serial and name.
QByteArray edid(const char *maker, quint16 product, const QByteArray &serial, const QByteArray &name)
{
    QByteArray e(128, '\0');
    e.replace(0, 8, QByteArray::fromHex("00ffffffffffff00"));
    const int packed = (maker[0] - '@') << 10 | (maker[1] - '@') << 5 | (maker[2] - '@');
    e[8] = char(packed >> 8);
    e[9] = char(packed & 0xff);
    e[10] = char(product & 0xff);
    e[11] = char(product >> 8);
    int at = 54;
    for (const auto &[type, text] : {std::pair<char, QByteArray>{char(0xff), serial}, {char(0xfc), name}}) {
        e[at + 3] = type;
        e.replace(at + 5, 13, (text + '\n').leftJustified(13, ' '));
        at += 18;
    }
    return e;
}

// The test compositor offering one protocol family, in a runtime folder of its own.
class Compositor
{
public:
    Compositor(const QString &family, const QString &config)
        : family(family)
    {
        process.setProgram(QStringLiteral(VELMORA_TEST_COMPOSITOR));
        process.setArguments({"--socket", "wl-test", "--config", configFile(), "--protocols", family});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", dir.path());
        process.setProcessEnvironment(env);
        restart(config);
    }

    // Stopped if it runs, and started anew on the same socket with `config`.
    void restart(const QString &config)
    {
        stop();
        write(config);
        process.start();
        ready = process.waitForReadyRead(10000) && process.readLine().trimmed() == "ready";
    }
    ~Compositor() { stop(); }

    QString socket() const { return dir.path() + "/wl-test"; }
    std::unique_ptr<DisplayBackend> backend() const
    {
        if (family == QLatin1String("kde"))
            return std::make_unique<KdeDisplayBackend>(socket().toStdString());
        return std::make_unique<WlrootsDisplayBackend>(socket().toStdString());
    }

    // A new layout from outside: written, then announced by SIGHUP.
    void reload(const QString &config)
    {
        write(config);
        ::kill(pid_t(process.processId()), SIGHUP);
    }

    // Stopped and continued: a compositor that does not answer for a while.
    void pause(bool paused) { ::kill(pid_t(process.processId()), paused ? SIGSTOP : SIGCONT); }

    void stop()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        pause(false);
        process.terminate();
        process.waitForFinished(5000);
    }

    QJsonObject state() const
    {
        QFile file(configFile() + ".state");
        return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
    }
    QJsonObject output(const QString &name) const
    {
        for (const QJsonValue &o : state().value("outputs").toArray()) {
            if (o.toObject().value("name").toString() == name)
                return o.toObject();
        }
        return QJsonObject();
    }
    // DP-1's mode in use as the program names modes; empty when off or absent.
    QString mode(const QString &name = "DP-1") const
    {
        const QJsonArray m = output(name).value("current").toArray();
        return m.isEmpty() ? QString() : QString("%1x%2@%3").arg(m[0].toInt()).arg(m[1].toInt()).arg(m[2].toInt());
    }
    int count(const char *key) const { return state().value(key).toInt(); }

    QString family;
    bool ready = false;

private:
    QString configFile() const { return dir.path() + "/outputs.json"; }
    void write(const QString &config)
    {
        QFile file(configFile());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(config.toUtf8());
    }

    QTemporaryDir dir;
    QProcess process;
};

} // namespace

class TestWaylandDisplay : public QObject
{
    Q_OBJECT

    static void families()
    {
        QTest::addColumn<QString>("family");
        QTest::newRow("kde") << "kde";
        QTest::newRow("wlroots") << "wlr";
    }

private Q_SLOTS:
    // Without real RandR or Mutter, the platform is the protocol the compositor offers, KDE's
    // before wlroots' when it offers both.
    void platformFollowsWhatIsOffered()
    {
        qunsetenv("DISPLAY");
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        for (const QString offered : {"wlr", "kde,wlr"}) {
            Compositor c(offered, layout(R"("current": 0)"));
            QVERIFY(c.ready);
            qputenv("WAYLAND_DISPLAY", c.socket().toLocal8Bit());
            std::unique_ptr<DisplayBackend> chosen = DisplayPlatform::create();
            QVERIFY2(offered == "wlr" ? bool(dynamic_cast<WlrootsDisplayBackend *>(chosen.get()))
                                      : bool(dynamic_cast<KdeDisplayBackend *>(chosen.get())),
                     qPrintable(offered));
        }
    }

    void listsAndHoldsByValues_data() { families(); }
    // The primary's modes in the compositor's order, twins apart; the lock takes the 59.94 Hz
    // twin back after a switch from outside that also renumbered the list, touching nothing else.
    void listsAndHoldsByValues()
    {
        QFETCH(QString, family);
        Compositor c(family, layout(R"("current": 1)"));
        QVERIFY(c.ready);
        std::unique_ptr<DisplayBackend> probe = c.backend();
        QCOMPARE(QString::fromStdString(PinnedOutput(*probe).pinOutput()), QString("DP-1"));
        QCOMPARE(enumerateModes(*probe),
                 QList<DisplayMode>({{1920, 1080, 32, 60}, Twin59, Sxga75, {1024, 768, 32, 60}}));

        HeldLock lock(c.backend(), Twin59, 5000);
        c.reload(layout(R"("current": 1)", Dp1Renumbered));
        // Back on the announcement, long before the next poll.
        QTRY_COMPARE_WITH_TIMEOUT(c.count("applied"), 1, 3000);
        QCOMPARE(c.mode(), QString("1920x1080@59940"));
        QTest::qWait(300);
        QCOMPARE(c.mode("HDMI-A-1"), QString("1280x720@60000"));
        QCOMPARE(c.output("HDMI-A-1").value("x").toInt(), 1920);
        QVERIFY(!c.output("DP-2").value("enabled").toBool());
        QCOMPARE(c.count("applied"), 1);
        if (family == "wlr") // every head named, so nothing but DP-1 can change
            QCOMPARE(c.state().value("lastHeads").toArray().size(), 3);
        QCOMPARE(lock.applies(), QStringList({"applyDisplaySetting():32 1920 1080 59"}));

        // KWin's primary is pinned wherever it lies; on wlroots, the head at the origin.
        c.reload(layout(R"("current": 1)").replace(R"("primary": "DP-1")", R"("primary": "HDMI-A-1")"));
        QTRY_COMPARE_WITH_TIMEOUT(c.state().value("primary").toString(), QString("HDMI-A-1"), 3000);
        QCOMPARE(PinnedOutput(*c.backend()).pinOutput(), std::string(family == "kde" ? "HDMI-A-1" : "DP-1"));
    }

    void offAndAbsentWait_data() { families(); }
    // Switched off, the output stays off; unplugged, it is waited for; back in another mode,
    // the held one returns.
    void offAndAbsentWait()
    {
        QFETCH(QString, family);
        Compositor c(family, layout(R"("current": 2)"));
        QVERIFY(c.ready);
        HeldLock lock(c.backend(), Sxga75, 300);
        c.reload(layout(R"("current": 2, "enabled": false)"));
        QTRY_COMPARE_WITH_TIMEOUT(lock.log.matching("hold:"),
                                  QStringList({"hold: DP-1 is off, waiting until it is on again"}), 3000);
        c.reload(R"({"outputs": [{"name": "HDMI-A-1", "modes": [[1280,720,60000]], "current": 0, "x": 1920, "y": 0}]})");
        QTRY_COMPARE_WITH_TIMEOUT(lock.log.matching("hold:").size(), 2, 3000);
        QCOMPARE(lock.log.matching("hold:").last(), QString("hold: DP-1 is not connected, waiting for it"));
        QTest::qWait(700);
        QCOMPARE(c.count("requests"), 0);
        c.reload(layout(R"("current": 3)"));
        QTRY_COMPARE_WITH_TIMEOUT(c.mode(), QString("1280x1024@75025"), 3000);
        QCOMPARE(lock.applies(), QStringList({"applyDisplaySetting():32 1280 1024 75"}));
    }

    void ratesATenthOfAPercentApart_data() { families(); }
    // Rates 0.1 % apart (23.976/24, 29.97/30, 119.88/120, 143.856/144 Hz) are listed apart and
    // each apply takes the one asked for; the lock takes 23.976 Hz back from 24 Hz.
    void ratesATenthOfAPercentApart()
    {
        QFETCH(QString, family);
        const QList<int> mhz{24000, 23976, 30000, 29970, 120000, 119880, 144000, 143856};
        QStringList modes;
        for (int rate : mhz)
            modes << QString("[1920,1080,%1]").arg(rate);
        const QString list = "[" + modes.join(',') + "]";
        Compositor c(family, layout(R"("current": 0)", list));
        QVERIFY(c.ready);
        std::unique_ptr<DisplayBackend> backend = c.backend();
        PinnedOutput pinned(*backend);
        QCOMPARE(pinned.pinOutput(), std::string("DP-1"));
        QList<int> rates;
        for (const DisplayMode &m : enumerateModes(*backend))
            rates << m.DisplayFrequency;
        QCOMPARE(rates, QList<int>({24, 23, 30, 29, 120, 119, 144, 143}));
        // From the end, so that every apply is a switch.
        for (int i = mhz.size() - 1; i >= 0; --i) {
            QCOMPARE(backend->applyModes({{"DP-1", {1920, 1080, 32, rates[i]}}}), DisplayBackend::ApplyResult::Applied);
            QCOMPARE(c.mode(), QString("1920x1080@%1").arg(mhz[i]));
        }

        HeldLock lock(c.backend(), {1920, 1080, 32, 23}, 300);
        QTRY_COMPARE_WITH_TIMEOUT(c.mode(), QString("1920x1080@23976"), 3000);
        c.reload(layout(R"("current": 0)", list));
        QTRY_COMPARE_WITH_TIMEOUT(c.count("applied"), int(mhz.size()) + 2, 3000);
        QCOMPARE(c.mode(), QString("1920x1080@23976"));
        QStringList asked = lock.applies();
        asked.removeDuplicates();
        QCOMPARE(asked, QStringList({"applyDisplaySetting():32 1920 1080 23"}));
    }

    void everyOutputInOneConfiguration_data() { families(); }
    // Every output with the monitor on it (KDE: the EDID before the names) and one primary;
    // two changes go out as one configuration that leaves the third output alone, after an
    // apply that could not go whole sent nothing; a monitor on a renamed connector is the same.
    void everyOutputInOneConfiguration()
    {
        QFETCH(QString, family);
        const QString dp1 = QString(R"("make": "Dell", "model": "U2720Q", "serial": "SN0001", "edid": "%1")")
                                .arg(QString::fromLatin1(edid("DEL", 0x4321, "SN0001", "Velmora 27").toHex()));
        const QString three = R"({"outputs": [
            {"name": "%1", "modes": %2, "current": 0, "preferred": 0, "x": 0, "y": 0, %3},
            {"name": "HDMI-A-1", "modes": [[1280,720,60000],[1024,768,60000]], "current": 0, "x": 1920, "y": 0,
             "make": "Acme", "model": "View 24", "serial": "A1"},
            {"name": "DP-2", "modes": [[1024,768,60000],[800,600,60000]], "current": 0, "x": 3200, "y": 0,
             "make": "Acme", "model": "View 24", "serial": ""}],
            "primary": "HDMI-A-1"})";
        Compositor c(family, three.arg("DP-1", Dp1Modes, dp1));
        QVERIFY(c.ready);
        std::unique_ptr<DisplayBackend> backend = c.backend();
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend->readOutputs(outputs));
        QStringList names, identities, primaries;
        for (const DisplayOutput &o : outputs) {
            names << QString::fromStdString(o.name);
            identities << QString::fromStdString(o.identity) + (o.hasSerial ? "" : " (no serial)");
            if (o.primary)
                primaries << QString::fromStdString(o.name);
            QCOMPARE(o.state, DisplayOutput::State::Active);
        }
        QCOMPARE(names, QStringList({"DP-1", "HDMI-A-1", "DP-2"}));
        const QString dp1Identity = family == "kde" ? "DEL-4321-SN0001" : "Dell-U2720Q-SN0001";
        QCOMPARE(identities, QStringList({dp1Identity, "Acme-View 24-A1", "Acme-View 24 (no serial)"}));
        // KWin says which; wlroots has none, so the head at the origin.
        QCOMPARE(primaries, QStringList{family == "kde" ? "HDMI-A-1" : "DP-1"});

        const DisplayMode xga60{1024, 768, 32, 60};
        QCOMPARE(backend->applyModes({{"DP-1", Sxga75}, {"DP-2", {640, 480, 32, 60}}}),
                 DisplayBackend::ApplyResult::NotOffered);
        QCOMPARE(c.count("requests"), 0);
        QCOMPARE(backend->applyModes({{"DP-1", Sxga75}, {"HDMI-A-1", xga60}}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(c.count("requests"), 1);
        QCOMPARE(c.count("applied"), 1);
        QCOMPARE(c.mode("DP-1"), QString("1280x1024@75025"));
        QCOMPARE(c.mode("HDMI-A-1"), QString("1024x768@60000"));
        QCOMPARE(c.mode("DP-2"), QString("1024x768@60000"));
        QStringList named;
        for (const QJsonValue &head : c.state().value("lastHeads").toArray())
            named << head.toString();
        named.sort();
        // KWin is told the changed devices only; wlroots every head as it stands.
        QCOMPARE(named, family == "kde" ? QStringList({"DP-1", "HDMI-A-1"})
                                        : QStringList({"DP-1", "DP-2", "HDMI-A-1"}));
        QVERIFY(backend->readOutputs(outputs));
        QVERIFY(outputs.at(0).current == Sxga75 && outputs.at(1).current == xga60);

        c.reload(three.arg("DP-5", Dp1Modes, dp1));
        QTRY_VERIFY_WITH_TIMEOUT(backend->readOutputs(outputs) && outputs.size() == 3 && outputs.at(2).name == "DP-5",
                                 3000);
        QCOMPARE(QString::fromStdString(outputs.at(2).identity), dp1Identity);
    }

    void arrangementInOneConfiguration_data() { families(); }
    // Places, transforms and scales are read; an arrangement (DP-1 and HDMI-A-1 swap places,
    // DP-1 in another mode and scale, HDMI-A-1 turned, on KDE made the primary) goes out as one
    // configuration; DP-3, not named, keeps its place, mode, transform and scale, DP-2 stays off.
    void arrangementInOneConfiguration()
    {
        QFETCH(QString, family);
        const bool kde = family == "kde";
        Compositor c(family, R"({"outputs": [
            {"name": "DP-1", "modes": )" + Dp1Modes + R"(, "current": 0, "x": 0, "y": 0},
            {"name": "HDMI-A-1", "modes": [[1280,720,60000]], "current": 0, "x": 1920, "y": 0},
            {"name": "DP-2", "modes": [[1024,768,60000]], "current": 0, "enabled": false},
            {"name": "DP-3", "modes": [[1024,768,60000],[800,600,60000]], "current": 1, "x": 3200, "y": 0,
             "transform": 6, "scale": 2}],
            "primary": "DP-1"})");
        QVERIFY(c.ready);
        std::unique_ptr<DisplayBackend> backend = c.backend();
        const LayoutFeatures has = backend->features();
        QVERIFY(has.position && has.transform && has.scale);
        QCOMPARE(has.primary, kde);
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend->readOutputs(outputs));
        QCOMPARE(outputs.size(), size_t(4));
        QVERIFY(outputs[3].x == 3200 && outputs[3].transform == Flipped180 && outputs[3].scale == 2.0);
        QVERIFY(outputs[0].primary);

        OutputChange dp1{"DP-1", Sxga75, std::make_pair(1280, 0), std::nullopt, 1.5};
        OutputChange hdmi{"HDMI-A-1", std::nullopt, std::make_pair(0, 0), Rotated90, std::nullopt, true};
        QCOMPARE(backend->apply({dp1, hdmi}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(c.count("requests"), 1);
        QCOMPARE(c.count("applied"), 1);
        const QJsonObject one = c.output("DP-1"), two = c.output("HDMI-A-1"), three = c.output("DP-3");
        QCOMPARE(c.mode("DP-1"), QString("1280x1024@75025"));
        QVERIFY(one.value("x").toInt() == 1280 && one.value("scale").toDouble() == 1.5 && one.value("transform").toInt() == 0);
        QVERIFY(two.value("x").toInt() == 0 && two.value("transform").toInt() == Rotated90 && two.value("scale").toDouble() == 1.0);
        QCOMPARE(c.mode("HDMI-A-1"), QString("1280x720@60000"));
        QCOMPARE(c.mode("DP-3"), QString("800x600@60000"));
        QVERIFY(three.value("x").toInt() == 3200 && three.value("transform").toInt() == Flipped180
                && three.value("scale").toDouble() == 2.0);
        QVERIFY(!c.output("DP-2").value("enabled").toBool());
        QCOMPARE(c.state().value("primary").toString(), QString(kde ? "HDMI-A-1" : "DP-1"));
        QStringList named;
        for (const QJsonValue &head : c.state().value("lastHeads").toArray())
            named << head.toString();
        named.sort();
        QCOMPARE(named, kde ? QStringList({"DP-1", "HDMI-A-1"}) : QStringList({"DP-1", "DP-2", "DP-3", "HDMI-A-1"}));

        // Read back as set (on wlroots the head at the origin counts as the primary); the same
        // arrangement again sends nothing.
        QVERIFY(backend->readOutputs(outputs));
        QVERIFY(outputs[0].x == 1280 && outputs[0].scale == 1.5 && outputs[0].current == Sxga75);
        QVERIFY(outputs[1].x == 0 && outputs[1].transform == Rotated90);
        QVERIFY(outputs[1].primary && !outputs[0].primary);
        QCOMPARE(backend->apply({dp1, hdmi}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(c.count("requests"), 1);
    }

    void everyLockedMonitorHeldOnItsOwn_data() { families(); }
    // DP-1 (primary) and the monitor on HDMI-A-1 locked at modes of their own, DP-2 not held:
    // all three switched from outside, the two held ones come back in one configuration on the
    // announcement. The held monitor unplugged and back on another connector is held there.
    void everyLockedMonitorHeldOnItsOwn()
    {
        QFETCH(QString, family);
        const QString three = R"({"outputs": [
            {"name": "DP-1", "modes": %1, "current": %2, "x": 0, "y": 0,
             "make": "Dell", "model": "U2720Q", "serial": "SN0001"},
            %3
            {"name": "DP-2", "modes": [[1024,768,60000],[800,600,60000]], "current": %4, "x": 3200, "y": 0,
             "make": "Acme", "model": "View 24", "serial": "B2"}],
            "primary": "DP-1"})";
        auto held = [](const QString &name, int current) {
            return QString(R"({"name": "%1", "modes": [[1280,720,60000],[1024,768,60000]], "current": %2,
                "x": 1920, "y": 0, "make": "Acme", "model": "View 24", "serial": "A1"},)")
                .arg(name)
                .arg(current);
        };
        Compositor c(family, three.arg(Dp1Modes, "2", held("HDMI-A-1", 0), "0"));
        QVERIFY(c.ready);
        const DisplayMode hd60{1280, 720, 32, 60};
        {
            // A poll interval longer than the test: what comes back comes on the announcement.
            HeldLock lock(c.backend(), Sxga75, 60000);
            QVERIFY(lock.holdMonitor("HDMI-A-1", hd60));
            c.reload(three.arg(Dp1Modes, "0", held("HDMI-A-1", 1), "1"));
            QTRY_COMPARE_WITH_TIMEOUT(c.count("applied"), 1, 3000);
            QTest::qWait(500);
            QCOMPARE(c.count("applied"), 1);
            QCOMPARE(c.mode("DP-1"), QString("1280x1024@75025"));
            QCOMPARE(c.mode("HDMI-A-1"), QString("1280x720@60000"));
            QCOMPARE(c.mode("DP-2"), QString("800x600@60000"));
            QCOMPARE(lock.applies(), QStringList({"applyDisplaySetting():32 1280 1024 75",
                                                  "applyDisplaySetting():32 1280 720 60"}));
        }

        HeldLock lock(c.backend(), Sxga75, 60000);
        QVERIFY(lock.holdMonitor("HDMI-A-1", hd60));
        c.reload(three.arg(Dp1Modes, "2", QString(), "1"));
        QTRY_COMPARE_WITH_TIMEOUT(lock.log.matching("hold:"),
                                  QStringList({"hold: HDMI-A-1 is not connected, waiting for it"}), 3000);
        c.reload(three.arg(Dp1Modes, "2", held("HDMI-A-2", 1), "1"));
        QTRY_COMPARE_WITH_TIMEOUT(c.mode("HDMI-A-2"), QString("1280x720@60000"), 3000);
        QTest::qWait(500);
        QCOMPARE(c.count("applied"), 2);
        QCOMPARE(c.mode("DP-2"), QString("800x600@60000"));
        QCOMPARE(lock.applies(), QStringList({"applyDisplaySetting():32 1280 720 60"}));
    }

    void unansweredRoundTripsEnd_data() { families(); }
    // A compositor that takes the connection and never answers holds the caller for the
    // time-out only; one that stops answering for a while makes a read fail after the time-out,
    // and its late answer harms nothing: the reads after it work.
    void unansweredRoundTripsEnd()
    {
        QFETCH(QString, family);
        QTemporaryDir dir;
        QLocalServer mute;
        QVERIFY(mute.listen(dir.path() + "/mute"));
        QElapsedTimer clock;
        clock.start();
        const std::string path = (dir.path() + "/mute").toStdString();
        std::unique_ptr<DisplayBackend> backend;
        if (family == "kde")
            backend = std::make_unique<KdeDisplayBackend>(path);
        else
            backend = std::make_unique<WlrootsDisplayBackend>(path);
        QVERIFY2(clock.elapsed() < 4500, qPrintable(QString::number(clock.elapsed())));
        // The calls right after it do not wait all over again: the next try comes after a pause.
        std::vector<DisplayOutput> outputs;
        clock.restart();
        for (int i = 0; i < 4; ++i)
            QVERIFY(!backend->readOutputs(outputs));
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));

        Compositor c(family, layout(R"("current": 0)"));
        QVERIFY(c.ready);
        backend = c.backend();
        QVERIFY(backend->readOutputs(outputs));
        c.pause(true);
        clock.restart();
        QVERIFY(!backend->readOutputs(outputs));
        QVERIFY2(clock.elapsed() >= 2500 && clock.elapsed() < 4500, qPrintable(QString::number(clock.elapsed())));
        // The reads after it (a trial makes several) do not wait all over again.
        clock.restart();
        for (int i = 0; i < 4; ++i)
            QVERIFY(!backend->readOutputs(outputs));
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        c.pause(false);
        QTRY_VERIFY_WITH_TIMEOUT(backend->readOutputs(outputs), 3000);
        QCOMPARE(outputs.size(), size_t(3));
    }

    void connectsAnewAfterALoss_data() { families(); }
    // The compositor restarted on the same socket: the next read connects anew, says so once,
    // and reads and applies work again.
    void connectsAnewAfterALoss()
    {
        QFETCH(QString, family);
        Compositor c(family, layout(R"("current": 0)"));
        QVERIFY(c.ready);
        std::unique_ptr<DisplayBackend> backend = c.backend();
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend->readOutputs(outputs));
        MessageCapture log;
        c.restart(layout(R"("current": 2)"));
        QVERIFY(c.ready);
        QTRY_VERIFY_WITH_TIMEOUT(backend->readOutputs(outputs) && outputs.size() == 3 && outputs[0].current == Sxga75,
                                 5000);
        QVERIFY(backend->readOutputs(outputs));
        QCOMPARE(log.matching(family == "kde" ? "KDE:" : "wlroots:").size(), 1);
        QCOMPARE(backend->applyModes({{"DP-1", Twin59}}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(c.mode(), QString("1920x1080@59940"));
    }

    // wlroots compositors send a fresh `done` after every answer, failed ones too: a refused
    // restore is asked once, not on every poll or announcement, and again only once the
    // monitor's configuration really changed.
    void refusalWaitsForARealChange()
    {
        const QString refusing = R"(, "nextApply": "failed", "doneAfterAnswer": true)";
        Compositor c("wlr", layout(R"("current": 0)", Dp1Modes, refusing));
        QVERIFY(c.ready);
        HeldLock lock(c.backend(), Sxga75, 300);
        QTRY_COMPARE_WITH_TIMEOUT(c.count("failed"), 1, 3000);
        QTest::qWait(3000);
        QCOMPARE(c.count("requests"), 1);
        const QString refused = "hold: DP-1 refuses 1280x1024 32 bpp 75 Hz, waiting for the next display change";
        QCOMPARE(lock.log.matching("hold:"), QStringList({refused}));

        // Another mode in use: asked once more, refused, and waited for again.
        c.reload(layout(R"("current": 3)", Dp1Modes, refusing));
        QTRY_COMPARE_WITH_TIMEOUT(c.count("requests"), 2, 3000);
        QTest::qWait(1500);
        QCOMPARE(c.count("requests"), 2);
        QCOMPARE(lock.log.matching("hold:"), QStringList({refused, refused}));

        c.reload(layout(R"("current": 0)", Dp1Modes, R"(, "doneAfterAnswer": true)"));
        QTRY_COMPARE_WITH_TIMEOUT(c.mode(), QString("1280x1024@75025"), 3000);
        QTest::qWait(600);
        QCOMPARE(c.count("requests"), 3);
        QCOMPARE(c.count("applied"), 1);
    }

    void refusalsAndLoss_data() { families(); }
    // A refused configuration is Refused, not retried; wlroots' stale serial is read again and
    // sent once more; a compositor that goes away makes calls fail at once.
    void refusalsAndLoss()
    {
        QFETCH(QString, family);
        Compositor c(family, layout(R"("current": 0)", Dp1Modes, R"(, "nextApply": "failed")"));
        QVERIFY(c.ready);
        std::unique_ptr<DisplayBackend> backend = c.backend();
        PinnedOutput pinned(*backend);
        QCOMPARE(pinned.pinOutput(), std::string("DP-1"));
        QCOMPARE(pinned.apply(Sxga75), DisplayBackend::ApplyResult::Refused);
        QCOMPARE(c.count("requests"), 1);
        QCOMPARE(pinned.apply({800, 600, 32, 60}), DisplayBackend::ApplyResult::NotOffered);
        if (family == "wlr") {
            c.reload(layout(R"("current": 0)", Dp1Modes, R"(, "staleOnce": true)"));
            QTRY_COMPARE_WITH_TIMEOUT(c.state().value("staleOnce").toBool(), true, 3000);
            QCOMPARE(pinned.apply(Sxga75), DisplayBackend::ApplyResult::Applied);
            QCOMPARE(c.count("cancelled"), 1);
            QCOMPARE(c.mode(), QString("1280x1024@75025"));
        }
        c.stop();
        DisplayMode m;
        QTRY_COMPARE_WITH_TIMEOUT(pinned.current(m), DisplayBackend::OutputState::Unreadable, 3000);
        QCOMPARE(pinned.apply(Twin59), DisplayBackend::ApplyResult::Failed);
    }
};

QTEST_GUILESS_MAIN(TestWaylandDisplay)
#include "tst_waylanddisplay.moc"
