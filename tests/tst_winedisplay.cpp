// The Win32 display layer under Wine: tests/win32/tst_win32display.cpp cross-built with
// mingw-w64 and run as a Windows program on an X server and Wine prefix of this test's own
// (Wine's USER32 sits on RandR, so the modes are the X server's). What the program did to the
// screen is read back through RandR; xrandr only changes the screen from outside.
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <xcb/randr.h>
#include <xcb/xcb.h>

#include <cmath>
#include <cstdlib>
#include <unistd.h>

namespace {

const QString cxx = QStringLiteral("x86_64-w64-mingw32-g++-posix");
const QString objdump = QStringLiteral("x86_64-w64-mingw32-objdump");

bool required() { return qgetenv("VELMORA_REQUIRE_XSERVER") == "1"; }

// One mode of an output as X has it. hz is rounded as Wine rounds dot clock / (htotal * vtotal)
// (59.94 Hz reads 60): Wine hands the program that value, not the one RefreshRate would give.
struct XMode
{
    quint32 id = 0;
    int width = 0;
    int height = 0;
    int hz = 0;
    bool current = false;
    QString values() const { return QStringLiteral("%1 %2 32 %3").arg(width).arg(height).arg(hz); }
};

// An entry "N W H B F" a run listed.
struct Listed
{
    int n = -1;
    int w = 0, h = 0, b = 0, f = 0;
    QString values() const { return QStringLiteral("%1 %2 %3 %4").arg(w).arg(h).arg(b).arg(f); }
};

// One finished run of the program: its lines, and its own "N passed, N failed".
struct Run
{
    QString name;
    QStringList lines;
    int passed = -1;
    int failed = -1;
    QString field(const QString &key, int from) const
    {
        for (const QString &line : lines) {
            const QStringList f = line.split(QLatin1Char(' '));
            if (f.value(0) == key)
                return f.mid(from - 1).join(QLatin1Char(' '));
        }
        return QString();
    }
    QList<Listed> listed() const
    {
        QList<Listed> out;
        for (const QString &line : lines) {
            const QStringList f = line.split(QLatin1Char(' '));
            if (f.size() == 6 && f.at(0) == QLatin1String("mode"))
                out.append({f.at(1).toInt(), f.at(2).toInt(), f.at(3).toInt(), f.at(4).toInt(), f.at(5).toInt()});
        }
        return out;
    }
    QString entry(int n) const
    {
        for (const Listed &l : listed()) {
            if (l.n == n)
                return l.values();
        }
        return QString();
    }
    bool matches(const QRegularExpression &re) const
    {
        for (const QString &line : lines) {
            if (re.match(line).hasMatch())
                return true;
        }
        return false;
    }
};

} // namespace

class TestWineDisplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void listsTheXModes();
    void appliesListedModes();
    void readsAChangeMadeOutside();
    void reappliesWhatItRead();
    void refusesAModeXLost();
    void threadsAndAnnouncements();
    void leavesAnOutputOff();
    void twoOutputs();
    void threeOutputs();

private:
    // Checks and counts like the program's own lines ("ok   ..." / "FAIL ...").
    bool check(bool good, const QString &what);
    QProcessEnvironment wineEnvironment() const;
    QString xrandr(const QStringList &arguments);
    QList<XMode> xmodes(const QString &output = QStringLiteral("DUMMY0"));
    // "W H HZ" of the mode X has on `output`; empty when it is off.
    QString xcurrent(const QString &output = QStringLiteral("DUMMY0"));
    // "WxH+X+Y" of an output; empty when it is off.
    QString geometry(const QString &output);
    QStringList connectedOutputs(QString *primary = nullptr);
    // X shows `output` in "W H B F" (X cannot show B).
    bool xcheck(const QString &what, const QString &values, const QString &output = QStringLiteral("DUMMY0"));
    QStringList expectedList();
    bool checkList(const Run &run);
    Run run(const QString &name, const QStringList &commands);
    bool collect(Run &run, const QByteArray &raw);
    // Starts a run that stops at its "wait" command until resume().
    bool runWaiting(const QString &name, const QStringList &commands);
    bool resume(Run *out = nullptr);
    // Runs read-only commands until a line matches (Wine learns of an outside change a little later).
    bool wineSees(const QString &name, const QRegularExpression &re, const QStringList &commands, Run *seen = nullptr);
    // Lists until Wine's copy of X's modes has caught up with a mode added or removed.
    bool resync(const QString &name, Run &listed);

    QTemporaryDir work;
    QString exe;
    QString display;
    QString xserverDir;
    QString prefix;
    QProcess wineserver;
    std::unique_ptr<QProcess> waiting;
    QString waitingName;
    QByteArray waitingOut;
    xcb_connection_t *connection = nullptr;
    int passed = 0;
    int failed = 0;
    // X's first mode, the list of the first run, the entries of the applies.
    XMode start;
    Run firstList;
    int a = -1;
    QString middle;
    Run removedList;
};

