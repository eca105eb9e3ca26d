#pragma once
// Process-wide settings of the overlay, computed once on the main thread at start-up and read-only
// afterwards; every part reads them by name through settings(). The port and feed address are the
// exception: they are looked up afresh from the port file on every use, so an engine that moves to
// another port is followed without a restart.

#include <QColor>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QUrl>

namespace cw {

struct Settings {
    QString DIR;    // the application resource directory (working directory at start)
    QString SCRIPT; // the engine's entry script
    QString PY;     // interpreter for engine scripts; a bare name in TRK_PYTHON is looked up in PATH
    double W = 360.0;
    QColor GREEN, DIM, GOLD, RED, CYAN, RANKGRAY;
    QString BRAND;        // short brand name shown on the panel
    QString SUPPORT_NAME; // full brand name, names the support directory
    QString SUPPORT;      // per-user support directory
    QString POS;          // window position file
    QString LANG;         // two-letter interface language
};

// What start-up reads from the outside world, gathered so tests can inject it.
struct StartupInputs {
    QString cwd;
    QString home;
    QProcessEnvironment env;
    QStringList preferredLanguages;

    static StartupInputs fromProcess();
};

inline constexpr qint64 kDefaultEnginePort = 8787;
inline constexpr double kPanelHeight = 580.0;

// Computes every setting in its fixed order and creates the support directory (failure ignored).
Settings computeSettings(const StartupInputs& in);

// The settings in force; installSettings replaces them (start-up, and tests).
const Settings& settings();
void installSettings(const Settings& s);

// DIR/name.pyc when it exists, else DIR/name.py.
QString script(const QString& dir, const QString& name);
QString script(const QString& name);

// The capture of pattern's first match in DIR/brand.py, or fallback.
QString brandValue(const QString& dir, const QString& pattern, const QString& fallback);

// TRK_LANG (two characters or more), else the profile file's "language", else autoLang.
QString chooseLanguage(const QProcessEnvironment& env, const QString& support, const QStringList& preferred);

// The engine's port from SUPPORT/port, read afresh on every call; 8787 when unusable.
qint64 enginePort(const QString& support);
qint64 enginePort();
// Port parsing alone: trimmed signed 64-bit decimal above 1024, else 8787.
qint64 parseEnginePort(const QString& text);

// "http://localhost:<port>/json". A port that no URL can carry yields an invalid URL, which every
// request treats as an unreachable engine.
QUrl feedUrlForPort(qint64 port);
QUrl JSON_URL();

} // namespace cw
