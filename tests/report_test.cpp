// The program's three ways of speaking, to the byte.
#include <gtest/gtest.h>

#include <unistd.h>
#include <cerrno>
#include <cstdio>

#include "report.h"
#include "support.h"

TEST(Report, ProgressLinesGoToStandardOutputAndTheRunGoesOn) {
    Outcome outcome = run_in_child([] {
        progress_line("Downloading AC   : %s\n", "http://h/a.cer");
        progress_line("Delete local file\n");
    });
    EXPECT_EQ(outcome.out, "Downloading AC   : http://h/a.cer\nDelete local file\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
}

TEST(Report, ExitWithLineEndsWithStatusOneAndNoLineEndOfItsOwn) {
    Outcome outcome = run_in_child([] {
        progress_line("Downloaded OK\n");
        exit_with_line("An error occured : error code = %x", 0x80190194u);
        std::printf("never reached\n");
    });
    EXPECT_EQ(outcome.out, "Downloaded OK\nAn error occured : error code = 80190194");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 1);
}

TEST(Report, FatalErrorWritesTheBlockWithTheLastErrorCode) {
    Outcome outcome = run_in_child([] {
        progress_line("Opened the CA system store\n");
        errno = EBADMSG;
        fatal_error("The new certificate was not added to the store.");
    });
    EXPECT_EQ(outcome.out, "Opened the CA system store\n");
    EXPECT_EQ(outcome.err,
              "An error occurred in running the program. \n"
              "The new certificate was not added to the store.\n"
              "Error number 4a.\n"
              "Program terminating. \n");
    EXPECT_EQ(outcome.status, 1);
}

// Writing to a stream may change errno even when the write succeeds; the
// block's third line must still carry the code the failed operation left.
namespace {
ssize_t write_then_clobber_errno(void*, const char* data, size_t size) {
    ssize_t written = write(STDERR_FILENO, data, size);
    errno = EPIPE;
    return written;
}
}  // namespace

TEST(Report, FatalErrorReportsTheCodeFromBeforeItsOwnWrites) {
    Outcome outcome = run_in_child([] {
        cookie_io_functions_t functions = {nullptr, write_then_clobber_errno, nullptr, nullptr};
        stderr = fopencookie(nullptr, "w", functions);
        (void)std::setvbuf(stderr, nullptr, _IONBF, 0);
        errno = ENOTDIR;
        fatal_error("Could not open the CA system store.");
    });
    EXPECT_EQ(outcome.err,
              "An error occurred in running the program. \n"
              "Could not open the CA system store.\n"
              "Error number 14.\n"
              "Program terminating. \n");
    EXPECT_EQ(outcome.status, 1);
}
