#pragma once
// A Wayland server that offers only the output-management protocols of KDE and wlroots, over
// outputs read from a JSON file: the test double for the display backends on those desktops.
// SIGHUP re-reads the file; every change of state is written to <file>.state for the test.
#include "CompositorState.h"

#include <QString>
#include <QStringList>

#include <memory>

struct wl_display;
struct wl_event_loop;
struct wl_event_source;
class KdeOutputServer;
class WlrOutputServer;

class TestCompositor
{
public:
    enum Protocol { Kde = 1, Wlr = 2 };

    TestCompositor(const QString &configPath, int protocols);
    ~TestCompositor();
    TestCompositor(const TestCompositor &) = delete;
    TestCompositor &operator=(const TestCompositor &) = delete;

    // Reads the configuration and listens on $XDG_RUNTIME_DIR/<socket>; false with *error set.
    bool start(const QString &socket, QString *error);
    // Serves until SIGTERM or SIGINT.
    void run();

    wl_display *display() const { return m_display; }
    wl_event_loop *loop() const;
    const CompositorState &state() const { return m_state; }

    // For the protocol servers: an apply request arrived.
    void countRequest();
    // True once after a reload that set staleOnce.
    bool takeStaleOnce();
    // A configuration took effect: `next` is announced to every client. `heads`: the wlr heads
    // or KDE devices it named.
    void commit(const CompositorState &next, const QStringList *heads);
    // A configuration was answered without effect.
    void record(CompositorState::Answer answer);

private:
    static int onSignal(int signal, void *data);
    void reload();
    void replace(const CompositorState &next);
    void writeState() const;

    QString m_configPath;
    int m_protocols;
    CompositorState m_state;
    wl_display *m_display = nullptr;
    wl_event_source *m_signals[3] = {};
    std::unique_ptr<KdeOutputServer> m_kde;
    std::unique_ptr<WlrOutputServer> m_wlr;
    int m_requests = 0;
    int m_answers[3] = {}; // by CompositorState::Answer
    QStringList m_lastHeads;
};
