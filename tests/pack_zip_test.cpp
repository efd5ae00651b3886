// pack_zip_test.cpp -- tarnvel-pack build --zip: zips from real tools become packages that extract in full.
//
// Each tool writes the sample folder its own way: deflate with sizes in the local header,
// stored entries, data descriptors (streamed output), UTF-8 flags, "./" prefixes. The
// package must hold every file under its name, deflate data copied where the zip's own was
// usable as it stands, and every entry in the one form the stub takes.
#include <gtest/gtest.h>

#include <set>

#include "tests/pack_test_support.h"
#include "tools/pack/package_check.h"
#include "tools/pack/package_reader.h"

namespace {

using namespace pack_test;

struct ZipTool {
    const char* name;
    const char* program;  // skipped when missing
    std::string command;  // run in the folder; OUT stands for the zip's path, SCRIPT for zip.py
};
void PrintTo(const ZipTool& t, std::ostream* os) { *os << t.name; }

// Python's zipfile over the folder; to "-" it writes to standard output, which a pipe makes
// unseekable, so that every entry gets a data descriptor.
// METHOD=lzma or bzip2 in the environment chooses another method.
constexpr const char* ZIP_SCRIPT = "import os, sys, zipfile\n"
                                   "out = sys.stdout.buffer if sys.argv[1] == '-' else sys.argv[1]\n"
                                   "method = {'lzma': zipfile.ZIP_LZMA, 'bzip2': zipfile.ZIP_BZIP2}.get(\n"
                                   "    os.environ.get('METHOD'), zipfile.ZIP_DEFLATED)\n"
                                   "with zipfile.ZipFile(out, 'w', method) as z:\n"
                                   "    for folder, dirs, names in os.walk('.'):\n"
                                   "        for n in dirs + names:\n"
                                   "            z.write(os.path.join(folder, n))\n";

// The text with its first `key` replaced by `value`.
std::string substitute(const std::string& text, std::string_view key, const std::string& value) {
    size_t at = text.find(key);
    return at == std::string::npos ? text : text.substr(0, at) + value + text.substr(at + key.size());
}

class PackZip : public ::testing::TestWithParam<ZipTool> {};

TEST_P(PackZip, EveryFileExtractsUnderItsNameFromDeflateEntriesWithLocalSizes) {
    if (!have(GetParam().program)) GTEST_SKIP() << GetParam().program << " is not installed";
    TempFolder scratch;
    auto files = make_app_folder(scratch / "app");
    fs::path zipped = scratch / "app.zip";
    sfx::write_file(scratch / "zip.py", sfx::text(ZIP_SCRIPT));
    std::string command = substitute(substitute(GetParam().command, "OUT", quoted(zipped)), "SCRIPT", quoted(scratch / "zip.py"));
    Ran made = run("cd " + quoted(scratch / "app") + " && (" + command + ")");
    ASSERT_EQ(made.exit_code, 0) << command << "\n" << made.err;
    fs::path package = scratch / "app.exe";
    pack::BuildResult result = build(scratch, package, from_zip(zipped));

    pack::CheckReport report = pack::check_package(pack::CheckOptions{package, {}});
    EXPECT_TRUE(report.passed()) << pack::describe_check(report);
    EXPECT_EQ(report.files_verified, files.size());

    sfx::Sandbox box;
    box.run(sfx::read_file(package));
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{});
    for (const auto& [name, bytes] : files) EXPECT_TRUE(sfx::read_file(box.temp(name)) == bytes) << name;

    // Each source entry: its deflate data copied byte for byte when the local header held
    // its sizes, recompressed otherwise; in the package always method 8 without a descriptor.
    pack::MappedFile source_file(zipped);
    pack::Archive source = pack::read_zip(source_file.bytes());
    std::map<std::string, Bytes> source_deflate;
    uint32_t copyable = 0;
    for (const auto& e : source.entries)
        if (e.method == METHOD_DEFLATE && !((e.flags | e.local_flags) & FLAG_DATA_DESCRIPTOR) && !e.is_directory()) {
            pack::ByteView data = pack::entry_data(source_file.bytes(), source, e);
            std::string name = e.name.starts_with("./") ? e.name.substr(2) : e.name;
            source_deflate[name] = Bytes(data.begin(), data.end());
            ++copyable;
        }
    EXPECT_EQ(result.copied, copyable);
    pack::MappedFile file(package);
    pack::Archive archive = pack::read_package(file);
    std::set<std::string> folders;
    for (const auto& e : archive.entries) {
        EXPECT_EQ(e.local_method, METHOD_DEFLATE) << e.name;
        EXPECT_EQ(e.local_flags, 0) << e.name;
        EXPECT_EQ(e.local_compressed_size, e.compressed_size) << e.name;
        if (e.is_directory()) folders.insert(e.name);
        if (e.name == "readonly.txt") {
            EXPECT_EQ(e.external_attributes, pack::ATTR_ARCHIVE | pack::ATTR_READONLY) << "from the Unix mode";
        }
        if (auto it = source_deflate.find(e.name); it != source_deflate.end()) {
            pack::ByteView data = pack::entry_data(file.bytes(), archive, e);
            EXPECT_TRUE(Bytes(data.begin(), data.end()) == it->second) << e.name << " was not copied as it was";
        }
    }
    EXPECT_EQ(folders, std::set<std::string>{"plugins/none/"}) << "folder entries that files imply are dropped";
}

