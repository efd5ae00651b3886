// entry_extraction_test.cpp -- launch rules, names to paths, files, data, times and attributes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <zlib.h>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "platform/host/host_platform.h"
#include "stream/stream_buffers.h"
#include "tests/fixtures/sfx_writer.h"

namespace {

using sfx::Bytes;
using sfx::Entry;
using sfx::Package;
using sfx::Sandbox;
namespace fs = std::filesystem;

Entry file_entry(const std::string& name, Bytes content) {
    Entry e;
    e.name = name;
    e.content = std::move(content);
    return e;
}

using sfx::noise;

// Compressed size 0, as every tool stores an empty file.
Entry empty_entry(const std::string& name) {
    Entry e = file_entry(name, {});
    e.method = METHOD_STORED;
    return e;
}

std::vector<std::string> boxes(const Sandbox& box) { return box.box_texts(); }
std::vector<std::string> one_box(int code) { return {sfx::failure_text(code)}; }

// ---- Launch rules ----

struct LaunchCase {
    const char* name;
    std::vector<std::string> entry_names;
    LaunchTarget expected;
    uint16_t first_entry_flags = 0;
};
void PrintTo(const LaunchCase& c, std::ostream* os) { *os << c.name; }


class LaunchRules : public ::testing::TestWithParam<LaunchCase> {};

TEST_P(LaunchRules, RecordsTheLastWholeNameMatch) {
    Sandbox box;
    Package p;
    for (const std::string& name : GetParam().entry_names) p.entries.push_back(file_entry(name, sfx::text("MZ")));
    p.entries.front().flags = GetParam().first_entry_flags;
    box.run(p);
    EXPECT_EQ(launch_target, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    EntryExtraction, LaunchRules,
    ::testing::Values(LaunchCase{"Nothing", {"readme.txt", "app.exe"}, LAUNCH_NONE},
                      LaunchCase{"Setup", {"readme.txt", "setup.exe"}, LAUNCH_SETUP},
                      LaunchCase{"SetupUpperCase", {"SETUP.EXE"}, LAUNCH_SETUP},
                      LaunchCase{"SetupMixedCase", {"SeTuP.eXe"}, LAUNCH_SETUP},
                      LaunchCase{"Install", {"Install.Exe"}, LAUNCH_INSTALL},
                      LaunchCase{"InstallThenSetup", {"install.exe", "a.txt", "setup.exe"}, LAUNCH_SETUP},
                      LaunchCase{"SetupThenInstall", {"setup.exe", "install.exe", "b.txt"}, LAUNCH_INSTALL},
                      LaunchCase{"DirectoryPartNeverMatches", {"bin/setup.exe", "bin\\install.exe"}, LAUNCH_NONE},
                      LaunchCase{"LongerNameNeverMatches", {"setup.exe.txt", "xsetup.exe", "setup.ex"}, LAUNCH_NONE},
                      LaunchCase{"EarlierMatchSurvivesLaterOthers", {"setup.exe", "bin/install.exe", "c.txt"}, LAUNCH_SETUP},
                      LaunchCase{"NameEndsAtZeroByte", {std::string("setup.exe\0.txt", 14)}, LAUNCH_SETUP},
                      LaunchCase{"EncryptedSetupStillRecorded", {"setup.exe"}, LAUNCH_SETUP, FLAG_ENCRYPTED},
                      LaunchCase{"EncryptedInstallStillRecorded", {"install.exe", "c.txt"}, LAUNCH_INSTALL,
                                 FLAG_ENCRYPTED}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(EntryExtraction, EncryptedSetupIsRecordedButNotExtracted) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("setup.exe", sfx::text("MZ program"))};
    p.entries[0].flags = FLAG_ENCRYPTED;
    box.run(p);
    EXPECT_EQ(launch_target, LAUNCH_SETUP);
    EXPECT_EQ(boxes(box), one_box(0x7));
    EXPECT_FALSE(fs::exists(box.temp("setup.exe")));
}

TEST(EntryExtraction, OverLongNameLeavesLaunchTargetAlone) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("setup.exe", sfx::text("MZ")), file_entry("install.exe", sfx::text("MZ"))};
    p.entries[1].local_name = std::string(300, 'i');  // the central name matches, the local one is never read
    box.run(p);
    EXPECT_EQ(launch_target, LAUNCH_SETUP);
}

