// archive_walk_test.cpp -- the end-record scan, the directory walk, its checks and every failure box.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "platform/host/host_platform.h"
#include "stream/stream_buffers.h"
#include "tests/fixtures/sfx_writer.h"

namespace {

using sfx::Bytes;
using sfx::Entry;
using sfx::Package;
using sfx::Sandbox;

// The end record announces no records, so the count and size checks cannot raise a code
// and the loop's own code is the one shown.
void announce_no_records(EndRecord& r) {
    r.total_entries = 0;
    r.directory_size = 0;
}

Package three_files() {
    Package p;
    p.entries = {sfx::sample_entry("one.txt", 3000, 1), sfx::sample_entry("sub/two.bin", 70000, 2), sfx::sample_entry("three.txt", 10, 3)};
    return p;
}

bool extracted_whole(const Sandbox& box, const Package& p) {
    for (const Entry& e : p.entries)
        if (sfx::read_file(box.temp(e.name)) != e.content) return false;
    return true;
}

// ---- Every failure code with its exact box ----

struct FailureCase {
    const char* name;
    // Builds the package (and arranges faults or files); the package is then run, unless
    // `run` is given, which replaces the whole run and returns extract_archive's result.
    std::function<Bytes(Sandbox&)> arrange;
    std::vector<int> codes;  // every box, in order
    int result = 0;
    std::function<int(Sandbox&)> run = nullptr;
    std::function<void(Sandbox&)> check = nullptr;  // further effects that make the case
};

Bytes plain(Sandbox&) { return sfx::build(three_files()).bytes; }

const std::vector<FailureCase>& failure_cases() {
    static const std::vector<FailureCase> cases = {
        {"NameReadError",
         [](Sandbox& box) {
             Package p;
             p.entries = {sfx::sample_entry("named.txt", 100, 4)};
             sfx::Built built = sfx::build(p);
             uint32_t name_at = built.local_offsets[0] + LOCAL_HEADER_SIZE;
             box.read_fault(name_at, name_at + 1, -1);
             return built.bytes;
         },
         {0x1}, 0, nullptr,
         [](Sandbox& box) { EXPECT_FALSE(std::filesystem::exists(box.temp("named.txt"))); }},
        {"OutputCannotBeCreated",
         [](Sandbox& box) {
             std::filesystem::create_directories(box.temp("one.txt"));  // a folder in the way
             return plain(box);
         },
         {0x3}},
        {"EncryptedEntry",
         [](Sandbox&) {
             Package p = three_files();
             p.entries[1].flags = FLAG_ENCRYPTED;
             return sfx::build(p).bytes;
         },
         {0x7}, 0, nullptr,
         [](Sandbox& box) {
             EXPECT_FALSE(std::filesystem::exists(box.temp("sub/two.bin")));
             EXPECT_TRUE(std::filesystem::exists(box.temp("three.txt"))) << "the walk goes on";
         }},
        {"OwnFileHasNoSize", plain, {0x13}, 1, [](Sandbox&) { return extract_archive("C:\\missing.exe"); }},
        {"OwnFileCannotBeOpened", plain, {0x14}, 1,
         [](Sandbox& box) {
             std::filesystem::create_directory(box.root() / "folder.exe");
             return extract_archive("C:\\folder.exe");
         }},
        {"LocalHeaderReadErrorWithAgreeingTotals",
         [](Sandbox& box) {
             Package p;
             p.entries = {sfx::sample_entry("a.txt", 100, 5)};
             p.patch_end = announce_no_records;
             sfx::Built built = sfx::build(p);
             uint32_t extra_length_at = built.local_offsets[0] + 28;
             box.read_fault(extra_length_at, extra_length_at + 1, -1);
             return built.bytes;
         },
         {0x17}},
        {"DamagedLocalSignatureWithAgreeingTotals",
         [](Sandbox&) {
             Package p;
             p.entries = {sfx::sample_entry("a.txt", 100, 5)};
             p.entries[0].patch_local = [](LocalHeader& h) { h.signature = 0x04034b51; };
             p.patch_end = announce_no_records;
             return sfx::build(p).bytes;
         },
         {0x17}},
        {"CentralHeaderReadErrorWithAgreeingTotals",
         [](Sandbox& box) {
             Package p;
             p.entries = {sfx::sample_entry("a.txt", 100, 5)};
             p.patch_end = announce_no_records;
             sfx::Built built = sfx::build(p);
             uint32_t offset_field_at = built.directory_offset + 42;
             box.read_fault(offset_field_at, offset_field_at + 1, -1);
             return built.bytes;
         },
         {0x17}},
        {"ExtraRecordAfterDirectoryWithRightTotals",
         [](Sandbox&) {
             Package p = three_files();
             p.after_directory = {0x50, 0x4B, 0x06, 0x06, 0, 0, 0, 0, 0, 0, 0, 0};  // a record we do not know
             return sfx::build(p).bytes;
         },
         {0x18}, 0, nullptr,
         [](Sandbox& box) {
             EXPECT_TRUE(extracted_whole(box, three_files())) << "every entry before the stray record";
             EXPECT_EQ(entries_visited, 3u);
         }},
        {"CentralNameLengthZero",
         [](Sandbox&) {
             Package p = three_files();
             p.entries[1].central_name = "";
             return sfx::build(p).bytes;
         },
         {0x19}, 0, nullptr,
         [](Sandbox& box) {
             EXPECT_FALSE(std::filesystem::exists(box.temp("sub/two.bin"))) << "its local entry is never visited";
             EXPECT_TRUE(std::filesystem::exists(box.temp("three.txt")));
             EXPECT_EQ(entries_visited, 2u);
         }},
        {"OffsetsCountedFromArchiveStart",
         [](Sandbox&) {
             Package p = three_files();
             p.offsets_from_archive = true;
             return sfx::build(p).bytes;
         },
         {0x1A}, 0, nullptr, [](Sandbox&) { EXPECT_EQ(entries_visited, 0u); }},
        {"DamagedLocalSignature",
         [](Sandbox&) {
             Package p = three_files();
             p.entries[1].patch_local = [](LocalHeader& h) { h.signature = 0x04034b50 ^ 0x100; };
             return sfx::build(p).bytes;
         },
         {0x1A}, 0, nullptr,
         [](Sandbox& box) {
             EXPECT_TRUE(std::filesystem::exists(box.temp("one.txt")));
             EXPECT_FALSE(std::filesystem::exists(box.temp("three.txt"))) << "the walk stops at the damage";
         }},
        {"DirectoryOffsetPastEndOfFile",
         [](Sandbox&) {
             Package p;
             p.patch_end = [](EndRecord& r) { r.directory_offset = 0x00FFFFF0; };
             return sfx::build(p).bytes;
         },
         {0x1B}},
        {"EndRecordBeyondScanRange",
         [](Sandbox&) {
             Package p = three_files();
             p.end_comment = Bytes(20000 - 22 - 12 + 1, ' ');
             return sfx::build(p).bytes;
         },
         {0x1C}, 0, nullptr, [](Sandbox& box) { EXPECT_FALSE(std::filesystem::exists(box.temp("one.txt"))); }},
        {"DamagedEndSignature",
         [](Sandbox&) {
             Bytes bytes = sfx::build(three_files()).bytes;
             bytes[bytes.size() - 12 - 22 + 3] = 0x07;
             return bytes;
         },
         {0x1C}},
        {"FileShorterThanScanStart", [](Sandbox&) { return Bytes{'P', 'K', 5, 6, 0}; }, {0x1C}},
        {"ReadErrorDuringScan",
         [](Sandbox& box) {
             Bytes bytes = sfx::build(three_files()).bytes;
             uint32_t size = static_cast<uint32_t>(bytes.size());
             box.read_fault(size - 20, size - 19, -1);  // before the probe reaches the end record
             return bytes;
         },
         {0x1C}},
        {"CrcMismatch",
         [](Sandbox&) {
             Package p = three_files();
             p.entries[0].patch_local = [](LocalHeader& h) { h.crc32 ^= 1; };
             return sfx::build(p).bytes;
         },
         {0x41B}},
        {"DirectoryOffsetZeroWithZeroTotals",
         [](Sandbox&) {
             Package p = three_files();
             p.patch_end = [](EndRecord& r) {
                 r.directory_offset = 0;
                 r.total_entries = 0;
                 r.directory_size = 0;
             };
             return sfx::build(p).bytes;
         },
         {}, 0, nullptr, [](Sandbox& box) { EXPECT_FALSE(std::filesystem::exists(box.temp("one.txt"))); }},
        {"DirectoryOffsetZeroWithTotals", [](Sandbox&) {
             Package p = three_files();
             p.patch_end = [](EndRecord& r) { r.directory_offset = 0; };
             return sfx::build(p).bytes;
         },
         {0x1A}},
        {"DirectoryOffsetZeroWithCountOnly", [](Sandbox&) {
             Package p = three_files();
             p.patch_end = [](EndRecord& r) {
                 r.directory_offset = 0;
                 r.directory_size = 0;
             };
             return sfx::build(p).bytes;
         },
         {0x19}},
        {"UnreadableEndRecord",
         [](Sandbox& box) {
             sfx::Built built = sfx::build(three_files());
             uint32_t comment_length_at = built.end_record_offset + 20;
             box.read_fault(comment_length_at, comment_length_at + 1, -1, 2);  // not the probes
             return built.bytes;
         },
         {}, 0, nullptr, [](Sandbox& box) { EXPECT_FALSE(std::filesystem::exists(box.temp("one.txt"))); }},
        {"CancelBeforeTheWalk",
         [](Sandbox&) {
             cancel_requested = 1;
             Package p = three_files();
             p.offsets_from_archive = true;  // would report 0x1A without the Cancel
             return sfx::build(p).bytes;
         },
         {}, 0, nullptr,
         [](Sandbox& box) {
             EXPECT_EQ(entries_visited, 0u);
             EXPECT_FALSE(std::filesystem::exists(box.temp("one.txt")));
         }},
    };
    return cases;
}

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class FailureBoxes : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FailureBoxes, ShowsExactlyItsBoxes) {
    const FailureCase& c = GetParam();
    Sandbox box;
    Bytes bytes = c.arrange(box);
    int result = c.run ? (sfx::write_file(box.package(), bytes), c.run(box)) : box.run(bytes);
    EXPECT_EQ(result, c.result);
    const auto& boxes = host::recorder().boxes;
    ASSERT_EQ(boxes.size(), c.codes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        EXPECT_EQ(boxes[i].text, sfx::failure_text(c.codes[i])) << "box " << i;
        EXPECT_EQ(boxes[i].caption, "Tarnvel SFX ERROR");
        EXPECT_EQ(boxes[i].flags, 0x10030u);
        EXPECT_EQ(boxes[i].owner, Sandbox::PROGRESS_WINDOW);
    }
    if (c.check) c.check(box);
}

