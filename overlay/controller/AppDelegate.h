#pragma once
// AppDelegate: the one controller of the overlay. It owns all run-time state (the panel and its views,
// the picks last received, the operator modes, the engine process it started) and its methods are the
// panel's actions. Everything here runs on the main thread, inside the application loop; the only
// work elsewhere is the update check and the decoding of poll bodies, whose results come back by
// queued calls.
//
// The methods are defined by the subsystem they belong to:
//   controller/AppDelegate.cpp     construction, launch sequence, termination
//   controller/EngineLink.cpp      ping, spawn, recover
//   controller/FeedPolling.cpp     refresh and its completion
//   controller/UpdateCheck.cpp     checkForUpdate, runJSON, openUpdate, reopenSetup
//   feed/FeedApply.cpp             apply
//   feed/Render.cpp                render, fillFresh, momentFilter
//   feed/Modes.cpp                 toggleProven, variation, cycleMoment, togglePanic
//   ui/PanelLayout.cpp             build, mkBtn
//   ui/PanelPosition.cpp           savePos, toggleLock, initial placement

#include "feed/FeedReader.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

class QNetworkAccessManager;
class QThreadPool;
class QTimer;

namespace cw {

class DragRow;
class EngineProcess;
class KeyPanel;
class TextLabel;
class TintButton;

struct Moment {
    QString id;
    QString label;
    bool operator==(const Moment&) const = default;
};

class AppDelegate : public QObject {
    Q_OBJECT
public:
    AppDelegate();
    ~AppDelegate() override;

    // --- state, in the order of the controller's field table ---
    KeyPanel* panel = nullptr;
    QList<DragRow*> rows;
    QList<DragRow*> freshRows;
    TextLabel* nowTitle = nullptr;
    TextLabel* nowMeta = nullptr;
    TextLabel* nxLab = nullptr;
    TextLabel* rutLab = nullptr;
    TintButton* btnVar = nullptr;
    TintButton* btnProven = nullptr;
    TintButton* btnMoment = nullptr;
    TintButton* btnPanic = nullptr;
    TintButton* btnLock = nullptr;
    TintButton* btnUpdate = nullptr;
    QString updateURL;
    std::unique_ptr<EngineProcess> pyProc;
    PickList fullNext;
    PickList fullFresh;
    PickList fullBangers;
    bool provenOnly = false;
    bool panic = false;
    bool locked = false;
    qint64 page = 0;
    qint64 moment = 0;
    qint64 failCount = 0;
    QString curPath;
    bool everConnected = false;
    QList<Moment> cats;

    // --- lifecycle ---
    void applicationDidFinishLaunching();
    // Runs once, however often it is called: asks the engine we started to stop, without waiting.
    void applicationWillTerminate();

    // --- engine link ---
    // Whether the feed answers 200 now; blocks the caller for at most one second and runs no events.
    bool ping();
    void spawn();
    void recover();

    // --- polling ---
    void refresh();
    // The poll interval; 2 s in the product, shortened only by tests and benchmarks.
    int pollIntervalMs = 2000;

    // --- update check and setup ---
    void checkForUpdate();
    // Runs PY with arguments in DIR and decodes its standard output as one JSON object; {} on any failure.
    static QJsonObject runJSON(const QString& python, const QString& dir, const QStringList& arguments);

    // --- feed application and rendering ---
    void apply(const QJsonObject& document);
    void render();
    void fillFresh();
    PickList momentFilter(const PickList& list) const;

    // --- panel ---
    void build();
    TintButton* mkBtn(qreal x, qreal width, const QString& title, void (AppDelegate::*action)());

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

    // The shell that runs the start script's setup mode; "/bin/bash" in the product.
    QString setupShell = QStringLiteral("/bin/bash");

    // The product's download page: the first update address and the fallback of the update report.
    static QString downloadPage();

signals:
    // Emitted on the main thread after each poll has been judged (good or failed).
    void pollFinished(bool good);
    // Emitted after recover() has run.
    void recovered();
    // Emitted on the main thread once the update check's answer has been acted on (available or not).
    void updateCheckFinished(bool available);

private:
    void decodeInBackground(const QByteArray& body);
    void judgePoll(const std::optional<QJsonObject>& document);
    void placePanelInitially();

    QNetworkAccessManager* m_net = nullptr;
    // One thread that decodes poll bodies, one at a time and in the order the polls ended.
    QThreadPool* m_decoder = nullptr;
    QTimer* m_timer = nullptr;
    bool m_terminated = false;
};

} // namespace cw
