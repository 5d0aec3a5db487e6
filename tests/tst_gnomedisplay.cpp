// The GNOME layer against a real Mutter (scripts/mutter.sh): as the window manager of a test
// X server, where xrandr is a second witness, and nested as a Wayland compositor with fake
// monitors. Checked from outside with gdbus.
#include "Deamon.h"
#include "Pinned.h"
#include "DisplaySettings.h"
#include "GnomeDisplayBackend.h"
#include "RefreshRate.h"
#include "SettingsKeys.h"
#include "TestSupport.h"
#include "tst_gnomehost.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSet>
#include <QSettings>
#include <QScopeGuard>
#include <QTest>
#include <QThread>

#include <xcb/randr.h>

#include <csignal>

using namespace MutterHost;

namespace {
DisplayMode values(const Mode &m) { return {m.width, m.height, 32, RefreshRate::wholeHz(m.refresh)}; }

const Mode *findMode(const Monitor &monitor, const QString &id)
{
    for (const Mode &m : monitor.modes) {
        if (m.id == id)
            return &m;
    }
    return nullptr;
}

// The first mode listed with these values.
QString firstIdOf(const Monitor &monitor, const DisplayMode &mode)
{
    for (const Mode &m : monitor.modes) {
        if (values(m) == mode)
            return m.id;
    }
    return QString();
}

// The values of mode `id` as Mutter lists it now.
DisplayMode valuesOf(const Host &h, const QString &connector, const QString &id)
{
    const State s = state(h);
    const Monitor *monitor = s.monitor(connector);
    const Mode *mode = monitor ? findMode(*monitor, id) : nullptr;
    return mode ? values(*mode) : DisplayMode{};
}

bool xrandr(const Host &h, const QStringList &arguments)
{
    bool ok = false;
    run(h, "xrandr", arguments, &ok);
    return ok;
}

// Gives `output` an "underscan" property switched on, as drivers that can underscan offer it
// (the dummy driver has none); off: takes it and Mutter's border properties away again.
bool setUnderscan(const Host &h, const QString &output, bool on)
{
    xcb_connection_t *c = xcb_connect(h.display().toLocal8Bit().constData(), nullptr);
    const auto close = qScopeGuard([c] { xcb_disconnect(c); });
    if (xcb_connection_has_error(c))
        return false;
    auto atom = [c](const char *name) {
        xcb_intern_atom_reply_t *r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = r ? r->atom : XCB_ATOM_NONE;
        free(r);
        return a;
    };
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_randr_get_screen_resources_current_reply_t *res =
        xcb_randr_get_screen_resources_current_reply(c, xcb_randr_get_screen_resources_current(c, root), nullptr);
    if (!res)
        return false;
    const auto freeRes = qScopeGuard([res] { free(res); });
    const xcb_randr_output_t *outputs = xcb_randr_get_screen_resources_current_outputs(res);
    xcb_randr_output_t id = XCB_NONE;
    for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res) && id == XCB_NONE; ++i) {
        xcb_randr_get_output_info_reply_t *info =
            xcb_randr_get_output_info_reply(c, xcb_randr_get_output_info(c, outputs[i], res->config_timestamp), nullptr);
        if (info && QByteArray(reinterpret_cast<const char *>(xcb_randr_get_output_info_name(info)),
                               xcb_randr_get_output_info_name_length(info)) == output.toLatin1())
            id = outputs[i];
        free(info);
    }
    if (id == XCB_NONE)
        return false;
    const xcb_atom_t underscan = atom("underscan");
    auto done = [c](xcb_void_cookie_t cookie) {
        xcb_generic_error_t *error = xcb_request_check(c, cookie);
        free(error);
        return !error;
    };
    if (!on) {
        bool ok = true;
        for (const char *name : {"underscan", "underscan hborder", "underscan vborder"})
            ok = done(xcb_randr_delete_output_property_checked(c, id, atom(name))) && ok;
        return ok;
    }
    const xcb_atom_t values[] = {atom("off"), atom("on")};
    return done(xcb_randr_configure_output_property_checked(c, id, underscan, 0, 0, 2,
                                                            reinterpret_cast<const int32_t *>(values)))
        && done(xcb_randr_change_output_property_checked(c, id, underscan, XCB_ATOM_ATOM, 32, XCB_PROP_MODE_REPLACE, 1,
                                                         &values[1]));
}

QString xrandrScreen(const Host &h)
{
    return QRegularExpression(R"(current (\d+ x \d+))").match(run(h, "xrandr", {"--current"})).captured(1);
}
} // namespace

// Mutter's MonitorsChanged heard on the host's bus: one for every configuration it applies.
class Announcements : public QObject
{
    Q_OBJECT

public:
    explicit Announcements(const Host &h) : connection(bus(h, "announcements"))
    {
        connection.connect("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                           "org.gnome.Mutter.DisplayConfig", "MonitorsChanged", this, SLOT(heard()));
    }
    int count = 0;

public Q_SLOTS:
    void heard() { ++count; }

private:
    QDBusConnection connection;
};

class TestGnomeDisplay : public QObject
{
    Q_OBJECT

