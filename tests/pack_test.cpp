// pack_test.cpp -- tarnvel-pack: packages built from folders and zips, refusals, check, the command line.
//
// Witnesses besides the tool itself: the stub's own walk (extract_archive and show_disclaimer
// on the host layer), Info-ZIP's unzip -t and zip -9, Python's zipfile.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "platform/host/host_platform.h"
#include "shell/disclaimer_gate.h"
#include "tests/fixtures/sfx_writer.h"
#include "tests/support/temp_folder.h"
#include "tools/pack/package_check.h"
#include "tools/pack/package_reader.h"
#include "tools/pack/package_writer.h"

namespace {

namespace fs = std::filesystem;
using sfx::Bytes;
using testing_support::TempFolder;

bool have(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

struct Ran {
    int exit_code;
    std::string out;
    std::string err;
};

Ran run(const std::string& command) {
    TempFolder capture;
    std::string full = command + " >" + quoted(capture / "out") + " 2>" + quoted(capture / "err");
    int status = std::system(full.c_str());
    auto slurp = [](const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    return Ran{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(capture / "out"), slurp(capture / "err")};
}

using sfx::noise;

// About 1 MB of text that reads like a log: compressible, but not trivially.
Bytes megabyte_text() {
    std::string text;
    for (int line = 0; text.size() < (1u << 20); ++line)
        text += "2026-12-11 07:" + std::to_string(line % 60) + " setup step " + std::to_string(line * 7919 % 10007) +
                " copied file " + std::to_string(line) + " of the application\r\n";
    return sfx::text(text);
}

constexpr const char* NON_ASCII_NAME = "docs/Résumé café.txt";

// The folder every build test starts from; files by name (relative, '/') and their bytes.
std::map<std::string, Bytes> make_app_folder(const fs::path& root) {
    std::map<std::string, Bytes> files = {
        {"setup.exe", sfx::text("MZ the setup program")},
        {"bin/deep/er/lib.dll", sfx::sample_content(200000, 7)},
        {"bin/noise.bin", noise(70000, 3)},
        {"empty.txt", {}},
        {"readonly.txt", sfx::text("do not touch\r\n")},
        {NON_ASCII_NAME, sfx::text("accents\r\n")},
        {"log.txt", megabyte_text()},
    };
    for (const auto& [name, bytes] : files) {
        fs::create_directories((root / name).parent_path());
        sfx::write_file(root / name, bytes);
    }
    fs::create_directories(root / "plugins/none");
    fs::permissions(root / "readonly.txt", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    return files;
}

fs::path stub_path(const TempFolder& scratch) {
    fs::path shipped = TARNVEL_STUB;
    if (fs::exists(shipped)) return shipped;
    // A fresh host build has no cross-built stub yet; a PE-like head serves the host walk.
    sfx::write_file(scratch / "stub.exe", sfx::default_stub());
    return scratch / "stub.exe";
}

pack::BuildResult build(const TempFolder& scratch, const fs::path& source, const fs::path& out,
                        std::optional<std::string> disclaimer = std::nullopt, int level = pack::DEFAULT_LEVEL) {
    pack::BuildOptions options;
    options.stub = stub_path(scratch);
    options.out = out;
    options.source = source;
    options.disclaimer = std::move(disclaimer);
    options.level = level;
    return pack::build_package(options);
}

// ---- A folder built into a package ----

class PackFolder : public ::testing::Test {
protected:
    void SetUp() override {
        files = make_app_folder(scratch / "app");
        package = scratch / "app.exe";
        result = build(scratch, scratch / "app", package);
    }
    TempFolder scratch;
    std::map<std::string, Bytes> files;
    fs::path package;
    pack::BuildResult result;
};

TEST_F(PackFolder, CheckRunsTheWalkWithoutABoxAndVerifiesEveryFile) {
    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, std::nullopt});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_TRUE(report.boxes.empty());
    EXPECT_EQ(report.files_verified, files.size());
    EXPECT_EQ(report.folders_verified, 1u) << "only the empty folder needs an entry";
    EXPECT_EQ(report.entries_visited, files.size() + 1);
    EXPECT_EQ(report.launch, "setup.exe");
    EXPECT_FALSE(report.disclaimer.has_value());
}

TEST_F(PackFolder, InfoZipTestsEveryEntryOk) {
    if (!have("unzip")) GTEST_SKIP() << "unzip is not installed";
    Ran r = run("unzip -t " + quoted(package));
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("No errors detected"), std::string::npos) << r.out;
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
        uint32_t expected = e.is_directory() ? pack::ATTR_DIRECTORY
                            : names.back() == "readonly.txt" ? pack::ATTR_READONLY
                                                             : pack::ATTR_ARCHIVE;
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

TEST_F(PackFolder, IncompressibleFilesAreStoredAndTheRestDeflated) {
    pack::MappedFile file(package);
    for (const auto& e : pack::read_package(file).entries) {
        if (e.name == "bin/noise.bin") {
            EXPECT_EQ(e.local_method, METHOD_STORED);
        }
        if (e.name == "log.txt" || e.name == "bin/deep/er/lib.dll") {
            EXPECT_EQ(e.local_method, METHOD_DEFLATE) << e.name;
            EXPECT_LT(e.local_compressed_size, e.local_uncompressed_size) << e.name;
        }
    }
}

TEST_F(PackFolder, TheSameFolderBuildsTheSameBytes) {
    fs::path again = scratch / "again.exe";
    build(scratch, scratch / "app", again);
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
    build(scratch, scratch / "app", package);
    pack::MappedFile file(package);
    for (const auto& e : pack::read_package(file).entries)
        if (e.name == "log.txt") {
            EXPECT_EQ(pack::dos_time_text(e.time), "2021-06-15 13:45:30");
        }
}

TEST_F(PackFolder, CheckKeepsTheFilesWhereAsked) {
    fs::path kept = scratch / "kept";
    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, kept});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_TRUE(sfx::read_file(kept / "log.txt") == files["log.txt"]);
    EXPECT_TRUE(fs::is_directory(kept / "plugins/none"));
    size_t entries = 0;
    for (auto it = fs::directory_iterator(kept); it != fs::directory_iterator(); ++it) ++entries;
    EXPECT_EQ(entries, 7u) << "the top level holds the package's entries and nothing of the check's own";
}

