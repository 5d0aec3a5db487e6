// The X11 layer, the catalogue and the daemon against a real X server (Xorg, dummy driver),
// checked from outside with xrandr.
#include "Deamon.h"
#include "Pinned.h"
#include "DisplaySettings.h"
#include "SettingsKeys.h"
#include "TestSupport.h"
#include "X11DisplayBackend.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRect>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTest>
#include <QThread>

#include <xcb/randr.h>

#include <cmath>
#include <cstdlib>

namespace {
struct XMode
{
    QString name;
    DisplayMode mode;
    bool current = false;
};

struct XState
{
    QString output;
    QList<XMode> modes;
    QSize screen;
    QString currentName() const
    {
        for (const XMode &m : modes) {
            if (m.current)
                return m.name;
        }
        return QString();
    }
    // The first mode listed with these values: the one an apply by values picks.
    QString firstWith(const DisplayMode &mode) const
    {
        for (const XMode &m : modes) {
            if (m.mode == mode)
                return m.name;
        }
        return QString();
    }
    int indexOfName(const QString &name) const
    {
        for (int i = 0; i < modes.size(); ++i) {
            if (modes[i].name == name)
                return i;
        }
        return -1;
    }
};

int rootBitsPerPixel()
{
    QString why;
    QProcess p;
    p.start("xdpyinfo", {"-display", TestXServer::display(&why)});
    p.waitForFinished(10000);
    const QString out = QString::fromLocal8Bit(p.readAllStandardOutput());
    const auto depth = QRegularExpression(R"(depth of root window:\s+(\d+))").match(out);
    if (!depth.hasMatch())
        return -1;
    const auto format = QRegularExpression(QString(R"(depth %1, bits_per_pixel (\d+))").arg(depth.captured(1))).match(out);
    return format.hasMatch() ? format.captured(1).toInt() : -1;
}

// Whole Hz from xrandr's two decimals: n·1000/1001 (59.94, 29.97) cut down, all else rounded.
int windowsStyleHz(double hz)
{
    const double n = hz * 1.001;
    const bool ntsc = std::abs(n - std::round(n)) < 0.005 && std::abs(hz - std::round(hz)) > 0.005;
    return ntsc ? int(std::floor(hz)) : int(std::lround(hz));
}

// The modes of `output` (empty: the primary), in xrandr's order, read from `xrandr --verbose`.
XState readXrandr(const QString &output = QString())
{
    XState state;
    QString text;
    TestXServer::xrandr({"--verbose"}, &text);
    const QStringList lines = text.split('\n');
    const int bpp = rootBitsPerPixel();
    static const QRegularExpression screenRe(R"(^Screen \d+: .*current (\d+) x (\d+))");
    const QRegularExpression outputRe(output.isEmpty() ? QString(R"(^(\S+) connected primary)")
                                                       : QString(R"(^(%1) connected)").arg(output));
    static const QRegularExpression otherOutputRe(R"(^\S+ (connected|disconnected))");
    static const QRegularExpression modeRe(R"(^  (\S+) \(0x[0-9a-f]+\) .*MHz)");
    static const QRegularExpression widthRe(R"(^\s+h: width\s+(\d+))");
    static const QRegularExpression heightRe(R"(^\s+v: height\s+(\d+) .*clock\s+([\d.]+)Hz)");
    bool inOutput = false;
    for (const QString &line : lines) {
        if (auto m = screenRe.match(line); m.hasMatch())
            state.screen = QSize(m.captured(1).toInt(), m.captured(2).toInt());
        if (auto m = outputRe.match(line); m.hasMatch()) {
            inOutput = true;
            state.output = m.captured(1);
            continue;
        }
        if (otherOutputRe.match(line).hasMatch())
            inOutput = false;
        if (!inOutput)
            continue;
        if (auto m = modeRe.match(line); m.hasMatch()) {
            XMode mode;
            mode.name = m.captured(1);
            mode.current = line.contains("*current");
            mode.mode.BitsPerPel = bpp;
            state.modes.append(mode);
        } else if (auto m = widthRe.match(line); m.hasMatch() && !state.modes.isEmpty()) {
            state.modes.last().mode.PelsWidth = m.captured(1).toInt();
        } else if (auto m = heightRe.match(line); m.hasMatch() && !state.modes.isEmpty()) {
            state.modes.last().mode.PelsHeight = m.captured(1).toInt();
            state.modes.last().mode.DisplayFrequency = windowsStyleHz(m.captured(2).toDouble());
        }
    }
    return state;
}

bool setModeOutside(const QString &output, const QString &name)
{
    return TestXServer::xrandr({"--output", output, "--mode", name});
}

// Waits until `output` is in mode `name`; the time it took, or -1.
qint64 waitForMode(const QString &output, const QString &name, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (TestXServer::outputMode(output) == name)
            return clock.elapsed();
        QTest::qWait(10);
    }
    return -1;
}

