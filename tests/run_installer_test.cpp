// run_installer_test.cpp -- the whole run on the host: gate, temp path, window, walk, launch, quit.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/archive_walk.h"
#include "archive/entry_extraction.h"
#include "archive/failure_box.h"
#include "platform/host/host_platform.h"
#include "shell/progress_window.h"
#include "shell/run_installer.h"
#include "stream/stream_buffers.h"
#include "tests/fixtures/sfx_writer.h"

namespace {

using sfx::Entry;
using sfx::Package;
using sfx::Sandbox;

Package with_setup() {
    Package p;
    p.entries = {sfx::sample_entry("readme.txt", 3000, 1), sfx::sample_entry("data/big.bin", 90000, 2),
                 sfx::sample_entry("setup.exe", 5000, 3)};
    return p;
}

bool extracted_whole(const Sandbox& box, const Package& p) {
    for (const Entry& e : p.entries)
        if (sfx::read_file(box.temp(e.name)) != e.content) return false;
    return true;
}

bool called(const std::string& name) {
    const auto& calls = host::recorder().calls;
    return std::find(calls.begin(), calls.end(), name) != calls.end();
}

// Position of the first call of that name in the call log; the log's size when absent.
size_t first_call(const std::string& name) {
    const auto& calls = host::recorder().calls;
    return static_cast<size_t>(std::find(calls.begin(), calls.end(), name) - calls.begin());
}

size_t last_call(const std::string& name) {
    const auto& calls = host::recorder().calls;
    auto at = std::find(calls.rbegin(), calls.rend(), name);
    return at == calls.rend() ? calls.size() : static_cast<size_t>(calls.rend() - at - 1);
}

// Every run ends the same way: the window gone, one quit message taken, exit code 0.
void expect_quit_step(int result) {
    EXPECT_EQ(result, 0);
    const host::Recorder& r = host::recorder();
    EXPECT_GE(r.quit_messages_posted, 1);
    EXPECT_EQ(r.quit_messages_taken, r.quit_messages_posted);
    EXPECT_EQ(last_call("take_message"), r.calls.size() - 1) << "the message loop is the run's last act";
    for (const host::Window& w : r.windows) EXPECT_TRUE(w.destroyed);
}

TEST(RunInstaller, CompleteRunExtractsShowsProgressAndOpensSetup) {
    Sandbox box;
    Package p = with_setup();
    int result = box.run_whole(p);

    expect_quit_step(result);
    EXPECT_TRUE(extracted_whole(box, p));
    EXPECT_TRUE(host::recorder().boxes.empty());
    EXPECT_EQ(instance_handle, Sandbox::INSTANCE);
    EXPECT_STREQ(module_path, Sandbox::PACKAGE_PATH);

    const host::Recorder& r = host::recorder();
    ASSERT_EQ(r.windows.size(), 1u);
    const host::Window& window = r.windows[0];
    EXPECT_EQ(window.template_id, 100);
    EXPECT_EQ(window.instance, Sandbox::INSTANCE);
    EXPECT_EQ(window.procedure, &progress_dialog_proc);
    EXPECT_TRUE(window.shown);
    EXPECT_EQ(stream_state.progress_window, window.handle);
    EXPECT_EQ(stream_state.progress_bar, reinterpret_cast<WindowHandle>(reinterpret_cast<uintptr_t>(window.handle) + 101))
        << "the bar is control 101, fetched during WM_INITDIALOG";
    ASSERT_FALSE(r.progress.empty());
    EXPECT_EQ(r.progress.front().first, stream_state.progress_bar);
    EXPECT_TRUE(std::is_sorted(r.progress.begin(), r.progress.end(),
                               [](const auto& a, const auto& b) { return a.second < b.second; }));
    EXPECT_GT(r.progress.back().second, 90u);
    EXPECT_EQ(r.calls_to_destroyed_windows, 0);

    ASSERT_EQ(r.launches.size(), 1u);
    EXPECT_EQ(r.launches[0].verb, "open");
    EXPECT_EQ(r.launches[0].path, "C:\\tmp\\\\setup.exe");

    // The sequence's order: gate, temp path, class, window, walk, launch with the window up, quit.
    EXPECT_LT(first_call("fetch_module_path"), first_call("file_stat"));
    EXPECT_LT(first_call("file_stat"), first_call("fetch_temp_path"));
    EXPECT_LT(first_call("fetch_temp_path"), first_call("register_progress_class"));
    EXPECT_LT(first_call("register_progress_class"), first_call("create_dialog"));
    EXPECT_LT(first_call("create_dialog"), first_call("show_window"));
    EXPECT_LT(first_call("show_window"), first_call("file_create"));
    EXPECT_LT(last_call("set_file_dos_time"), first_call("open_with_shell"));
    EXPECT_LT(first_call("open_with_shell"), first_call("destroy_window"));
    EXPECT_LT(first_call("destroy_window"), first_call("post_quit_message"));
}

TEST(RunInstaller, FailedRunShowsItsBoxesOverTheWindowAndStillOpensSetup) {
    Sandbox box;
    Package p = with_setup();
    p.entries[0].patch_local = [](LocalHeader& h) { h.crc32 ^= 1; };  // readme.txt fails its CRC
    p.entries[2].flags = FLAG_ENCRYPTED;                             // setup.exe is not extracted
    p.patch_end = [](EndRecord& r) { r.total_entries = 4; };          // and the count is off
    int result = box.run_whole(p);

    expect_quit_step(result);
    EXPECT_EQ(box.box_texts(), (std::vector<std::string>{sfx::failure_text(0x41B), sfx::failure_text(0x7),
                                                         sfx::failure_text(0x19)}));
    for (const host::Box& b : host::recorder().boxes) EXPECT_EQ(b.owner, host::recorder().windows.at(0).handle);
    EXPECT_FALSE(std::filesystem::exists(box.temp("setup.exe")));
    ASSERT_EQ(host::recorder().launches.size(), 1u) << "the launch does not look at failures";
    EXPECT_EQ(host::recorder().launches[0].path, "C:\\tmp\\\\setup.exe");
}

// ---- A refused disclaimer: nothing at all happens ----

class RefusedDisclaimer : public testing::TestWithParam<int> {};

TEST_P(RefusedDisclaimer, FetchesNoTempPathCreatesNoWindowWritesAndOpensNothing) {
    Sandbox box;
    Package p = with_setup();
    p.disclaimer_flag = 1;
    p.disclaimer_text = "Accept the licence?";
    host::script_answers({GetParam()});
    int result = box.run_whole(p);

    expect_quit_step(result);
    const host::Recorder& r = host::recorder();
    ASSERT_EQ(r.boxes.size(), 1u);
    EXPECT_EQ(r.boxes[0].caption, "Setup disclamer");
    EXPECT_FALSE(called("fetch_temp_path"));
    EXPECT_TRUE(r.windows.empty());
    EXPECT_FALSE(called("file_create"));
    EXPECT_FALSE(called("create_directory"));
    EXPECT_FALSE(std::filesystem::exists(box.root() / "tmp"));
    EXPECT_TRUE(r.launches.empty());
    EXPECT_EQ(temp_dir[0], '\0');
}

INSTANTIATE_TEST_SUITE_P(CancelOrNoBox, RefusedDisclaimer, testing::Values(ANSWER_CANCEL, ANSWER_NONE),
                         [](const auto& param_info) { return param_info.param == ANSWER_CANCEL ? "Cancel" : "BoxNotShown"; });

TEST(RunInstaller, AcceptedDisclaimerRunsOn) {
    Sandbox box;
    Package p = with_setup();
    p.disclaimer_flag = 1;
    p.disclaimer_text = "Accept the licence?";
    host::script_answers({ANSWER_OK});
    expect_quit_step(box.run_whole(p));
    EXPECT_TRUE(extracted_whole(box, p));
    EXPECT_EQ(host::recorder().launches.size(), 1u);
}

// ---- What is opened ----

struct LaunchCase {
    const char* name;
    std::vector<std::string> entries;
    const char* opened;  // null: nothing is opened
};

class LaunchRule : public testing::TestWithParam<LaunchCase> {};

TEST_P(LaunchRule, OpensTheLastRecordedSetupProgramInTheTempDir) {
    Sandbox box;
    Package p;
    uint32_t seed = 10;
    for (const std::string& name : GetParam().entries) p.entries.push_back(sfx::sample_entry(name, 200, seed++));
    expect_quit_step(box.run_whole(p));
    const auto& launches = host::recorder().launches;
    if (GetParam().opened == nullptr) {
        EXPECT_TRUE(launches.empty());
        return;
    }
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].verb, "open");
    EXPECT_EQ(launches[0].path, GetParam().opened);
}

