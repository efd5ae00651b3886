// pack_cli_test.cpp -- tarnvel-pack's command line: help, version, exit codes, a whole build through the binary.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <regex>

#include "tests/pack_test_support.h"

namespace {

using namespace pack_test;

TEST(PackCli, HelpNamesEveryCommandAndTheExitCodes) {
    Ran r = run(pack_exe() + " --help");
    EXPECT_EQ(r.exit_code, 0);
    for (const char* command : {"build", "check", "extract", "list", "Exit codes"})
        EXPECT_NE(r.out.find(command), std::string::npos) << command;
    Ran build_help = run(pack_exe() + " build --help");
    EXPECT_EQ(build_help.exit_code, 0);
    for (const char* option : {"--out", "--stub", "--disclaimer", "--level", "--best", "--zip", "--temp-dir-length"})
        EXPECT_NE(build_help.out.find(option), std::string::npos) << option;
}

TEST(PackCli, VersionIsTheProjectVersion) {
    Ran r = run(pack_exe() + " --version");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(^tarnvel-pack \d+\.\d+\.\d+\s*$)"))) << r.out;
}

struct Usage {
    const char* name;
    const char* arguments;
};
void PrintTo(const Usage& u, std::ostream* os) { *os << u.name; }

class PackCliUsage : public ::testing::TestWithParam<Usage> {};

TEST_P(PackCliUsage, ExitsWithTwoAndWritesNothing) {
    TempFolder scratch;
    Ran r = run("cd " + quoted(scratch.path()) + " && " + pack_exe() + " " + GetParam().arguments);
    EXPECT_EQ(r.exit_code, 2) << r.out << r.err;
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(fs::is_empty(scratch.path()));
}

INSTANTIATE_TEST_SUITE_P(PackCliUsage, PackCliUsage,
                         ::testing::Values(Usage{"UnknownCommand", "pack something"}, Usage{"NoCommand", ""},
                                           Usage{"BuildWithoutOut", "build ."}, Usage{"BuildWithoutInput", "build -o x.exe"},
                                           Usage{"LevelOutOfRange", "build -o x.exe --level 13 ."},
                                           Usage{"LevelZero", "build -o x.exe --level 0 ."},
                                           Usage{"LevelAndBest", "build -o x.exe --level 3 --best ."},
                                           Usage{"TempDirTooShort", "build -o x.exe --temp-dir-length 2 ."},
                                           Usage{"MissingPath", "build -o x.exe no-such-folder"},
                                           Usage{"CheckWithoutFile", "check"}),
                         [](const auto& c) { return std::string(c.param.name); });

TEST(PackCli, TheStubBesideTheToolIsTheDefault) {
    TempFolder scratch;
    fs::create_directories(scratch / "bin");
    fs::copy_file(TARNVEL_PACK_EXE, scratch / "bin/tarnvel-pack");
    fs::copy_file(stub_path(scratch), scratch / "bin/tarnvel-sfx.exe");
    folder_with(scratch.path(), "a.txt");
    Ran built = run(quoted(scratch / "bin/tarnvel-pack") + " build -q -o " + quoted(scratch / "pkg.exe") + " " +
                    quoted(scratch / "src"));
    ASSERT_EQ(built.exit_code, 0) << built.err;
    Bytes stub = sfx::read_file(scratch / "bin/tarnvel-sfx.exe");
    Bytes package = sfx::read_file(scratch / "pkg.exe");
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), package.begin())) << "the package begins with that stub";
    fs::remove(scratch / "bin/tarnvel-sfx.exe");
    Ran missing = run(quoted(scratch / "bin/tarnvel-pack") + " build -q -o " + quoted(scratch / "again.exe") + " " +
                      quoted(scratch / "src"));
    EXPECT_EQ(missing.exit_code, 4);
    EXPECT_NE(missing.err.find("tarnvel-sfx.exe"), std::string::npos) << missing.err;
}

TEST(PackCli, NoProgressBarWhenStderrIsNotATerminal) {
    TempFolder scratch;
    make_app_folder(scratch / "app");
    Ran built = run(pack_exe() + " build --stub " + quoted(stub_path(scratch)) + " -o " + quoted(scratch / "pkg.exe") +
                    " " + quoted(scratch / "app"));
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_EQ(built.err, "") << "stderr is a file here";
    EXPECT_EQ(built.out.find('\r'), std::string::npos);
}

TEST(PackCli, AProgressBarOnATerminalThatEndsAtAHundredPercentAndClearsItsLine) {
    if (!have("script")) GTEST_SKIP() << "script (util-linux) is not installed";
    TempFolder scratch;
    make_app_folder(scratch / "app");
    // script gives the tool a pseudo-terminal and copies what it draws there.
    std::string command = pack_exe() + " build --stub " + quoted(stub_path(scratch)) + " -o " + quoted(scratch / "pkg.exe") +
                          " " + quoted(scratch / "app");
    Ran r = run(fmt::format("script -qec \"{}\" /dev/null", command));
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\r["), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("100%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\033[K"), std::string::npos) << "the bar's line is cleared before the summary";
    EXPECT_NE(r.out.find("built "), std::string::npos) << r.out;
    Ran quiet = run(fmt::format("script -qec \"{} -q\" /dev/null", command));
    EXPECT_EQ(quiet.out.find("\r["), std::string::npos) << "-q draws no bar";
}

TEST(PackCli, BuildThenListAndCheckThroughTheBinary) {
    TempFolder scratch;
    auto files = make_app_folder(scratch / "app");
    fs::path package = scratch / "app.exe";
    sfx::write_file(scratch / "licence.txt", sfx::text("Accept?"));
    Ran built = run(pack_exe() + " build --stub " + quoted(stub_path(scratch)) + " -o " + quoted(package) +
                    " --disclaimer " + quoted(scratch / "licence.txt") + " --best " + quoted(scratch / "app"));
    ASSERT_EQ(built.exit_code, 0) << built.err;
    EXPECT_EQ(fs::status(package).permissions() & fs::perms::all, static_cast<fs::perms>(0755));

    Ran listed = run(pack_exe() + " list " + quoted(package));
    EXPECT_EQ(listed.exit_code, 0);
    for (const auto& [name, bytes] : files) EXPECT_NE(listed.out.find(name), std::string::npos) << name;
    EXPECT_NE(listed.out.find("disclaimer yes, text 7 bytes"), std::string::npos) << listed.out;

    Ran checked = run(pack_exe() + " check " + quoted(package));
    EXPECT_EQ(checked.exit_code, 0) << checked.out;
    EXPECT_NE(checked.out.find("(the disclaimer, answered OK): \"Accept?\""), std::string::npos) << checked.out;
    EXPECT_NE(checked.out.find("Temp\\\\setup.exe\n"), std::string::npos) << checked.out;
    EXPECT_NE(checked.out.find("check: passed"), std::string::npos) << checked.out;
}

}  // namespace