    Host x11;
    Host nested;
    Host nested3; // three monitors

    Host hostFor(const QString &name) const { return name == "x11" ? x11 : nested; }

    // Host 1 back to one monitor, DUMMY0 primary in its first mode.
    bool resetX11()
    {
        xrandr(x11, {"--output", "DUMMY1", "--off"});
        xrandr(x11, {"--output", "DUMMY0", "--primary", "--mode", "1024x768_60", "--pos", "0x0"});
        return waitFor([this] {
            const State s = state(x11);
            return s.logicals.size() == 1 && s.monitor("DUMMY0") && s.monitor("DUMMY0")->currentId() == "1024x768@59.920";
        });
    }
    // The nested host's two monitors side by side at 1920x1080@60, scale 1.
    bool resetNested()
    {
        const State s = state(nested);
        bool settled = s.logicals.size() == 2 && s.logical("LVDS1") && s.logical("LVDS1")->primary
            && s.logical("LVDS2") && s.logical("LVDS2")->x == 1920 && s.logical("LVDS1")->scale == 1.0
            && s.monitor("LVDS1")->currentId() == "1920x1080@60.000";
        if (!settled)
            foreignApply(nested, {{0, 0, 1.0, true, "LVDS1", "1920x1080@60.000"},
                                  {1920, 0, 1.0, false, "LVDS2", "1920x1080@60.000"}});
        return waitFor([this] {
            const State s = state(nested);
            return s.logical("LVDS2") && s.logical("LVDS2")->x == 1920 && s.logical("LVDS1")->scale == 1.0
                && s.monitor("LVDS1")->currentId() == "1920x1080@60.000";
        });
    }
    bool reset(const QString &name) { return name == "x11" ? resetX11() : resetNested(); }

private slots:
    void initTestCase()
    {
        x11 = host(QStringLiteral(VELMORA_MUTTER_X11_DIR));
        nested = host(QStringLiteral(VELMORA_MUTTER_NESTED_DIR));
        nested3 = host(QStringLiteral(VELMORA_MUTTER_NESTED3_DIR));
    }

    void hosts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("x11") << "x11";
        QTest::newRow("nested") << "nested";
    }

    void enumerationMatchesGetCurrentState_data() { hosts_data(); }
    void enumerationMatchesGetCurrentState()
    {
        QFETCH(QString, name);
        const Host h = hostFor(name);
        REQUIRE_HOST(h);
        QVERIFY(reset(name));
        Pinned<GnomeDisplayBackend> backend(bus(h, name));
        const State s = state(h);
        QVERIFY(!s.primary().isEmpty());
        QCOMPARE(QString::fromStdString(backend.pinOutput()), s.primary());
        const Monitor *monitor = s.monitor(s.primary());
        QVERIFY(monitor && monitor->modes.size() >= 3);
        QList<DisplayMode> listed;
        DisplayMode m;
        for (int n = 0; backend.mode(n, m); ++n)
            listed.append(m);
        QCOMPARE(listed.size(), monitor->modes.size());
        for (int n = 0; n < listed.size(); ++n)
            QCOMPARE(listed[n], values(monitor->modes[n]));
        QCOMPARE(backend.current(m), DisplayBackend::OutputState::Active);
        QCOMPARE(m, values(*findMode(*monitor, monitor->currentId())));
        if (name == "nested") {
            // Rates 0.1 % apart (59.94/60, 23.976/24) stay apart: each listed, and applied as itself.
            const QList<QPair<int, QString>> rates{
                {59, "1920x1080@59.940"}, {23, "1920x1080@23.976"}, {24, "1920x1080@24.000"}, {60, "1920x1080@60.000"}};
            for (const auto &[hz, id] : rates) {
                const DisplayMode mode{1920, 1080, 32, hz};
                QVERIFY2(listed.contains(mode), qPrintable(id));
                QCOMPARE(backend.apply(mode), DisplayBackend::ApplyResult::Applied);
                QCOMPARE(state(h).monitor(s.primary())->currentId(), id);
            }
        }
    }

