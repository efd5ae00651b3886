// pack_check_test.cpp -- tarnvel-pack check and extract: the stub's whole run on the host layer,
// the rules a file must satisfy, and signed packages.
//
// Broken files come from the test-side package writer, which can break any field; signed
// ones from osslsigncode with a throw-away certificate, checked by osslsigncode verify.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <functional>

#include "archive/failure_box.h"
#include "tests/pack_test_support.h"
#include "tools/pack/package_check.h"
#include "tools/pack/package_reader.h"
#include "tools/pack/package_rules.h"

namespace {

using namespace pack_test;

class PackCheck : public ::testing::Test {
protected:
    void SetUp() override {
        files = make_app_folder(scratch / "app");
        package = scratch / "app.exe";
        build(scratch, package, from_paths({scratch / "app"}));
    }
    TempFolder scratch;
    std::map<std::string, Bytes> files;
    fs::path package;
};

TEST_F(PackCheck, TheWholeRunShowsNoBoxVerifiesEveryFileAndOpensSetup) {
    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, {}});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_TRUE(report.run.boxes.empty());
    EXPECT_TRUE(report.layout.broken.empty());
    EXPECT_EQ(report.files_verified, files.size());
    EXPECT_EQ(report.folders_verified, 1u) << "only the empty folder needs an entry";
    EXPECT_EQ(report.run.entries_visited, files.size() + 1);
    EXPECT_EQ(report.temp_dir.size(), pack::DEFAULT_TEMP_DIR_LENGTH);
    // The stub puts a backslash between the temp dir and the name even though the temp dir
    // ends in one; Windows reads the doubled one as one.
    EXPECT_EQ(report.run.launch, report.temp_dir + "\\setup.exe");
}

TEST(PackTempDir, ItsLengthIsExactAndItLooksLikeWindows) {
    for (uint32_t length : {pack::MIN_TEMP_DIR_LENGTH, 29u, 30u, pack::DEFAULT_TEMP_DIR_LENGTH, pack::MAX_TEMP_DIR_LENGTH}) {
        std::string temp = pack::temp_dir_of_length(length);
        EXPECT_EQ(temp.size(), length);
        EXPECT_TRUE(temp.starts_with("C:\\")) << temp;
        EXPECT_EQ(temp.back(), '\\') << temp;
        EXPECT_EQ(temp.find("\\\\"), std::string::npos) << temp;
    }
}

// A package whose names fit a temp dir of 100 characters: check passes under a shorter
// temp dir, and under a longer one the stub itself refuses the entry (code 3).
TEST(PackCheckTempDir, TheStubsOwnPathLimitDecidesUnderAStatedTempDir) {
    TempFolder scratch;
    std::string name = "deep/" + std::string(150, 'p') + ".txt";
    folder_with(scratch.path(), name);
    pack::BuildOptions options;
    options.stub = stub_path(scratch);
    options.out = scratch / "pkg.exe";
    options.paths = {scratch / "src"};
    options.rules.temp_dir_length = 100;
    pack::build_package(options);

    pack::CheckReport fits = pack::check_package(pack::CheckOptions{options.out, pack::NameRules{100, false}});
    EXPECT_TRUE(fits.passed()) << pack::describe_check(fits);
    pack::CheckReport longer = pack::check_package(pack::CheckOptions{options.out, pack::NameRules{110, false}});
    EXPECT_FALSE(longer.passed());
    ASSERT_EQ(longer.run.failure_boxes(), 1u) << pack::describe_check(longer);
    EXPECT_EQ(longer.run.boxes[0].code, static_cast<unsigned>(FAILURE_CREATE));
    ASSERT_EQ(longer.layout.broken.size(), 1u);
    EXPECT_EQ(longer.layout.broken[0].rule, "entry-form");
    Ran r = run(pack_exe() + " check --temp-dir-length 110 " + quoted(options.out));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("code 0x3"), std::string::npos) << r.out;
}

// ---- extract: DIR is the temp dir ----