// ---- A zip made by Info-ZIP, re-packed ----

struct ZipTool {
    const char* name;
    const char* program;  // skipped when missing
    std::string command;  // run in the folder; OUT stands for the zip's path
};
void PrintTo(const ZipTool& t, std::ostream* os) { *os << t.name; }

class PackZip : public ::testing::TestWithParam<ZipTool> {};

TEST_P(PackZip, RepacksTheZipSoEveryEntryExtractsUnderItsName) {
    if (!have(GetParam().program)) GTEST_SKIP() << GetParam().program << " is not installed";
    TempFolder scratch;
    auto files = make_app_folder(scratch / "app");
    fs::path zipped = scratch / "app.zip";
    sfx::write_file(scratch / "zip.py", sfx::text("import os, sys, zipfile\n"
                                                  "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                                                  "    for folder, dirs, names in os.walk('.'):\n"
                                                  "        for n in dirs + names:\n"
                                                  "            z.write(os.path.join(folder, n))\n"));
    std::string command = GetParam().command;
    command.replace(command.find("OUT"), 3, quoted(zipped));
    if (command.find("SCRIPT") != std::string::npos) command.replace(command.find("SCRIPT"), 6, quoted(scratch / "zip.py"));
    Ran made = run("cd " + quoted(scratch / "app") + " && " + command);
    ASSERT_EQ(made.exit_code, 0) << command << "\n" << made.err;
    fs::path package = scratch / "app.exe";
    build(scratch, zipped, package);

    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, std::nullopt});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_EQ(report.files_verified, files.size());

    sfx::Sandbox box;
    box.run(sfx::read_file(package));
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{});
    for (const auto& [name, bytes] : files) EXPECT_TRUE(sfx::read_file(box.temp(name)) == bytes) << name;

    pack::MappedFile file(package);
    std::set<std::string> folders;
    for (const auto& e : pack::read_package(file).entries) {
        if (e.is_directory()) folders.insert(e.name);
        if (e.name == "readonly.txt") {
            EXPECT_EQ(e.external_attributes, pack::ATTR_READONLY) << "from the Unix mode";
        }
    }
    EXPECT_EQ(folders, std::set<std::string>{"plugins/none/"}) << "folder entries that files imply are dropped";
}