INSTANTIATE_TEST_SUITE_P(ArchiveWalk, FailureBoxes, ::testing::ValuesIn(failure_cases()),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(ArchiveWalk, FailureTableCoversEveryCodeTheBoxesShow) {
    std::vector<int> shown;
    for (const FailureCase& c : failure_cases()) shown.insert(shown.end(), c.codes.begin(), c.codes.end());
    // The missing temp directory is the run's own code, shown before any walk: its cases
    // are with the run's tests.
    for (const FailureCodeRow& row : FAILURE_CODES) {
        if (row.code == FAILURE_TEMP_DIR) continue;
        EXPECT_NE(std::find(shown.begin(), shown.end(), row.code), shown.end()) << std::hex << row.code;
    }
    EXPECT_EQ(std::size(FAILURE_CODES), 13u);
}

TEST(ArchiveWalk, BoxTextFollowsTheFormatForAnyCode) {
    Sandbox box;
    report_failure("I can't extract", 0x1C);
    report_failure("something else", 0);
    report_failure("I can't extract", 0xABCDE);
    EXPECT_EQ(box.box_texts(), (std::vector<std::string>{"\nI can't extract\nError: 0X01C", "\nsomething else\nError: 0X00",
                                                         "\nI can't extract\nError: 0X0ABCDE"}));
}

// ---- The walk ----

TEST(ArchiveWalk, WellFormedFileVisitsEveryEntryAndReportsNothing) {
    Sandbox box;
    Package p = three_files();
    EXPECT_EQ(box.run(p), 0);
    EXPECT_TRUE(host::recorder().boxes.empty());
    EXPECT_EQ(entries_visited, 3u);
    EXPECT_EQ(end_record.total_entries, 3u);
    EXPECT_EQ(end_record.directory_size, sfx::build(p).directory_size);
    EXPECT_TRUE(extracted_whole(box, p));
    EXPECT_EQ(stream_state.archive_size, std::filesystem::file_size(box.package()));
}

TEST(ArchiveWalk, EmptyArchiveExtractsAndReportsNothing) {
    Sandbox box;
    EXPECT_EQ(box.run(Package{}), 0);
    EXPECT_TRUE(host::recorder().boxes.empty());
    EXPECT_EQ(entries_visited, 0u);
}

TEST(ArchiveWalk, EndRecordWithBareTrailerLiesAtThe25thProbe) {
    Sandbox box;
    sfx::Built built = sfx::build(three_files());
    EXPECT_EQ(built.bytes.size() - built.end_record_offset, 34u);
    sfx::write_file(box.package(), built.bytes);
    int probes = 0;
    bool scanning = true;  // the first 2-byte read is the end record's first field
    host::file_calls().read = [&](int fd, void* buffer, unsigned long count) -> long {
        if (count == 2) scanning = false;
        if (count == 4 && scanning) ++probes;
        return static_cast<long>(::read(fd, buffer, count));
    };
    extract_archive(Sandbox::PACKAGE_PATH);
    EXPECT_EQ(probes, 25);
    EXPECT_EQ(entries_visited, 3u);
}

struct ScanReach {
    uint32_t end_record_distance;  // bytes from the end record's signature to the end of the file
    bool found;
};

class EndRecordScan : public ::testing::TestWithParam<ScanReach> {};

TEST_P(EndRecordScan, ReachesExactly20000BytesBack) {
    Sandbox box;
    Package p = three_files();
    p.end_comment = Bytes(GetParam().end_record_distance - 22 - 12, '.');
    sfx::Built built = sfx::build(p);
    ASSERT_EQ(built.bytes.size() - built.end_record_offset, GetParam().end_record_distance);
    box.run(built);
    if (GetParam().found) {
        EXPECT_TRUE(host::recorder().boxes.empty());
        EXPECT_TRUE(extracted_whole(box, p));
    } else {
        EXPECT_EQ(box.box_texts(), std::vector<std::string>{sfx::failure_text(0x1C)});
    }
}

INSTANTIATE_TEST_SUITE_P(ArchiveWalk, EndRecordScan,
                         ::testing::Values(ScanReach{34, true}, ScanReach{19999, true}, ScanReach{20000, true},
                                           ScanReach{20001, false}));

TEST(ArchiveWalk, EndSignatureNearestTheEndWins) {
    Sandbox box;
    Package p = three_files();
    // A second, empty end record in the trailer text is met first and describes no directory.
    Bytes fake = {0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    p.disclaimer_text = std::string(fake.begin(), fake.end()) + "tail of the text";
    box.run(p);
    EXPECT_TRUE(host::recorder().boxes.empty());
    EXPECT_EQ(entries_visited, 0u);
    EXPECT_FALSE(std::filesystem::exists(box.temp("one.txt")));
}

TEST(ArchiveWalk, NoTrailerStillFindsTheEndRecord) {
    Sandbox box;
    Package p = three_files();
    p.trailer = false;
    box.run(p);
    EXPECT_TRUE(host::recorder().boxes.empty());
    EXPECT_TRUE(extracted_whole(box, p));
}

TEST(ArchiveWalk, CancelDuringABoxStopsBeforeTheNextRecordWithoutSummary) {
    Sandbox box;
    Package p;
    p.entries = {sfx::sample_entry("first.txt", 50, 1), sfx::sample_entry("setup.exe", 60, 2), sfx::sample_entry("third.txt", 70, 3)};
    p.entries[1].flags = FLAG_ENCRYPTED;  // its box is where the Cancel click is dispatched
    host::script_answer(host::Answer{ANSWER_OK, [] { cancel_requested = 1; }});
    box.run(p);
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{sfx::failure_text(0x7)}) << "no 0x19 after the Cancel";
    EXPECT_TRUE(std::filesystem::exists(box.temp("first.txt")));
    EXPECT_FALSE(std::filesystem::exists(box.temp("third.txt")));
    EXPECT_EQ(entries_visited, 2u);
    EXPECT_EQ(launch_target, LAUNCH_SETUP) << "recorded before the Cancel";
}

TEST(ArchiveWalk, CentralCopiesOfLocalValuesAreIgnored) {
    Sandbox box;
    Package p;
    p.entries = {sfx::sample_entry("a.txt", 5000, 9)};
    p.entries[0].patch_central = [](CentralHeader& h) {
        h.method = 12;
        h.crc32 = 0xDEADBEEF;
        h.compressed_size = 3;
        h.dos_date = 0;
    };
    box.run(p);
    EXPECT_TRUE(host::recorder().boxes.empty());
    EXPECT_TRUE(extracted_whole(box, p));
}

TEST(ArchiveWalk, ExternalAttributesComeFromTheCentralHeader) {
    Sandbox box;
    Package p;
    p.entries = {sfx::sample_entry("a.txt", 10, 1), sfx::sample_entry("b.txt", 10, 2)};
    p.entries[0].external_attributes = 0x21;
    p.entries[1].external_attributes = 0x80;
    box.run(p);
    std::vector<uint32_t> applied;
    for (const host::AttributeCall& call : host::recorder().attributes)
        if (call.attributes != ATTRIBUTE_ARCHIVE) applied.push_back(call.attributes);
    EXPECT_EQ(applied, (std::vector<uint32_t>{0x21, 0x80}));
}

TEST(ArchiveWalk, DataMovesTheProgressBarOfTheProgressWindow) {
    Sandbox box;
    Package p;
    p.entries = {sfx::sample_entry("big.bin", 300000, 3), sfx::sample_entry("stored.bin", 100000, 4)};
    p.entries[0].content = Bytes(300000);
    for (size_t i = 0; i < p.entries[0].content.size(); ++i) p.entries[0].content[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    p.entries[1].method = METHOD_STORED;
    box.run(p);
    const auto& progress = host::recorder().progress;
    ASSERT_GE(progress.size(), 2u + 100000 / 32768);
    unsigned last = 0;
    for (const auto& [bar, percent] : progress) {
        EXPECT_EQ(bar, Sandbox::PROGRESS_BAR);
        EXPECT_GE(percent, last);
        EXPECT_LT(percent, 100u) << "the directory and trailer are never read through a refill";
        last = percent;
    }
    EXPECT_EQ(host::recorder().repaints.size(), progress.size());
    EXPECT_EQ(host::recorder().repaints.front(), Sandbox::PROGRESS_WINDOW);
}

}  // namespace