bool TestWineDisplay::check(bool good, const QString &what)
{
    (good ? passed : failed)++;
    qInfo("%s %s", good ? "ok  " : "FAIL", qPrintable(what));
    return good;
}

void TestWineDisplay::initTestCase()
{
    QVERIFY(work.isValid());
    const auto haveTools = [] {
        for (const QString &tool : {cxx, objdump, QStringLiteral("wine"), QStringLiteral("wineserver"), QStringLiteral("xrandr")}) {
            if (QStandardPaths::findExecutable(tool).isEmpty())
                return false;
        }
        return true;
    };
    if (!haveTools() && geteuid() == 0) {
        // Other builds may hold the dpkg lock for a while: wait for it rather than fail.
        qInfo("installing mingw-w64 and Wine");
        QProcess apt;
        apt.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DEBIAN_FRONTEND", "noninteractive");
        apt.setProcessEnvironment(env);
        apt.start("sh", {"-c", "apt-get -o DPkg::Lock::Timeout=300 update -qq && apt-get -o DPkg::Lock::Timeout=300 install -y -qq "
                               "--no-install-recommends g++-mingw-w64-x86-64-posix wine wine64 x11-xserver-utils"});
        apt.waitForFinished(900000);
    }
    if (!haveTools()) {
        const char *why = "mingw-w64 (posix threads), Wine and xrandr are not installed";
        if (required())
            QFAIL(why);
        QSKIP(why);
    }

    const QString src = QStringLiteral(VELMORA_SOURCE_DIR);
    exe = work.filePath("tst_win32display.exe");
    QProcess build;
    build.setProcessChannelMode(QProcess::MergedChannels);
    build.start(cxx, {"-std=c++17", "-static", "-O2", "-Wall", "-Wextra", "-Wpedantic", "-I" + src + "/display",
                      "-I" + src + "/display/win32", "-I" + src + "/tests", "-o", exe, src + "/tests/win32/tst_win32display.cpp",
                      src + "/display/DisplayBackend.cpp", src + "/display/MonitorIdentity.cpp",
                      src + "/display/win32/Win32DisplayBackend.cpp"});
    QVERIFY(build.waitForFinished(300000));
    QVERIFY2(check(build.exitCode() == 0, "build with " + cxx + " -static"), build.readAll().constData());
    QProcess dump;
    dump.start(objdump, {"-p", exe});
    QVERIFY(dump.waitForFinished(60000));
    QStringList imports;
    static const QRegularExpression dll(QStringLiteral("DLL Name: (\\S+)"));
    for (auto it = dll.globalMatch(QString::fromLocal8Bit(dump.readAllStandardOutput())); it.hasNext();)
        imports << it.next().captured(1).toUpper();
    imports.removeDuplicates();
    imports.sort();
    QVERIFY(check(imports == QStringList({"KERNEL32.DLL", "MSVCRT.DLL", "USER32.DLL"}),
                  "the .exe imports only KERNEL32, USER32 and msvcrt (" + imports.join(' ') + ")"));

    xserverDir = work.filePath("xserver");
    QVERIFY(QProcess::execute(src + "/scripts/xserver.sh", {"start", xserverDir}) == 0);
    if (QFile::exists(xserverDir + "/skip"))
        QSKIP(qPrintable(firstLine(xserverDir + "/skip")));
    display = firstLine(xserverDir + "/display");
    connection = xcb_connect(display.toLocal8Bit().constData(), nullptr);
    QVERIFY(!xcb_connection_has_error(connection));
    // Wine rescales the screen's size in mm; a DPI set first keeps that from shrinking to nothing.
    xrandr({"--dpi", "96"});

    prefix = work.filePath("prefix");
    // Our own persistent wineserver, so that the runs share it and it can be stopped by PID.
    wineserver.setProcessEnvironment(wineEnvironment());
    wineserver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    wineserver.start("wineserver", {"-f", "-p"});
    QVERIFY(wineserver.waitForStarted());
    QProcess boot;
    boot.setProcessEnvironment(wineEnvironment());
    QElapsedTimer clock;
    clock.start();
    boot.start("wine", {"wineboot.exe", "--init"});
    QVERIFY2(boot.waitForFinished(180000) && boot.exitCode() == 0, "wineboot could not create the Wine prefix");
    qInfo("prefix %s created in %lld ms", qPrintable(prefix), clock.elapsed());

    const QList<XMode> modes = xmodes();
    for (const XMode &m : modes) {
        if (m.current)
            start = m;
    }
    QVERIFY(start.width > 0);
    qInfo("X starts in %dx%d %d Hz (mode 0x%x)", start.width, start.height, start.hz, start.id);
}