// ---- Names to paths ----

struct PathCase {
    const char* name;
    std::string entry_name;
    std::string host_path;  // relative to the sandbox root
    bool directory;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }


class EntryPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(EntryPaths, LandWhereTheNameSays) {
    Sandbox box;
    Package p;
    Bytes content = sfx::sample_content(500, 7);
    p.entries = {file_entry(GetParam().entry_name, GetParam().directory ? Bytes{} : content)};
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    fs::path target = box.root() / GetParam().host_path;
    if (GetParam().directory) {
        EXPECT_TRUE(fs::is_directory(target));
        EXPECT_TRUE(fs::is_empty(target));
        EXPECT_TRUE(host::recorder().times.empty()) << "a directory gets no time";
        EXPECT_TRUE(host::recorder().attributes.empty()) << "and no attributes";
    } else {
        EXPECT_EQ(sfx::read_file(target), content);
    }
}

INSTANTIATE_TEST_SUITE_P(
    EntryExtraction, EntryPaths,
    ::testing::Values(PathCase{"Plain", "plain.txt", "tmp/plain.txt", false},
                      PathCase{"Slashes", "a/b/c/deep.txt", "tmp/a/b/c/deep.txt", false},
                      PathCase{"Backslashes", "a\\b\\back.txt", "tmp/a/b/back.txt", false},
                      PathCase{"MixedSeparators", "m/n\\o/mixed.txt", "tmp/m/n/o/mixed.txt", false},
                      PathCase{"DirectoryEntry", "only/a/folder/", "tmp/only/a/folder", true},
                      PathCase{"DirectoryEntryBackslash", "folder2\\", "tmp/folder2", true},
                      PathCase{"DriveLetterAbsolute", "C:/abs/deeper/file.txt", "abs/deeper/file.txt", false},
                      PathCase{"DriveLetterLowerCaseBackslashes", "c:\\abs2\\file.txt", "abs2/file.txt", false},
                      PathCase{"NameEndsAtZeroByte", std::string("cut.txt\0hidden/part", 19), "tmp/cut.txt", false},
                      PathCase{"OemNameConvertedToAnsi", "gr\x81n.txt", "tmp/gr\xC3\xBCn.txt", false}),
    [](const auto& test) { return std::string(test.param.name); });

TEST(EntryExtraction, EveryMissingDirectoryIsCreatedTempDirIncluded) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("x/y/z.txt", sfx::text("z")), file_entry("x/w.txt", sfx::text("w"))};
    ASSERT_FALSE(fs::exists(box.root() / "tmp"));
    box.run(p);
    EXPECT_EQ(host::recorder().directories_created,
              (std::vector<std::string>{"C:\\tmp\\", "C:\\tmp\\x\\", "C:\\tmp\\x\\y\\"}))
        << "each once, only when missing; the drive root exists";
    EXPECT_EQ(sfx::read_file(box.temp("x/y/z.txt")), sfx::text("z"));
}

TEST(EntryExtraction, DriveLetterNameIgnoresTempDir) {
    Sandbox box;
    std::strcpy(temp_dir, "C:\\elsewhere\\");
    Package p;
    p.entries = {file_entry("C:\\abs\\f.txt", sfx::text("f"))};
    box.run(p);
    EXPECT_EQ(sfx::read_file(box.root() / "abs/f.txt"), sfx::text("f"));
    EXPECT_FALSE(fs::exists(box.root() / "elsewhere"));
}

struct LengthCase {
    size_t name_length;  // temp_dir "C:\tmp\" adds 7
    bool extracted;
};
void PrintTo(const LengthCase& c, std::ostream* os) { *os << "name of " << c.name_length << " bytes"; }


class OutputPathLength : public ::testing::TestWithParam<LengthCase> {};

