#pragma once
// AppDelegate: the one controller of the overlay. It owns all run-time state: what the feed said and the
// operator's modes (two plain values, feed/FeedState.h), the view last shown (feed/PanelView.h), the
// panel's widgets (ui/Panel.h), the handle of the engine it started, and the network objects. Its
// methods are the launch and poll sequences and every action of the panel.
//
// Threads: everything here runs on the main thread, inside the application loop. Two kinds of work run
// elsewhere and touch no state: decoding and reading poll bodies (one decoder thread, which also frees
// the lists a document replaced) and the update check (a thread of its own); their results come back by
// queued calls.
//
// The method bodies, by subsystem, all in controller/:
//   AppDelegate.cpp    construction, launch sequence, termination, build
//   PanelActions.cpp   apply, render, the mode actions, toggleLock, savePos
//   EngineLink.cpp     ping, spawn, recover
//   FeedPolling.cpp    refresh and the judgement of its answer
//   UpdateCheck.cpp    checkForUpdate, runJSON, openUpdate, reopenSetup

#include "feed/FeedState.h"
#include "feed/PanelView.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QThreadPool;
class QTimer;

namespace cw {

class EngineProcess;
class Panel;

class AppDelegate : public QObject {
    Q_OBJECT
public:
    AppDelegate();
    ~AppDelegate() override;

    // --- lifecycle ---
    void applicationDidFinishLaunching();
    // Runs once, however often it is called: asks the engine we started to stop, and kills it (and any
    // replaced one still running) if it has not ended within a second.
    void applicationWillTerminate();

    // --- engine link ---
    // Whether the feed answers 200 now; blocks the caller for at most one second and runs no events.
    bool ping();
    void spawn();
    void recover();

    // --- polling ---
    void refresh();
    // The poll interval; 2 s in the product, shortened only by tests and benchmarks before launching.
    void setPollInterval(int ms) { m_pollIntervalMs = ms; }

    // --- update check and setup ---
    void checkForUpdate();
    // Runs PY with arguments in DIR and decodes its standard output as one JSON object (decodeJsonObject,
    // feed/FeedReader.h); {} on any failure.
    static QJsonObject runJSON(const QString& python, const QString& dir, const QStringList& arguments);
    // The product's download page: the first update address and the fallback of the update report.
    static QString downloadPage();
    // The shell that runs the start script's setup mode; "/bin/bash" in the product.
    void setSetupShell(const QString& shell) { m_setupShell = shell; }

    // --- feed application and rendering ---
    void apply(const QJsonObject& document);
    // The lists the state lets go are freed on the decoder thread: millions of picks take a while to free.
    void apply(FeedDocument document);
    void render();

    // --- panel ---
    // Builds the panel's widgets, places the window and shows it. Before this the state is kept and the
    // view computed all the same; nothing is drawn.
    void build();

    // --- button actions and the move observer ---
    void quit();
    void reopenSetup();
    void toggleProven();
    void variation();
    void cycleMoment();
    void togglePanic();
    void openUpdate();
    void toggleLock();
    void savePos();

    // --- the state, read-only ---
    const FeedState& feed() const { return m_feed; }
    const Modes& modes() const { return m_modes; }
    const PanelView& view() const { return m_view; }
    Panel* panel() const { return m_panel.get(); }
    const EngineProcess* pyProc() const { return m_pyProc.get(); }
    qint64 failCount() const { return m_failCount; }
    bool everConnected() const { return m_everConnected; }
    const QString& updateURL() const { return m_updateURL; }

signals:
    // Emitted on the main thread after each poll has been judged (good or failed).
    void pollFinished(bool good);
    // Emitted after recover() has run.
    void recovered();
    // Emitted on the main thread once the update check's answer has been acted on (available or not).
    void updateCheckFinished(bool available);

private:
    void show(const PanelView& view);
    void decodeInBackground(const QByteArray& body);
    void judgePoll(std::optional<FeedDocument> document);

    std::unique_ptr<Panel> m_panel;
    QString m_updateURL;
    std::unique_ptr<EngineProcess> m_pyProc;
    FeedState m_feed;
    Modes m_modes;
    PanelView m_view;
    // Failed polls since the last good one or the last recovery, and whether any poll was ever good.
    qint64 m_failCount = 0;
    bool m_everConnected = false;

    int m_pollIntervalMs = 2000;
    QString m_setupShell = QStringLiteral("/bin/bash");
    QNetworkAccessManager* m_net = nullptr;
    // One thread that decodes poll bodies, one at a time and in the order the polls ended.
    QThreadPool* m_decoder = nullptr;
    QTimer* m_timer = nullptr;
    bool m_terminated = false;
};

} // namespace cw