// A base EDID block for a monitor: maker, product code and serial number, its checksum right.
QByteArray edidBlock(const char maker[3], quint16 product, quint32 serial)
{
    QByteArray e(128, '\0');
    for (int i = 1; i < 7; ++i)
        e[i] = char(0xff);
    const unsigned packed = unsigned(maker[0] - 'A' + 1) << 10 | unsigned(maker[1] - 'A' + 1) << 5
        | unsigned(maker[2] - 'A' + 1);
    e[8] = char(packed >> 8);
    e[9] = char(packed & 0xff);
    e[10] = char(product & 0xff);
    e[11] = char(product >> 8);
    for (int i = 0; i < 4; ++i)
        e[12 + i] = char((serial >> (8 * i)) & 0xff);
    e[17] = 30; // 2020
    e[18] = 1;  // EDID 1.4
    e[19] = 4;
    int sum = 0;
    for (int i = 0; i < 127; ++i)
        sum += uchar(e[i]);
    e[127] = char((256 - sum % 256) % 256);
    return e;
}

// Gives `output` an EDID property, as a driver does for the monitor on it; an empty `edid`
// takes it away.
bool setEdid(const QString &output, const QByteArray &edid)
{
    QString why;
    const QByteArray display = TestXServer::display(&why).toLocal8Bit();
    xcb_connection_t *c = xcb_connect(display.constData(), nullptr);
    auto reply = [](void *p) { return std::unique_ptr<void, decltype(&std::free)>(p, &std::free); };
    bool done = false;
    if (!xcb_connection_has_error(c)) {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        auto version = reply(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 3), nullptr));
        auto *atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 4, "EDID"), nullptr);
        auto atomHolder = reply(atom);
        auto *resources = xcb_randr_get_screen_resources_current_reply(
            c, xcb_randr_get_screen_resources_current(c, root), nullptr);
        auto resourcesHolder = reply(resources);
        const xcb_randr_output_t *ids = resources ? xcb_randr_get_screen_resources_current_outputs(resources) : nullptr;
        const int count = resources ? xcb_randr_get_screen_resources_current_outputs_length(resources) : 0;
        for (int i = 0; version && atom && i < count && !done; ++i) {
            auto *info = xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, ids[i], XCB_CURRENT_TIME),
                                                         nullptr);
            auto infoHolder = reply(info);
            if (!info || QByteArray(reinterpret_cast<const char *>(xcb_randr_get_output_info_name(info)),
                                    xcb_randr_get_output_info_name_length(info)) != output.toLatin1())
                continue;
            const xcb_void_cookie_t cookie = edid.isEmpty()
                ? xcb_randr_delete_output_property_checked(c, ids[i], atom->atom)
                : xcb_randr_change_output_property_checked(c, ids[i], atom->atom, XCB_ATOM_INTEGER, 8,
                                                           XCB_PROP_MODE_REPLACE, uint32_t(edid.size()), edid.constData());
            done = !reply(xcb_request_check(c, cookie));
        }
    }
    xcb_disconnect(c);
    return done;
}

// Where xrandr shows `output` on the screen; empty when it is off or unknown.
QRect placeOf(const QString &output)
{
    QString text;
    TestXServer::xrandr({"--current"}, &text);
    const QRegularExpression re(QString(R"(^%1 connected (?:primary )?(\d+)x(\d+)\+(\d+)\+(\d+))").arg(output),
                                QRegularExpression::MultilineOption);
    const auto m = re.match(text);
    return m.hasMatch() ? QRect(m.captured(3).toInt(), m.captured(4).toInt(), m.captured(1).toInt(),
                                m.captured(2).toInt())
                        : QRect();
}

// The X11 backend, counting the commits its applies make.
struct CountedX11 : X11DisplayBackend
{
    int commits = 0;

protected:
    ApplyResult commit(const ApplyPlan &plan, bool *stale) override
    {
        ++commits;
        return X11DisplayBackend::commit(plan, stale);
    }
};

// The lock over this X server's primary.
struct Lock : HeldLock
{
    Lock(const DisplayMode &locked, int msec) : HeldLock(std::make_unique<X11DisplayBackend>(), locked, msec) {}
};

} // namespace

class TestX11Display : public QObject
{
    Q_OBJECT

    XState initial;

private Q_SLOTS:
    void initTestCase()
    {
        REQUIRE_XSERVER();
        initial = readXrandr();
        QVERIFY2(!initial.output.isEmpty(), "no primary output in xrandr's answer");
        QVERIFY(initial.modes.size() > 5);
    }

    void cleanup()
    {
        // Every test leaves the screen as it found it: one output, primary, in its mode.
        if (!initial.output.isEmpty())
            TestXServer::resetOutputs(initial.currentName());
        for (const char *name : {"1112x834_A", "1096x616_B", "1000x700_C"}) {
            TestXServer::xrandr({"--delmode", initial.output, name});
            TestXServer::xrandr({"--rmmode", name});
        }
    }

    void refreshRatesOfEveryKindOfTiming()
    {
        Pinned<X11DisplayBackend> backend;
        backend.pinOutput();
        const QList<DisplayMode> listed = enumerateModes(backend);
        // Windows-style whole Hz: 59.94 cut down, the rest rounded; interlaced modes count
        // fields, double-scan ones frames.
        const QList<QPair<QString, int>> expected = {
            {"1920x1080_59.94", 59}, {"1920x1080_60.00", 60}, {"1600x900_60", 60},
            {"1920x1080_23.976", 23}, {"1920x1080_24.00", 24},
            {"1024x768_87i", 87}, {"320x240_60d", 60}, {"1024x768_75", 75}};
        for (const auto &[name, hz] : expected) {
            const int i = initial.indexOfName(name);
            QVERIFY2(i >= 0 && i < listed.size(), qPrintable(name));
            QCOMPARE(listed[i].DisplayFrequency, hz);
        }
    }