    void applySwitchesAndAnnounces_data() { hosts_data(); }
    void applySwitchesAndAnnounces()
    {
        QFETCH(QString, name);
        const Host h = hostFor(name);
        REQUIRE_HOST(h);
        QVERIFY(reset(name));
        Pinned<GnomeDisplayBackend> backend(bus(h, name));
        const QString pinned = QString::fromStdString(backend.pinOutput());
        std::atomic<int> announced{0};
        backend.setChangeCallback([&announced] { ++announced; });

        const DisplayMode target = valuesOf(h, pinned, name == "x11" ? "1400x900@59.964" : "1280x720@60.000");
        QVERIFY(target.PelsWidth > 0);
        QCOMPARE(backend.availability(target), DisplayBackend::OutputState::Active);
        QCOMPARE(backend.apply(target), DisplayBackend::ApplyResult::Applied);
        const State after = state(h);
        QCOMPARE(after.monitor(pinned)->currentId(), firstIdOf(*after.monitor(pinned), target));
        if (name == "x11")
            QCOMPARE(xrandrScreen(h), QString("1400 x 900"));
        DisplayMode now;
        QCOMPARE(backend.current(now), DisplayBackend::OutputState::Active);
        QCOMPARE(now, target);
        // Our own change is announced too: Mutter's signal reaches the callback.
        QTRY_VERIFY_WITH_TIMEOUT(announced > 0, 5000);

        // A foreign change is announced.
        announced = 0;
        QVERIFY(reset(name));
        QTRY_VERIFY_WITH_TIMEOUT(announced > 0, 5000);

        const DisplayMode bogus{1234, 567, 32, 60};
        QCOMPARE(backend.availability(bogus), DisplayBackend::OutputState::NotOffered);
        QCOMPARE(backend.apply(bogus), DisplayBackend::ApplyResult::NotOffered);
        QCOMPARE(backend.apply(DisplayMode{target.PelsWidth, target.PelsHeight, 16, 60}),
                 DisplayBackend::ApplyResult::NotOffered);
    }