void TestWineDisplay::cleanupTestCase()
{
    if (waiting) {
        waiting->kill();
        waiting->waitForFinished();
    }
    if (wineserver.state() != QProcess::NotRunning) {
        QProcess::execute("sh", {"-c", "WINEPREFIX='" + prefix + "' wineserver -k"});
        if (!wineserver.waitForFinished(10000)) {
            wineserver.kill();
            wineserver.waitForFinished();
        }
    }
    if (connection)
        xcb_disconnect(connection);
    if (!xserverDir.isEmpty())
        QProcess::execute(QStringLiteral(VELMORA_SOURCE_DIR) + "/scripts/xserver.sh", {"stop", xserverDir});
    qInfo("%d passed, %d failed", passed, failed);
}

QProcessEnvironment TestWineDisplay::wineEnvironment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    env.insert("WINEPREFIX", prefix);
    env.insert("WINEDEBUG", "-all");
    env.insert("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d");
    env.remove("WAYLAND_DISPLAY");
    return env;
}

QString TestWineDisplay::xrandr(const QStringList &arguments)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", display);
    p.setProcessEnvironment(env);
    p.start("xrandr", arguments);
    if (!p.waitForFinished(30000) || p.exitCode() != 0)
        qWarning("xrandr %s failed: %s", qPrintable(arguments.join(' ')), p.readAllStandardError().constData());
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

QList<XMode> TestWineDisplay::xmodes(const QString &output)
{
    QList<XMode> out;
    // What the server has now, without a probe (as Wine asks).
    auto *res = xcb_randr_get_screen_resources_current_reply(
        connection, xcb_randr_get_screen_resources_current(connection, xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root),
        nullptr);
    if (!res)
        return out;
    const xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(res);
    const xcb_randr_mode_info_t *infos = xcb_randr_get_screen_resources_current_modes(res);
    const int ninfos = xcb_randr_get_screen_resources_current_modes_length(res);
    for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res); ++i) {
        auto *info = xcb_randr_get_output_info_reply(connection, xcb_randr_get_output_info(connection, outputs[i], res->config_timestamp), nullptr);
        if (!info)
            continue;
        const QString name = QString::fromLatin1(reinterpret_cast<const char *>(xcb_randr_get_output_info_name(info)),
                                                 xcb_randr_get_output_info_name_length(info));
        if (name == output) {
            xcb_randr_mode_t currentMode = XCB_NONE;
            if (info->crtc) {
                if (auto *crtc = xcb_randr_get_crtc_info_reply(connection, xcb_randr_get_crtc_info(connection, info->crtc, res->config_timestamp), nullptr)) {
                    currentMode = crtc->mode;
                    free(crtc);
                }
            }
            const xcb_randr_mode_t *ids = xcb_randr_get_output_info_modes(info);
            for (int m = 0; m < xcb_randr_get_output_info_modes_length(info); ++m) {
                for (int k = 0; k < ninfos; ++k) {
                    const xcb_randr_mode_info_t &mi = infos[k];
                    if (mi.id != ids[m])
                        continue;
                    double dots = double(mi.htotal) * mi.vtotal;
                    if (mi.mode_flags & XCB_RANDR_MODE_FLAG_DOUBLE_SCAN)
                        dots *= 2;
                    if (mi.mode_flags & XCB_RANDR_MODE_FLAG_INTERLACE)
                        dots /= 2;
                    const int hz = dots > 0 ? int(std::floor(mi.dot_clock / dots + 0.5)) : 0;
                    out.append({mi.id, mi.width, mi.height, hz, mi.id == currentMode});
                }
            }
        }
        free(info);
    }
    free(res);
    return out;
}

QString TestWineDisplay::xcurrent(const QString &output)
{
    for (const XMode &m : xmodes(output)) {
        if (m.current)
            return QStringLiteral("%1 %2 %3").arg(m.width).arg(m.height).arg(m.hz);
    }
    return QString();
}