INSTANTIATE_TEST_SUITE_P(
    PackZip, PackZip,
    ::testing::Values(ZipTool{"InfoZip9", "zip", "zip -q -9 -r OUT ."},
                      ZipTool{"InfoZipStored", "zip", "zip -q -0 -r OUT ."},
                      // Writes non-ASCII names as UTF-8 with flag bit 11.
                      ZipTool{"SevenZip", "7z", "7z a -tzip -mx=9 -bd -bso0 -bsp0 OUT ."},
                      ZipTool{"PythonZipfile", "python3", "python3 SCRIPT OUT"}),
    [](const auto& c) { return std::string(c.param.name); });

// ---- Refusals: nonzero exit, a message, and no file left behind ----

struct Refusal {
    const char* name;
    // Prepares the case in `dir` and returns the arguments after "build --stub S --out OUT".
    std::function<std::string(const fs::path& dir)> prepare;
    const char* message;  // part of what the tool must say
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

std::string folder_with(const fs::path& dir, const std::string& name, const Bytes& bytes = sfx::text("x")) {
    fs::create_directories((dir / "src" / name).parent_path());
    sfx::write_file(dir / "src" / name, bytes);
    return quoted(dir / "src");
}

// A zip holding these names, written by Python's zipfile, which keeps names as given.
std::string zip_with(const fs::path& dir, const std::vector<std::string>& names, const std::string& options = "") {
    std::string script = "import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n";
    for (const auto& n : names) script += "z.writestr(zipfile.ZipInfo('" + n + "'), b'data')\n";
    script += "z.close()\n";
    sfx::write_file(dir / "make.py", sfx::text(script));
    EXPECT_EQ(run("python3 " + quoted(dir / "make.py") + " " + quoted(dir / "src.zip")).exit_code, 0);
    return options + quoted(dir / "src.zip");
}

std::string disclaimer_file(const fs::path& dir, const std::string& text) {
    sfx::write_file(dir / "text", sfx::text(text));
    return "--disclaimer-file " + quoted(dir / "text") + " " + folder_with(dir, "a.txt");
}

class PackRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(PackRefuses, WithAMessageAndNothingWritten) {
    if (!have("python3")) GTEST_SKIP() << "python3 is not installed";
    TempFolder scratch;
    fs::path dir = scratch / "case";
    fs::create_directories(dir);
    std::string arguments = GetParam().prepare(dir);
    fs::path out = scratch / "out/pkg.exe";
    fs::create_directories(out.parent_path());
    Ran r = run(std::string(TARNVEL_PACK_EXE) + " build --stub " + quoted(stub_path(scratch)) + " --out " + quoted(out) +
                " " + arguments);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.err.find(GetParam().message), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(out.parent_path())) << "no package and no temporary file remain";
}

const std::string LONG_NAME(pack::MAX_NAME_BYTES + 1, 'n');