TEST_P(OutputPathLength, PathsOf260OrMoreAreRefusedWithCode3) {
    Sandbox box;
    Package p;
    std::string name = std::string(GetParam().name_length - 4, 'n') + ".txt";
    p.entries = {file_entry("d/" + name.substr(2), sfx::text("data")), file_entry("after.txt", sfx::text("after"))};
    box.run(p);
    EXPECT_EQ(fs::exists(box.temp("d/" + name.substr(2))), GetParam().extracted);
    if (GetParam().extracted) {
        EXPECT_TRUE(boxes(box).empty());
    } else {
        EXPECT_EQ(boxes(box), one_box(0x3));
        EXPECT_FALSE(fs::exists(box.temp("d"))) << "nothing created for a refused path";
    }
    EXPECT_EQ(sfx::read_file(box.temp("after.txt")), sfx::text("after"));
    EXPECT_EQ(entries_visited, 2u);
}

INSTANTIATE_TEST_SUITE_P(EntryExtraction, OutputPathLength,
                         ::testing::Values(LengthCase{252, true}, LengthCase{253, false}, LengthCase{259, false}));

TEST(EntryExtraction, OemConversionThatGrowsPastTheBufferIsRefusedNotCut) {
    Sandbox box;
    Package p;
    // 120 box-drawing bytes become 360 bytes of UTF-8 on the host.
    p.entries = {file_entry(std::string(120, '\xB3') + ".txt", sfx::text("x"))};
    box.run(p);
    EXPECT_EQ(boxes(box), one_box(0x3));
    EXPECT_FALSE(fs::exists(box.root() / "tmp"));
}

TEST(EntryExtraction, NameOf260BytesOrMoreIsSkippedSilentlyAndCounted) {
    for (size_t length : {260u, 300u, 65535u}) {
        Sandbox box;
        Package p;
        p.entries = {file_entry("first.txt", sfx::text("1")), file_entry("skipped.txt", sfx::text("2")),
                     file_entry("last.txt", sfx::text("3"))};
        p.entries[1].local_name = std::string(length, 'L');
        box.run(p);
        EXPECT_TRUE(boxes(box).empty()) << length;
        EXPECT_EQ(entries_visited, 3u) << "still counted, so no 0x19";
        EXPECT_FALSE(fs::exists(box.temp("skipped.txt")));
        EXPECT_EQ(sfx::read_file(box.temp("last.txt")), sfx::text("3"));
        EXPECT_EQ(std::distance(fs::directory_iterator(box.root() / "tmp"), fs::directory_iterator()), 2);
    }
}

TEST(EntryExtraction, AbsoluteNameOf259BytesIsExtracted) {
    Sandbox box;
    Package p;
    std::string tail = std::string(200, 'k') + "/" + std::string(51, 'k') + ".txt";
    std::string name = "C:/" + tail;  // 259 bytes, and a path of 259: the longest that fits
    ASSERT_EQ(name.size(), 259u);
    p.entries = {file_entry(name, sfx::text("k"))};
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    EXPECT_EQ(sfx::read_file(box.root() / tail), sfx::text("k"));
}

TEST(EntryExtraction, EmptyLocalNameUnderNamedCentralRecordWritesNothing) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("named.txt", sfx::text("data"))};
    p.entries[0].local_name = "";
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    EXPECT_EQ(entries_visited, 1u);
    EXPECT_TRUE(fs::is_empty(box.root() / "tmp")) << "the path is temp_dir itself, a directory";
}

// ---- Files ----

TEST(EntryExtraction, ReadOnlyFileIsReplaced) {
    Sandbox box;
    fs::create_directories(box.temp(""));
    sfx::write_file(box.temp("locked.txt"), Bytes(5000, 'S'));
    fs::permissions(box.temp("locked.txt"), fs::perms::owner_read | fs::perms::group_read);
    Package p;
    p.entries = {file_entry("locked.txt", sfx::text("new and shorter"))};
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    EXPECT_EQ(sfx::read_file(box.temp("locked.txt")), sfx::text("new and shorter"));
}