    // Growing and shrinking the pinned monitor moves its neighbour along and leaves the
    // neighbour's mode alone; Mutter takes no gaps or overlaps.
    void neighbourFollows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("below");
        QTest::newRow("x11-right") << "x11" << false;
        QTest::newRow("nested-right") << "nested" << false;
        QTest::newRow("nested-below") << "nested" << true;
    }
    void neighbourFollows()
    {
        QFETCH(QString, name);
        QFETCH(bool, below);
        const Host h = hostFor(name);
        REQUIRE_HOST(h);
        QVERIFY(reset(name));
        QString pinnedName = "LVDS1", other = "LVDS2";
        QList<DisplayMode> sizes{{1280, 720, 32, 60}, {1920, 1080, 32, 60}, {1024, 768, 32, 60}};
        if (name == "x11") {
            pinnedName = "DUMMY0";
            other = "DUMMY1";
            sizes = {valuesOf(h, "DUMMY0", "1400x900@59.964"), valuesOf(h, "DUMMY0", "800x600@60.317"),
                     valuesOf(h, "DUMMY0", "1024x768@59.920")};
            QVERIFY(xrandr(h, {"--addmode", "DUMMY1", "1024x768_75"}) || true);
            QVERIFY(xrandr(h, {"--output", "DUMMY1", "--mode", "1024x768_75", "--right-of", "DUMMY0"}));
            QTRY_VERIFY_WITH_TIMEOUT(state(h).logical("DUMMY1") != nullptr, 10000);
        } else if (below) {
            QVERIFY(foreignApply(h, {{0, 0, 1.0, true, "LVDS1", "1920x1080@60.000"},
                                     {0, 1080, 1.0, false, "LVDS2", "1280x720@60.000"}}));
            QTRY_VERIFY_WITH_TIMEOUT(state(h).logical("LVDS2") && state(h).logical("LVDS2")->y == 1080, 10000);
        }
        const QString otherMode = state(h).monitor(other)->currentId();

        Pinned<GnomeDisplayBackend> backend(bus(h, name));
        QCOMPARE(QString::fromStdString(backend.pinOutput()), pinnedName);
        for (const DisplayMode &size : sizes) {
            QCOMPARE(backend.apply(size), DisplayBackend::ApplyResult::Applied);
            const State s = state(h);
            const Logical *pinned = s.logical(pinnedName);
            const Logical *neighbour = s.logical(other);
            QVERIFY(pinned && neighbour);
            QVERIFY(pinned->primary);
            QCOMPARE(QPoint(pinned->x, pinned->y), QPoint(0, 0));
            QCOMPARE(QPoint(neighbour->x, neighbour->y),
                     below ? QPoint(0, size.PelsHeight) : QPoint(size.PelsWidth, 0));
            QCOMPARE(s.monitor(other)->currentId(), otherMode);
            QCOMPARE(values(*findMode(*s.monitor(pinnedName), s.monitor(pinnedName)->currentId())), size);
        }
        if (name == "x11")
            QVERIFY(xrandr(h, {"--output", "DUMMY1", "--off"}));
    }

    // A (0,0), B (1920,0), C (1920,1080): as A shrinks and grows again only B, which touches
    // A's right edge, moves along; C touches A at a corner only and stays. With C below A
    // no layout keeps everything touching without an overlap: refused, nothing moves.
    void onlyTouchingNeighboursFollow()
    {
        const Host &h = nested3;
        REQUIRE_HOST(h);
        const QString full = "1920x1080@60.000";
        auto arrange = [&](QPoint c) {
            return foreignApply(h, {{0, 0, 1.0, true, "LVDS1", full}, {1920, 0, 1.0, false, "LVDS2", full},
                                    {c.x(), c.y(), 1.0, false, "LVDS3", full}})
                && waitFor([&] { return state(h).logical("LVDS3") && state(h).logical("LVDS3")->x == c.x(); });
        };
        auto places = [&h] {
            const State s = state(h);
            QList<QPoint> out;
            for (const char *c : {"LVDS1", "LVDS2", "LVDS3"})
                out << (s.logical(c) ? QPoint(s.logical(c)->x, s.logical(c)->y) : QPoint(-1, -1));
            return out;
        };
        QVERIFY(arrange({1920, 1080}));
        Pinned<GnomeDisplayBackend> backend(bus(h, "nested3"));
        QCOMPARE(backend.pinOutput(), std::string("LVDS1"));
        QCOMPARE(backend.apply({1280, 720, 32, 60}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(places(), (QList<QPoint>{{0, 0}, {1280, 0}, {1920, 1080}}));
        QCOMPARE(backend.apply({1920, 1080, 32, 60}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(places(), (QList<QPoint>{{0, 0}, {1920, 0}, {1920, 1080}}));
        // In a row, what touches a monitor that moves moves too.
        QVERIFY(arrange({3840, 0}));
        QCOMPARE(backend.apply({1280, 720, 32, 60}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(places(), (QList<QPoint>{{0, 0}, {1280, 0}, {3200, 0}}));

        QVERIFY(arrange({0, 1080}));
        MessageCapture log;
        QCOMPARE(backend.apply({1280, 720, 32, 60}), DisplayBackend::ApplyResult::Refused);
        QCOMPARE(places(), (QList<QPoint>{{0, 0}, {1920, 0}, {0, 1080}}));
        QCOMPARE(log.matching("GNOME: ApplyMonitorsConfig refused").size(), 1);
    }

    // Every monitor in one read; two switched in one ApplyMonitorsConfig, the third left in its
    // mode and the row closed up behind them; an unknown connector spoils the whole apply.
    void severalMonitorsInOneApply()
    {
        const Host &h = nested3;
        REQUIRE_HOST(h);
        const QString full = "1920x1080@60.000";
        QVERIFY(foreignApply(h, {{0, 0, 1.0, true, "LVDS1", full}, {1920, 0, 1.0, false, "LVDS2", full},
                                 {3840, 0, 1.0, false, "LVDS3", full}}));
        QVERIFY(waitFor([&] { return state(h).logical("LVDS3") && state(h).logical("LVDS3")->x == 3840; }));
        Pinned<GnomeDisplayBackend> backend(bus(h, "nested3"));

        std::vector<DisplayOutput> outputs;
        QVERIFY(backend.readOutputs(outputs));
        QCOMPARE(backend.takeCalls(), 1);
        QStringList names, primaries;
        QSet<QString> identities;
        for (const DisplayOutput &o : outputs) {
            names << QString::fromStdString(o.name);
            if (o.primary)
                primaries << QString::fromStdString(o.name);
            QCOMPARE(o.state, DisplayOutput::State::Active);
            QCOMPARE(o.current, (DisplayMode{1920, 1080, 32, 60}));
            QVERIFY(o.hasSerial && !o.label.empty());
            identities << QString::fromStdString(o.identity);
        }
        QCOMPARE(names, (QStringList{"LVDS1", "LVDS2", "LVDS3"}));
        QCOMPARE(primaries, QStringList{"LVDS1"});
        // Mutter's fake monitors differ by their serials.
        QCOMPARE(identities.size(), 3);

        QCOMPARE(backend.applyModes({{"LVDS1", {1280, 720, 32, 60}}, {"LVDS2", {1024, 768, 32, 60}}}),
                 DisplayBackend::ApplyResult::Applied);
        // One read and the apply itself.
        QCOMPARE(backend.takeCalls(), 2);
        const State s = state(h);
        QCOMPARE(s.monitor("LVDS1")->currentId(), QString("1280x720@60.000"));
        QCOMPARE(s.monitor("LVDS2")->currentId(), QString("1024x768@60.000"));
        QCOMPARE(s.monitor("LVDS3")->currentId(), full);
        QCOMPARE(QPoint(s.logical("LVDS2")->x, s.logical("LVDS2")->y), QPoint(1280, 0));
        QCOMPARE(QPoint(s.logical("LVDS3")->x, s.logical("LVDS3")->y), QPoint(1280 + 1024, 0));

        QCOMPARE(backend.applyModes({{"LVDS3", {1280, 720, 32, 60}}, {"LVDS9", {1280, 720, 32, 60}}}),
                 DisplayBackend::ApplyResult::Absent);
        QCOMPARE(backend.takeCalls(), 1);
        QCOMPARE(state(h).serial, s.serial);
        QCOMPARE(state(h).monitor("LVDS3")->currentId(), full);
    }

    // A whole arrangement in one ApplyMonitorsConfig: LVDS1 and LVDS2 change places, LVDS1
    // turns and takes scale 2, LVDS2 becomes primary; LVDS3, not named, keeps its place and
    // mode. A scale the mode does not offer is refused before anything is sent.
    void arrangementInOneApply()
    {
        const Host &h = nested3;
        REQUIRE_HOST(h);
        const QString full = "1920x1080@60.000", hd = "1280x720@60.000";
        QVERIFY(foreignApply(h, {{0, 0, 1.0, true, "LVDS1", full}, {1920, 0, 1.0, false, "LVDS2", full},
                                 {0, 1080, 1.0, false, "LVDS3", hd}}));
        QVERIFY(waitFor([&] { return state(h).logical("LVDS3") && state(h).logical("LVDS3")->y == 1080; }));
        GnomeDisplayBackend backend(bus(h, "nested3"));
        OutputChange first{"LVDS1", {}, std::make_pair(1920, 0), Rotated90, 2.0};
        OutputChange second{"LVDS2", {}, std::make_pair(0, 0), {}, {}, true};
        QCOMPARE(backend.apply({first, second}), DisplayBackend::ApplyResult::Applied);
        // One read and one ApplyMonitorsConfig.
        QCOMPARE(backend.takeCalls(), 2);
        const State s = state(h);
        const Logical *one = s.logical("LVDS1"), *two = s.logical("LVDS2"), *three = s.logical("LVDS3");
        QVERIFY(one && two && three);
        QCOMPARE(QPoint(one->x, one->y), QPoint(1920, 0));
        QCOMPARE(one->transform, int(Rotated90));
        QCOMPARE(one->scale, 2.0);
        QVERIFY(!one->primary);
        QCOMPARE(QPoint(two->x, two->y), QPoint(0, 0));
        QCOMPARE(two->transform, int(Normal));
        QVERIFY(two->primary);
        QCOMPARE(QPoint(three->x, three->y), QPoint(0, 1080));
        QCOMPARE(three->scale, 1.0);
        QCOMPARE(s.monitor("LVDS1")->currentId(), full);
        QCOMPARE(s.monitor("LVDS2")->currentId(), full);
        QCOMPARE(s.monitor("LVDS3")->currentId(), hd);

        // Read back as Mutter has it.
        std::vector<DisplayOutput> outputs;
        QVERIFY(backend.readOutputs(outputs));
        const DisplayOutput *o = nullptr;
        QCOMPARE(DisplayBackend::stateOf(outputs, "LVDS1", &o), DisplayBackend::OutputState::Active);
        QCOMPARE(QPoint(o->x, o->y), QPoint(1920, 0));
        QCOMPARE(o->transform, int(Rotated90));
        QCOMPARE(o->scale, 2.0);
        QVERIFY(!o->primary);
        DisplayBackend::stateOf(outputs, "LVDS2", &o);
        QVERIFY(o->primary);
        DisplayBackend::stateOf(outputs, "LVDS3", &o);
        QCOMPARE(QPoint(o->x, o->y), QPoint(0, 1080));

        backend.takeCalls();
        OutputChange odd{"LVDS3", {}, {}, {}, 1.3};
        MessageCapture log;
        QCOMPARE(backend.apply({odd}), DisplayBackend::ApplyResult::Refused);
        QCOMPARE(backend.takeCalls(), 1);
        QCOMPARE(state(h).serial, s.serial);
        QCOMPARE(log.matching("GNOME: ApplyMonitorsConfig refused: LVDS3 in 1280x720 has no scale 1.3").size(), 1);
    }

    // What Mutter reports of a monitor that an apply can set (underscanning, colour mode, RGB
    // range) comes back as it was, on the monitor switched and on the other. On the X11 host
    // DUMMY1 underscans; Debian 12's Mutter reports nothing of the kind for nested monitors.
    void monitorPropertiesKept_data() { hosts_data(); }
    void monitorPropertiesKept()
    {
        QFETCH(QString, name);
        const Host h = hostFor(name);
        REQUIRE_HOST(h);
        QVERIFY(reset(name));
        QString pinned = "LVDS1";
        DisplayMode target{1280, 720, 32, 60};
        const auto cleanUp = qScopeGuard([&] {
            if (name == "x11") {
                setUnderscan(h, "DUMMY1", false);
                xrandr(h, {"--output", "DUMMY1", "--off"});
            }
        });
        if (name == "x11") {
            pinned = "DUMMY0";
            target = valuesOf(h, "DUMMY0", "1400x900@59.964");
            QVERIFY(setUnderscan(h, "DUMMY1", true));
            // Mutter reads the output anew once it is switched on.
            xrandr(h, {"--addmode", "DUMMY1", "1024x768_75"});
            QVERIFY(xrandr(h, {"--output", "DUMMY1", "--mode", "1024x768_75", "--right-of", "DUMMY0"}));
            QTRY_VERIFY_WITH_TIMEOUT(state(h).monitor("DUMMY1") && state(h).logical("DUMMY1")
                                         && state(h).monitor("DUMMY1")->properties.contains("'is-underscanning': <true>"),
                                     10000);
        }
        const State before = state(h);
        Pinned<GnomeDisplayBackend> backend(bus(h, name));
        QCOMPARE(QString::fromStdString(backend.pinOutput()), pinned);
        QCOMPARE(backend.apply(target), DisplayBackend::ApplyResult::Applied);
        const State after = state(h);
        QVERIFY(after.monitor(pinned)->currentId() != before.monitor(pinned)->currentId());
        QCOMPARE(after.monitors.size(), before.monitors.size());
        for (const Monitor &m : before.monitors) {
            QVERIFY2(!m.properties.isEmpty(), qPrintable(m.connector));
            QCOMPARE(after.monitor(m.connector)->properties, m.properties);
        }
    }

    // The scale stays where the new mode supports it, else it becomes that mode's preferred.
    // The nested host has the logical layout: a monitor at scale 2 is half as wide in it.
    void scaleFollowsTheMode()
    {
        REQUIRE_HOST(nested);
        QVERIFY(resetNested());
        QCOMPARE(state(nested).layoutMode, 1);
        QVERIFY(foreignApply(nested, {{0, 0, 2.0, true, "LVDS1", "1920x1080@60.000"},
                                      {960, 0, 1.0, false, "LVDS2", "1920x1080@60.000"}}));
        QTRY_COMPARE_WITH_TIMEOUT(state(nested).logical("LVDS1")->scale, 2.0, 10000);
        Pinned<GnomeDisplayBackend> backend(bus(nested, "nested"));
        QCOMPARE(backend.pinOutput(), std::string("LVDS1"));
        // 1920x1080 at 59.94 Hz offers scale 2 as well: kept.
        QCOMPARE(backend.apply({1920, 1080, 32, 59}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(state(nested).logical("LVDS1")->scale, 2.0);
        QCOMPARE(state(nested).logical("LVDS2")->x, 960);
        QCOMPARE(state(nested).monitor("LVDS1")->currentId(), QString("1920x1080@59.940"));
        // 1280x720 offers only 1.
        QCOMPARE(backend.apply({1280, 720, 32, 60}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(state(nested).logical("LVDS1")->scale, 1.0);
        QCOMPARE(state(nested).logical("LVDS2")->x, 1280);
        QVERIFY(resetNested());
    }

    // Two modes with the same four values: a re-apply keeps the one in use, a switch takes
    // the first one listed.
    void fractionalTwin()
    {
        REQUIRE_HOST(x11);
        QVERIFY(resetX11());
        // Mutter lists 1024x768 at 59.920 Hz first and at 60.004 Hz later; both are 60 Hz.
        const Monitor before = *state(x11).monitor("DUMMY0");
        QVERIFY(findMode(before, "1024x768@59.920") && findMode(before, "1024x768@60.004"));
        Pinned<GnomeDisplayBackend> backend(bus(x11, "x11"));
        QCOMPARE(backend.pinOutput(), std::string("DUMMY0"));
        DisplayMode m;
        int twins = 0;
        for (int n = 0; backend.mode(n, m); ++n)
            twins += m == DisplayMode{1024, 768, 32, 60};
        QCOMPARE(twins, 2);

        QVERIFY(xrandr(x11, {"--output", "DUMMY0", "--mode", "1024x768", "--rate", "60.00"}));
        QTRY_COMPARE_WITH_TIMEOUT(state(x11).monitor("DUMMY0")->currentId(), QString("1024x768@60.004"), 10000);
        const uint serial = state(x11).serial;
        QCOMPARE(backend.apply({1024, 768, 32, 60}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(state(x11).monitor("DUMMY0")->currentId(), QString("1024x768@60.004"));
        QCOMPARE(state(x11).serial, serial);

        QVERIFY(xrandr(x11, {"--output", "DUMMY0", "--mode", "1024x768", "--rate", "75.03"}));
        QTRY_COMPARE_WITH_TIMEOUT(state(x11).monitor("DUMMY0")->currentId(), QString("1024x768@75.029"), 10000);
        QCOMPARE(backend.apply({1024, 768, 32, 60}), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(state(x11).monitor("DUMMY0")->currentId(), QString("1024x768@59.920"));
    }

    // A change between the read and the request makes the serial stale: read again, once.
    void staleSerial()
    {
        REQUIRE_HOST(x11);
        QVERIFY(resetX11());
        Pinned<GnomeDisplayBackend> backend(bus(x11, "x11"));
        QCOMPARE(backend.pinOutput(), std::string("DUMMY0"));
        int changes = 0;
        auto foreignChange = [this, &changes] {
            const uint serial = state(x11).serial;
            xrandr(x11, {"--output", "DUMMY0", "--mode", changes % 2 ? "800x600_60" : "1280x800"});
            ++changes;
            for (int i = 0; i < 200 && state(x11).serial == serial; ++i)
                QTest::qWait(10);
        };
        bool once = true;
        backend.setBeforeApplyHook([&] {
            if (std::exchange(once, false))
                foreignChange();
        });
        QCOMPARE(backend.apply(valuesOf(x11, "DUMMY0", "1400x900@59.964")), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(changes, 1);
        QCOMPARE(state(x11).monitor("DUMMY0")->currentId(), QString("1400x900@59.964"));

        // Stale again after the re-read: given up, and said so by the result.
        backend.setBeforeApplyHook(foreignChange);
        QCOMPARE(backend.apply({1024, 768, 32, 60}), DisplayBackend::ApplyResult::Failed);
        QCOMPARE(changes, 3);
        QVERIFY(state(x11).monitor("DUMMY0")->currentId() != "1024x768@59.920");
        backend.setBeforeApplyHook(nullptr);
    }

    // The lock restores on Mutter's MonitorsChanged: the poll interval is a minute here.
    void deamonRestoresOnAnnouncement_data() { hosts_data(); }
    void deamonRestoresOnAnnouncement()
    {
        QFETCH(QString, name);
        const Host h = hostFor(name);
        REQUIRE_HOST(h);
        QVERIFY(reset(name));
        QString pinned;
        DisplayMode locked;
        {
            DisplaySettings probe(std::make_unique<GnomeDisplayBackend>(bus(h, name)));
            pinned = probe.outputName();
            locked = probe.currentMode();
        }
        const QString lockedId = state(h).monitor(pinned)->currentId();
        QVERIFY(locked.PelsWidth > 0);
        HeldLock lock(std::make_unique<GnomeDisplayBackend>(bus(h, name)), locked, 60000);
        // Let the start's own look and its announcement pass.
        QTest::qWait(1500);

        const bool applied = name == "x11"
            ? foreignApply(h, {{0, 0, 1.0, true, "DUMMY0", "800x600@60.317"}})
            : foreignApply(h, {{0, 0, 1.0, true, "LVDS1", "1280x720@60.000"},
                               {1280, 0, 1.0, false, "LVDS2", "1920x1080@60.000"}});
        QElapsedTimer clock;
        clock.start();
        QVERIFY(applied);
        const bool restored = waitFor([&] { return state(h).monitor(pinned)->currentId() == lockedId; }, 10000);
        const qint64 took = clock.elapsed();
        const QByteArray lines = lock.log.lines().join('\n').toLocal8Bit();
        QVERIFY2(restored, lines.constData());
        QVERIFY2(took < 5000, QByteArray::number(took).constData());
    }

    // A Mutter that stops answering costs one time-out, not one per call: the calls after it
    // check briefly whether it answers at all. Answering again, it is used at once.
    void stalledMutterCostsOneTimeOut()
    {
        REQUIRE_HOST(x11);
        QVERIFY(resetX11());
        Pinned<GnomeDisplayBackend> backend(bus(x11, "x11"));
        QCOMPARE(backend.pinOutput(), std::string("DUMMY0"));
        const qint64 pid = x11.value("mutter.pid").toLongLong();
        QVERIFY(pid > 0);
        QVERIFY(::kill(pid_t(pid), SIGSTOP) == 0);
        const auto resume = qScopeGuard([pid] { ::kill(pid_t(pid), SIGCONT); });
        QElapsedTimer clock;
        clock.start();
        DisplayMode m;
        // What a trial asks: the mode in use, the apply, the read-back, the way back.
        QCOMPARE(backend.current(m), DisplayBackend::OutputState::Unreadable);
        QCOMPARE(backend.apply(m), DisplayBackend::ApplyResult::Failed);
        QCOMPARE(backend.current(m), DisplayBackend::OutputState::Unreadable);
        QCOMPARE(backend.apply(m), DisplayBackend::ApplyResult::Failed);
        QVERIFY2(clock.elapsed() < 4500, qPrintable(QString::number(clock.elapsed())));
        ::kill(pid_t(pid), SIGCONT);
        QTRY_COMPARE_WITH_TIMEOUT(backend.current(m), DisplayBackend::OutputState::Active, 5000);
    }

    // LVDS1 (primary) and LVDS2 locked at modes of their own, LVDS3 not held: switched by
    // another client, the two held ones come back in one ApplyMonitorsConfig on Mutter's
    // announcement (the poll interval is a minute here); LVDS3 keeps what it was given.
    void everyLockedMonitorHeldOnItsOwn()
    {
        const Host &h = nested3;
        REQUIRE_HOST(h);
        const QString full = "1920x1080@60.000", hd = "1280x720@60.000", xga = "1024x768@60.000";
        QVERIFY(foreignApply(h, {{0, 0, 1.0, true, "LVDS1", full}, {1920, 0, 1.0, false, "LVDS2", hd},
                                 {3200, 0, 1.0, false, "LVDS3", full}}));
        QVERIFY(waitFor([&] { return state(h).logical("LVDS3") && state(h).logical("LVDS3")->x == 3200; }));
        HeldLock lock(std::make_unique<GnomeDisplayBackend>(bus(h, "nested3")), {1920, 1080, 32, 60}, 60000);
        QCOMPARE(lock.catalogue->outputName(), QString("LVDS1"));
        QVERIFY(lock.holdMonitor("LVDS2", {1280, 720, 32, 60}));
        // Let the start's own look and its announcement pass.
        QTest::qWait(1500);
        QCOMPARE(lock.applies(), QStringList());

        Announcements announced(h);
        QVERIFY(foreignApply(h, {{0, 0, 1.0, true, "LVDS1", hd}, {1280, 0, 1.0, false, "LVDS2", xga},
                                 {2304, 0, 1.0, false, "LVDS3", hd}}));
        const bool restored = waitFor([&] {
            const State s = state(h);
            return s.monitor("LVDS1")->currentId() == full && s.monitor("LVDS2")->currentId() == hd;
        }, 5000);
        QVERIFY2(restored, lock.log.lines().join('\n').toLocal8Bit().constData());
        QTest::qWait(1000);
        const State s = state(h);
        QCOMPARE(s.monitor("LVDS1")->currentId(), full);
        QCOMPARE(s.monitor("LVDS2")->currentId(), hd);
        QCOMPARE(s.monitor("LVDS3")->currentId(), hd);
        // The other client's configuration and one of ours.
        QCOMPARE(announced.count, 2);
        QCOMPARE(lock.applies(), QStringList({"applyDisplaySetting():32 1920 1080 60",
                                              "applyDisplaySetting():32 1280 720 60"}));
    }

    // Mutter gone: every call fails and nothing crashes; back again, the backend uses it and
    // announces it. Back under a policy that forbids D-Bus configuration: refused, said once.
    void mutterGoneAndBack()
    {
        REQUIRE_HOST(x11);
        QVERIFY(resetX11());
        Pinned<GnomeDisplayBackend> backend(bus(x11, "x11"));
        QCOMPARE(backend.pinOutput(), std::string("DUMMY0"));
        std::atomic<int> announced{0};
        backend.setChangeCallback([&announced] { ++announced; });

        const QString policyDir = x11.dir + "/system-config";
        auto restart = [&](bool forbid) {
            QDir(policyDir).removeRecursively();
            if (forbid) {
                QDir().mkpath(policyDir);
                QFile f(policyDir + "/monitors.xml");
                if (!f.open(QIODevice::WriteOnly))
                    return false;
                f.write("<monitors version=\"2\"><policy><dbus>no</dbus></policy></monitors>\n");
            }
            return script(x11, "start-mutter");
        };

        const DisplayMode big = valuesOf(x11, "DUMMY0", "1400x900@59.964");
        const DisplayMode small = valuesOf(x11, "DUMMY0", "800x600@60.317");
        QVERIFY(script(x11, "kill-mutter"));
        DisplayMode m;
        QCOMPARE(backend.current(m), DisplayBackend::OutputState::Unreadable);
        QCOMPARE(backend.availability(big), DisplayBackend::OutputState::Unreadable);
        QCOMPARE(backend.apply(big), DisplayBackend::ApplyResult::Failed);
        QVERIFY(!backend.mode(0, m));

        announced = 0;
        {
            MessageCapture capture;
            QVERIFY(restart(true));
            QTRY_VERIFY_WITH_TIMEOUT(announced > 0, 5000);
            QCOMPARE(backend.current(m), DisplayBackend::OutputState::Active);
            QVERIFY(backend.mode(0, m));
            QCOMPARE(backend.apply(big), DisplayBackend::ApplyResult::Refused);
            QCOMPARE(backend.apply(small), DisplayBackend::ApplyResult::Refused);
            QCOMPARE(capture.matching("GNOME: ApplyMonitorsConfigAllowed is false").size(), 1);
            QVERIFY(state(x11).monitor("DUMMY0")->currentId() == "1024x768@59.920");
        }

        QVERIFY(script(x11, "kill-mutter"));
        QVERIFY(restart(false));
        QCOMPARE(backend.apply(big), DisplayBackend::ApplyResult::Applied);
        QCOMPARE(state(x11).monitor("DUMMY0")->currentId(), QString("1400x900@59.964"));
        QVERIFY(resetX11());
    }
};

QTEST_GUILESS_MAIN(TestGnomeDisplay)
#include "tst_gnomedisplay.moc"
