#include "core/tessera/recording_files.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::string numberText(int i) {
    char s[13];
    memset(s, '#', sizeof s);
    int2str(i, s);
    EXPECT_EQ(s[12], '#') << "wrote past 12 bytes";
    return s;
}

TEST(Int2str, WritesPlainDecimal) {
    EXPECT_EQ(numberText(0), "0");
    EXPECT_EQ(numberText(7), "7");
    EXPECT_EQ(numberText(1000), "1000");
    EXPECT_EQ(numberText(-1), "-1");
    EXPECT_EQ(numberText(INT_MAX), "2147483647");
    EXPECT_EQ(numberText(INT_MIN), "-2147483648");
}

std::vector<byte_t> record(std::vector<uint32_t> words) {
    std::vector<byte_t> bytes;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) bytes.push_back(byte_t(w >> (8 * i)));
    return bytes;
}

HeadRecord decode(const std::vector<byte_t> &bytes) {
    HeadRecord head{};
    EXPECT_EQ(findrechead(bytes.data(), int(bytes.size()), &head), RecordingStatus::ok);
    return head;
}

TEST(Findrechead, DecodesLittleEndianWordsAndDividesUnsigned) {
    HeadRecord h = decode(record({7, 100, 25}));
    EXPECT_EQ(h.headfile, 7u);
    EXPECT_EQ(h.filesnum, 100u);
    EXPECT_EQ(h.quotient, 4u);
    EXPECT_EQ(decode(record({7, 100, 30})).quotient, 3u);

    h = decode(record({0, 0xFFFFFFFE, 2}));
    EXPECT_EQ(h.filesnum, 0xFFFFFFFEu);
    EXPECT_EQ(h.quotient, 0x7FFFFFFFu);

    h = decode({0x01, 0x02, 0x03, 0x84, 9, 0, 0, 0, 1, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD});
    EXPECT_EQ(h.headfile, 0x84030201u);
    EXPECT_EQ(h.quotient, 9u);
}

TEST(Findrechead, RefusesShortRecordsAndZeroDivisor) {
    HeadRecord head;
    // Exactly sized, so that a read past the end is caught by the sanitizer.
    for (int len = 0; len < kHeadRecordBytes; ++len) {
        std::unique_ptr<byte_t[]> bytes(new byte_t[len + 1]());
        EXPECT_EQ(findrechead(bytes.get(), len, &head), RecordingStatus::argsOutOfRange) << len;
    }
    EXPECT_EQ(findrechead(nullptr, 12, &head), RecordingStatus::argsOutOfRange);
    const auto zero = record({1, 2, 0});
    EXPECT_EQ(findrechead(zero.data(), 12, &head), RecordingStatus::zeroDivisor);
}

// A fresh directory, removed with everything in it at the end of the test.
class RemoveFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tessera-recXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }

    void touch(const std::string &name) {
        std::ofstream(dir + "/" + name) << name;
        ASSERT_TRUE(fs::exists(dir + "/" + name)) << name;
    }
    std::set<std::string> listing() {
        std::set<std::string> names;
        for (const auto &entry : fs::recursive_directory_iterator(dir))
            names.insert(fs::relative(entry.path(), dir).string());
        return names;
    }
    RecordingStatus run(const std::string &dirname, int prehead, int curhead, int macflag) {
        lastPath = "unset";
        count = 12345;
        return removefiles(dirname.data(), int(dirname.size()), prehead, curhead, macflag,
                           &lastPath, &count);
    }

    std::string dir;
    std::string lastPath;
    int count = 0;
};

TEST_F(RemoveFiles, DeletesExactlyTheNamedRun) {
    for (auto name : {"2.out", "3.out", "5.out", "6.out", "03.out", "3.outx", "x4.out", "4.out.1",
                      "4", "13.out"})
        touch(name);
    // 4.out is missing: skipped without a word.
    ASSERT_EQ(run(dir, 3, 6, 1), RecordingStatus::ok);
    EXPECT_EQ(lastPath, dir + "/5.out");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(listing(), (std::set<std::string>{"2.out", "6.out", "03.out", "3.outx", "x4.out",
                                                "4.out.1", "4", "13.out"}));

    // Nothing left to delete: the same answer.
    ASSERT_EQ(run(dir, 3, 6, 1), RecordingStatus::ok);
    EXPECT_EQ(lastPath, dir + "/5.out");
    EXPECT_EQ(count, 3);
}