QString TestWineDisplay::geometry(const QString &output)
{
    static const QRegularExpression re(QStringLiteral("^(\\S+) connected (?:primary )?(\\d+x\\d+[+-]\\d+[+-]\\d+)"),
                                       QRegularExpression::MultilineOption);
    for (auto it = re.globalMatch(xrandr({"--current"})); it.hasNext();) {
        const auto m = it.next();
        if (m.captured(1) == output)
            return m.captured(2);
    }
    return QString();
}

QStringList TestWineDisplay::connectedOutputs(QString *primary)
{
    QStringList names;
    static const QRegularExpression re(QStringLiteral("^(\\S+) connected( primary)?"), QRegularExpression::MultilineOption);
    for (auto it = re.globalMatch(xrandr({"--current"})); it.hasNext();) {
        const auto m = it.next();
        names << m.captured(1);
        if (primary && !m.captured(2).isEmpty())
            *primary = m.captured(1);
    }
    return names;
}

bool TestWineDisplay::xcheck(const QString &what, const QString &values, const QString &output)
{
    const QStringList v = values.split(' ');
    const QString want = v.value(0) + ' ' + v.value(1) + ' ' + v.value(3);
    const QString now = xcurrent(output);
    return check(now == want, what + ": X shows " + output + " in '" + now + "', want '" + want + "'");
}

QStringList TestWineDisplay::expectedList()
{
    QStringList out;
    for (const XMode &m : xmodes()) {
        for (int b = 32; b >= 8; b /= 2)
            out << QStringLiteral("%1 %2 %3 %4").arg(m.width).arg(m.height).arg(b).arg(m.hz);
    }
    out.sort();
    return out;
}

bool TestWineDisplay::checkList(const Run &run)
{
    const QList<Listed> listed = run.listed();
    bool numbered = !listed.isEmpty();
    for (int i = 0; i < listed.size(); ++i)
        numbered = numbered && listed.at(i).n == i;
    const QString count = run.field("count", 2);
    const bool first = check(numbered && count.toInt() == listed.size(),
                             run.name + ": modes numbered 0 to " + QString::number(listed.size() - 1) + " without gaps, count " + count);
    QStringList got;
    for (const Listed &l : listed)
        got << l.values();
    got.sort();
    const QStringList want = expectedList();
    return check(got == want, QStringLiteral("%1: the %2 listed modes are X's %3 modes at 32, 16 and 8 bpp")
                                  .arg(run.name).arg(got.size()).arg(want.size() / 3))
        && first;
}

bool TestWineDisplay::collect(Run &run, const QByteArray &raw)
{
    run.lines = QString::fromLocal8Bit(raw).remove('\r').split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression last(QStringLiteral("^(\\d+) passed, (\\d+) failed$"));
    for (const QString &line : std::as_const(run.lines)) {
        if (line.startsWith("ok   ") || line.startsWith("FAIL "))
            qInfo("  [%s] %s", qPrintable(run.name), qPrintable(line));
    }
    const auto m = last.match(run.lines.value(run.lines.size() - 1));
    if (!m.hasMatch())
        return check(false, "run " + run.name + " finished: " + run.lines.join(" | ").right(400));
    run.passed = m.captured(1).toInt();
    run.failed = m.captured(2).toInt();
    passed += run.passed;
    failed += run.failed;
    return run.failed == 0;
}

Run TestWineDisplay::run(const QString &name, const QStringList &commands)
{
    Run r;
    r.name = name;
    QProcess p;
    p.setProcessEnvironment(wineEnvironment());
    p.setStandardInputFile(QProcess::nullDevice());
    p.start("wine", QStringList{exe} + commands);
    if (!p.waitForFinished(60000))
        p.kill();
    p.waitForFinished();
    collect(r, p.readAllStandardOutput());
    return r;
}

bool TestWineDisplay::runWaiting(const QString &name, const QStringList &commands)
{
    waiting = std::make_unique<QProcess>();
    waitingName = name;
    waiting->setProcessEnvironment(wineEnvironment());
    waiting->start("wine", QStringList{exe} + commands);
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        waiting->waitForReadyRead(100);
        out += waiting->readAllStandardOutput();
        if (out.startsWith("waiting") || out.contains("\nwaiting")) {
            waitingOut = out;
            return true;
        }
        if (waiting->state() == QProcess::NotRunning)
            break;
    }
    check(false, "run " + name + " reached its wait: " + QString::fromLocal8Bit(out).right(400));
    waiting->kill();
    waiting->waitForFinished();
    waiting.reset();
    return false;
}

bool TestWineDisplay::resume(Run *out)
{
    Run r;
    r.name = waitingName;
    waiting->write("go\n");
    waiting->closeWriteChannel();
    if (!waiting->waitForFinished(60000))
        waiting->kill();
    waiting->waitForFinished();
    const bool good = collect(r, waitingOut + waiting->readAllStandardOutput());
    waiting.reset();
    if (out)
        *out = r;
    return good;
}