    void fractionalTwinsAreHeldApart_data()
    {
        QTest::addColumn<QString>("locked");
        QTest::addColumn<QString>("foreign");
        QTest::newRow("60 against 59.94") << "1920x1080_60.00" << "1920x1080_59.94";
        QTest::newRow("59.94 against 60") << "1920x1080_59.94" << "1920x1080_60.00";
        QTest::newRow("23.976 against 24") << "1920x1080_23.976" << "1920x1080_24.00";
        QTest::newRow("24 against 23.976") << "1920x1080_24.00" << "1920x1080_23.976";
    }

    void fractionalTwinsAreHeldApart()
    {
        QFETCH(QString, locked);
        QFETCH(QString, foreign);
        // The first mode listed with the locked values is the one held (a default mode at
        // 59.96 Hz counts as 60 and comes first).
        const DisplayMode values = initial.modes[initial.indexOfName(locked)].mode;
        QVERIFY(setModeOutside(initial.output, locked));
        Lock lock(values, 200);
        QVERIFY(setModeOutside(initial.output, foreign));
        QVERIFY(waitForMode(initial.output, initial.firstWith(values), 3000) >= 0);
        QTest::qWait(300);
        QCOMPARE(TestXServer::outputMode(initial.output), initial.firstWith(values));
    }

    void renumberedListIsHeldByValues()
    {
        // Two modes of the user's own at the end of the list; the second is locked, then the
        // first goes (the locked one moves up a number) and comes back behind it.
        QVERIFY(TestXServer::xrandr({"--newmode", "1112x834_A", "65.93", "1112", "1144", "1232", "1272",
                                     "834", "837", "841", "864", "-hsync", "+vsync"}));
        QVERIFY(TestXServer::xrandr({"--newmode", "1096x616_B", "52.00", "1096", "1128", "1216", "1256",
                                     "616", "619", "623", "690", "-hsync", "+vsync"}));
        QVERIFY(TestXServer::xrandr({"--addmode", initial.output, "1112x834_A"}));
        QVERIFY(TestXServer::xrandr({"--addmode", initial.output, "1096x616_B"}));
        QVERIFY(setModeOutside(initial.output, "1096x616_B"));
        const DisplayMode b {1096, 616, initial.modes.first().mode.BitsPerPel, 60};
        Lock lock(b, 200);
        QCOMPARE(lock.catalogue->currentIndex(), lock.catalogue->count() - 1);

        QVERIFY(TestXServer::xrandr({"--delmode", initial.output, "1112x834_A"}));
        QVERIFY(setModeOutside(initial.output, "800x600_60"));
        QVERIFY(waitForMode(initial.output, "1096x616_B", 3000) >= 0);
        QVERIFY(TestXServer::xrandr({"--addmode", initial.output, "1112x834_A"}));
        QVERIFY(setModeOutside(initial.output, "1024x768_75"));
        QVERIFY(waitForMode(initial.output, "1096x616_B", 3000) >= 0);
        // Held: it stays so, and only B's values were ever asked for.
        QTest::qWait(500);
        QCOMPARE(TestXServer::outputMode(initial.output), QString("1096x616_B"));
        QVERIFY(!lock.applies().isEmpty());
        for (const QString &line : lock.applies())
            QCOMPARE(line, QString("applyDisplaySetting():%1 1096 616 60").arg(b.BitsPerPel));
    }

