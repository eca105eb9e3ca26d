#pragma once
// The whole feed path as one call, shared by the libFuzzer target (fuzz_feed) and the corpus regression
// test (tests/robustness/tst_fuzz_corpus): bytes → decodeFeed → apply, which renders → every operator
// mode rendered once more → the panel painted, on one offscreen panel built once.
//
// Each run starts from the controller's state at construction, so an input does the same thing whatever
// ran before it, and a crash found by the fuzzer replays from its one file. Main thread only; the caller
// owns the QApplication.

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

namespace cw {
class AppDelegate;
}

namespace cw::test {

class FeedPath {
public:
    FeedPath();
    ~FeedPath();
    FeedPath(const FeedPath&) = delete;
    FeedPath& operator=(const FeedPath&) = delete;

    // Runs bytes through the path. True when they were a feed document (a JSON object).
    bool run(const QByteArray& bytes);

    // The first way in which the panel contradicts the state it was rendered from, checked after every
    // step of the last run; empty when there was none.
    QString inconsistency() const { return m_inconsistency; }

    AppDelegate& delegate() const { return *m_delegate; }

private:
    void reset();
    void step(const char* what);

    QTemporaryDir m_dir;
    std::unique_ptr<AppDelegate> m_delegate;
    bool m_waiting = false;
    QString m_inconsistency;
};

} // namespace cw::test