bool TestWineDisplay::wineSees(const QString &name, const QRegularExpression &re, const QStringList &commands, Run *seen)
{
    for (int i = 0; i < 10; ++i) {
        QProcess p;
        p.setProcessEnvironment(wineEnvironment());
        p.setStandardInputFile(QProcess::nullDevice());
        p.start("wine", QStringList{exe} + commands);
        p.waitForFinished(60000);
        Run r;
        r.name = name;
        r.lines = QString::fromLocal8Bit(p.readAllStandardOutput()).remove('\r').split('\n', Qt::SkipEmptyParts);
        if (seen)
            *seen = r;
        if (r.matches(re))
            return true;
        QTest::qWait(500);
    }
    return false;
}

bool TestWineDisplay::resync(const QString &name, Run &listed)
{
    // Wine keeps its own copy of X's mode list and renews it when a CRTC changes (explorer.exe
    // gets the RandR event, a little later), not when a mode is only added or removed: switch
    // away and back from outside, then list until the copy has caught up.
    const QList<XMode> modes = xmodes();
    XMode back, away;
    for (const XMode &m : modes) {
        if (m.current)
            back = m;
    }
    for (const XMode &m : modes) {
        if (m.width != back.width || m.height != back.height) {
            away = m;
            break;
        }
    }
    xrandr({"--output", "DUMMY0", "--mode", QStringLiteral("0x%1").arg(away.id, 0, 16)});
    xrandr({"--output", "DUMMY0", "--mode", QStringLiteral("0x%1").arg(back.id, 0, 16)});
    QByteArray raw;
    for (int attempt = 1; attempt <= 6; ++attempt) {
        QProcess p;
        p.setProcessEnvironment(wineEnvironment());
        p.setStandardInputFile(QProcess::nullDevice());
        p.start("wine", {exe, "list"});
        p.waitForFinished(60000);
        raw = p.readAllStandardOutput();
        Run r;
        r.lines = QString::fromLocal8Bit(raw).remove('\r').split('\n', Qt::SkipEmptyParts);
        QStringList got;
        for (const Listed &l : r.listed())
            got << l.values();
        got.sort();
        if (got == expectedList()) {
            if (attempt > 1)
                qInfo("%s: Wine's mode list caught up on try %d", qPrintable(name), attempt);
            break;
        }
        QTest::qWait(500);
    }
    listed = Run();
    listed.name = name;
    const bool finished = collect(listed, raw);
    return checkList(listed) && finished;
}

void TestWineDisplay::listsTheXModes()
{
    firstList = run("list", {"devices", "list", "current", "outputs"});
    QVERIFY(firstList.failed == 0);
    QVERIFY(checkList(firstList));
    int devices = 0;
    for (const QString &line : std::as_const(firstList.lines))
        devices += line.startsWith("device ");
    const int connected = connectedOutputs().size();
    QVERIFY(check(devices == connected, QStringLiteral("Wine lists %1 display device(s) for X's %2 connected output(s)").arg(devices).arg(connected)));
    const QString current = firstList.field("current", 2);
    QVERIFY(check(current == start.values(), "current settings read '" + current + "', X has " + start.values()));
    QString primary;
    for (const QString &line : std::as_const(firstList.lines)) {
        const QStringList f = line.split(' ');
        if (f.value(0) == "output" && f.value(2) == "primary")
            primary = QStringList{f.value(3), f.value(5), f.value(6), f.value(7), f.value(8)}.join(' ');
    }
    QVERIFY(check(primary == "Active " + start.values(), "the primary output reads '" + primary + "', X has Active " + start.values()));
}

