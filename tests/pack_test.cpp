// pack_test.cpp -- tarnvel-pack builds: packages from folders, entry format, refusals, the disclaimer.
//
// Witnesses besides the tool itself: the stub's own walk (extract_archive and show_disclaimer
// on the host layer), Info-ZIP's unzip -t and zip -9, Python's zipfile, zlib.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "platform/host/host_platform.h"
#include "shell/disclaimer_gate.h"
#include "tests/pack_test_support.h"
#include "tools/pack/package_check.h"
#include "tools/pack/package_plan.h"
#include "tools/pack/package_reader.h"

namespace {

using namespace pack_test;

// ---- A folder built into a package ----

class PackFolder : public ::testing::Test {
protected:
    void SetUp() override {
        files = make_app_folder(scratch / "app");
        package = scratch / "app.exe";
        result = build(scratch, package, from_paths({scratch / "app"}));
    }
    TempFolder scratch;
    std::map<std::string, Bytes> files;
    fs::path package;
    pack::BuildResult result;
};

TEST_F(PackFolder, InfoZipTestsEveryEntryOk) {
    if (!have("unzip")) GTEST_SKIP() << "unzip is not installed";
    Ran r = run("unzip -t " + quoted(package));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("No errors detected"), std::string::npos) << r.out;
}

TEST_F(PackFolder, SevenZipTestsEveryEntryOk) {
    if (!have("7z")) GTEST_SKIP() << "7z is not installed";
    Ran r = run("7z t -bd " + quoted(package));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Everything is Ok"), std::string::npos) << r.out;
}

TEST_F(PackFolder, PythonZipfileReadsEveryEntryWithItsNameAndBytes) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    sfx::write_file(scratch / "read.py", sfx::text("import sys, zipfile, hashlib\n"
                                                   "z = zipfile.ZipFile(sys.argv[1])\n"
                                                   "assert z.testzip() is None\n"
                                                   "for i in z.infolist():\n"
                                                   "    print(i.filename + '\\t' + hashlib.sha256(z.read(i)).hexdigest())\n"));
    Ran r = run("python3 " + quoted(scratch / "read.py") + " " + quoted(package));
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::map<std::string, std::string> listed;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) listed[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    EXPECT_EQ(listed.size(), files.size() + 1);
    EXPECT_TRUE(listed.count("plugins/none/"));
    for (const auto& [name, bytes] : files) {
        ASSERT_TRUE(listed.count(name)) << name << " is missing or misnamed";
        Ran sum = run("sha256sum " + quoted(scratch / "app" / name));
        EXPECT_EQ(sum.out.substr(0, 64), listed[name]) << name;
    }
}

TEST_F(PackFolder, ExtractArchiveReproducesEveryByteAndTheReadOnlyBit) {
    sfx::Sandbox box;
    box.run(sfx::read_file(package));
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{});
    for (const auto& [name, bytes] : files) {
        ASSERT_TRUE(fs::is_regular_file(box.temp(name))) << name;
        EXPECT_TRUE(sfx::read_file(box.temp(name)) == bytes) << name << " differs";
    }
    EXPECT_TRUE(fs::is_directory(box.temp("plugins/none")));
    auto writable = [](const fs::path& p) { return (fs::status(p).permissions() & fs::perms::owner_write) != fs::perms::none; };
    EXPECT_FALSE(writable(box.temp("readonly.txt")));
    EXPECT_TRUE(writable(box.temp("log.txt")));
}