TEST(EntryExtraction, FileThatSurvivesDeletionKeepsNoStaleBytes) {
    Sandbox box;
    fs::create_directories(box.temp(""));
    sfx::write_file(box.temp("kept.txt"), Bytes(5000, 'S'));
    Package p;
    p.entries = {file_entry("kept.txt", sfx::text("fresh"))};
    host::file_calls().unlink = [](const char*) { return -1; };  // as when another process holds it
    box.run(p);
    EXPECT_EQ(sfx::read_file(box.temp("kept.txt")), sfx::text("fresh"));
}

class DosTime : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        saved_ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (saved_)
            setenv("TZ", saved_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static time_t mtime(const fs::path& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        return st.st_mtime;
    }
    std::optional<std::string> saved_;
};

TEST_F(DosTime, AppliedAsTheFilesModificationTime) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("timed.txt", sfx::text("t")), file_entry("odd.txt", sfx::text("o"))};
    p.entries[0].dos_date = sfx::dos_date(2019, 3, 7);
    p.entries[0].dos_time = sfx::dos_time(22, 14, 58);
    p.entries[1].dos_date = sfx::dos_date(1999, 12, 31);
    p.entries[1].dos_time = sfx::dos_time(23, 59, 59);  // two-second steps: 58
    box.run(p);
    EXPECT_EQ(mtime(box.temp("timed.txt")), 1551996898);  // 2019-03-07 22:14:58 UTC
    EXPECT_EQ(mtime(box.temp("odd.txt")), 946684798);     // 1999-12-31 23:59:58 UTC
}

TEST_F(DosTime, AttributesComeAfterTheTimeSoReadOnlyFilesKeepIt) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("ro.txt", sfx::text("read only"))};
    p.entries[0].external_attributes = 0x21;
    p.entries[0].dos_date = sfx::dos_date(2010, 1, 2);
    p.entries[0].dos_time = sfx::dos_time(3, 4, 6);
    box.run(p);
    EXPECT_EQ(mtime(box.temp("ro.txt")), 1262401446);  // 2010-01-02 03:04:06 UTC
    EXPECT_EQ(fs::status(box.temp("ro.txt")).permissions() & fs::perms::owner_write, fs::perms::none);
    const auto& calls = host::recorder().calls;
    std::vector<std::string> tail;
    for (const std::string& call : calls)
        if (call == "set_file_dos_time" || call == "set_file_attributes") tail.push_back(call);
    EXPECT_EQ(tail, (std::vector<std::string>{"set_file_attributes", "set_file_dos_time", "set_file_attributes"}))
        << "the archive bit before the deletion, then the time, then the entry's attributes";
    EXPECT_EQ(host::recorder().attributes.back().attributes, 0x21u);
}

TEST_F(DosTime, ImpossibleDateLeavesTheCreationTime) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("bad-date.txt", sfx::text("b"))};
    p.entries[0].dos_date = 0;  // month 0
    time_t before = std::time(nullptr);
    box.run(p);
    EXPECT_GE(mtime(box.temp("bad-date.txt")), before - 1);
    EXPECT_TRUE(boxes(box).empty());
}

TEST(EntryExtraction, ZeroSizeEntryIsAnEmptyFileWithoutTimeOrAttributes) {
    Sandbox box;
    Package p;
    p.entries = {empty_entry("empty.txt")};
    p.entries[0].external_attributes = 0x21;
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    EXPECT_TRUE(fs::exists(box.temp("empty.txt")));
    EXPECT_EQ(fs::file_size(box.temp("empty.txt")), 0u);
    EXPECT_TRUE(host::recorder().times.empty());
    ASSERT_EQ(host::recorder().attributes.size(), 1u) << "only the archive bit before the deletion";
    EXPECT_EQ(host::recorder().attributes[0].attributes, ATTRIBUTE_ARCHIVE);
}

// ---- Data ----

struct DataCase {
    const char* name;
    uint16_t method;
    bool data_descriptor;
    size_t size;
};
void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }


class EntryData : public ::testing::TestWithParam<DataCase> {};

