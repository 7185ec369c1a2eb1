#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "logging.h"
#include "support/child.h"

namespace {

// Resets the logger's global state around each test.
class Logging : public ::testing::Test {
protected:
    void SetUp() override {
        log_stderr(1);
        stop_file_logging();
        file_loglevel = 4;
    }
    void TearDown() override {
        stop_file_logging();
        log_stderr(1);
    }
    TempDir dir;
};

}  // namespace

TEST_F(Logging, DefaultThresholdsAdmitOnlyErrorsToStderr) {
    StderrCapture err;
    log_write(TS_DEBUG, "invisible %d", 4);
    log_write(TS_INFO, "invisible too");
    log_write(TS_WARN, "still invisible");
    log_write(TS_ERROR, "visible %s", "error");
    log_write(TS_FATAL, "visible fatal");
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [ERROR] visible error\nTarsil-JVMTI [FATAL] visible fatal\n");
}

TEST_F(Logging, RaisedStderrThresholdAdmitsDebug) {
    StderrCapture err;
    log_stderr(4);
    log_write(TS_DEBUG, "Initializing agent... %s", "1.1.13");
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [DEBUG] Initializing agent... 1.1.13\n");
}

TEST_F(Logging, LongMessagesAreWrittenWhole) {
    StderrCapture err;
    std::string longText(5000, 'x');
    log_write(TS_ERROR, "%s|end", longText.c_str());
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [ERROR] " + longText + "|end\n");
}

TEST_F(Logging, FileSinkGetsEverythingUpToItsThreshold) {
    std::string path = dir.file("tarsil.boot.log");
    StderrCapture err;
    init_file_logging(4, path.c_str());
    EXPECT_EQ(log_to_file, 1);
    EXPECT_EQ(is_log_debug_enabled(), 1);
    log_write(TS_DEBUG, "debug line");
    log_write(TS_ERROR, "error line");
    log_write_raw("raw bytes\n", 10);
    stop_file_logging();
    EXPECT_EQ(log_to_file, 0);
    EXPECT_EQ(readFile(path),
              "Tarsil-JVMTI [DEBUG] debug line\nTarsil-JVMTI [ERROR] error line\nraw bytes\n");
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [ERROR] error line\n");
}

TEST_F(Logging, FileIsTruncatedOnOpenAndClosedForGoodOnStop) {
    std::string path = dir.file("tarsil.boot.log");
    init_file_logging(4, path.c_str());
    log_write(TS_INFO, "first run");
    stop_file_logging();
    init_file_logging(4, path.c_str());
    log_write(TS_INFO, "second run");
    stop_file_logging();
    log_write(TS_INFO, "after stop");
    log_write_raw("raw after stop", 14);
    EXPECT_EQ(readFile(path), "Tarsil-JVMTI [INFO] second run\n");
}

TEST_F(Logging, RawWritesNothingWithoutAnOpenFile) {
    StderrCapture err;
    log_write_raw("nowhere", 7);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(is_log_debug_enabled(), 0);
}

TEST_F(Logging, UnopenableFileIsReportedOnceAndStillCountsAsStarted) {
    std::string path = dir.file("missing/folder/tarsil.boot.log");
    StderrCapture err;
    init_file_logging(4, path.c_str());
    EXPECT_EQ(log_to_file, 1);
    EXPECT_EQ(log_file, nullptr);
    EXPECT_EQ(err.text(), "Tarsil-JVMTI [ERROR] Unable to start logging to file " + path + "\n");
}

TEST_F(Logging, ConcurrentLinesStayWholeWhileTheFileCloses) {
    std::string path = dir.file("tarsil.boot.log");
    init_file_logging(4, path.c_str());
    std::atomic<bool> go{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++) {
        writers.emplace_back([&go, t] {
            while (!go.load()) {
            }
            for (int i = 0; i < 2000; i++) log_write(TS_DEBUG, "thread %d line %d", t, i);
        });
    }
    go = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    stop_file_logging();
    for (auto& writer : writers) writer.join();

    std::string content = readFile(path);
    size_t start = 0;
    size_t lines = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "unterminated last line";
        std::string line = content.substr(start, end - start);
        EXPECT_EQ(line.rfind("Tarsil-JVMTI [DEBUG] thread ", 0), 0u) << line;
        start = end + 1;
        lines++;
    }
    EXPECT_LE(lines, 8000u);
}

TEST(FatalErrorKill, QuietExitPrintsNothingAndExitsWithThree) {
    ChildResult child = runInChild([]() -> std::string { fatal_error_kill(0); });
    EXPECT_EQ(child.exitCode, 3);
    EXPECT_EQ(child.err, "");
}

TEST(FatalErrorKill, VerboseExitNamesSupportAndTheLogFileOnceStarted) {
    ChildResult withoutFile = runInChild([]() -> std::string { fatal_error_kill(1); });
    EXPECT_EQ(withoutFile.exitCode, 3);
    EXPECT_EQ(withoutFile.err, "\nFor further assistance please contact support@tarsil.lindenforgesys.com\n");

    TempDir dir;
    std::string path = dir.file("tarsil.boot.log");
    ChildResult withFile = runInChild([&path]() -> std::string {
        logFilePath = strdup(path.c_str());
        init_file_logging(4, logFilePath);
        log_write(TS_FATAL, "something broke");
        fatal_error_kill(1);
    });
    EXPECT_EQ(withFile.exitCode, 3);
    EXPECT_EQ(withFile.err,
              "Tarsil-JVMTI [FATAL] something broke\n\nCheck the log file " + path +
                  " for more details.\nFor further assistance please contact "
                  "support@tarsil.lindenforgesys.com\n");
    EXPECT_EQ(readFile(path), "Tarsil-JVMTI [FATAL] something broke\n");
}