TEST_F(PackFolder, EntriesAreSortedWithWindowsAttributesAndNoSpareFolders) {
    pack::MappedFile file(package);
    pack::Archive archive = pack::read_package(file);
    std::vector<std::string> names;
    for (const auto& e : archive.entries) {
        names.push_back(pack::oem_to_utf8(e.name));
        EXPECT_EQ(e.local_flags, 0) << e.name << ": no descriptor, no encryption";
        EXPECT_EQ(e.local_compressed_size, e.compressed_size) << e.name;
        EXPECT_EQ(e.local_crc32, e.crc32) << e.name;
        const std::map<std::string, uint32_t> special = {
            {"plugins/none/", pack::ATTR_DIRECTORY},
            {"readonly.txt", pack::ATTR_ARCHIVE | pack::ATTR_READONLY},
            {".hidden.ini", pack::ATTR_ARCHIVE | pack::ATTR_HIDDEN},
        };
        uint32_t expected = special.count(names.back()) ? special.at(names.back()) : pack::ATTR_ARCHIVE;
        EXPECT_EQ(e.external_attributes, expected) << e.name;
    }
    std::vector<std::string> expected;
    for (const auto& [name, bytes] : files) expected.push_back(name);
    expected.push_back("plugins/none/");
    std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) {
        return pack::utf8_to_oem(a) < pack::utf8_to_oem(b);
    });
    EXPECT_EQ(names, expected);
}

// zlib's raw inflate of an entry's data, as an independent decoder.
Bytes inflate_raw(pack::ByteView data, size_t size) {
    Bytes out(size + 1);
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    z.next_in = const_cast<unsigned char*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(inflate(&z, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(z.avail_in, 0u) << "the stream ends where the entry's data ends";
    out.resize(z.total_out);
    inflateEnd(&z);
    return out;
}

TEST_F(PackFolder, EveryEntryIsDeflateWithStoredBlocksWhereDeflateCannotShrink) {
    pack::MappedFile file(package);
    pack::Archive archive = pack::read_package(file);
    for (const auto& e : archive.entries) {
        EXPECT_EQ(e.local_method, METHOD_DEFLATE) << e.name;
        pack::ByteView data = pack::entry_data(file.bytes(), archive, e);
        std::string name = pack::oem_to_utf8(e.name);
        if (e.is_directory() || name == "empty.txt") {
            EXPECT_EQ(Bytes(data.begin(), data.end()), Bytes({0x03, 0x00})) << name << ": the empty deflate stream";
            continue;
        }
        EXPECT_TRUE(inflate_raw(data, e.uncompressed_size) == files.at(name)) << name;
        if (name == "bin/noise.bin") {
            EXPECT_EQ((data[0] >> 1) & 3, 0) << "the first block is a stored block";
            uint32_t blocks = (e.uncompressed_size + 65534) / 65535;
            EXPECT_LE(e.compressed_size, e.uncompressed_size + 5 * blocks) << "stored blocks add 5 bytes each";
        }
        if (name == "log.txt" || name == "bin/deep/er/lib.dll") {
            EXPECT_LT(e.compressed_size, e.uncompressed_size) << name;
        }
    }
}

TEST_F(PackFolder, OneThreadAndEveryCoreBuildTheSameBytes) {
    for (unsigned jobs : {1u, 3u}) {
        pack::BuildOptions options;
        options.stub = stub_path(scratch);
        options.out = scratch / fmt::format("jobs{}.exe", jobs);
        options.paths = {scratch / "app"};
        options.jobs = jobs;
        uint64_t last_done = 0;
        options.progress = [&](uint64_t done, uint64_t total) {
            EXPECT_GE(done, last_done);
            EXPECT_LE(done, total);
            last_done = done;
        };
        pack::build_package(options);
        EXPECT_TRUE(sfx::read_file(options.out) == sfx::read_file(package)) << jobs << " threads";
        EXPECT_EQ(last_done, result.input_size) << "the last progress call counts every byte";
    }
}

TEST_F(PackFolder, TheSameFolderBuildsTheSameBytes) {
    fs::path again = scratch / "again.exe";
    build(scratch, again, from_paths({scratch / "app"}));
    EXPECT_TRUE(sfx::read_file(again) == sfx::read_file(package));
}

TEST_F(PackFolder, DefaultLevelIsSmallerThanZip9OfTheSameFolder) {
    if (!have("zip")) GTEST_SKIP() << "zip is not installed";
    fs::path zipped = scratch / "app.zip";
    Ran r = run("cd " + quoted(scratch / "app") + " && zip -q -9 -r " + quoted(zipped) + " .");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    // The archive part alone: the package also carries the stub and the 12-byte trailer.
    uint64_t archive_bytes = result.package_size - result.stub_size - TRAILER_SIZE;
    EXPECT_LT(archive_bytes, fs::file_size(zipped));
}

TEST_F(PackFolder, LocalTimeOfTheFileBecomesItsDosTime) {
    std::tm local{};
    local.tm_year = 2021 - 1900;
    local.tm_mon = 5;
    local.tm_mday = 15;
    local.tm_hour = 13;
    local.tm_min = 45;
    local.tm_sec = 31;  // DOS times count two-second steps: 31 is written as 30
    local.tm_isdst = -1;
    std::time_t when = std::mktime(&local);
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (scratch / "app/log.txt").c_str(), times, 0), 0);
    build(scratch, package, from_paths({scratch / "app"}));
    pack::MappedFile file(package);
    for (const auto& e : pack::read_package(file).entries)
        if (e.name == "log.txt") {
            EXPECT_EQ(pack::dos_time_text(e.time), "2021-06-15 13:45:30");
        }
}