TEST_P(EntryData, ExtractedInFullWithoutBox) {
    Sandbox box;
    Package p;
    Bytes mixed = sfx::sample_content(GetParam().size / 2, 21);
    Bytes tail = noise(GetParam().size - mixed.size(), 22);
    mixed.insert(mixed.end(), tail.begin(), tail.end());
    p.entries = {file_entry("payload.bin", mixed), file_entry("after.txt", sfx::text("after"))};
    p.entries[0].method = GetParam().method;
    p.entries[0].data_descriptor = GetParam().data_descriptor;
    p.entries[1].data_descriptor = GetParam().data_descriptor;
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    EXPECT_EQ(sfx::read_file(box.temp("payload.bin")), mixed);
    EXPECT_EQ(sfx::read_file(box.temp("after.txt")), sfx::text("after"));
    EXPECT_EQ(host::recorder().times.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(EntryExtraction, EntryData,
                         ::testing::Values(DataCase{"Deflate", METHOD_DEFLATE, false, 200000},
                                           DataCase{"Stored", METHOD_STORED, false, 200000},
                                           DataCase{"StoredOneByte", METHOD_STORED, false, 1},
                                           DataCase{"StoredExactWindow", METHOD_STORED, false, 32768},
                                           DataCase{"StoredWindowPlusOne", METHOD_STORED, false, 32769},
                                           DataCase{"DeflateWithDataDescriptor", METHOD_DEFLATE, true, 100000},
                                           DataCase{"StoredWithDataDescriptor", METHOD_STORED, true, 100000}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(EntryExtraction, DataDescriptorSizesComeFromTheCentralHeaderEvenWhenTheLocalOnesLie) {
    Sandbox box;
    Package p;
    Bytes content = sfx::sample_content(40000, 5);
    p.entries = {file_entry("dd.bin", content)};
    p.entries[0].data_descriptor = true;
    p.entries[0].patch_local = [](LocalHeader& h) {
        h.compressed_size = 7;
        h.crc32 = 0x12345678;
    };
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    EXPECT_EQ(sfx::read_file(box.temp("dd.bin")), content);
}

TEST(EntryExtraction, StoredCrcMismatchKeepsTheBytesAndReports) {
    Sandbox box;
    Package p;
    Bytes content = noise(70000, 9);
    p.entries = {file_entry("stored.bin", content)};
    p.entries[0].method = METHOD_STORED;
    p.entries[0].patch_local = [](LocalHeader& h) { h.crc32 ^= 0x80000000u; };
    box.run(p);
    EXPECT_EQ(boxes(box), one_box(0x41B));
    EXPECT_EQ(sfx::read_file(box.temp("stored.bin")), content);
    EXPECT_EQ(host::recorder().times.size(), 1u) << "a failed entry still gets its time";
}

TEST(EntryExtraction, DeflateCrcMismatchKeepsTheBytesTimeAndAttributes) {
    Sandbox box;
    Package p;
    Bytes content = sfx::sample_content(100000, 3);
    p.entries = {file_entry("bad-crc.bin", content), file_entry("next.txt", sfx::text("next"))};
    p.entries[0].external_attributes = 0x21;
    p.entries[0].patch_local = [](LocalHeader& h) { h.crc32 += 1; };
    box.run(p);
    EXPECT_EQ(boxes(box), one_box(0x41B));
    EXPECT_EQ(sfx::read_file(box.temp("bad-crc.bin")), content);
    EXPECT_EQ(host::recorder().times.size(), 2u);
    EXPECT_EQ(sfx::read_file(box.temp("next.txt")), sfx::text("next"));
}

TEST(EntryExtraction, UnknownMethodIsAnEmptyFileWithABoxAndTheWalkGoesOn) {
    for (uint16_t method : {uint16_t{1}, uint16_t{9}, uint16_t{12}, uint16_t{14}, uint16_t{99}}) {
        Sandbox box;
        Package p;
        p.entries = {file_entry("packed.bin", noise(90000, method)), file_entry("next.txt", sfx::text("next"))};
        p.entries[0].method = method;
        p.entries[0].external_attributes = 0x21;
        box.run(p);
        EXPECT_EQ(boxes(box), one_box(0x41B)) << method;
        EXPECT_EQ(fs::file_size(box.temp("packed.bin")), 0u);
        EXPECT_EQ(host::recorder().progress.size(), 3u + 1u) << "its 90000 bytes still read past in 3 refills, then next.txt";
        EXPECT_EQ(host::recorder().times.size(), 2u) << "time for both";
        EXPECT_EQ(sfx::read_file(box.temp("next.txt")), sfx::text("next"));
    }
}

TEST(EntryExtraction, InvalidDeflateDataReportsOnceAndGoesOn) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("broken.bin", sfx::text("whatever")), file_entry("next.txt", sfx::text("next"))};
    p.entries[0].data = Bytes{0x07, 0xFF, 0xFF};  // final block of type 3
    box.run(p);
    EXPECT_EQ(boxes(box), one_box(0x41B));
    EXPECT_TRUE(fs::exists(box.temp("broken.bin")));
    EXPECT_EQ(sfx::read_file(box.temp("next.txt")), sfx::text("next"));
}

TEST(EntryExtraction, StoredEntryMovesTheProgressBarAsItIsRead) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("stored.bin", noise(100000, 6))};
    p.entries[0].method = METHOD_STORED;
    box.run(p);
    EXPECT_EQ(host::recorder().progress.size(), 4u) << "100000 bytes in refills of 32768";
    EXPECT_EQ(host::recorder().repaints.size(), 4u);
}