    void anotherPrimaryIsNeverTouched()
    {
        QVERIFY(TestXServer::connectSecondOutput());
        QVERIFY(setModeOutside(initial.output, "1024x768_75"));
        Lock lock(initial.modes[initial.indexOfName("1024x768_75")].mode, 200);
        QCOMPARE(lock.catalogue->outputName(), initial.output);
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--primary"}));
        QVERIFY(TestXServer::isPrimary("DUMMY1"));

        QVERIFY(setModeOutside(initial.output, "800x600_60"));
        QVERIFY(waitForMode(initial.output, "1024x768_75", 3000) >= 0);
        QTest::qWait(600);
        QCOMPARE(TestXServer::outputMode(initial.output), QString("1024x768_75"));
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));
        for (const QString &line : lock.applies())
            QCOMPARE(line, QString("applyDisplaySetting():%1 1024 768 75").arg(initial.modes.first().mode.BitsPerPel));
        QCOMPARE(lock.log.matching("hold:"), QStringList());
    }

    void outputSwitchedOffStaysOffAndIsHeldWhenBack()
    {
        QVERIFY(TestXServer::connectSecondOutput());
        QVERIFY(setModeOutside(initial.output, "1024x768_75"));
        // A long interval: the way back must come from the change announcement.
        Lock lock(initial.modes[initial.indexOfName("1024x768_75")].mode, 5000);
        QVERIFY(TestXServer::xrandr({"--output", initial.output, "--off"}));
        QTRY_COMPARE_WITH_TIMEOUT(lock.log.matching("hold:").size(), 1, 3000);
        QTest::qWait(600);
        QCOMPARE(TestXServer::outputMode(initial.output), QString());
        QCOMPARE(lock.log.matching("hold:"),
                 QStringList({QString("hold: %1 is off, waiting until it is on again").arg(initial.output)}));
        QCOMPARE(lock.applies(), QStringList());

        QVERIFY(TestXServer::xrandr({"--output", initial.output, "--mode", "800x600_60", "--pos", "0x0"}));
        const qint64 restored = waitForMode(initial.output, "1024x768_75", 4000);
        QVERIFY2(restored >= 0, "not restored before the next poll");
        QCOMPARE(lock.log.matching("hold:").size(), 2);
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));
    }


    void everyOutputReadAndSwitchedInOneApply()
    {
        // DUMMY0 (primary) and DUMMY1 with a monitor of its own, and DUMMY2 on beside them.
        const auto restore = qScopeGuard([] {
            TestXServer::xrandr({"--output", "DUMMY2", "--off"});
            TestXServer::xrandr({"--delmode", "DUMMY2", "1024x768_60"});
            setEdid("DUMMY1", QByteArray());
            TestXServer::xrandr({"--delmode", "DUMMY1", "1024x768_87i"});
        });
        QVERIFY(TestXServer::connectSecondOutput());
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY2", "1024x768_60"}));
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY2", "--mode", "1024x768_60", "--right-of", "DUMMY1"}));
        QVERIFY(TestXServer::xrandr({}));
        QVERIFY(setEdid("DUMMY1", edidBlock("VLM", 0x1234, 0x00c0ffee)));
        const int bpp = initial.modes.first().mode.BitsPerPel;
        const XState first = readXrandr("DUMMY0"), second = readXrandr("DUMMY1"), third = readXrandr("DUMMY2");
        QCOMPARE(third.currentName(), QString("1024x768_60"));

        Pinned<X11DisplayBackend> backend;
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend.readOutputs(outputs));
        const DisplayOutput *o0 = nullptr, *o1 = nullptr;
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY0", &o0), DisplayBackend::OutputState::Active);
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY1", &o1), DisplayBackend::OutputState::Active);
        QVERIFY(o0->primary && !o1->primary);
        QCOMPARE(o0->current, first.modes[first.indexOfName(first.currentName())].mode);
        QCOMPARE(o1->current, (DisplayMode {1024, 768, bpp, 60}));
        QCOMPARE(o0->identity, std::string()); // the dummy driver publishes no EDID
        QCOMPARE(o1->identity, std::string("VLM-1234-00C0FFEE"));
        QVERIFY(o1->hasSerial);
        QCOMPARE(o1->label, std::string("VLM 1234"));
        for (const XState &x : {first, second}) {
            std::vector<DisplayMode> modes;
            QVERIFY(backend.readModes(x.output.toStdString(), modes));
            QCOMPARE(int(modes.size()), x.modes.size());
            for (int i = 0; i < x.modes.size(); ++i)
                QVERIFY2(modes[size_t(i)] == x.modes[i].mode, qPrintable(x.output + " " + x.modes[i].name));
        }

        // With three outputs on, a steady-state read is still one round trip, and it sees the
        // primary move.
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY1", "--primary"}));
        backend.takeRoundTrips();
        QVERIFY(backend.readOutputs(outputs));
        QCOMPARE(backend.takeRoundTrips(), 1);
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY1", &o1), DisplayBackend::OutputState::Active);
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY0", &o0), DisplayBackend::OutputState::Active);
        QVERIFY(o1->primary && !o0->primary);
        // Another monitor on DUMMY1 (another EDID, another mode list): the next read knows it.
        QVERIFY(setEdid("DUMMY1", edidBlock("VLM", 0x1234, 0x00beef00)));
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY1", "1024x768_87i"}));
        QVERIFY(backend.readOutputs(outputs));
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY1", &o1), DisplayBackend::OutputState::Active);
        QCOMPARE(o1->identity, std::string("VLM-1234-00BEEF00"));

        // Two outputs in one apply, one of them growing the screen; DUMMY2 is left as it is.
        const DisplayMode small {800, 600, bpp, 60}, large {1920, 1080, bpp, 60};
        QCOMPARE(backend.applyModes({{"DUMMY0", small}, {"DUMMY1", large}}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(TestXServer::outputMode("DUMMY0"), first.firstWith(small));
        QCOMPARE(TestXServer::outputMode("DUMMY1"), second.firstWith(large));
        QCOMPARE(TestXServer::outputMode("DUMMY2"), QString("1024x768_60"));
        QCOMPARE(readXrandr().screen, QSize(initial.screen.width() + 1024 + 1024, 1080));
        Pinned<X11DisplayBackend> fresh;
        QVERIFY(fresh.readOutputs(outputs));
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY0", &o0), DisplayBackend::OutputState::Active);
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY1", &o1), DisplayBackend::OutputState::Active);
        QCOMPARE(o0->current, small);
        QCOMPARE(o1->current, large);

        // A change for an output that is off makes the whole apply answer so: nothing switched.
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY2", "--off"}));
        QCOMPARE(backend.applyModes({{"DUMMY0", {1024, 768, bpp, 75}}, {"DUMMY2", {1024, 768, bpp, 60}}}),
                 DisplayBackend::ApplyResult::Off);
        QCOMPARE(TestXServer::outputMode("DUMMY0"), first.firstWith(small));
        QCOMPARE(TestXServer::outputMode("DUMMY2"), QString());
    }

    void arrangementReadAndAppliedInOneCommit()
    {
        // DUMMY0 (primary), DUMMY1 and DUMMY2 side by side; DUMMY3 connected but off.
        const auto restore = qScopeGuard([] {
            TestXServer::xrandr({"--output", "DUMMY2", "--off"});
            TestXServer::xrandr({"--delmode", "DUMMY2", "1024x768_60"});
            TestXServer::xrandr({"--output", "DUMMY3", "--off"});
            TestXServer::xrandr({"--delmode", "DUMMY3", "1024x768_60"});
        });
        QVERIFY(setModeOutside("DUMMY0", "1024x768_60"));
        QVERIFY(TestXServer::connectSecondOutput());
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY2", "1024x768_60"}));
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY3", "1024x768_60"}));
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY2", "--mode", "1024x768_60", "--pos", "2048x0"}));
        // The driver counts an output connected once it was on.
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY3", "--mode", "1024x768_60", "--pos", "3072x0"}));
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY3", "--off"}));
        QVERIFY(TestXServer::xrandr({}));
        const int bpp = initial.modes.first().mode.BitsPerPel;

        CountedX11 backend;
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend.readOutputs(outputs));
        QCOMPARE(backend.features().scale, false);
        const DisplayOutput *o0 = nullptr, *o1 = nullptr, *o2 = nullptr;
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY3"), DisplayBackend::OutputState::Off);
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY1", &o1), DisplayBackend::OutputState::Active);
        QCOMPARE(std::make_pair(o1->x, o1->y), std::make_pair(1024, 0));
        QCOMPARE(o1->transform, int(Normal));
        // An outside move is seen by the steady-state read, still one round trip.
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY2", "--pos", "2048x100"}));
        backend.takeRoundTrips();
        QVERIFY(backend.readOutputs(outputs));
        QCOMPARE(backend.takeRoundTrips(), 1);
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY2", &o2), DisplayBackend::OutputState::Active);
        QCOMPARE(std::make_pair(o2->x, o2->y), std::make_pair(2048, 100));

        // DUMMY1 takes DUMMY0's place and primary, DUMMY0 goes below it in a larger mode (the
        // screen must grow before it fits): one commit, DUMMY2 and DUMMY3 as they were.
        const DisplayMode large{1600, 900, bpp, 60};
        OutputChange first, second;
        first.output = "DUMMY0";
        second.output = "DUMMY1";
        first.position = {0, 768};
        first.mode = large;
        second.position = {0, 0};
        second.primary = true;
        QCOMPARE(backend.apply({first, second}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(backend.commits, 1);
        QCOMPARE(placeOf("DUMMY0"), QRect(0, 768, 1600, 900));
        QCOMPARE(TestXServer::outputMode("DUMMY0"), initial.firstWith(large));
        QCOMPARE(placeOf("DUMMY1"), QRect(0, 0, 1024, 768));
        QVERIFY(TestXServer::isPrimary("DUMMY1"));
        QCOMPARE(placeOf("DUMMY2"), QRect(2048, 100, 1024, 768));
        QCOMPARE(TestXServer::outputMode("DUMMY2"), QString("1024x768_60"));
        QCOMPARE(TestXServer::outputMode("DUMMY3"), QString());
        QCOMPARE(readXrandr().screen, QSize(3072, 1668));
        QVERIFY(backend.readOutputs(outputs));
        QCOMPARE(DisplayBackend::stateOf(outputs, "DUMMY0", &o0), DisplayBackend::OutputState::Active);
        QCOMPARE(std::make_pair(o0->x, o0->y), std::make_pair(0, 768));
        QVERIFY(!o0->primary);

        // The dummy driver's CRTCs turn no way but normal: a turn is refused with the move that
        // came with it, before anything is set.
        QString verbose;
        QVERIFY(TestXServer::xrandr({"--verbose"}, &verbose));
        QVERIFY(QRegularExpression(R"(^DUMMY2 connected .* normal \(normal\) )", QRegularExpression::MultilineOption)
                    .match(verbose).hasMatch());
        OutputChange turn;
        turn.output = "DUMMY2";
        turn.transform = int(Rotated90);
        first.position = {1024, 0};
        backend.commits = 0;
        QCOMPARE(backend.apply({first, turn}), DisplayBackend::ApplyResult::Refused);
        QCOMPARE(backend.commits, 1);
        QCOMPARE(placeOf("DUMMY0"), QRect(0, 768, 1600, 900));
        QCOMPARE(placeOf("DUMMY2"), QRect(2048, 100, 1024, 768));

        // Back as it was: the screen shrinks to what the outputs cover.
        first.position = {0, 0};
        first.mode = DisplayMode{1024, 768, bpp, 60};
        first.primary = true;
        second.position = {1024, 0};
        second.primary = false;
        QCOMPARE(backend.apply({first, second}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(placeOf("DUMMY0"), QRect(0, 0, 1024, 768));
        QCOMPARE(placeOf("DUMMY1"), QRect(1024, 0, 1024, 768));
        QVERIFY(TestXServer::isPrimary("DUMMY0"));
        QCOMPARE(readXrandr().screen, QSize(3072, 868));
        QCOMPARE(TestXServer::outputMode("DUMMY3"), QString());
    }

    void everyLockedMonitorHeldOnItsOwn()
    {
        // DUMMY0 (primary) and DUMMY1's monitor locked at different modes, DUMMY2 not held.
        const auto restore = qScopeGuard([] {
            TestXServer::xrandr({"--output", "DUMMY2", "--off"});
            for (const char *mode : {"1024x768_60", "1024x768_75"})
                TestXServer::xrandr({"--delmode", "DUMMY2", mode});
            setEdid("DUMMY1", QByteArray());
            setEdid("DUMMY2", QByteArray());
        });
        const QByteArray held = edidBlock("VLM", 0x1234, 0x00c0ffee), other = edidBlock("VLM", 0x1234, 0x00beef00);
        QVERIFY(setModeOutside("DUMMY0", "1024x768_75"));
        QVERIFY(TestXServer::connectSecondOutput());
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY2", "1024x768_60"}));
        QVERIFY(TestXServer::xrandr({"--addmode", "DUMMY2", "1024x768_75"}));
        QVERIFY(TestXServer::xrandr({"--output", "DUMMY2", "--mode", "1024x768_60", "--right-of", "DUMMY1"}));
        QVERIFY(TestXServer::xrandr({}));
        QVERIFY(setEdid("DUMMY1", held));
        const int bpp = initial.modes.first().mode.BitsPerPel;
        const DisplayMode xga75{1024, 768, bpp, 75}, svga{800, 600, bpp, 60};
        // What a lock puts back: the first mode each output lists with the held values.
        const QString xga75Name = initial.firstWith(xga75), svgaName = readXrandr("DUMMY1").firstWith(svga);

        {
            // A poll interval longer than the test: what comes back comes on RandR's announcement.
            Lock lock(xga75, 60000);
            QVERIFY(lock.holdMonitor("DUMMY1", svga));
            QVERIFY(TestXServer::xrandr({"--output", "DUMMY0", "--mode", "800x600_60", "--output", "DUMMY1", "--mode",
                                         "1024x768_60", "--output", "DUMMY2", "--mode", "1024x768_75"}));
            QVERIFY(waitForMode("DUMMY0", xga75Name, 3000) >= 0);
            QVERIFY(waitForMode("DUMMY1", svgaName, 3000) >= 0);
            QTest::qWait(500);
            QCOMPARE(TestXServer::outputMode("DUMMY0"), xga75Name);
            QCOMPARE(TestXServer::outputMode("DUMMY1"), svgaName);
            QCOMPARE(TestXServer::outputMode("DUMMY2"), QString("1024x768_75"));
            QCOMPARE(lock.applies(), QStringList({QString("applyDisplaySetting():%1 1024 768 75").arg(bpp),
                                                  QString("applyDisplaySetting():%1 800 600 60").arg(bpp)}));
        }

        // The held monitor turns up on DUMMY2 and another one is on DUMMY1, switched from outside:
        // the held one is put back on DUMMY2 (on the EDID's announcement), DUMMY1 is left alone.
        Lock lock(xga75, 60000);
        QVERIFY(lock.holdMonitor("DUMMY1", svga));
        QVERIFY(setEdid("DUMMY2", held));
        QVERIFY(setEdid("DUMMY1", other));
        QVERIFY(setModeOutside("DUMMY1", "1024x768_60"));
        QVERIFY(waitForMode("DUMMY2", readXrandr("DUMMY2").firstWith(svga), 3000) >= 0);
        QTest::qWait(500);
        QCOMPARE(TestXServer::outputMode("DUMMY1"), QString("1024x768_60"));
        QCOMPARE(TestXServer::outputMode("DUMMY0"), xga75Name);
        QCOMPARE(lock.applies(), QStringList({QString("applyDisplaySetting():%1 800 600 60").arg(bpp)}));
        QVERIFY(!lock.log.matching("update(DUMMY2)").isEmpty());
    }

    void enumerationMatchesXrandr()
    {
        Pinned<X11DisplayBackend> backend;
        QCOMPARE(QString::fromStdString(backend.pinOutput()), initial.output);
        const QList<DisplayMode> listed = enumerateModes(backend);
        QCOMPARE(listed.size(), initial.modes.size());
        for (int i = 0; i < listed.size(); ++i) {
            const DisplayMode &want = initial.modes[i].mode;
            const DisplayMode &got = listed[i];
            QVERIFY2(got == want, qPrintable(QString("mode %1 (%2): %3x%4 %5 bpp %6 Hz, xrandr %7x%8 %9 bpp %10 Hz")
                                                 .arg(i).arg(initial.modes[i].name)
                                                 .arg(got.PelsWidth).arg(got.PelsHeight).arg(got.BitsPerPel).arg(got.DisplayFrequency)
                                                 .arg(want.PelsWidth).arg(want.PelsHeight).arg(want.BitsPerPel).arg(want.DisplayFrequency)));
        }
        QCOMPARE(QString::fromStdString(backend.pinnedOutput()), initial.output);
        // The configured modes are there, at the rates their timings give.
        const int m75 = initial.indexOfName("1024x768_75");
        QVERIFY(m75 >= 0);
        QCOMPARE(listed[m75].DisplayFrequency, 75);
        QCOMPARE(listed[initial.indexOfName("1024x768_60")].DisplayFrequency, 60);

        MessageCapture log;
        DisplaySettings catalogue(std::make_unique<X11DisplayBackend>());
        QCOMPARE(catalogue.count(), initial.modes.size());
        QCOMPARE(log.lines().size(), initial.modes.size());
    }

    void currentSettingsAndOutsideChanges()
    {
        Pinned<X11DisplayBackend> backend;
        backend.pinOutput();
        DisplayMode now;
        QVERIFY(backend.current(now) == DisplayBackend::OutputState::Active);
        QCOMPARE(now, initial.modes[initial.indexOfName(initial.currentName())].mode);

        // Once the output is known, a poll is one round trip...
        backend.takeRoundTrips();
        QVERIFY(backend.current(now) == DisplayBackend::OutputState::Active);
        QCOMPARE(backend.takeRoundTrips(), 1);

        // ...and still sees every change made by others, with or without a new size.
        QVERIFY(setModeOutside(initial.output, "1024x768_75"));
        QVERIFY(backend.current(now) == DisplayBackend::OutputState::Active);
        QCOMPARE(now, (DisplayMode {1024, 768, 32, 75}));
        QVERIFY(setModeOutside(initial.output, "800x600_60"));
        QVERIFY(backend.current(now) == DisplayBackend::OutputState::Active);
        QCOMPARE(now, (DisplayMode {800, 600, 32, 60}));
        QVERIFY(setModeOutside(initial.output, "1024x768_75"));
        QVERIFY(backend.current(now) == DisplayBackend::OutputState::Active);
        QCOMPARE(now, (DisplayMode {1024, 768, 32, 75}));
        MessageCapture quiet;
        DisplaySettings catalogue(std::make_unique<X11DisplayBackend>());
        QCOMPARE(catalogue.currentIndex(), initial.indexOfName("1024x768_75"));
    }

    void applyGrowsAndShrinksTheScreen()
    {
        Pinned<X11DisplayBackend> backend;
        const int small = initial.indexOfName("800x600_60");
        const int large = initial.indexOfName("1600x900_60");
        QVERIFY(small >= 0 && large >= 0);

        backend.pinOutput();
        QVERIFY(backend.apply(initial.modes[small].mode) == DisplayBackend::ApplyResult::Applied);
        XState after = readXrandr();
        QCOMPARE(after.currentName(), initial.firstWith(initial.modes[small].mode));
        QCOMPARE(after.screen, QSize(800, 600));

        QVERIFY(backend.apply(initial.modes[large].mode) == DisplayBackend::ApplyResult::Applied);
        after = readXrandr();
        const QString largeName = initial.firstWith(initial.modes[large].mode);
        QCOMPARE(after.currentName(), largeName);
        QCOMPARE(after.screen, QSize(1600, 900));

        // The values in force put again change nothing.
        QVERIFY(backend.apply(initial.modes[large].mode) == DisplayBackend::ApplyResult::Applied);
        QCOMPARE(readXrandr().currentName(), largeName);

        const int original = initial.indexOfName(initial.currentName());
        QVERIFY(backend.apply(initial.modes[original].mode) == DisplayBackend::ApplyResult::Applied);
        after = readXrandr();
        QCOMPARE(after.currentName(), initial.firstWith(initial.modes[original].mode));
        QCOMPARE(after.screen, initial.screen);
    }

    void modesTheServerLacksAreRefused()
    {
        Pinned<X11DisplayBackend> backend;
        backend.pinOutput();
        QCOMPARE(backend.apply({1234, 567, 32, 60}), DisplayBackend::ApplyResult::NotOffered);
        QCOMPARE(backend.availability({1234, 567, 32, 60}), DisplayBackend::OutputState::NotOffered);
        DisplayMode m;
        QVERIFY(!backend.mode(initial.modes.size(), m));
        QCOMPARE(readXrandr().currentName(), initial.currentName());
        MessageCapture quiet;
        DisplaySettings catalogue(std::make_unique<X11DisplayBackend>());
        QVERIFY(!catalogue.applyDisplaySetting(catalogue.count()));
    }

    void deamonRestoresLockedModeAfterOutsideSwitch()
    {
        TemporaryConfig config;
        QVERIFY(setModeOutside(initial.output, "1024x768_60"));
        MessageCapture log;
        DisplaySettings catalogue(std::make_unique<X11DisplayBackend>());
        {
            QSettings s(SettingsKeys::Organization, SettingsKeys::Application);
            s.beginGroup(SettingsKeys::DisplayGroup);
            s.setValue(SettingsKeys::PelsWidth, 1024);
            s.setValue(SettingsKeys::PelsHeight, 768);
            s.setValue(SettingsKeys::BitsPerPel, 32);
            s.setValue(SettingsKeys::DisplayFrequency, 60);
            s.endGroup();
            s.setValue("Deamon/msec", 200);
        }
        QSettings store(SettingsKeys::Organization, SettingsKeys::Application);
        Deamon deamon;
        deamon.setDisplaySettings(&catalogue);
        deamon.setSettings(&store);
        QThread thread;
        deamon.moveToThread(&thread);
        store.moveToThread(&thread);
        startThread(thread);
        QMetaObject::invokeMethod(&deamon, "start", Qt::BlockingQueuedConnection);

        const QString lockedName = initial.modes[catalogue.indexOf(1024, 768, 32, 60)].name;
        for (const QString &foreign : {QString("800x600_60"), QString("1280x720_twinA")}) {
            QVERIFY(setModeOutside(initial.output, foreign));
            QElapsedTimer clock;
            clock.start();
            QString now;
            while (clock.elapsed() < 3000 && (now = readXrandr().currentName()) != lockedName)
                QTest::qWait(10);
            QCOMPARE(now, lockedName);
            // One interval plus a margin for the switch itself and our polling.
            QVERIFY2(clock.elapsed() < 200 + 400, qPrintable(QString::number(clock.elapsed())));
        }
        QMetaObject::invokeMethod(&deamon, "stop", Qt::BlockingQueuedConnection);
        QVERIFY(stopThread(thread));
    }

    void equalModesNeverCauseReapplies_data()
    {
        QTest::addColumn<QString>("lockedName");
        QTest::addColumn<QString>("screenName");
        QTest::addColumn<bool>("throughXrandr");
        // Other timings, same four values: 59.92 Hz and 60.00 Hz are both 60.
        QTest::newRow("same values") << "1024x768_60" << "1024x768" << true;
        // Identical timings under two names: the server reports the first twin as current
        // whichever was set, so locking the second must not loop.
        QTest::newRow("identical timings") << "1280x720_twinB" << "1280x720_twinB" << false;
    }

    void equalModesNeverCauseReapplies()
    {
        QFETCH(QString, lockedName);
        QFETCH(QString, screenName);
        QFETCH(bool, throughXrandr);
        TemporaryConfig config;
        MessageCapture log;
        DisplaySettings catalogue(std::make_unique<X11DisplayBackend>());
        const int lockedIndex = initial.indexOfName(lockedName);
        QVERIFY(lockedIndex >= 0);
        if (throughXrandr)
            QVERIFY(TestXServer::xrandr({"--output", initial.output, "--mode", screenName, "--rate", "60"}));
        else
            QVERIFY(catalogue.applyDisplaySetting(initial.indexOfName(screenName)));
        const int currentIndex = catalogue.currentIndex();
        QVERIFY(currentIndex >= 0);

        QSettings store(SettingsKeys::Organization, SettingsKeys::Application);
        store.setValue("DisplaySettings/PelsWidth", catalogue.pelsWidth(lockedIndex));
        store.setValue("DisplaySettings/PelsHeight", catalogue.pelsHeight(lockedIndex));
        store.setValue("DisplaySettings/BitsPerPel", catalogue.bitsPerPel(lockedIndex));
        store.setValue("DisplaySettings/DisplayFrequency", catalogue.displayFrequency(lockedIndex));
        store.setValue("Deamon/msec", 100);
        Deamon deamon;
        deamon.setDisplaySettings(&catalogue);
        deamon.setSettings(&store);
        log.clear();
        deamon.start();
        QTest::qWait(450);
        deamon.stop();
        QVERIFY(log.matching("update()").size() >= 3);
        QCOMPARE(log.matching("update()").first(), QString("update():now=%1,locked=%1").arg(currentIndex));
        QCOMPARE(log.matching("applyDisplaySetting()"), QStringList());
    }

    void lostServerFailsAndReconnects()
    {
        // A server of this test's own, killed and started again under the same name.
        QTemporaryDir dir;
        const QString script = QStringLiteral(VELMORA_SOURCE_DIR "/scripts/xserver.sh");
        QCOMPARE(QProcess::execute(script, {"start", dir.path()}), 0);
        QFile displayFile(dir.filePath("display"));
        QVERIFY(displayFile.open(QIODevice::ReadOnly));
        const QString display = QString::fromLatin1(displayFile.readAll()).trimmed();
        displayFile.close();

        Pinned<X11DisplayBackend> backend(display.toStdString());
        QVERIFY(!backend.pinOutput().empty());
        DisplayMode m;
        QVERIFY(backend.current(m) == DisplayBackend::OutputState::Active);
        QVERIFY(m.PelsWidth > 0);

        QCOMPARE(QProcess::execute(script, {"stop", dir.path()}), 0);
        const DisplayMode before = m;
        QCOMPARE(backend.current(m), DisplayBackend::OutputState::Unreadable);
        QVERIFY(!backend.mode(0, m));
        QVERIFY(backend.apply(before) != DisplayBackend::ApplyResult::Applied);

        // Restart it on the same display number and the next call connects again.
        QProcess xorg;
        xorg.setProgram("Xorg");
        xorg.setArguments({display, "-noreset", "-nolisten", "tcp", "-config",
                           QStringLiteral(VELMORA_SOURCE_DIR "/scripts/xorg-dummy.conf"),
                           "-logfile", dir.filePath("Xorg2.log")});
        xorg.setStandardOutputFile(QProcess::nullDevice());
        xorg.setStandardErrorFile(QProcess::nullDevice());
        xorg.start();
        QVERIFY(xorg.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(backend.current(m) == DisplayBackend::OutputState::Active, 10000);
        QVERIFY(backend.mode(0, m));
        QCOMPARE(backend.apply(m), DisplayBackend::ApplyResult::Applied);
        xorg.terminate();
        QVERIFY(xorg.waitForFinished(10000));
    }
};

QTEST_GUILESS_MAIN(TestX11Display)
#include "tst_x11display.moc"