void TestWineDisplay::appliesListedModes()
{
    // Another size at 32 bpp, another size at 16 bpp, the first size at another refresh rate
    // (the last one listed: Wine takes the first of a size when the rate is lost on the way).
    // Each run is a new process, which must see what the last one did.
    const QList<Listed> listed = firstList.listed();
    int b = -1, r = -1;
    for (const Listed &l : listed) {
        const bool sameSize = l.w == start.width && l.h == start.height;
        if (a < 0 && l.b == 32 && !sameSize)
            a = l.n;
    }
    QVERIFY(check(a >= 0, "X offers another size"));
    const int aw = firstList.entry(a).section(' ', 0, 0).toInt();
    for (const Listed &l : listed) {
        const bool sameSize = l.w == start.width && l.h == start.height;
        if (b < 0 && l.b == 16 && !sameSize && l.w != aw)
            b = l.n;
        if (l.b == 32 && sameSize && l.f != start.hz)
            r = l.n;
    }
    QVERIFY(check(b >= 0 && r >= 0, "X offers the modes these tests need (another size, another refresh rate)"));

    QVERIFY(run("apply-a", {"apply", QString::number(a)}).failed == 0);
    QVERIFY(xcheck("apply " + QString::number(a), firstList.entry(a)));
    const Run applyB = run("apply-b", {"current", "apply", QString::number(b)});
    QVERIFY(applyB.failed == 0);
    QStringList av = firstList.entry(a).split(' ');
    av[2] = "32";
    QVERIFY(check(applyB.field("current", 2) == av.join(' '),
                  "a new process reads '" + applyB.field("current", 2) + "' after apply " + QString::number(a)));
    QVERIFY(xcheck("apply " + QString::number(b), firstList.entry(b)));
    QVERIFY(run("apply-r", {"apply", QString::number(r), "apply-missing", "request"}).failed == 0);
    QVERIFY(xcheck("apply " + QString::number(r) + ", then values not listed refused", firstList.entry(r)));
}

void TestWineDisplay::readsAChangeMadeOutside()
{
    // A change made outside Wine, seen by a new process; re-applying the current values keeps it.
    const int aw = firstList.entry(a).section(' ', 0, 0).toInt();
    XMode mid;
    for (const XMode &m : xmodes()) {
        if (!mid.id && m.width != start.width && m.width != aw)
            mid = m;
    }
    QVERIFY(mid.id);
    middle = mid.values();
    xrandr({"--output", "DUMMY0", "--mode", QStringLiteral("0x%1").arg(mid.id, 0, 16)});
    const Run outside = run("outside", {"current", "reapply-current"});
    QVERIFY(outside.failed == 0);
    QVERIFY(check(outside.field("current", 2) == middle, "a new process reads the mode set with xrandr: '" + outside.field("current", 2) + "', want " + middle));
    QVERIFY(xcheck("re-apply of the current values", middle));
    // Which of two X modes with the same four values (twins, 59.92 and 60.00 Hz) a re-apply
    // keeps cannot be seen here: Wine matches any record to the first of its modes with those values.
}

void TestWineDisplay::reappliesWhatItRead()
{
    // A process started before an outside change still has the old mode as current settings
    // (Wine caches it per process): its re-apply of what it read differs from nothing it
    // read, so nothing is sent and the outside change stays.
    XMode next;
    for (const XMode &m : xmodes()) {
        if (!next.id && m.width != middle.section(' ', 0, 0).toInt())
            next = m;
    }
    QVERIFY(runWaiting("cached", {"current", "wait", "reapply-current"}));
    xrandr({"--output", "DUMMY0", "--mode", QStringLiteral("0x%1").arg(next.id, 0, 16)});
    QVERIFY(xcheck("xrandr --mode while the process waits", next.values()));
    QVERIFY(resume());
    QVERIFY(xcheck("re-apply in the older process sends nothing", next.values()));
    for (const XMode &m : xmodes()) {
        if (m.values() == middle) {
            xrandr({"--output", "DUMMY0", "--mode", QStringLiteral("0x%1").arg(m.id, 0, 16)});
            break;
        }
    }
    QVERIFY(xcheck("back in the mode of the tests that follow", middle));
}

void TestWineDisplay::refusesAModeXLost()
{
    // A mode that the X server loses after a process listed it must not be applied.
    xrandr({"--newmode", "velmora_extra", "62.25", "1152", "1216", "1336", "1520", "648", "651", "656", "684", "-hsync", "+vsync"});
    xrandr({"--addmode", "DUMMY0", "velmora_extra"});
    Run added;
    const bool addedListed = resync("added", added);
    int k = -1;
    for (const Listed &l : added.listed()) {
        if (k < 0 && l.w == 1152 && l.h == 648 && l.b == 32)
            k = l.n;
    }
    const auto removeExtra = [this] {
        xrandr({"--delmode", "DUMMY0", "velmora_extra"});
        xrandr({"--rmmode", "velmora_extra"});
    };
    if (!check(k >= 0, "the added mode 1152x648 is listed") || !addedListed || !runWaiting("gone", {"list", "wait", "refuse", QString::number(k)})) {
        removeExtra();
        QFAIL("the added mode could not be tried");
    }
    Run gone;
    gone.lines = QString::fromLocal8Bit(waitingOut).remove('\r').split('\n', Qt::SkipEmptyParts);
    check(gone.entry(k) == added.entry(k), "the waiting process lists '" + gone.entry(k) + "' as " + QString::number(k));
    removeExtra();
    const bool refused = resume();
    QVERIFY(refused);
    QVERIFY(xcheck("refused " + QString::number(k), middle));
    // A new process no longer lists the removed mode.
    QVERIFY(resync("removed", removedList));
}