TEST(EntryExtraction, FailedDecodeLeavesPendingWindowBytesUnwritten) {
    Sandbox box;
    Package p;
    // A stored block of 5 bytes that is not final, then a block of type 3: the five bytes
    // reach the window but the stream fails before the window is written.
    Bytes data = {0x00, 0x05, 0x00, 0xFA, 0xFF, 'h', 'e', 'l', 'l', 'o', 0x07};
    p.entries = {file_entry("failed.bin", sfx::text("hello")), file_entry("next.txt", sfx::text("next"))};
    p.entries[0].data = data;
    box.run(p);
    EXPECT_EQ(boxes(box), one_box(0x41B));
    EXPECT_EQ(fs::file_size(box.temp("failed.bin")), 0u) << "nothing more is written after a failed decode";
    EXPECT_EQ(host::recorder().times.size(), 2u);
    EXPECT_EQ(sfx::read_file(box.temp("next.txt")), sfx::text("next"));
}

// ---- Write failures ----

struct WriteFailure {
    const char* name;
    long result;  // what every write returns
};
void PrintTo(const WriteFailure& c, std::ostream* os) { *os << c.name; }


class WriteFailures : public ::testing::TestWithParam<WriteFailure> {};

TEST_P(WriteFailures, ReportedOncePerEntryAndTheWalkGoesOn) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("deflated.bin", sfx::sample_content(100000, 1)),
                 file_entry("stored.bin", noise(100000, 2)), empty_entry("empty.txt")};
    p.entries[1].method = METHOD_STORED;
    long result = GetParam().result;
    host::file_calls().write = [result](int, const void*, unsigned long) { return result; };
    box.run(p);
    EXPECT_EQ(boxes(box), (std::vector<std::string>{sfx::failure_text(0x41B), sfx::failure_text(0x41B)}));
    EXPECT_TRUE(fs::exists(box.temp("empty.txt")));
    EXPECT_EQ(host::recorder().times.size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(EntryExtraction, WriteFailures,
                         ::testing::Values(WriteFailure{"Error", -1}, WriteFailure{"NothingWritten", 0}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(EntryExtraction, ShortWritesStillDeliverEveryByte) {
    Sandbox box;
    Package p;
    Bytes content = sfx::sample_content(150000, 8);
    p.entries = {file_entry("short.bin", content)};
    host::file_calls().write = [](int fd, const void* data, unsigned long count) {
        return static_cast<long>(::write(fd, data, count > 1000 ? 1000 : count));
    };
    box.run(p);
    EXPECT_TRUE(boxes(box).empty());
    EXPECT_EQ(sfx::read_file(box.temp("short.bin")), content);
}

TEST(EntryExtraction, FailedWriteOfOneEntryDoesNotSpoilTheNext) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("fails.bin", sfx::sample_content(50000, 1)), file_entry("fine.bin", sfx::sample_content(50000, 2))};
    int writes = 0;
    host::file_calls().write = [&writes](int fd, const void* data, unsigned long count) -> long {
        if (++writes == 1) return -1;
        return static_cast<long>(::write(fd, data, count));
    };
    box.run(p);
    EXPECT_EQ(boxes(box), one_box(0x41B));
    EXPECT_EQ(sfx::read_file(box.temp("fine.bin")), p.entries[1].content);
}

// ---- The file ends inside an entry's data (the latch) ----

struct LatchCase {
    const char* name;
    uint16_t method;
    int strategy;  // for deflate: how zlib codes it
};
void PrintTo(const LatchCase& c, std::ostream* os) { *os << c.name; }


class PrematureEnd : public ::testing::TestWithParam<LatchCase> {};

// From the second refill of the first entry's data on, its reads return 0 as if the file
// ended there; the walk, the directory and later headers read normally.
TEST_P(PrematureEnd, EndsInBoundedTimeAndWritesNothingMore) {
    Sandbox box;
    Package p;
    Bytes content = sfx::sample_content(400000, 17);
    Entry first = file_entry("cut.bin", content);
    first.method = GetParam().method;
    if (first.method == METHOD_DEFLATE) {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, -15, 9, GetParam().strategy);
        Bytes out(deflateBound(&z, content.size()));
        z.next_in = content.data();
        z.avail_in = static_cast<uInt>(content.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        first.data = out;
    }
    p.entries = {first, file_entry("later.bin", sfx::sample_content(50000, 3)), empty_entry("later-empty.txt")};
    sfx::Built built = sfx::build(p);
    uint32_t cut = built.data_offsets[0] + 1;  // the first refill starts before it and reads whole
    box.read_fault(cut, built.local_offsets[1], 0);
    box.run(built);

    EXPECT_EQ(stream_state.input_failed, 1);
    EXPECT_EQ(boxes(box), (std::vector<std::string>{sfx::failure_text(0x41B), sfx::failure_text(0x41B)}))
        << "the cut entry and the later entry with data; no walk summary";
    EXPECT_LT(fs::file_size(box.temp("cut.bin")), content.size());
    EXPECT_EQ(fs::file_size(box.temp("later.bin")), 0u) << "nothing reaches a file under the latch";
    EXPECT_TRUE(fs::exists(box.temp("later-empty.txt")));
    EXPECT_EQ(host::recorder().times.size(), 2u) << "time and attributes still applied";
    EXPECT_EQ(entries_visited, 3u);
}

INSTANTIATE_TEST_SUITE_P(EntryExtraction, PrematureEnd,
                         ::testing::Values(LatchCase{"Stored", METHOD_STORED, 0},
                                           LatchCase{"DeflateDynamic", METHOD_DEFLATE, Z_DEFAULT_STRATEGY},
                                           LatchCase{"DeflateFixed", METHOD_DEFLATE, Z_FIXED},
                                           LatchCase{"DeflateHuffmanOnly", METHOD_DEFLATE, Z_HUFFMAN_ONLY},
                                           LatchCase{"UnknownMethod", 12, 0}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(EntryExtraction, CompressedSizeBeyondTheFileSetsTheLatch) {
    Sandbox box;
    Package p;
    p.entries = {file_entry("a.txt", sfx::text("first")), file_entry("b.bin", noise(1000, 4))};
    p.entries[1].method = METHOD_STORED;
    p.entries[1].patch_local = [](LocalHeader& h) { h.compressed_size = 50000000; };
    box.run(p);
    EXPECT_EQ(stream_state.input_failed, 1);
    EXPECT_EQ(boxes(box), one_box(0x41B));
    EXPECT_EQ(sfx::read_file(box.temp("a.txt")), sfx::text("first"));
    EXPECT_EQ(fs::file_size(box.temp("b.bin")), 0u) << "the latch stopped the window before it was written";
}

}  // namespace
