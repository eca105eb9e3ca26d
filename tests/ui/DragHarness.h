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
#include <QWindow>

#include <memory>
#include <optional>

namespace cw::test {

// Runs an external X client to completion while this process keeps handling its own events, which it
// must: the panel has to see the pointer the client moves. Returns its standard output, or nothing
// when it failed or took longer than timeoutMs.
inline std::optional<QString> runClient(const QString& program, const QStringList& args, int timeoutMs = 30000) {
    QProcess process;
    process.start(program, args);
    if (!process.waitForStarted(5000))
        return std::nullopt;
    QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
        QTest::qWait(20);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

// A press at `from`, then the pointer moved to `to` in `steps` moves 0.1 s apart, then a release: the
// way a hand drags. The first moves are short so the drag starts where it was pressed; XDND only
// follows a pointer that really moves over the target, so the last moves wiggle inside it.
inline QStringList dragGesture(const QPoint& from, const QPoint& to, int steps = 10) {
    QStringList args{
        "mousemove", QString::number(from.x()), QString::number(from.y()), "sleep", "0.2", "mousedown", "1", "sleep",
        "0.1"};
    const auto moveTo = [&args](const QPoint& p) {
        args << "mousemove" << QString::number(p.x()) << QString::number(p.y()) << "sleep"
             << "0.1";
    };
    const QPoint delta = to - from;
    for (int i = 1; i <= steps; ++i) {
        // Ease in: 1/100, 4/100, 9/100, ... of the way, so the first steps are a few points each.
        const qreal t = qreal(i * i) / qreal(steps * steps);
        moveTo(from + QPoint(qRound(delta.x() * t), qRound(delta.y() * t)));
    }
    moveTo(to + QPoint(3, 2));
    moveTo(to);
    args << "sleep"
         << "0.5"
         << "mouseup"
         << "1"
         << "sleep"
         << "0.2";
    return args;
}

// The drop target: its own process and X connection, logging every drag that reaches it.
class DropTarget {
public:
    DropTarget(const QString& logPath, const QRect& geometry) : m_log(logPath) {
        m_process.start(QStringLiteral(CW_DROP_TARGET),
                        {logPath, QString::number(geometry.x()), QString::number(geometry.y()),
                         QString::number(geometry.width()), QString::number(geometry.height())});
    }
    ~DropTarget() {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000)) {
                m_process.kill();
                m_process.waitForFinished(5000);
            }
        }
    }

    // The X window id once the target's window is on screen, 0 if it never got there.
    quint64 waitReady(int timeoutMs = 15000) {
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            m_out += m_process.readAllStandardOutput();
            const qsizetype at = m_out.indexOf("ready ");
            if (at >= 0 && m_out.indexOf('\n', at) > at)
                return m_out.mid(at + 6, m_out.indexOf('\n', at) - at - 6).toULongLong();
            QTest::qWait(20);
        }
        return 0;
    }

    QList<QJsonObject> events(const QString& kind = QString()) const {
        QList<QJsonObject> result;
        QFile file(m_log);
        if (!file.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (!event.isEmpty() && (kind.isEmpty() || event.value("event").toString() == kind))
                result.append(event);
        }
        return result;
    }

    void clearLog() const { QFile::remove(m_log); }

private:
    QString m_log;
    QProcess m_process;
    QByteArray m_out;
};

inline QStringList urlsOf(const QJsonObject& event) {
    QStringList urls;
    for (const QJsonValue& url : event.value("urls").toArray())
        urls.append(url.toString());
    return urls;
}

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
    const TestTree& tree() const { return m_tree; }

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