// ---- Refusals: exit code 3, the culprit and the limit named, and nothing written ----

struct Refusal {
    const char* name;
    // Prepares the case in `dir` and returns the arguments after "build --stub S -o OUT".
    std::function<std::string(const fs::path& dir)> prepare;
    const char* culprit;  // the entry or input the message must name
    const char* limit;    // and the limit it must state
    int exit_code = 3;
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

// A zip holding these names, written by Python's zipfile, which keeps names as given.
std::string zip_with(const fs::path& dir, const std::vector<std::string>& names) {
    std::string script = "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n";
    for (const auto& n : names) script += "z.writestr(zipfile.ZipInfo('" + n + "'), b'data')\n";
    script += "z.close()\n";
    sfx::write_file(dir / "make.py", sfx::text(script));
    EXPECT_EQ(run("python3 " + quoted(dir / "make.py") + " " + quoted(dir / "src.zip")).exit_code, 0);
    return "--zip " + quoted(dir / "src.zip");
}

// A zip made by Info-ZIP's zip from one file, with these options.
std::string info_zip_with(const fs::path& dir, const std::string& options) {
    folder_with(dir, "secret.txt", sfx::sample_content(5000, 1));
    std::string made = "cd " + quoted(dir / "src") + " && zip -q " + options + " " + quoted(dir / "in.zip") + " *";
    EXPECT_EQ(run(made).exit_code, 0) << made;
    return "--zip " + quoted(dir / "in.zip");
}

std::string disclaimer_file(const fs::path& dir, const std::string& text) {
    sfx::write_file(dir / "text", sfx::text(text));
    return "--disclaimer " + quoted(dir / "text") + " " + folder_with(dir, "a.txt");
}

class PackRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(PackRefuses, NamingTheCulpritAndTheLimitWithNothingWritten) {
    if (!have("python3") || !have("zip")) GTEST_SKIP() << "python3 and zip are needed";
    TempFolder scratch;
    fs::path dir = scratch / "case";
    fs::create_directories(dir);
    std::string arguments = GetParam().prepare(dir);
    fs::path out = scratch / "out/pkg.exe";
    fs::create_directories(out.parent_path());
    Ran r = run(pack_exe() + " build -q --stub " + quoted(stub_path(scratch)) + " -o " + quoted(out) + " " + arguments);
    EXPECT_EQ(r.exit_code, GetParam().exit_code) << r.err;
    EXPECT_NE(r.err.find(GetParam().culprit), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(GetParam().limit), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(out.parent_path())) << "no package and no temporary file remain";
}

// Names whose path behind the default temp dir is exactly 260 characters: one too many.
const std::string LONG_NAME = "sub/" + std::string(PATH_CAPACITY - pack::DEFAULT_TEMP_DIR_LENGTH - 4, 'n');

INSTANTIATE_TEST_SUITE_P(
    PackRefuses, PackRefuses,
    ::testing::Values(
        Refusal{"DotDotComponent", [](const fs::path& d) { return zip_with(d, {"ok.txt", "docs/../../evil.txt"}); },
                "docs/../../evil.txt", "\"..\" component"},
        Refusal{"DriveLetterInAZip", [](const fs::path& d) { return zip_with(d, {"C:/Windows/evil.dll"}); },
                "C:/Windows/evil.dll", "drive letter"},
        Refusal{"DriveLetterFromAFolder", [](const fs::path& d) { return folder_with(d, "C:/Tools/tool.exe"); },
                "C:/Tools/tool.exe", "--allow-drive-letters"},
        Refusal{"PathReaches260", [](const fs::path& d) { return folder_with(d, LONG_NAME); }, LONG_NAME.c_str(),
                "would be 260 characters"},
        Refusal{"PathReaches260UnderAStatedTempDir",
                [](const fs::path& d) { return "--temp-dir-length 120 " + folder_with(d, "sub/" + std::string(136, 'm')); },
                "sub/mmmm", "temp dir of 120 characters"},
        Refusal{"DrivePathReaches260",
                [](const fs::path& d) { return "--allow-drive-letters " + folder_with(d, "D:/" + std::string(128, 'd') + "/" + std::string(128, 'd'));
                },
                "D:/ddd", "260"},
        Refusal{"CaseTwins", [](const fs::path& d) { folder_with(d, "Read.txt"); return folder_with(d, "read.TXT"); },
                "read.TXT", "without regard to case"},
        Refusal{"CaseTwinsBeyondAscii", [](const fs::path& d) { folder_with(d, "Caf\xc3\xa9.txt"); return folder_with(d, "CAF\xc3\x89.txt"); },
                "CAF\xc3\x89.txt", "without regard to case"},
        Refusal{"FileAndFolder", [](const fs::path& d) { return zip_with(d, {"x", "x/y.txt"}); }, "x/y.txt", "needs a folder"},
        Refusal{"DeviceName", [](const fs::path& d) { return folder_with(d, "con.txt"); }, "con.txt", "Windows device"},
        Refusal{"NotInCodePage437", [](const fs::path& d) { return folder_with(d, "\xe6\x97\xa5\xe6\x9c\xac.txt"); },
                "\xe6\x97\xa5\xe6\x9c\xac.txt", "code page 437"},
        Refusal{"FourGigabytes",
                [](const fs::path& d) {
                    std::string src = folder_with(d, "huge.bin");
                    fs::resize_file(d / "src/huge.bin", 0x100000000ull);  // sparse: nothing is written
                    return src;
                },
                "huge.bin", "4 GiB"},
        Refusal{"DisclaimerTooLong", [](const fs::path& d) { return disclaimer_file(d, std::string(16385, 'a')); },
                "disclaimer is 16385 bytes", "16384"},
        Refusal{"DisclaimerWithTrailerSignature",
                [](const fs::path& d) { return disclaimer_file(d, std::string("before SFX\x01 after")); }, "disclaimer",
                "\"SFX\" 0x01"},
        Refusal{"DisclaimerWithEndRecordSignature",
                [](const fs::path& d) { return disclaimer_file(d, std::string("PK\x05\x06 in the text")); }, "disclaimer",
                "05 06"},
        Refusal{"DisclaimerWithZeroByte", [](const fs::path& d) { return disclaimer_file(d, std::string("half\0hidden", 11)); },
                "disclaimer", "zero byte"},
        Refusal{"EncryptedZipEntry", [](const fs::path& d) { return info_zip_with(d, "-P pw"); }, "secret.txt", "encrypted"},
        Refusal{"MethodThatCannotBeDecoded",
                [](const fs::path& d) {
                    // Text, which 7z compresses rather than stores.
                    folder_with(d, "secret.txt", megabyte_text());
                    std::string made = "cd " + quoted(d / "src") + " && 7z a -tzip -mm=Deflate64 -bd -bso0 -bsp0 " +
                                       quoted(d / "in.zip") + " secret.txt";
                    EXPECT_EQ(run(made).exit_code, 0) << made;
                    return "--zip " + quoted(d / "in.zip");
                },
                "secret.txt", "method 9"},
        Refusal{"SymbolicLinkInAZip",
                [](const fs::path& d) {
                    fs::create_directories(d / "src");
                    fs::create_symlink("/etc/passwd", d / "src/link");
                    EXPECT_EQ(run("cd " + quoted(d / "src") + " && zip -q -y " + quoted(d / "in.zip") + " link").exit_code, 0);
                    return "--zip " + quoted(d / "in.zip");
                },
                "link", "symbolic link"},
        Refusal{"NotAZip",
                [](const fs::path& d) {
                    sfx::write_file(d / "plain.txt", sfx::text("just text"));
                    return "--zip " + quoted(d / "plain.txt");
                },
                "plain.txt", "not a zip", 4}),
    [](const auto& c) { return std::string(c.param.name); });

std::vector<pack::PlannedEntry> planned(const std::vector<std::string>& names) {
    std::vector<pack::PlannedEntry> entries(names.size());
    for (size_t i = 0; i < names.size(); ++i) entries[i].name = entries[i].shown = names[i];
    return entries;
}

TEST(PackRefusesPlan, MoreThan65535EntriesButNotExactly65535) {
    std::vector<std::string> names;
    for (uint32_t i = 0; i < pack::MAX_ENTRIES; ++i) names.push_back(fmt::format("f{}", i));
    std::vector<std::string> warnings;
    EXPECT_NO_THROW(pack::check_plan(planned(names), {}, warnings));
    names.push_back("g");
    try {
        pack::check_plan(planned(names), {}, warnings);
        ADD_FAILURE() << "65536 entries were accepted";
    } catch (const pack::Refused& e) {
        EXPECT_NE(std::string(e.what()).find("65535"), std::string::npos) << e.what();
    }
}

// The stub writes a path of 259 characters and refuses one of 260: the packer's line must
// fall exactly there, for any stated temp dir.
TEST(PackRefusesPlan, TheLastPathThatFitsIs259CharactersBehindTheTempDir) {
    for (uint32_t temp : {pack::MIN_TEMP_DIR_LENGTH, pack::DEFAULT_TEMP_DIR_LENGTH, 150u}) {
        pack::NameRules rules{temp, false};
        std::vector<std::string> warnings;
        std::string fits = "dir/" + std::string(PATH_CAPACITY - 1 - temp - 4, 'a');
        EXPECT_NO_THROW(pack::check_plan(planned({fits}), rules, warnings)) << temp;
        EXPECT_THROW(pack::check_plan(planned({fits + "a"}), rules, warnings), pack::Refused) << temp;
    }
    pack::NameRules drives{pack::DEFAULT_TEMP_DIR_LENGTH, true};
    std::vector<std::string> warnings;
    std::string fits = "E:/" + std::string(PATH_CAPACITY - 1 - 3, 'e');
    EXPECT_NO_THROW(pack::check_plan(planned({fits}), drives, warnings)) << "a drive path does not sit behind the temp dir";
    EXPECT_THROW(pack::check_plan(planned({fits + "e"}), drives, warnings), pack::Refused);
}

TEST(PackRefusesPlan, DriveLettersOnlyWhenAllowedAndDotDotNever) {
    std::vector<std::string> warnings;
    pack::NameRules allow{pack::DEFAULT_TEMP_DIR_LENGTH, true};
    EXPECT_THROW(pack::check_plan(planned({"C:/Tools/a.exe"}), {}, warnings), pack::Refused);
    EXPECT_NO_THROW(pack::check_plan(planned({"C:/Tools/a.exe"}), allow, warnings));
    EXPECT_THROW(pack::check_plan(planned({"C:/Tools/../a.exe"}), allow, warnings), pack::Refused);
    EXPECT_THROW(pack::check_plan(planned({"C:relative.exe"}), allow, warnings), pack::Refused)
        << "a drive-relative name lands wherever that drive's current folder is";
    EXPECT_THROW(pack::check_plan(planned({"C:/a.exe", "c:/A.EXE"}), allow, warnings), pack::Refused);
}

TEST(PackRefusesPlan, ADisclaimerOfExactly16384BytesIsAcceptedWithAWarningAboutSignatures) {
    std::vector<std::string> warnings;
    EXPECT_NO_THROW(pack::check_disclaimer(std::string(16384, 'a'), warnings));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("signature"), std::string::npos) << warnings[0];
    warnings.clear();
    EXPECT_NO_THROW(pack::check_disclaimer("Accept?", warnings));
    EXPECT_TRUE(warnings.empty());
    EXPECT_THROW(pack::check_disclaimer("", warnings), pack::Refused);
}

