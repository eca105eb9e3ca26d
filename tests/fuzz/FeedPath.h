#pragma once
// The whole feed path as one call, for the libFuzzer target (fuzz_feed) and the corpus replay
// (tst_fuzz_corpus): bytes → decodeFeed → apply → every operator mode pressed → the view drawn on a panel
// built once, and painted. Each run has a new controller, so a crash replays from its one file. Main
// thread only; the caller owns the QApplication.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace cw {
class AppDelegate;
class Panel;
} // namespace cw

namespace cw::test {

class FeedPath {
public:
    FeedPath();
    ~FeedPath();

    // Runs bytes through the path. True when they were a feed document (a JSON object).
    bool run(const QByteArray& bytes);
    // The first way the view contradicted its state, or the panel the view, in the last run; empty if none.
    QString inconsistency() const { return m_inconsistency; }
    const AppDelegate& delegate() const { return *m_delegate; }

private:
    void check(const char* step, bool waiting);

    QTemporaryDir m_dir;
    std::unique_ptr<Panel> m_panel;
    std::unique_ptr<AppDelegate> m_delegate;
    QString m_inconsistency;
};

} // namespace cw::test