INSTANTIATE_TEST_SUITE_P(
    PackZip, PackZip,
    ::testing::Values(ZipTool{"InfoZip9", "zip", "zip -q -9 -r OUT ."},
                      ZipTool{"InfoZipStored", "zip", "zip -q -0 -r OUT ."},
                      // To a pipe Info-ZIP cannot seek back: data descriptors.
                      ZipTool{"InfoZipStreamed", "zip", "zip -q -9 -r - . | cat > OUT"},
                      // Writes non-ASCII names as UTF-8 with flag bit 11.
                      ZipTool{"SevenZip", "7z", "7z a -tzip -mx=9 -bd -bso0 -bsp0 OUT ."},
                      ZipTool{"PythonZipfile", "python3", "python3 SCRIPT OUT"},
                      ZipTool{"PythonZipfileUnseekable", "python3", "python3 SCRIPT - | cat > OUT"},
                      // Data descriptors for every file, and names that begin with "./".
                      ZipTool{"Bsdtar", "bsdtar", "bsdtar --format zip -cf OUT ."},
                      // Methods the stub cannot decode, decoded here and deflated again.
                      ZipTool{"InfoZipBzip2", "zip", "zip -q -Z bzip2 -r OUT ."},
                      ZipTool{"SevenZipLzma", "7z", "7z a -tzip -mm=LZMA -bd -bso0 -bsp0 OUT ."},
                      ZipTool{"PythonZipfileLzma", "python3", "METHOD=lzma python3 SCRIPT OUT"}),
    [](const auto& c) { return std::string(c.param.name); });

TEST(PackZipAndFolders, TogetherInOneSortedPackage) {
    if (!have("zip")) GTEST_SKIP() << "zip is not installed";
    TempFolder scratch;
    folder_with(scratch.path(), "docs/readme.txt", sfx::text("from the folder"));
    fs::create_directories(scratch / "z");
    sfx::write_file(scratch / "z/tool.dll", sfx::sample_content(30000, 5));
    ASSERT_EQ(run("cd " + quoted(scratch / "z") + " && zip -q -9 " + quoted(scratch / "in.zip") + " tool.dll").exit_code, 0);
    sfx::write_file(scratch / "setup.exe", sfx::text("MZ setup"));
    fs::path package = scratch / "pkg.exe";
    build(scratch, package, from_zip(scratch / "in.zip", {scratch / "src", scratch / "setup.exe"}));
    pack::MappedFile file(package);
    std::vector<std::string> names;
    for (const auto& e : pack::read_package(file).entries) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"docs/readme.txt", "setup.exe", "tool.dll"}));
    sfx::Sandbox box;
    box.run(sfx::read_file(package));
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{});
    EXPECT_TRUE(sfx::read_file(box.temp("tool.dll")) == sfx::sample_content(30000, 5));
}

TEST(PackZipDamaged, ADeflateEntryThatFailsItsCrcIsNotCopied) {
    if (!have("zip")) GTEST_SKIP() << "zip is not installed";
    TempFolder scratch;
    folder_with(scratch.path(), "a.txt", sfx::sample_content(20000, 9));
    ASSERT_EQ(run("cd " + quoted(scratch / "src") + " && zip -q -9 " + quoted(scratch / "in.zip") + " a.txt").exit_code, 0);
    Bytes zip = sfx::read_file(scratch / "in.zip");
    uint64_t central = pack::read_zip(pack::ByteView(zip)).entries.at(0).central_offset;
    zip[14] ^= 0x01;            // the local header's CRC-32
    zip[central + 16] ^= 0x01;  // and the central one, so that both agree
    sfx::write_file(scratch / "in.zip", zip);
    EXPECT_THROW(build(scratch, scratch / "pkg.exe", from_zip(scratch / "in.zip")), pack::PackError);
    EXPECT_FALSE(fs::exists(scratch / "pkg.exe"));
}

}  // namespace