TEST_F(RemoveFiles, BackslashMakesOrdinaryNamesOnLinux) {
    fs::create_directory(dir + "/rec");
    for (auto name : {"rec\\3.out", "rec\\4.out", "rec\\5.out", "rec/3.out", "rec/4.out"})
        touch(name);
    for (int macflag : {0, 2, -1}) {
        ASSERT_EQ(run(dir + "/rec", 3, 5, macflag), RecordingStatus::ok);
        EXPECT_EQ(lastPath, dir + "/rec\\4.out");
        EXPECT_EQ(count, 2);
    }
    EXPECT_EQ(listing(), (std::set<std::string>{"rec", "rec\\5.out", "rec/3.out", "rec/4.out"}));
}

TEST_F(RemoveFiles, TrailingSeparatorGetsASecondOne) {
    fs::create_directory(dir + "/rec");
    touch("rec/7.out");
    touch("rec\\\\7.out");
    ASSERT_EQ(run(dir + "/rec/", 7, 8, 1), RecordingStatus::ok);
    EXPECT_EQ(lastPath, dir + "/rec//7.out");
    ASSERT_EQ(run(dir + "/rec\\", 7, 8, 0), RecordingStatus::ok);
    EXPECT_EQ(lastPath, dir + "/rec\\\\7.out");
    EXPECT_EQ(listing(), (std::set<std::string>{"rec"}));
}

TEST_F(RemoveFiles, EmptyAndBackwardRuns) {
    touch("3.out");
    touch("5.out");
    ASSERT_EQ(run(dir, 5, 3, 1), RecordingStatus::ok);
    EXPECT_EQ(count, -2);
    EXPECT_EQ(lastPath, "");
    ASSERT_EQ(run(dir, 4, 4, 1), RecordingStatus::ok);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(lastPath, "");
    EXPECT_EQ(listing(), (std::set<std::string>{"3.out", "5.out"}));
}

TEST_F(RemoveFiles, RefusesNegativeNumbersAndOverlongPaths) {
    touch("0.out");
    touch("1.out");
    EXPECT_EQ(run(dir, -1, 2, 1), RecordingStatus::argsOutOfRange);
    EXPECT_EQ(run(dir, 0, -1, 1), RecordingStatus::argsOutOfRange);
    EXPECT_EQ(run(dir, INT_MIN, INT_MIN + 2, 1), RecordingStatus::argsOutOfRange);

    // dirname/<n>.out is 199 characters for n = 9 and 200 for n = 10: the run
    // 8..10 is refused whole, although 8.out and 9.out would fit.
    const std::string sub = "/" + std::string(199 - dir.size() - 1 - 6, 'd');
    fs::create_directory(dir + sub);
    touch(sub + "/8.out");
    touch(sub + "/9.out");
    ASSERT_EQ((dir + sub + "/9.out").size(), 199u);
    EXPECT_EQ(run(dir + sub, 8, 11, 1), RecordingStatus::argsOutOfRange);
    EXPECT_TRUE(fs::exists(dir + sub + "/8.out"));
    EXPECT_TRUE(fs::exists(dir + sub + "/9.out"));
    ASSERT_EQ(run(dir + sub, 8, 10, 1), RecordingStatus::ok);
    EXPECT_EQ(lastPath, dir + sub + "/9.out");
    EXPECT_EQ(listing(), (std::set<std::string>{"0.out", "1.out", sub.substr(1)}));
}

TEST_F(RemoveFiles, DirectoryEndsAtItsFirstNul) {
    touch("1.out");
    std::string name = dir;
    name += '\0';
    name += "/elsewhere";
    ASSERT_EQ(run(name, 1, 2, 1), RecordingStatus::ok);
    EXPECT_EQ(lastPath, dir + "/1.out");
    EXPECT_TRUE(listing().empty());

    // A name without any NUL is read only as far as its length.
    touch("2.out");
    std::unique_ptr<char[]> exact(new char[dir.size()]);
    memcpy(exact.get(), dir.data(), dir.size());
    ASSERT_EQ(removefiles(exact.get(), int(dir.size()), 2, 3, 1, &lastPath, &count),
              RecordingStatus::ok);
    EXPECT_EQ(lastPath, dir + "/2.out");
    EXPECT_TRUE(listing().empty());
}

}  // namespace