INSTANTIATE_TEST_SUITE_P(
    PackRefuses, PackRefuses,
    ::testing::Values(
        Refusal{"DotDotComponent", [](const fs::path& d) { return zip_with(d, {"ok.txt", "../evil.txt"}); }, "\"..\" component"},
        Refusal{"DriveLetter", [](const fs::path& d) { return zip_with(d, {"C:/Windows/evil.dll"}); }, "drive letter"},
        Refusal{"NameTooLong", [](const fs::path& d) { return folder_with(d, "sub/" + LONG_NAME); }, "260 bytes"},
        Refusal{"CaseTwins", [](const fs::path& d) { folder_with(d, "Read.txt"); return folder_with(d, "read.txt"); },
                "occurs twice"},
        Refusal{"FileAndFolder", [](const fs::path& d) { return zip_with(d, {"x", "x/y.txt"}); }, "both a file and a folder"},
        Refusal{"DeviceName", [](const fs::path& d) { return folder_with(d, "con.txt"); }, "Windows device"},
        Refusal{"NotInCodePage437", [](const fs::path& d) { return folder_with(d, "\xe6\x97\xa5\xe6\x9c\xac.txt"); },
                "code page 437"},
        Refusal{"FourGigabytes",
                [](const fs::path& d) {
                    std::string src = folder_with(d, "huge.bin");
                    fs::resize_file(d / "src/huge.bin", 0x100000000ull);  // sparse: nothing is written
                    return src;
                },
                "4 GiB"},
        Refusal{"DisclaimerTooLong", [](const fs::path& d) { return disclaimer_file(d, std::string(16385, 'a')); }, "16384"},
        Refusal{"DisclaimerWithTrailerSignature",
                [](const fs::path& d) { return disclaimer_file(d, std::string("before SFX\x01 after", 16)); }, "\"SFX\" 0x01"},
        Refusal{"DisclaimerWithEndRecordSignature",
                [](const fs::path& d) { return disclaimer_file(d, std::string("PK\x05\x06 in the text", 17)); }, "05 06"},
        Refusal{"DisclaimerWithZeroByte",
                [](const fs::path& d) { return disclaimer_file(d, std::string("half\0hidden", 11)); }, "zero byte"},
        Refusal{"EncryptedZipEntry",
                [](const fs::path& d) {
                    folder_with(d, "secret.txt");
                    EXPECT_EQ(run("cd " + quoted(d / "src") + " && zip -q -P pw " + quoted(d / "enc.zip") + " secret.txt").exit_code, 0);
                    return quoted(d / "enc.zip");
                },
                "encrypted"},
        Refusal{"NeitherFolderNorZip", [](const fs::path& d) { return quoted(d / "missing"); }, "neither a folder nor a zip"},
        Refusal{"NotAZip",
                [](const fs::path& d) {
                    sfx::write_file(d / "plain.txt", sfx::text("just text"));
                    return quoted(d / "plain.txt");
                },
                "not a zip"}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(PackRefusesPlan, MoreThan65535EntriesButNotExactly65535) {
    std::vector<pack::PlannedEntry> entries(pack::MAX_ENTRIES);
    for (size_t i = 0; i < entries.size(); ++i) entries[i].name = entries[i].shown = "f" + std::to_string(i);
    EXPECT_NO_THROW(pack::check_plan(entries));
    entries.emplace_back();
    entries.back().name = entries.back().shown = "g";
    try {
        pack::check_plan(entries);
        ADD_FAILURE() << "65536 entries were accepted";
    } catch (const pack::PackError& e) {
        EXPECT_NE(std::string(e.what()).find("65535"), std::string::npos) << e.what();
    }
}

TEST(PackRefusesPlan, ADisclaimerOfExactly16384BytesIsAccepted) {
    std::vector<std::string> warnings;
    EXPECT_NO_THROW(pack::check_disclaimer(std::string(16384, 'a'), warnings));
    EXPECT_THROW(pack::check_disclaimer("", warnings), pack::PackError);
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
    build(scratch, scratch / "src", package, GetParam().text);

    sfx::Sandbox box;
    sfx::write_file(box.package(), sfx::read_file(package));
    host::script_answers({ANSWER_CANCEL});
    EXPECT_EQ(show_disclaimer(sfx::Sandbox::PACKAGE_PATH), ANSWER_CANCEL);
    ASSERT_EQ(host::recorder().boxes.size(), 1u);
    EXPECT_EQ(host::recorder().boxes[0].text, GetParam().text);
    EXPECT_EQ(host::recorder().boxes[0].caption, DISCLAIMER_CAPTION);

    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, std::nullopt});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_EQ(report.disclaimer, GetParam().text);
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
    build(scratch, scratch / "src", package);
    sfx::Sandbox box;
    sfx::write_file(box.package(), sfx::read_file(package));
    EXPECT_EQ(show_disclaimer(sfx::Sandbox::PACKAGE_PATH), 1);
    EXPECT_TRUE(host::recorder().boxes.empty());
    Bytes bytes = sfx::read_file(package);
    Bytes last(bytes.end() - 12, bytes.end());
    EXPECT_TRUE(last == sfx::trailer_block(0, "")) << "a package without a disclaimer ends in the 12-byte trailer";
}

// ---- check must fail where the stub would ----

