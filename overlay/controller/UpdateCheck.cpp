// The update check, the update button's action and the setup re-open.
//
// The check runs once, on a worker thread of its own that nothing ever waits for: a hung update script
// blocks only that thread, and quitting (which ends the process without joining threads) never waits for
// it. The worker touches no controller state; its answer reaches the controller by a queued call on the
// main thread, through a weak reference. openUpdate and reopenSetup run on the main thread.

#include "controller/AppDelegate.h"

#include "config/Settings.h"
#include "feed/FeedReader.h"
#include "ui/Panel.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QJsonValue>
#include <QPointer>
#include <QThread>
#include <QUrl>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <thread>
#include <vector>

extern char** environ;

namespace cw {

namespace {

// A pipe whose ends no other child inherits: the engine may be started on the main thread while the update
// script runs, and an engine holding the write end would keep the read below from ever seeing its end.
bool privatePipe(int fds[2]) {
#if defined(__linux__)
    return pipe2(fds, O_CLOEXEC) == 0;
#else
    if (pipe(fds) != 0)
        return false;
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

struct Argv {
    std::vector<QByteArray> storage;
    std::vector<char*> pointers;
    explicit Argv(const QStringList& arguments) {
        for (const QString& argument : arguments)
            storage.push_back(QFile::encodeName(argument));
        for (QByteArray& argument : storage)
            pointers.push_back(argument.data());
        pointers.push_back(nullptr);
    }
};

// Starts program with arguments, environment inherited; -1 when it cannot be started. The file actions
// (may be null) place the child's standard streams and working directory.
pid_t spawnProgram(const QString& program, const QStringList& arguments, const posix_spawn_file_actions_t* actions) {
    const QByteArray path = QFile::encodeName(program);
    Argv argv(QStringList{program} + arguments);
    pid_t pid = -1;
    if (posix_spawn(&pid, path.constData(), actions, nullptr, argv.pointers.data(), environ) != 0)
        return -1;
    return pid;
}

void reap(pid_t pid) {
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

} // namespace

void AppDelegate::checkForUpdate() {
    const QPointer<AppDelegate> self(this);
    const QString python = settings().PY;
    const QString dir = settings().DIR;
    const QString updateScript = script(QStringLiteral("update_check"));
    QThread* worker = QThread::create([self, python, dir, updateScript] {
        if (!self)
            return;
        const QJsonObject report = runJSON(python, dir, {updateScript});
        const QJsonValue available = report.value(QLatin1String("available"));
        const bool update = available.isBool() && available.toBool();
        const QJsonValue url = report.value(QLatin1String("url"));
        const QString address = url.isString() ? url.toString() : downloadPage();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, update, address] {
                if (!self)
                    return;
                if (update) {
                    self->m_updateURL = address;
                    if (self->m_panel)
                        self->m_panel->showUpdateButton();
                }
                emit self->updateCheckFinished(update);
            },
            Qt::QueuedConnection);
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start(QThread::LowPriority);
}

QJsonObject AppDelegate::runJSON(const QString& python, const QString& dir, const QStringList& arguments) {
    int fds[2];
    if (!privatePipe(fds))
        return {};
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        close(fds[0]);
        close(fds[1]);
        return {};
    }
    const QByteArray workingDir = QFile::encodeName(dir);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addchdir_np(&actions, workingDir.constData());
    const pid_t pid = spawnProgram(python, arguments, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return {};
    }

    // Everything the child prints is read before it is waited for, so output larger than the pipe holds
    // cannot leave the child blocked in a write while we block in the wait.
    // A report is a line of JSON; a script that prints without end is stopped rather than let fill memory.
    constexpr qsizetype maxOutput = 1024 * 1024;
    QByteArray output;
    char buffer[16384];
    bool runaway = false;
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, n);
            if (output.size() > maxOutput) {
                runaway = true;
                kill(pid, SIGKILL);
                break;
            }
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(fds[0]);
    reap(pid);
    if (runaway)
        return {};

    return decodeJsonObject(output).value_or(QJsonObject());
}

void AppDelegate::openUpdate() {
    const QUrl url(m_updateURL, QUrl::StrictMode);
    // An address without a scheme names nothing a browser could open.
    if (!url.isValid() || url.scheme().isEmpty())
        return;
    QDesktopServices::openUrl(url);
}

void AppDelegate::reopenSetup() {
    const pid_t pid =
        spawnProgram(m_setupShell, {settings().DIR + QStringLiteral("/overlay"), QStringLiteral("--setup")}, nullptr);
    // The setup outlives the overlay; should the process still be here when it ends, it is reaped.
    if (pid > 0)
        std::thread(reap, pid).detach();
    quit();
}

} // namespace cw
