// real_tools_test.cpp -- archives written by Info-ZIP, 7-Zip and Python, rebased behind the stub.
//
// Each tool zips the same folder; the archive is put behind the stub bytes, rebased with
// `zip -A` (which moves every stored offset by the stub's length), and given a trailer.
// A streamed Info-ZIP archive is rebased by moving the offsets here instead, since zip -A
// would rewrite its local headers and drop its data descriptors.
// The walk must then extract every entry byte for byte, without a box.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "platform/host/host_platform.h"
#include "tests/fixtures/sfx_writer.h"

namespace {

using sfx::Bytes;
using sfx::Sandbox;
namespace fs = std::filesystem;

bool have(const std::string& tool) { return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0; }

std::string quoted(const fs::path& path) {
    std::string out = "'";
    out += path.string();
    out += "'";
    return out;
}

using sfx::noise;

// A small application folder: text, a larger mixed file, one that does not compress (tools
// store it), an empty file, an empty folder, deep folders, spaces, and a setup program.
void make_folder(const fs::path& root) {
    fs::create_directories(root / "bin");
    fs::create_directories(root / "docs/deep/er/still");
    fs::create_directories(root / "emptydir");
    sfx::write_file(root / "readme.txt", sfx::sample_content(20000, 1));
    sfx::write_file(root / "bin/app.dll", sfx::sample_content(300000, 2));
    sfx::write_file(root / "bin/noise.bin", noise(70000, 3));
    sfx::write_file(root / "docs/deep/er/still/notes.txt", sfx::sample_content(4000, 4));
    sfx::write_file(root / "docs/Name With Spaces.txt", sfx::text("spaces\r\n"));
    sfx::write_file(root / "empty.txt", {});
    sfx::write_file(root / "setup.exe", sfx::text("MZ a small setup program"));
}

// The text with every `word` replaced by `value`.
std::string with(const std::string& text, const std::string& word, const std::string& value) {
    std::string out;
    size_t from = 0;
    for (size_t at; (at = text.find(word, from)) != std::string::npos; from = at + word.size())
        out += text.substr(from, at - from) + value;
    return out + text.substr(from);
}

struct Tool {
    const char* name;
    const char* program;  // skipped when missing
    // Run in the source folder; OUT stands for the archive's path.
    std::string command;
    // `zip -A` rewrites every local header from the central directory, dropping data
    // descriptors; archives that must keep them are rebased by shift_offsets instead.
    bool keeps_descriptors = false;
};

uint32_t get32(const Bytes& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}
uint16_t get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
void set32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// What zip -A does to the offsets, and nothing else: every stored offset grows by the
// stub's length. Reads the archive's own last end record, not the stub's walk.
void shift_offsets(Bytes& bytes, uint32_t shift) {
    size_t end = bytes.size() - 22;
    while (get32(bytes, end) != END_RECORD_SIGNATURE) --end;
    uint32_t directory = get32(bytes, end + 16) + shift;
    set32(bytes, end + 16, directory);
    for (size_t at = directory; get32(bytes, at) == CENTRAL_HEADER_SIGNATURE;
         at += CENTRAL_HEADER_SIZE + get16(bytes, at + 28) + get16(bytes, at + 30) + get16(bytes, at + 32))
        set32(bytes, at + 42, get32(bytes, at + 42) + shift);
}

int local_headers_with_descriptor(const Bytes& bytes) {
    int count = 0;
    for (size_t i = 0; i + 8 <= bytes.size(); ++i)
        if (get32(bytes, i) == LOCAL_HEADER_SIGNATURE && (get16(bytes, i + 6) & FLAG_DATA_DESCRIPTOR)) ++count;
    return count;
}

void PrintTo(const Tool& t, std::ostream* os) { *os << t.name; }

const char* const PYTHON_ZIP =
    "import os, sys, zipfile\n"
    "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED, compresslevel=9) as z:\n"
    "    for folder, dirs, files in os.walk('.'):\n"
    "        dirs.sort()\n"
    "        for d in dirs:\n"
    "            z.write(os.path.join(folder, d))\n"
    "        for f in sorted(files):\n"
    "            z.write(os.path.join(folder, f))\n";

class RealTools : public ::testing::TestWithParam<Tool> {};

TEST_P(RealTools, EveryEntryExtractsByteIdenticalWithoutABox) {
    const Tool& tool = GetParam();
    if (!have(tool.program)) GTEST_SKIP() << tool.program << " is not installed";
    if (!have("zip")) GTEST_SKIP() << "zip is needed for zip -A";

    Sandbox box;
    fs::path source = box.root() / "source";
    fs::path archive = box.root() / "out.zip";
    fs::path rebased = box.root() / "rebased.exe";
    make_folder(source);
    sfx::write_file(box.root() / "make_zip.py", sfx::text(PYTHON_ZIP));

    std::string command = with(with(tool.command, "OUT", quoted(archive)), "SCRIPT", quoted(box.root() / "make_zip.py"));
    ASSERT_EQ(std::system(("cd " + quoted(source) + " && " + command).c_str()), 0) << command;

    Bytes stub = sfx::default_stub();
    Bytes zip = sfx::read_file(archive);
    Bytes bytes = stub;
    bytes.insert(bytes.end(), zip.begin(), zip.end());
    if (tool.keeps_descriptors) {
        shift_offsets(bytes, static_cast<uint32_t>(stub.size()));
        EXPECT_GT(local_headers_with_descriptor(bytes), 0) << "the case would not test what it claims";
    } else {
        sfx::write_file(rebased, bytes);
        ASSERT_EQ(std::system(("zip -A -q " + quoted(rebased) + " >/dev/null").c_str()), 0);
        bytes = sfx::read_file(rebased);
    }
    Bytes trailer = sfx::trailer_block(0, "");
    bytes.insert(bytes.end(), trailer.begin(), trailer.end());

    box.run(bytes);
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{});
    EXPECT_GT(entries_visited, 0u);
    EXPECT_EQ(entries_visited, end_record.total_entries);
    EXPECT_EQ(launch_target, LAUNCH_SETUP);

    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        fs::path relative = fs::relative(entry.path(), source);
        fs::path extracted = box.temp(relative.string());
        if (entry.is_directory()) {
            EXPECT_TRUE(fs::is_directory(extracted)) << relative;
        } else {
            ++files;
            ASSERT_TRUE(fs::is_regular_file(extracted)) << relative;
            EXPECT_TRUE(sfx::read_file(extracted) == sfx::read_file(entry.path())) << relative << " differs";
        }
    }
    EXPECT_EQ(files, 7u);
    size_t extracted_files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(box.temp("")))
        if (entry.is_regular_file()) ++extracted_files;
    EXPECT_EQ(extracted_files, files) << "nothing more than the folder held";
}

INSTANTIATE_TEST_SUITE_P(
    RealTools, RealTools,
    ::testing::Values(Tool{"InfoZip", "zip", "zip -q -9 -r OUT ."},
                      // Written to a pipe, zip cannot seek back: data descriptors (bit 3).
                      Tool{"InfoZipStreamed", "zip", "zip -q -9 -r - . | cat > OUT", true},
                      Tool{"InfoZipStoredOnly", "zip", "zip -q -0 -r OUT ."},
                      Tool{"SevenZip", "7z", "7z a -tzip -mx=9 -bd -bso0 -bsp0 OUT ."},
                      Tool{"PythonZipfile", "python3", "python3 SCRIPT OUT"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