TEST_F(PackCheck, ExtractWritesEveryFileByteIdenticalWithItsTimeAndAttributes) {
    struct timespec times[2] = {{1623764730, 0}, {1623764730, 0}};  // 2021-06-15, an even second
    ASSERT_EQ(::utimensat(AT_FDCWD, (scratch / "app/log.txt").c_str(), times, 0), 0);
    build(scratch, package, from_paths({scratch / "app"}));
    fs::path out = scratch / "out";
    Ran r = run(pack_exe() + " extract " + quoted(package) + " " + quoted(out));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("boxes: none"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("(here " + (fs::canonical(out) / "setup.exe").string() + ")"), std::string::npos) << r.out;
    EXPECT_EQ(files_under(out), files) << "every file, and nothing of the tool's own";
    EXPECT_TRUE(fs::is_directory(out / "plugins/none"));
    struct stat st {};
    ASSERT_EQ(::stat((out / "log.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1623764730);
    EXPECT_EQ(fs::status(out / "readonly.txt").permissions() & fs::perms::owner_write, fs::perms::none);
}

TEST(PackExtract, DriveLetterNamesAreRefusedUnlessMappedUnderDir) {
    TempFolder scratch;
    folder_with(scratch.path(), "C:/Tools/tool.exe", sfx::text("MZ tool"));
    folder_with(scratch.path(), "readme.txt", sfx::text("read me"));
    pack::BuildOptions options;
    options.stub = stub_path(scratch);
    options.out = scratch / "pkg.exe";
    options.paths = {scratch / "src"};
    options.rules.allow_drive_letters = true;
    pack::build_package(options);

    Ran refused = run(pack_exe() + " extract " + quoted(options.out) + " " + quoted(scratch / "out"));
    EXPECT_EQ(refused.exit_code, 3) << refused.out;
    EXPECT_NE(refused.err.find("C:/Tools/tool.exe"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(scratch / "out"));

    Ran mapped = run(pack_exe() + " extract --map-drives " + quoted(options.out) + " " + quoted(scratch / "out"));
    EXPECT_EQ(mapped.exit_code, 0) << mapped.out << mapped.err;
    EXPECT_EQ(files_under(scratch / "out"),
              (std::map<std::string, Bytes>{{"C:/Tools/tool.exe", sfx::text("MZ tool")}, {"readme.txt", sfx::text("read me")}}));
}

// ---- check fails where the stub would show a box or a rule is broken ----

struct Broken {
    const char* name;
    std::function<sfx::Package()> make;
    const char* rule;  // a rule that must be reported broken, or "" for none
    unsigned code;     // the first failure box the run must show, or 0 for none
};
void PrintTo(const Broken& b, std::ostream* os) { *os << b.name; }

sfx::Entry entry(const std::string& name, Bytes content) {
    sfx::Entry e;
    e.name = name;
    e.content = std::move(content);
    return e;
}

sfx::Package one_entry(std::function<void(sfx::Entry&)> change = {}) {
    sfx::Package p;
    p.entries.push_back(entry("a.txt", sfx::sample_content(3000, 2)));
    if (change) change(p.entries.back());
    return p;
}

class PackCheckFinds : public ::testing::TestWithParam<Broken> {};

TEST_P(PackCheckFinds, TheBrokenRuleAndTheBoxAndExitsWithOne) {
    TempFolder scratch;
    fs::path package = scratch / "broken.exe";
    sfx::write_file(package, sfx::build(GetParam().make()).bytes);
    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, {}});
    std::string described = pack::describe_check(report);
    EXPECT_FALSE(report.passed()) << described;
    if (*GetParam().rule) {
        bool found = false;
        for (const auto& b : report.layout.broken) found |= b.rule == GetParam().rule;
        EXPECT_TRUE(found) << described;
    }
    if (GetParam().code != 0) {
        ASSERT_GE(report.run.failure_boxes(), 1u) << described;
        EXPECT_EQ(report.run.boxes.back().code, GetParam().code) << described;
    }
    Ran r = run(pack_exe() + " check " + quoted(package));
    EXPECT_EQ(r.exit_code, 1) << r.out;
    if (*GetParam().rule) {
        EXPECT_NE(r.out.find(std::string("rule ") + GetParam().rule + " broken"), std::string::npos) << r.out;
    }
    if (GetParam().code) {
        EXPECT_NE(r.out.find(fmt::format("code 0x{:X}", GetParam().code)), std::string::npos) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    PackCheckFinds, PackCheckFinds,
    ::testing::Values(
        Broken{"StoredEntry", [] { return one_entry([](sfx::Entry& e) { e.method = METHOD_STORED; }); }, "entry-form", 0},
        Broken{"DataDescriptor", [] { return one_entry([](sfx::Entry& e) { e.data_descriptor = true; }); }, "entry-form", 0},
        Broken{"Encrypted", [] { return one_entry([](sfx::Entry& e) { e.flags = FLAG_ENCRYPTED; }); }, "entry-form",
               FAILURE_ENCRYPTED},
        Broken{"LocalCrcDiffers",
               [] { return one_entry([](sfx::Entry& e) { e.patch_local = [](LocalHeader& h) { h.crc32 ^= 1; }; }); },
               "entry-form", FAILURE_DATA},
        Broken{"PathTooLong", [] { return one_entry([](sfx::Entry& e) { e.name = "d/" + std::string(215, 'l'); }); },
               "entry-form", FAILURE_CREATE},
        Broken{"EndRecordOutOfReach",
               [] {
                   sfx::Package p = one_entry();
                   p.end_comment = Bytes(20000, 'c');
                   return p;
               },
               "end-record-reach", FAILURE_NO_END_RECORD},
        Broken{"SecondEndRecordInTheTrailer",
               [] {
                   sfx::Package p = one_entry();
                   p.disclaimer_flag = 1;
                   p.disclaimer_text = std::string("accept PK\x05\x06 this licence");
                   return p;
               },
               "one-end-record", 0},
        Broken{"TrailerOutOfReach",
               [] {
                   // More bytes after the trailer than its length claims, as a signature would add.
                   sfx::Package p = one_entry();
                   p.disclaimer_flag = 1;
                   p.disclaimer_text = std::string(17000, 'L');
                   p.patch_trailer = [](TrailerBlock& block) { block.text_length = 100; };
                   return p;
               },
               "trailer-reach", 0},
        Broken{"TrailerSignatureInTheText",
               [] {
                   sfx::Package p = one_entry();
                   p.disclaimer_flag = 1;
                   p.disclaimer_text = std::string("accept SFX\x01 this");
                   return p;
               },
               "trailer-reach", 0},
        Broken{"DisclaimerTooLong",
               [] {
                   sfx::Package p = one_entry();
                   p.disclaimer_flag = 1;
                   p.disclaimer_text = std::string(16385, 'L');
                   return p;
               },
               "disclaimer-size", 0},
        Broken{"RecordAfterTheDirectory",
               [] {
                   sfx::Package p = one_entry();
                   p.after_directory = sfx::text("PK\x07\x08 something else");
                   return p;
               },
               "directory-end", FAILURE_SIGNATURE},
        Broken{"CentralRecordWithoutAName",
               [] {
                   sfx::Package p = one_entry();
                   p.entries.push_back(entry("b.txt", sfx::text("b")));
                   p.entries.back().central_name = "";
                   return p;
               },
               "directory-totals", FAILURE_COUNT},
        Broken{"CountTooHigh", [] {
                   sfx::Package p = one_entry();
                   p.patch_end = [](EndRecord& r) { ++r.total_entries; };
                   return p;
               },
               "directory-totals", FAILURE_COUNT}),
    [](const auto& c) { return std::string(c.param.name); });

// Damage that leaves the layout whole: only the run and the read-back can find it.
struct Damage {
    const char* name;
    std::function<void(Bytes&, const pack::Archive&)> apply;
    unsigned code;  // the box the run must raise
};
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class PackCheckFails : public ::testing::TestWithParam<Damage> {};

const pack::ZipEntry& entry_named(const pack::Archive& a, const std::string& name) {
    for (const auto& e : a.entries)
        if (e.name == name) return e;
    throw std::runtime_error("no entry " + name);
}

TEST_P(PackCheckFails, ReportsTheBoxWithTheEntryItConcernsAndExitsWithOne) {
    TempFolder scratch;
    make_app_folder(scratch / "app");
    fs::path package = scratch / "app.exe";
    build(scratch, package, from_paths({scratch / "app"}));
    Bytes bytes = sfx::read_file(package);
    pack::Archive archive = pack::read_package(pack::ByteView(bytes));
    GetParam().apply(bytes, archive);
    sfx::write_file(package, bytes);

    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, {}});
    EXPECT_FALSE(report.passed());
    ASSERT_EQ(report.run.failure_boxes(), 1u) << pack::describe_check(report);
    EXPECT_EQ(report.run.boxes[0].code, GetParam().code);
    EXPECT_FALSE(report.lost.empty()) << "the read-back finds the damaged file too";
    Ran r = run(pack_exe() + " check " + quoted(package));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find(fmt::format("code 0x{:X}", GetParam().code)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("while writing"), std::string::npos) << r.out;
}

INSTANTIATE_TEST_SUITE_P(
    PackCheckFails, PackCheckFails,
    ::testing::Values(
        Damage{"FlippedDeflateByte",
               [](Bytes& b, const pack::Archive& a) { b[entry_named(a, "log.txt").data_offset + 1000] ^= 0x55; }, FAILURE_DATA},
        Damage{"FlippedStoredBlockByte",
               [](Bytes& b, const pack::Archive& a) { b[entry_named(a, "bin/noise.bin").data_offset + 100] ^= 1; }, FAILURE_DATA}),
    [](const auto& c) { return std::string(c.param.name); });

// ---- Signed packages ----

class PackSigned : public ::testing::Test {
protected:
    void SetUp() override {
        if (!have("osslsigncode") || !have("openssl")) GTEST_SKIP() << "osslsigncode and openssl are needed";
        Ran made = run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Tarnvel test signer' -keyout " +
                       quoted(scratch / "key.pem") + " -out " + quoted(scratch / "cert.pem"));
        ASSERT_EQ(made.exit_code, 0) << made.err;
        files = make_app_folder(scratch / "app");
    }
    // Signs `in` into `out`; osslsigncode's own exit code.
    int sign(const fs::path& in, const fs::path& out) {
        Ran r = run("osslsigncode sign -certs " + quoted(scratch / "cert.pem") + " -key " + quoted(scratch / "key.pem") +
                    " -n 'Tarnvel test' -in " + quoted(in) + " -out " + quoted(out));
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        return r.exit_code;
    }
    TempFolder scratch;
    std::map<std::string, Bytes> files;
};

