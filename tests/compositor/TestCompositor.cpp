#include "TestCompositor.h"

#include "KdeOutputServer.h"
#include "WlrOutputServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <wayland-server-core.h>

#include <csignal>

TestCompositor::TestCompositor(const QString &configPath, int protocols)
    : m_configPath(configPath)
    , m_protocols(protocols)
{
}

TestCompositor::~TestCompositor()
{
    if (!m_display)
        return;
    // Clients first: their objects point into the servers.
    wl_display_destroy_clients(m_display);
    m_kde.reset();
    m_wlr.reset();
    for (wl_event_source *source : m_signals) {
        if (source)
            wl_event_source_remove(source);
    }
    wl_display_destroy(m_display);
}

wl_event_loop *TestCompositor::loop() const
{
    return wl_display_get_event_loop(m_display);
}

bool TestCompositor::start(const QString &socket, QString *error)
{
    auto state = CompositorState::load(m_configPath, error);
    if (!state) {
        *error = m_configPath + QLatin1String(": ") + *error;
        return false;
    }
    m_state = *state;
    m_display = wl_display_create();
    if (!m_display) {
        *error = QStringLiteral("cannot create the Wayland display");
        return false;
    }
    // Blocked and read through a signalfd from here on, so none is lost before the loop runs.
    const int handled[] = {SIGHUP, SIGTERM, SIGINT};
    for (int i = 0; i < 3; ++i)
        m_signals[i] = wl_event_loop_add_signal(loop(), handled[i], &TestCompositor::onSignal, this);
    if (wl_display_add_socket(m_display, socket.toLocal8Bit().constData()) != 0) {
        *error = QStringLiteral("cannot listen on %1 in XDG_RUNTIME_DIR").arg(socket);
        return false;
    }
    if (m_protocols & Kde)
        m_kde = std::make_unique<KdeOutputServer>(*this);
    if (m_protocols & Wlr)
        m_wlr = std::make_unique<WlrOutputServer>(*this);
    writeState();
    return true;
}

void TestCompositor::run()
{
    wl_display_run(m_display);
}

int TestCompositor::onSignal(int signal, void *data)
{
    auto *self = static_cast<TestCompositor *>(data);
    if (signal == SIGHUP)
        self->reload();
    else
        wl_display_terminate(self->m_display);
    return 0;
}

void TestCompositor::reload()
{
    QString error;
    const auto next = CompositorState::load(m_configPath, &error);
    if (!next) {
        qWarning("velmora-test-compositor: %s: %s; keeping the previous configuration",
                 qPrintable(m_configPath), qPrintable(error));
        return;
    }
    replace(*next);
    writeState();
}

// Written at once: with applyDelayMs a test sees the request arrive before its answer.
void TestCompositor::countRequest()
{
    ++m_requests;
    writeState();
}

bool TestCompositor::takeStaleOnce()
{
    const bool stale = m_state.staleOnce;
    m_state.staleOnce = false;
    return stale;
}

void TestCompositor::commit(const CompositorState &next, const QStringList *heads)
{
    ++m_answers[int(CompositorState::Answer::Succeeded)];
    if (heads)
        m_lastHeads = *heads;
    replace(next);
    writeState();
}

void TestCompositor::record(CompositorState::Answer answer)
{
    ++m_answers[int(answer)];
    writeState();
}

void TestCompositor::replace(const CompositorState &next)
{
    const CompositorState before = m_state;
    m_state = next;
    if (m_kde)
        m_kde->publish(before);
    if (m_wlr)
        m_wlr->publish(before);
}

void TestCompositor::writeState() const
{
    QJsonObject root = m_state.toJson();
    root.insert("applied", m_answers[int(CompositorState::Answer::Succeeded)]);
    root.insert("failed", m_answers[int(CompositorState::Answer::Failed)]);
    root.insert("cancelled", m_answers[int(CompositorState::Answer::Cancelled)]);
    root.insert("lastHeads", QJsonArray::fromStringList(m_lastHeads));
    root.insert("requests", m_requests);
    QSaveFile file(m_configPath + QLatin1String(".state"));
    if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(root).toJson(QJsonDocument::Compact)) < 0 || !file.commit())
        qWarning("velmora-test-compositor: cannot write %s: %s", qPrintable(file.fileName()),
                 qPrintable(file.errorString()));
}
