// The yardstick for the overlay's idle cost and start-up: the least a Qt Widgets program with a window
// can be. One plain QWidget the panel's size, shown, and the application loop; nothing else is linked.
//
// Usage: bench_minimal_window [--first-paint] [--text]
//   --first-paint   print "first-paint <ns>" once the window is first painted, then quit (FirstPaint.h)
//   --text          put one line of text with an emoji in the window: the yardstick plus what any panel
//                   that shows text pays for fonts and shaping (informational)

#include "FirstPaint.h"

#include <QApplication>
#include <QLabel>
#include <QWidget>

#include <cstring>

namespace {
bool g_firstPaint = false;
void maybeWatch() {
    if (g_firstPaint)
        cw::bench::watchFirstPaint();
}
} // namespace

Q_COREAPP_STARTUP_FUNCTION(maybeWatch)

int main(int argc, char** argv) {
    bool text = false;
    for (int i = 1; i < argc; ++i) {
        g_firstPaint = g_firstPaint || std::strcmp(argv[i], "--first-paint") == 0;
        text = text || std::strcmp(argv[i], "--text") == 0;
    }
    QApplication app(argc, argv);
    QWidget window;
    window.resize(360, 580);
    if (text) {
        auto* label = new QLabel(QStringLiteral("Now playing · 8A · 124 BPM 🎵"), &window);
        label->setGeometry(12, 12, 336, 22);
    }
    window.show();
    return app.exec();
}
