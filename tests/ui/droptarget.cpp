// cw_droptarget: a separate X client that stands in for the DJ software in drag tests. It shows one
// ordinary window that accepts drops and appends one JSON line per drag event to a log file:
//   {"event":"enter"|"drop", "urls":[...], "proposed":n, "possible":n, "action":n}
// Usage: cw_droptarget <log file> <x> <y> <width> <height>
// Once its window is exposed it prints "ready <window id>" on standard output.

#include <QApplication>
#include <QDropEvent>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMimeData>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <QWindow>

#include <cstdio>

namespace {

class Target : public QWidget {
public:
    explicit Target(const QString& logPath) : m_logPath(logPath) { setAcceptDrops(true); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override {
        log("enter", event, Qt::IgnoreAction);
        event->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent* event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent* event) override {
        event->acceptProposedAction();
        log("drop", event, event->dropAction());
    }

private:
    void log(const char* kind, const QDropEvent* event, Qt::DropAction action) {
        QJsonArray urls;
        for (const QUrl& url : event->mimeData()->urls())
            urls.append(url.toString());
        const QJsonObject line{{"event", kind},
                               {"urls", urls},
                               {"proposed", int(event->proposedAction())},
                               {"possible", int(event->possibleActions())},
                               {"action", int(action)}};
        QFile file(m_logPath);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append))
            file.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    }

    QString m_logPath;
};

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: cw_droptarget <log> <x> <y> <width> <height>\n");
        return 2;
    }
    Target target(args[1]);
    target.setGeometry(args[2].toInt(), args[3].toInt(), args[4].toInt(), args[5].toInt());
    target.show();
    // Announce the window once it is really on screen, so the test can aim at it.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!target.windowHandle() || !target.windowHandle()->isExposed())
            return;
        poll.stop();
        std::printf("ready %llu\n", static_cast<unsigned long long>(target.winId()));
        std::fflush(stdout);
    });
    poll.start(20);
    return app.exec();
}