// ---- The disclaimer through the stub's own gate ----

struct DisclaimerCase {
    const char* name;
    std::string text;
};
void PrintTo(const DisclaimerCase& c, std::ostream* os) { *os << c.name; }

class PackDisclaimer : public ::testing::TestWithParam<DisclaimerCase> {};

TEST_P(PackDisclaimer, RoundTripsThroughShowDisclaimer) {
    TempFolder scratch;
    folder_with(scratch.path(), "a.txt");
    fs::path package = scratch / "pkg.exe";
    build(scratch, package, from_paths({scratch / "src"}, GetParam().text));

    sfx::Sandbox box;
    sfx::write_file(box.package(), sfx::read_file(package));
    host::script_answers({ANSWER_CANCEL});
    EXPECT_EQ(show_disclaimer(sfx::Sandbox::PACKAGE_PATH), ANSWER_CANCEL);
    ASSERT_EQ(host::recorder().boxes.size(), 1u);
    EXPECT_EQ(host::recorder().boxes[0].text, GetParam().text);
    EXPECT_EQ(host::recorder().boxes[0].caption, DISCLAIMER_CAPTION);

    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, {}});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    ASSERT_FALSE(report.run.boxes.empty());
    EXPECT_TRUE(report.run.boxes[0].disclaimer);
    EXPECT_EQ(report.run.boxes[0].text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(PackDisclaimer, PackDisclaimer,
                         ::testing::Values(DisclaimerCase{"OneLine", "Accept the licence to go on."},
                                           DisclaimerCase{"Lines", "Licence\r\n\r\n1. Use it.\r\n2. Share it.\r\n"},
                                           DisclaimerCase{"WholeBuffer", std::string(16384, 'L')}),
                         [](const auto& c) { return std::string(c.param.name); });

TEST(PackDisclaimerAbsent, NoBoxAndTheGateLetsTheRunGoOn) {
    TempFolder scratch;
    folder_with(scratch.path(), "a.txt");
    fs::path package = scratch / "pkg.exe";
    build(scratch, package, from_paths({scratch / "src"}));
    sfx::Sandbox box;
    sfx::write_file(box.package(), sfx::read_file(package));
    EXPECT_EQ(show_disclaimer(sfx::Sandbox::PACKAGE_PATH), 1);
    EXPECT_TRUE(host::recorder().boxes.empty());
    Bytes bytes = sfx::read_file(package);
    Bytes last(bytes.end() - 12, bytes.end());
    EXPECT_TRUE(last == sfx::trailer_block(0, "")) << "a package without a disclaimer ends in the 12-byte trailer";
}

}  // namespace
