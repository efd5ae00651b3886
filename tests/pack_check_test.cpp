// pack_check_test.cpp -- tarnvel-pack check and extract: the stub's own walk on the host layer.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>

#include "archive/failure_box.h"
#include "tests/pack_test_support.h"
#include "tools/pack/package_check.h"
#include "tools/pack/package_reader.h"

namespace {

using namespace pack_test;

class PackCheck : public ::testing::Test {
protected:
    void SetUp() override {
        files = make_app_folder(scratch / "app");
        package = scratch / "app.exe";
        build(scratch, package, {.paths = {scratch / "app"}});
    }
    TempFolder scratch;
    std::map<std::string, Bytes> files;
    fs::path package;
};

TEST_F(PackCheck, CheckRunsTheWalkWithoutABoxAndVerifiesEveryFile) {
    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, std::nullopt});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_TRUE(report.boxes.empty());
    EXPECT_EQ(report.files_verified, files.size());
    EXPECT_EQ(report.folders_verified, 1u) << "only the empty folder needs an entry";
    EXPECT_EQ(report.entries_visited, files.size() + 1);
    EXPECT_EQ(report.launch, "setup.exe");
    EXPECT_FALSE(report.disclaimer.has_value());
}

TEST_F(PackCheck, CheckKeepsTheFilesWhereAsked) {
    fs::path kept = scratch / "kept";
    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, kept});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_TRUE(sfx::read_file(kept / "log.txt") == files["log.txt"]);
    EXPECT_TRUE(fs::is_directory(kept / "plugins/none"));
    size_t entries = 0;
    for (auto it = fs::directory_iterator(kept); it != fs::directory_iterator(); ++it) ++entries;
    EXPECT_EQ(entries, 8u) << "the top level holds the package's entries and nothing of the check's own";
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
    build(scratch, package, {.paths = {scratch / "app"}});
    Bytes bytes = sfx::read_file(package);
    pack::Archive archive = pack::read_package(pack::ByteView(bytes));
    GetParam().apply(bytes, archive);
    sfx::write_file(package, bytes);

    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, std::nullopt});
    EXPECT_FALSE(report.passed());
    ASSERT_FALSE(report.boxes.empty());
    EXPECT_EQ(report.boxes[0].code, GetParam().code);
    Ran r = run(pack_exe() + " check " + quoted(package));
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

}  // namespace
