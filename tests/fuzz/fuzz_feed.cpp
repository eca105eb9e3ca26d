// libFuzzer target over the feed path: whatever bytes an engine sends, decoding, applying and rendering
// them never crashes, never hangs and never leaves the panel contradicting its own state. Run it with
// scripts/fuzz.sh; tests/robustness/tst_fuzz_corpus replays the kept corpus in the ordinary test suite.

#include "FeedPath.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

// Built once: a panel per input would cost more than the feed path itself.
static cw::test::FeedPath* feedPath = nullptr;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    new QApplication(*argc, *argv);
    feedPath = new cw::test::FeedPath;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    feedPath->run(QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size)));
    if (!feedPath->inconsistency().isEmpty()) {
        std::fprintf(stderr, "feed path: %s\n", qPrintable(feedPath->inconsistency()));
        std::abort();
    }
    return 0;
}