void TestWineDisplay::threadsAndAnnouncements()
{
    QVERIFY(run("threads", {"threads"}).failed == 0);
    QVERIFY(xcheck("threads", middle));
    // A switch made by another Windows program reaches a running process as WM_DISPLAYCHANGE.
    QVERIFY(runWaiting("announce", {"watch", "wait", "announced"}));
    const bool pushed = run("announcer", QStringList{"push"} + firstList.entry(a).split(' ')).failed == 0;
    QVERIFY(resume());
    QVERIFY(pushed);
    // Back to the mode X started in.
    int orig = -1;
    for (const Listed &l : removedList.listed()) {
        if (orig < 0 && l.values() == start.values())
            orig = l.n;
    }
    QVERIFY(check(orig >= 0, "the original mode " + start.values() + " is listed"));
    QVERIFY(run("restore", {"apply", QString::number(orig)}).failed == 0);
    QVERIFY(xcheck("restore the original mode with apply " + QString::number(orig), start.values()));
}

void TestWineDisplay::leavesAnOutputOff()
{
    // The pinned output is switched off from outside while a process waits: it reads Off and
    // applies nothing. A process started while it is off has nothing to pin (Wine lists the
    // device, but not on the desktop).
    QVERIFY(runWaiting("off", {"state", "wait", "off"}));
    xrandr({"--output", "DUMMY0", "--off"});
    check(wineSees("none", QRegularExpression("^pinned $"), {"state"}), "off: Wine shows no device on the desktop");
    QVERIFY(resume());
    QVERIFY(check(geometry("DUMMY0").isEmpty(), "off: DUMMY0 is still off after the applies (" + geometry("DUMMY0") + ")"));
    const Run none = run("none", {"none", "outputs"});
    QVERIFY(none.failed == 0);
    QStringList outs;
    for (const QString &line : none.lines) {
        const QStringList f = line.split(' ');
        if (f.value(0) == "output")
            outs << f.value(1) + ' ' + f.value(3);
    }
    QVERIFY(check(outs == QStringList{"\\\\.\\DISPLAY1 Off"}, "none: the device off the desktop is listed Off (" + outs.join(';') + ")"));
    QVERIFY(check(geometry("DUMMY0").isEmpty(), "none: DUMMY0 is still off"));
    xrandr({"--output", "DUMMY0", "--mode", QStringLiteral("0x%1").arg(start.id, 0, 16)});
    QVERIFY(check(wineSees("on", QRegularExpression("^state Active " + start.values() + "$"), {"state"}), "Wine sees DUMMY0 on again"));
}

