#include "FirstPaint.h"

#include <QCoreApplication>
#include <QEvent>

#include <sys/resource.h>

#include <cstdio>
#include <ctime>

namespace cw::bench {

namespace {

class FirstPaintFilter : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!m_seen && event->type() == QEvent::Paint) {
            m_seen = true;
            QMetaObject::invokeMethod(
                qApp,
                [] {
                    timespec now{};
                    ::clock_gettime(CLOCK_MONOTONIC, &now);
                    rusage usage{};
                    ::getrusage(RUSAGE_SELF, &usage);
                    const auto us = [](const timeval& t) {
                        return static_cast<long long>(t.tv_sec) * 1000000LL + t.tv_usec;
                    };
                    std::printf("first-paint %lld %lld\n",
                                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec,
                                us(usage.ru_utime) + us(usage.ru_stime));
                    std::fflush(stdout);
                    QCoreApplication::quit();
                },
                Qt::QueuedConnection);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

} // namespace

void watchFirstPaint() {
    qApp->installEventFilter(new FirstPaintFilter(qApp));
}

} // namespace cw::bench