TEST_F(PackSigned, VerifiesAndStillExtractsInFullWithItsDisclaimer) {
    sfx::write_file(scratch / "licence.txt", sfx::text("Accept the signed licence."));
    build(scratch, scratch / "pkg.exe", from_paths({scratch / "app"}, "Accept the signed licence."));
    ASSERT_EQ(sign(scratch / "pkg.exe", scratch / "signed.exe"), 0);
    Ran verified = run("osslsigncode verify -CAfile " + quoted(scratch / "cert.pem") + " -in " + quoted(scratch / "signed.exe"));
    EXPECT_EQ(verified.exit_code, 0) << verified.out << verified.err;

    pack::CheckReport report = pack::check_package(pack::CheckOptions{scratch / "signed.exe", {}});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    ASSERT_TRUE(report.layout.signature.has_value());
    EXPECT_EQ(report.layout.signature->offset + report.layout.signature->size, fs::file_size(scratch / "signed.exe"));
    ASSERT_FALSE(report.run.boxes.empty());
    EXPECT_TRUE(report.run.boxes[0].disclaimer) << "the trailer is still found behind the certificate table";
    EXPECT_EQ(report.run.boxes[0].text, "Accept the signed licence.");

    Ran extracted = run(pack_exe() + " extract " + quoted(scratch / "signed.exe") + " " + quoted(scratch / "out"));
    EXPECT_EQ(extracted.exit_code, 0) << extracted.out;
    EXPECT_EQ(files_under(scratch / "out"), files);
}

TEST_F(PackSigned, ALongDisclaimerLeavesNoRoomAndCheckSaysSoBeforeAndAfter) {
    std::string text(16000, 'L');
    build(scratch, scratch / "pkg.exe", from_paths({scratch / "app"}, text));
    Ran before = run(pack_exe() + " check " + quoted(scratch / "pkg.exe"));
    EXPECT_EQ(before.exit_code, 0) << before.out;
    EXPECT_NE(before.out.find("warning: a signature of more than"), std::string::npos) << before.out;

    ASSERT_EQ(sign(scratch / "pkg.exe", scratch / "signed.exe"), 0);
    Ran after = run(pack_exe() + " check " + quoted(scratch / "signed.exe"));
    EXPECT_EQ(after.exit_code, 1) << after.out;
    EXPECT_NE(after.out.find("rule trailer-reach broken"), std::string::npos) << after.out;
    EXPECT_NE(after.out.find("disclaimer is never shown"), std::string::npos) << after.out;
}

}  // namespace
