#include "DisplayPlatform.h"

#include "FakeDisplayBackend.h"
#ifdef _WIN32
#include "Win32DisplayBackend.h"
#else
#include "GnomeDisplayBackend.h"
#include "KdeDisplayBackend.h"
#include "WlrootsDisplayBackend.h"
#include "X11DisplayBackend.h"
#endif

#include <QDebug>
#include <QString>

std::unique_ptr<DisplayBackend> DisplayPlatform::create()
{
    const QString fake = qEnvironmentVariable("VELMORA_FAKE_DISPLAY");
    if (!fake.isEmpty()) {
        QString error;
        std::unique_ptr<DisplayBackend> backend = FakeDisplayBackend::fromJsonFile(fake, &error);
        if (backend)
            return backend;
        // A broken test fixture must not silently fall through to the real display.
        qWarning().noquote() << "VELMORA_FAKE_DISPLAY:" << error << "- using an empty fake display";
        return std::make_unique<FakeDisplayBackend>();
    }
#ifdef _WIN32
    return std::make_unique<Win32DisplayBackend>();
#else
    const QString forced = qEnvironmentVariable("VELMORA_DISPLAY_BACKEND");
    if (forced == QLatin1String("gnome"))
        return std::make_unique<GnomeDisplayBackend>();
    if (forced == QLatin1String("x11"))
        return std::make_unique<X11DisplayBackend>();
    if (forced == QLatin1String("kde"))
        return std::make_unique<KdeDisplayBackend>();
    if (forced == QLatin1String("wlroots"))
        return std::make_unique<WlrootsDisplayBackend>();
    if (!forced.isEmpty())
        qWarning().noquote() << "VELMORA_DISPLAY_BACKEND:" << forced
                             << "is none of gnome, x11, kde, wlroots - choosing by the session";

    // An X server whose RandR is real: X11, GNOME on X11 included (Mutter leaves RandR
    // changes by others alone there, and RandR is the faster way). XWayland's RandR is
    // emulated per client and changes nothing, so on GNOME's Wayland session Mutter's own
    // interface is the one that works.
    QString why;
    const QString display = qEnvironmentVariable("DISPLAY");
    if (display.isEmpty()) {
        why = QStringLiteral("no X server (DISPLAY is not set)");
    } else {
        auto x11 = std::make_unique<X11DisplayBackend>();
        std::vector<DisplayOutput> outputs;
        if (!x11->readOutputs(outputs))
            outputs.clear();
        const QString output = QString::fromStdString(DisplayBackend::primaryOf(outputs));
        if (output.startsWith(QLatin1String("XWAYLAND")))
            why = QStringLiteral("the X server %1 is XWayland, whose modes are emulated").arg(display);
        else if (output.isEmpty())
            why = QStringLiteral("the X server %1 has no RandR output in use").arg(display);
        else
            return x11;
    }
    if (GnomeDisplayBackend::serviceRegistered())
        return std::make_unique<GnomeDisplayBackend>();
    // Other Wayland compositors, by the output-management protocol they offer.
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        auto kde = std::make_unique<KdeDisplayBackend>();
        if (kde->offered())
            return kde;
        auto wlroots = std::make_unique<WlrootsDisplayBackend>();
        if (wlroots->offered())
            return wlroots;
    }
    qDebug().noquote() << QStringLiteral("no display platform for this session (XDG_SESSION_TYPE=%1, "
                                         "XDG_CURRENT_DESKTOP=%2): %3, %4 is not on the session bus, "
                                         "and no Wayland compositor offers KDE's or wlroots' output management")
                              .arg(qEnvironmentVariable("XDG_SESSION_TYPE"),
                                   qEnvironmentVariable("XDG_CURRENT_DESKTOP"), why,
                                   QString::fromLatin1(GnomeDisplayBackend::Service));
    return nullptr;
#endif
}
