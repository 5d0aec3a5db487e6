#include "DisplayBackend.h"

#include "FakeDisplayBackend.h"
#ifdef _WIN32
#include "Win32DisplayBackend.h"
#else
#include "X11DisplayBackend.h"
#endif

#include <QDebug>
#include <QString>

std::unique_ptr<DisplayBackend> DisplayBackend::create()
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
    return std::make_unique<X11DisplayBackend>();
#endif
}