struct Damage {
    const char* name;
    std::function<void(Bytes&, const pack::Archive&)> apply;
    unsigned code;  // the box the walk must raise
};
void PrintTo(const Damage& d, std::ostream* os) { *os << d.name; }

class PackCheckFails : public ::testing::TestWithParam<Damage> {};

TEST_P(PackCheckFails, ReportsTheWalksBoxAndExitsNonzero) {
    TempFolder scratch;
    make_app_folder(scratch / "app");
    fs::path package = scratch / "app.exe";
    build(scratch, scratch / "app", package);
    Bytes bytes = sfx::read_file(package);
    pack::Archive archive = pack::read_package(pack::ByteView(bytes));
    GetParam().apply(bytes, archive);
    sfx::write_file(package, bytes);

    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, std::nullopt});
    EXPECT_FALSE(report.passed());
    ASSERT_FALSE(report.boxes.empty());
    EXPECT_EQ(report.boxes[0].code, GetParam().code);
    Ran r = run(std::string(TARNVEL_PACK_EXE) + " check " + quoted(package));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("box: code 0x" + fmt::format("{:X}", GetParam().code)), std::string::npos) << r.out;
}

const pack::ZipEntry& entry_named(const pack::Archive& a, const std::string& name) {
    for (const auto& e : a.entries)
        if (e.name == name) return e;
    throw std::runtime_error("no entry " + name);
}

INSTANTIATE_TEST_SUITE_P(
    PackCheckFails, PackCheckFails,
    ::testing::Values(
        Damage{"FlippedDeflateByte",
               [](Bytes& b, const pack::Archive& a) { b[entry_named(a, "log.txt").data_offset + 1000] ^= 0x55; }, FAILURE_DATA},
        Damage{"WrongStoredCrc",
               [](Bytes& b, const pack::Archive& a) { b[entry_named(a, "bin/noise.bin").local_offset + 14] ^= 1; }, FAILURE_DATA},
        Damage{"CountTooHigh", [](Bytes& b, const pack::Archive& a) { ++b[a.end_record_offset + 10]; }, FAILURE_COUNT}),
    [](const auto& c) { return std::string(c.param.name); });

// ---- The command line ----

TEST(PackCli, HelpNamesEveryCommand) {
    Ran r = run(std::string(TARNVEL_PACK_EXE) + " --help");
    EXPECT_EQ(r.exit_code, 0);
    for (const char* command : {"build", "check", "list"}) EXPECT_NE(r.out.find(command), std::string::npos) << command;
}

TEST(PackCli, VersionIsTheProjectVersion) {
    Ran r = run(std::string(TARNVEL_PACK_EXE) + " --version");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(^tarnvel-pack \d+\.\d+\.\d+\s*$)"))) << r.out;
}

TEST(PackCli, UnknownCommandFails) {
    Ran r = run(std::string(TARNVEL_PACK_EXE) + " pack something");
    EXPECT_NE(r.exit_code, 0);
}

TEST(PackCli, BuildThenListAndCheckThroughTheBinary) {
    TempFolder scratch;
    auto files = make_app_folder(scratch / "app");
    fs::path package = scratch / "app.exe";
    Ran built = run(std::string(TARNVEL_PACK_EXE) + " build --stub " + quoted(stub_path(scratch)) + " --out " +
                    quoted(package) + " --disclaimer 'Accept?' --level 12 " + quoted(scratch / "app"));
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_EQ(fs::status(package).permissions() & fs::perms::all, static_cast<fs::perms>(0755));

    Ran listed = run(std::string(TARNVEL_PACK_EXE) + " list " + quoted(package));
    EXPECT_EQ(listed.exit_code, 0);
    for (const auto& [name, bytes] : files) EXPECT_NE(listed.out.find(name), std::string::npos) << name;
    EXPECT_NE(listed.out.find("disclaimer yes, text 7 bytes"), std::string::npos) << listed.out;

    Ran checked = run(std::string(TARNVEL_PACK_EXE) + " check " + quoted(package));
    EXPECT_EQ(checked.exit_code, 0) << checked.out;
    EXPECT_NE(checked.out.find("disclaimer: \"Accept?\""), std::string::npos) << checked.out;
    EXPECT_NE(checked.out.find("launch: setup.exe"), std::string::npos) << checked.out;
}

}  // namespace
