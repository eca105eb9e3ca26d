#pragma once
// Shared by the Xvfb tests of the panel: the real panel built in-process, a drop target running as a
// separate X client, and xdotool driving the real pointer. Main thread only.

#include "config/Settings.h"
#include "controller/AppDelegate.h"
#include "support/TestTree.h"
#include "ui/DragRow.h"
#include "ui/KeyPanel.h"
#include "ui/PositionFile.h"
#include "ui/TextLabel.h"

#include <QApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScreen>
#include <QTest>

#include <memory>
#include <optional>

namespace cw::test {

// Runs an external X client to completion while this process keeps handling its own events (the panel
// must see the pointer the client moves). Its standard output, or nothing when it failed or timed out.
inline std::optional<QString> runClient(const QString& program, const QStringList& args, int timeoutMs = 30000) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted(5000))
        return std::nullopt;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

inline bool xdo(const QStringList& args) {
    return runClient(QStringLiteral("xdotool"), args).has_value();
}

// A hand's drag: press at `from`, moves 0.1 s apart easing in (so the drag starts where it was pressed),
// a wiggle at `to` (XDND follows only a pointer that really moves over the target), then release.
inline bool drag(const QPoint& from, const QPoint& to, int steps = 10) {
    QStringList args;
    const auto moveTo = [&args](const QPoint& p, const char* pause = "0.1") {
        args << "mousemove" << QString::number(p.x()) << QString::number(p.y()) << "sleep" << pause;
    };
    moveTo(from, "0.2");
    args += QStringList{"mousedown", "1", "sleep", "0.1"};
    for (int i = 1; i <= steps; ++i) {
        const qreal t = qreal(i * i) / qreal(steps * steps);
        moveTo(from + (to - from) * t);
    }
    moveTo(to + QPoint(3, 2));
    moveTo(to, "0.5");
    args += QStringList{"mouseup", "1", "sleep", "0.2"};
    return xdo(args);
}

// A point of a row in its own coordinates: the centre of its title, rank or detail label, or its margin.
inline QPoint spot(const DragRow* row, const QString& part) {
    if (part == QLatin1String("margin"))
        return QPoint(4, row->height() / 2);
    const TextLabel* label = part == QLatin1String("rank")   ? row->rank
                             : part == QLatin1String("meta") ? row->meta
                                                             : row->title;
    return label->geometry().center();
}

// The drop target: its own process and X connection, logging every drag event that reaches it.
class DropTarget {
public:
    DropTarget(const QString& logPath, const QRect& g) : m_log(logPath) {
        m_process.start(QStringLiteral(CW_DROP_TARGET), {logPath, QString::number(g.x()), QString::number(g.y()),
                                                         QString::number(g.width()), QString::number(g.height())});
    }
    ~DropTarget() {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    // The X window id once the target's window is on screen, 0 if it never got there.
    quint64 waitReady(int timeoutMs = 15000) {
        const bool answered = QTest::qWaitFor(
            [&] {
                m_out += m_process.readAllStandardOutput();
                return m_out.contains('\n') || m_process.state() == QProcess::NotRunning;
            },
            timeoutMs);
        return answered && m_out.startsWith("ready ") ? m_out.mid(6).trimmed().toULongLong() : 0;
    }

    QList<QJsonObject> events(const QString& kind = QString()) const {
        QList<QJsonObject> result;
        QFile file(m_log);
        if (file.open(QIODevice::ReadOnly))
            for (const QByteArray& line : file.readAll().split('\n')) {
                const QJsonObject event = QJsonDocument::fromJson(line).object();
                if (!event.isEmpty() && (kind.isEmpty() || event.value("event").toString() == kind))
                    result.append(event);
            }
        return result;
    }
    // The URLs of the only drop so far; empty unless there was exactly one.
    QStringList droppedUrls() const {
        const QList<QJsonObject> drops = events(QStringLiteral("drop"));
        QStringList urls;
        if (drops.size() == 1)
            for (const QJsonValue& url : drops.first().value("urls").toArray())
                urls.append(url.toString());
        return urls;
    }

    void clearLog() const { QFile::remove(m_log); }

private:
    QString m_log;
    QProcess m_process;
    QByteArray m_out;
};

// The panel as cueview builds it, from the settings of a throw-away tree.
class BuiltPanel {
public:
    BuiltPanel() {
        m_tree.install();
        m_delegate = std::make_unique<AppDelegate>();
        m_delegate->build();
    }
    AppDelegate& delegate() { return *m_delegate; }
    KeyPanel* panel() const { return m_delegate->panel; }

    QString positionFile() const {
        QFile file(settings().POS);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // What savePos should have written for the panel where it is now.
    QString expectedPositionFile() const {
        return formatPosition(
            originOf(panel()->pos(), QSizeF(panel()->size()), QGuiApplication::primaryScreen()->geometry()));
    }

private:
    TestTree m_tree;
    std::unique_ptr<AppDelegate> m_delegate;
};

} // namespace cw::test