INSTANTIATE_TEST_SUITE_P(
    Entries, LaunchRule,
    testing::Values(LaunchCase{"InstallThenSetup", {"install.exe", "a.txt", "setup.exe"}, "C:\\tmp\\\\setup.exe"},
                    LaunchCase{"SetupThenInstall", {"setup.exe", "install.exe"}, "C:\\tmp\\\\install.exe"},
                    LaunchCase{"CaseIgnored", {"Readme.txt", "SETUP.EXE"}, "C:\\tmp\\\\setup.exe"},
                    LaunchCase{"NoSetupProgram", {"a.txt", "tools/setup.exe", "setup.exe.txt"}, nullptr}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// ---- Paths that do not fit ----

// A temp dir of exactly `length` characters, "C:\" then folders, ending in a backslash.
std::string temp_dir_of_length(size_t length) {
    std::string path = "C:\\";
    while (path.size() < length) {
        size_t room = length - path.size();  // what is left, the closing backslash included
        size_t folder = std::min<size_t>(room - 1, 100);
        if (room - folder - 1 == 1) --folder;  // never leave room for an empty folder name
        path += std::string(folder, 'd') + "\\";
    }
    return path;
}

struct LongTempCase {
    size_t length;
    bool extracted;
    const char* launch_tail;  // what follows the temp dir in the launch path; null: none
};

class LongTempDir : public testing::TestWithParam<LongTempCase> {};

TEST_P(LongTempDir, LaunchPathNeverOverrunsAndNamesTheWrittenFile) {
    Sandbox box;
    const LongTempCase& c = GetParam();
    std::string temp = temp_dir_of_length(c.length);
    ASSERT_EQ(temp.size(), c.length);
    std::filesystem::create_directories(host::to_host_path(temp.c_str()));
    Package p;
    p.entries = {sfx::sample_entry("setup.exe", 300, 7)};
    box.prepare_whole(sfx::build(p).bytes);
    host::set_temp_path(temp);
    expect_quit_step(run_installer(Sandbox::INSTANCE));

    EXPECT_EQ(std::filesystem::exists(host::to_host_path((temp + "setup.exe").c_str())), c.extracted);
    const auto& launches = host::recorder().launches;
    if (c.launch_tail == nullptr) {
        EXPECT_TRUE(launches.empty());
        return;
    }
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_EQ(launches[0].path, temp + c.launch_tail);
    EXPECT_LT(launches[0].path.size(), static_cast<size_t>(PATH_CAPACITY));
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongTempDir,
                         testing::Values(LongTempCase{249, true, "\\setup.exe"},  // 259 with both backslashes
                                         LongTempCase{250, true, "setup.exe"},    // only the single one fits
                                         LongTempCase{251, false, nullptr}),      // the entry cannot be written
                         [](const auto& param_info) { return "Length" + std::to_string(param_info.param.length); });

struct NoTempCase {
    const char* name;
    size_t length;  // 0: the platform has no temp path at all
};

class NoTempDir : public testing::TestWithParam<NoTempCase> {};

TEST_P(NoTempDir, ReportsItAndExtractsNothing) {
    Sandbox box;
    box.prepare_whole(sfx::build(with_setup()).bytes);
    host::set_temp_path(GetParam().length == 0 ? std::string() : temp_dir_of_length(GetParam().length));
    expect_quit_step(run_installer(Sandbox::INSTANCE));

    const host::Recorder& r = host::recorder();
    ASSERT_EQ(box.box_texts(), std::vector<std::string>{sfx::failure_text(0x2)});
    EXPECT_EQ(r.boxes[0].owner, nullptr);
    EXPECT_TRUE(r.windows.empty());
    EXPECT_EQ(std::count(r.calls.begin(), r.calls.end(), "file_open_read"), 1) << "the gate's only: no walk";
    EXPECT_FALSE(called("file_create"));
    EXPECT_TRUE(r.launches.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, NoTempDir,
                         testing::Values(NoTempCase{"Missing", 0}, NoTempCase{"TooLong", 260},
                                         NoTempCase{"FarTooLong", 400}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(RunInstaller, CutModulePathReadsNoOtherFile) {
    Sandbox box;
    box.prepare_whole(sfx::build(with_setup()).bytes);
    // The real package lies under a path too long for the buffer; cut, it would name "C:\dddd...".
    std::string long_path = temp_dir_of_length(280) + "package.exe";
    std::filesystem::create_directories(host::to_host_path(long_path.substr(0, 258).c_str()));
    sfx::write_file(host::to_host_path(long_path.substr(0, 259).c_str()), sfx::build(with_setup()).bytes);
    host::set_module_path(long_path);
    expect_quit_step(run_installer(Sandbox::INSTANCE));

    EXPECT_EQ(module_path[0], '\0');
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{sfx::failure_text(0x13)});
    EXPECT_FALSE(std::filesystem::exists(box.temp("setup.exe")));
    EXPECT_TRUE(host::recorder().launches.empty());
}

// ---- Cancel ----

TEST(RunInstaller, CancelDuringAFailureBoxStopsTheWalkAndStillOpensSetup) {
    Sandbox box;
    Package p;
    p.entries = {sfx::sample_entry("first.txt", 500, 1), sfx::sample_entry("setup.exe", 600, 2), sfx::sample_entry("locked.bin", 700, 3),
                 sfx::sample_entry("after.txt", 800, 4)};
    p.entries[2].flags = FLAG_ENCRYPTED;                     // its box is up when Cancel is clicked
    p.patch_end = [](EndRecord& r) { r.total_entries = 9; };  // a summary code the Cancel suppresses
    host::script_answer(host::Answer{ANSWER_OK, [] {
                                         ASSERT_NE(host::last_window(), nullptr);
                                         host::click(host::last_window()->handle, COMMAND_CANCEL);
                                     }});
    int result = box.run_whole(p);

    expect_quit_step(result);
    const host::Recorder& r = host::recorder();
    EXPECT_EQ(cancel_requested, 1);
    EXPECT_EQ(box.box_texts(), std::vector<std::string>{sfx::failure_text(0x7)}) << "no summary after a Cancel";
    EXPECT_TRUE(std::filesystem::exists(box.temp("first.txt")));
    EXPECT_FALSE(std::filesystem::exists(box.temp("after.txt"))) << "the walk stops before the next record";
    EXPECT_EQ(entries_visited, 3u);
    // The window went down with the click, before the walk ended.
    EXPECT_LT(first_call("destroy_window"), last_call("file_close"));
    EXPECT_EQ(r.quit_messages_posted, 2);
    ASSERT_EQ(r.launches.size(), 1u) << "a setup program recorded before the Cancel is still opened";
    EXPECT_EQ(r.launches[0].path, "C:\\tmp\\\\setup.exe");
    EXPECT_EQ(stream_state.progress_window, r.windows[0].handle) << "the handles keep their values";
}

TEST(RunInstaller, AfterCancelNoFurtherBoxIsShown) {
    Sandbox box;
    cancel_requested = 1;
    report_failure(FAILURE_MESSAGE, FAILURE_DATA);
    EXPECT_TRUE(host::recorder().boxes.empty());
}

// ---- The dialog procedure ----

struct MessageCase {
    const char* name;
    unsigned message;
    uintptr_t wparam;
    int returned;
    bool cancels;
};

class ProgressDialogProc : public testing::TestWithParam<MessageCase> {};

TEST_P(ProgressDialogProc, ActsOnlyOnTheCancelButtonsClick) {
    Sandbox box;
    WindowHandle window = create_dialog(Sandbox::INSTANCE, PROGRESS_TEMPLATE, progress_dialog_proc);
    const MessageCase& c = GetParam();
    EXPECT_EQ(progress_dialog_proc(window, c.message, c.wparam, 0), c.returned);
    EXPECT_EQ(cancel_requested, c.cancels ? 1 : 0);
    EXPECT_EQ(host::recorder().windows.at(0).destroyed, c.cancels);
    EXPECT_EQ(host::recorder().quit_messages_posted, c.cancels ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, ProgressDialogProc,
    testing::Values(MessageCase{"CancelClick", MESSAGE_COMMAND, 2, 0, true},
                    MessageCase{"CancelWithNotification", MESSAGE_COMMAND, (1u << 16) | 2u, 0, false},
                    MessageCase{"OtherCommand", MESSAGE_COMMAND, 1, 0, false},
                    MessageCase{"InitDialog", MESSAGE_INITDIALOG, 0, 1, false},
                    MessageCase{"Paint", 0x000F, 2, 0, false}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(RunInstaller, ProgressAfterCancelReachesNoWindow) {
    Sandbox box;
    Package p;
    p.entries = {sfx::sample_entry("big.bin", 300000, 5), sfx::sample_entry("b.txt", 100, 6)};
    sfx::Built built = sfx::build(p);
    box.prepare_whole(built.bytes);
    // The click lands while the first entry's data is read: later refills aim at a window
    // that is gone.
    off_t click_from = built.data_offsets[0] + 40000;
    off_t click_to = built.data_offsets[1];
    host::file_calls().read = [click_from, click_to](int fd, void* buffer, unsigned long count) -> long {
        off_t at = ::lseek(fd, 0, SEEK_CUR);
        if (at >= click_from && at < click_to && cancel_requested == 0 && host::last_window() != nullptr)
            host::click(host::last_window()->handle, COMMAND_CANCEL);
        return static_cast<long>(::read(fd, buffer, count));
    };
    expect_quit_step(run_installer(Sandbox::INSTANCE));
    EXPECT_EQ(cancel_requested, 1);
    EXPECT_GT(host::recorder().calls_to_destroyed_windows, 0);
    EXPECT_EQ(sfx::read_file(box.temp("big.bin")), p.entries[0].content) << "the entry under way is finished";
    EXPECT_FALSE(std::filesystem::exists(box.temp("b.txt")));
}

}  // namespace
