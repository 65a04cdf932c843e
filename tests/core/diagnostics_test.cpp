// The fatal-error routines and the hex dump, run in a child process whose
// standard output and error are pipes, as under a supervisor or a logger.
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "common/basic.h"
#include "core/tessera/hexdump.h"

namespace {

struct ChildResult {
    std::string out, err;
    int status;
};

std::string drain(int fd) {
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) text.append(buf, n);
    close(fd);
    return text;
}

ChildResult runChild(const std::function<void()> &body) {
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        body();
        fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    ChildResult r;
    // The outputs here are far below a pipe's capacity: reading one after the
    // other cannot block the child.
    r.out = drain(out[0]);
    r.err = drain(err[0]);
    waitpid(pid, &r.status, 0);
    return r;
}

bool exitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
}

TEST(Diagnostics, DieReportsTheFunctionAndExits123) {
    const ChildResult r = runChild([] { _die("openDevice", "no device %d", 7); });
    EXPECT_TRUE(exitedWith(r.status, 123));
    EXPECT_EQ(r.err, "[openDevice()]: no device 7\n");
    EXPECT_EQ(r.out, "");

    const std::string longText(1000, 'x');
    const ChildResult cut = runChild([&] { _die("f", "%s", longText.c_str()); });
    EXPECT_EQ(cut.err, "[f()]: " + std::string(799, 'x') + "\n");
}

TEST(Diagnostics, PdieReportsErrnoWithoutTheFunction) {
    const ChildResult r = runChild([] {
        EXPECT_EQ(open("/nonexistent/tessera", O_RDONLY), -1);
        _pdie("hiddenName", "open %s", "it");
    });
    EXPECT_TRUE(exitedWith(r.status, 123));
    EXPECT_EQ(r.err, std::string("open it: ") + strerror(ENOENT) + " (=2)\n");

    const std::string longText(100, 'y');
    const ChildResult cut = runChild([&] {
        errno = EINVAL;
        _pdie("f", "%s", longText.c_str());
    });
    EXPECT_EQ(cut.err, std::string(79, 'y') + ": " + strerror(EINVAL) + " (=22)\n");
}

TEST(Diagnostics, AssertionTextSurvivesAPipeAndTheProcessAborts) {
    const ChildResult r = runChild([] {
        printf("buffered before ");  // must come out in order, not be lost
        __my_assert("slot->state == idle", "src/ring.cpp", "reap", 12);
    });
    EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGABRT);
    EXPECT_EQ(r.out,
              "buffered before \n\rAssertion failed (src/ring.cpp:12): reap()\n"
              " \"slot->state == idle\"\n\n");
    EXPECT_EQ(r.err, "");

    const ChildResult viaMacro = runChild([] {
        const int slots = 0;
        my_assert(slots > 0);
    });
    EXPECT_TRUE(WIFSIGNALED(viaMacro.status));
    EXPECT_NE(viaMacro.out.find("\"slots > 0\""), std::string::npos);
    EXPECT_NE(viaMacro.out.find("tests/core/diagnostics_test.cpp:"), std::string::npos);
}

std::string dump(const void *d, int len, bool_t showAddr = 0) {
    const ChildResult r = runChild([&] { hexDump(d, len, showAddr); });
    EXPECT_TRUE(exitedWith(r.status, 0));
    return r.out;
}

TEST(HexDump, Layout) {
    const byte_t three[] = {0x41, 0x00, 0x7F};
    EXPECT_EQ(dump(three, 3), "000: 41 00 7f " + std::string(5 * 3, ' ') + "  " +
                                  std::string(8 * 3, ' ') + "  A..\n");
    EXPECT_EQ(dump(three, 0), "");
    EXPECT_EQ(dump(three, -5), "");

    byte_t bytes[4097];
    for (int i = 0; i < 4097; ++i) bytes[i] = byte_t(0x30 + i);
    const std::string full =
        "000: 30 31 32 33 34 35 36 37 - 38 39 3a 3b 3c 3d 3e 3f   0123456789:;<=>?\n";
    EXPECT_EQ(dump(bytes, 16), full);
    EXPECT_EQ(dump(bytes, 17), full + "010: 40 " + std::string(7 * 3, ' ') + "  " +
                                   std::string(8 * 3, ' ') + "  @\n");
    // Exactly eight bytes: the separator follows a byte.
    EXPECT_EQ(dump(bytes, 8),
              "000: 30 31 32 33 34 35 36 37 - " + std::string(8 * 3, ' ') + "  01234567\n");

    // Past 0xfff the offset simply takes a fourth digit.
    const std::string big = dump(bytes, 4097);
    EXPECT_EQ(big.substr(big.rfind('\n', big.size() - 2) + 1),
              "1000: 30 " + std::string(7 * 3 + 2 + 8 * 3, ' ') + "  0\n");
}

TEST(HexDump, CharacterColumnShowsOnlyAsciiPrintables) {
    byte_t bytes[256];
    for (int i = 0; i < 256; ++i) bytes[i] = byte_t(i);
    const std::string text = runChild([&] {
                                 // A locale whose isprint might accept bytes above 0x7F.
                                 setlocale(LC_ALL, "C.UTF-8");
                                 hexDump(bytes, 256, 0);
                             }).out;
    std::string chars;
    for (size_t line = 0; line < text.size(); line = text.find('\n', line) + 1)
        chars += text.substr(line + 5 + 50 + 2, 16);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(chars[i], i >= 0x20 && i < 0x7F ? char(i) : '.') << i;
}

TEST(HexDump, AddressPrefix) {
    const byte_t bytes[20] = {};
    char want[64];
    snprintf(want, sizeof want, "%p: ", static_cast<const void *>(bytes + 16));
    const std::string text = dump(bytes, 20, 1);
    EXPECT_EQ(text.substr(text.find('\n') + 1, strlen(want)), want);
}

}  // namespace