void TestWineDisplay::twoOutputs()
{
    // A second output, right of DUMMY0. Wine names the device of the X primary \\.\DISPLAY1.
    xrandr({"--addmode", "DUMMY1", "1024x768_60"});
    xrandr({"--output", "DUMMY1", "--mode", "1024x768_60", "--right-of", "DUMMY0"});
    // The dummy driver reports DUMMY1 connected only from its next probe on; Wine asks with
    // --current, which does not probe.
    xrandr({});
    const auto attached = [](const Run &r) {
        // Devices whose state flags include DISPLAY_DEVICE_ATTACHED_TO_DESKTOP (the low bit).
        static const QRegularExpression re(QStringLiteral("^device \\S+ \\S*[13579bdf]$"));
        int n = 0;
        for (const QString &line : r.lines)
            n += re.match(line).hasMatch();
        return n;
    };
    Run seen;
    for (int i = 0; i < 20; ++i) {
        if (wineSees("two-seen", QRegularExpression("^device "), {"devices"}, &seen) && attached(seen) == 2)
            break;
        QTest::qWait(500);
    }
    QVERIFY(check(attached(seen) == 2, "Wine lists two devices on the desktop once DUMMY1 is on (" + seen.lines.join(';') + ")"));
    XMode small;
    for (const XMode &m : xmodes()) {
        if (!small.id && m.width == 800 && m.height == 600)
            small = m;
    }
    QVERIFY(small.id);
    const QString otherNow = xcurrent("DUMMY1");
    const QString other = otherNow.section(' ', 0, 1) + " 32 " + otherNow.section(' ', 2, 2);
    QVERIFY(run("two", QStringList{"devices", "set"} + small.values().split(' ')).failed == 0);
    QVERIFY(xcheck("two outputs: set " + small.values(), small.values()));
    QVERIFY(xcheck("two outputs: the other output", other, "DUMMY1"));
    qInfo("two outputs: DUMMY0 %s, DUMMY1 %s", qPrintable(geometry("DUMMY0")), qPrintable(geometry("DUMMY1")));

    // The lock's process pins DUMMY0 (primary), then DUMMY1 becomes primary, then it applies:
    // the switch must reach DUMMY0 and leave DUMMY1's mode alone (Wine lays the outputs out
    // anew, so their positions may move). What the process reads back is left out: Wine renames
    // the devices under it, its reads then go by the new names and its applies by the old ones.
    XMode rate;
    for (const XMode &m : xmodes()) {
        if (!rate.id && m.width == start.width && m.height == start.height && m.hz != start.hz)
            rate = m;
    }
    QVERIFY(rate.id);
    QVERIFY(runWaiting("primary-later", QStringList{"current", "wait", "push"} + rate.values().split(' ')));
    xrandr({"--output", "DUMMY1", "--primary"});
    // A new process's \\.\DISPLAY1 is DUMMY1 once Wine has caught up.
    check(wineSees("renamed", QRegularExpression("^state Active " + QRegularExpression::escape(other) + "$"), {"state"}),
          "primary-later: Wine follows the new X primary");
    QVERIFY(resume());
    QVERIFY(xcheck("primary-later: the pinned output", rate.values()));
    QVERIFY(xcheck("primary-later: the new primary", other, "DUMMY1"));
    qInfo("primary-later: DUMMY0 %s, DUMMY1 %s", qPrintable(geometry("DUMMY0")), qPrintable(geometry("DUMMY1")));

    // A process started now pins the new primary: DUMMY1 changes, DUMMY0 does not.
    QVERIFY(run("primary-now", QStringList{"devices", "set"} + small.values().split(' ')).failed == 0);
    QVERIFY(xcheck("primary-now: the pinned output", small.values(), "DUMMY1"));
    QVERIFY(xcheck("primary-now: the other output", rate.values()));

    // Both outputs in one apply, after one whose second change cannot be, which switches neither.
    // The device Wine flags primary is the X primary's.
    QString xprimary;
    connectedOutputs(&xprimary);
    const QString xother = xprimary == "DUMMY0" ? "DUMMY1" : "DUMMY0";
    const Run both = run("both", {"both"});
    QVERIFY(both.failed == 0);
    int seenBoth = 0;
    for (const QString &line : both.lines) {
        const QStringList f = line.split(' ');
        if (f.value(0) != "both" || f.size() < 7)
            continue;
        ++seenBoth;
        const QString values = f.mid(3, 4).join(' ');
        if (f.value(2) == "primary")
            QVERIFY(xcheck("both: the primary", values, xprimary));
        else
            QVERIFY(xcheck("both: the other output", values, xother));
    }
    QVERIFY(seenBoth > 0);
}

void TestWineDisplay::threeOutputs()
{
    // A third output, with two sizes to switch between, right of the others: one output moved
    // and switched in one apply while another keeps its place and mode (the program checks
    // both through EnumDisplaySettingsW).
    for (const char *mode : {"1024x768_60", "800x600_60"})
        xrandr({"--addmode", "DUMMY2", mode});
    xrandr({"--output", "DUMMY2", "--mode", "1024x768_60", "--right-of", "DUMMY1"});
    xrandr({});
    Run seen;
    int attached = 0;
    for (int i = 0; i < 20 && attached != 3; ++i) {
        attached = 0;
        if (wineSees("three-seen", QRegularExpression("^device "), {"devices"}, &seen)) {
            static const QRegularExpression on(QStringLiteral("^device \\S+ \\S*[13579bdf]$"));
            for (const QString &line : std::as_const(seen.lines))
                attached += on.match(line).hasMatch();
        }
        if (attached != 3)
            QTest::qWait(500);
    }
    QVERIFY(check(attached == 3, "Wine lists three devices on the desktop once DUMMY2 is on (" + seen.lines.join(';') + ")"));
    QVERIFY(run("arrange", {"arrange"}).failed == 0);
    qInfo("three outputs: DUMMY0 %s, DUMMY1 %s, DUMMY2 %s", qPrintable(geometry("DUMMY0")), qPrintable(geometry("DUMMY1")),
          qPrintable(geometry("DUMMY2")));
}

QTEST_GUILESS_MAIN(TestWineDisplay)
#include "tst_winedisplay.moc"
