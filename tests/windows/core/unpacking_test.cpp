// Unpacking: the created-directory cache, parent chains, the names that are
// refused, and the record loop writing a tree.
#include "core_test_helpers.h"
#include "error_reporting.h"
#include "launcher.h"

#include <gtest/gtest.h>
#include <sddl.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring cache_entry(int index) { return launcher_state.created_directories[index]; }

bool is_directory(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

TEST(CreatedDirectories, UnpackDirectoryIsMadeFreshAndCachedFirst)
{
    reset_launcher_state();
    std::wstring scratch = make_scratch_directory(L"cache_first");
    std::wstring unpack = scratch + L"\\missing_temp\\unpack";
    copy_wide_text(launcher_state.unpack_directory, unpack.c_str(), path_capacity);
    create_unpack_directory();  // a missing temporary directory is made on the way
    EXPECT_TRUE(is_directory(unpack));
    EXPECT_TRUE(launcher_state.stop_state & stop_owns_directory);
    ASSERT_GE(launcher_state.created_directory_count, 1);
    EXPECT_EQ(cache_entry(launcher_state.created_directory_count - 1), unpack);

    // Met again: found in the cache, nothing added.
    int32_t count = launcher_state.created_directory_count;
    EXPECT_TRUE(ensure_directory(unpack.c_str()));
    EXPECT_TRUE(ensure_directory((unpack + L"\\one").c_str()));
    EXPECT_TRUE(ensure_directory((unpack + L"\\one").c_str()));
    EXPECT_EQ(launcher_state.created_directory_count, count + 1);

    // A bare drive always exists and is never cached; a drive-relative name is no drive.
    EXPECT_TRUE(ensure_directory(L"C:"));
    EXPECT_TRUE(ensure_directory(L"Q:"));
    EXPECT_EQ(launcher_state.created_directory_count, count + 1);

    // The comparison is exact: another letter case is a new entry, though
    // the file system finds the directory already there.
    std::wstring upper = unpack + L"\\ONE";
    EXPECT_TRUE(ensure_directory(upper.c_str()));
    ASSERT_EQ(launcher_state.created_directory_count, count + 2);
    EXPECT_EQ(cache_entry(count + 1), upper);

    // A directory whose parent is missing cannot be created.
    EXPECT_FALSE(ensure_directory((unpack + L"\\missing\\child").c_str()));
    EXPECT_FALSE(is_directory(unpack + L"\\missing"));
    reset_launcher_state();  // lets the directory go
    remove_tree(scratch);
}

// Wine keeps no access list on its files, so reading one back from the
// disk would prove nothing here: the descriptor the directory is created
// with is what is checked, through the system's own SDDL writer.
TEST(CreatedDirectories, UnpackDirectoryIsPrivateToTheUser)
{
    SECURITY_ATTRIBUTES *security = private_directory_security();
    ASSERT_NE(security, nullptr);
    EXPECT_EQ(security->nLength, sizeof(SECURITY_ATTRIBUTES));
    EXPECT_FALSE(security->bInheritHandle);
    wchar_t *text = nullptr;
    ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        security->lpSecurityDescriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
        nullptr));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    unsigned char buffer[512];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size));
    CloseHandle(token);
    wchar_t *user = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &user));
    // Owned by this user whatever the token's default owner (an elevated
    // one's is Administrators); protected from what %TEMP% would pass on;
    // one entry, all access for this user, inherited by every file and
    // folder below. The reuse check and the sweep take it as the user's.
    EXPECT_EQ(std::wstring(text), L"O:" + std::wstring(user) + L"D:P(A;OICI;FA;;;" + std::wstring(user) +
                                      L")(A;OICI;0x1200a9;;;AC)(A;OICI;0x1200a9;;;S-1-15-2-2)(A;OICI;0x1200a9;;;RC)");
    EXPECT_TRUE(security_is_private(security->lpSecurityDescriptor, reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid));
    LocalFree(user);
    LocalFree(text);
}

// Who may add a file to a directory made with each descriptor: this
// process's token, and the same token with Administrators held for denial
// only, as the user's unelevated processes hold it beside an elevated one.
// (Wine, which runs every program elevated, checks access lists against a
// token but keeps none on its files; nor does it check labels, or a
// restricted token's restricting groups, so what the sandboxes' entries
// grant is not seen here.)
TEST(CreatedDirectories, WhatAnElevatedRunMakesTheUsersUnelevatedProgramsCannotChange)
{
    HANDLE token = nullptr, unelevated = nullptr, full = nullptr, limited = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token));
    unsigned char administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    SID_AND_ATTRIBUTES denied = {administrators, 0};
    ASSERT_TRUE(CreateRestrictedToken(token, 0, 1, &denied, 0, nullptr, 0, nullptr, &unelevated));
    ASSERT_TRUE(DuplicateToken(token, SecurityImpersonation, &full));
    ASSERT_TRUE(DuplicateToken(unelevated, SecurityImpersonation, &limited));
    const struct {
        bool administrators_only;
        HANDLE token;
        bool may_add;
    } cases[] = {{false, full, true}, {false, limited, true}, {true, full, true}, {true, limited, false}};
    for (const auto &c : cases) {
        // The access check wants a group, which the launcher leaves to the system.
        SECURITY_DESCRIPTOR descriptor;
        PSID owner = nullptr;
        BOOL defaulted = FALSE, present = FALSE;
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR made = private_directory_security(c.administrators_only)->lpSecurityDescriptor;
        ASSERT_TRUE(GetSecurityDescriptorOwner(made, &owner, &defaulted));
        ASSERT_TRUE(GetSecurityDescriptorDacl(made, &present, &dacl, &defaulted));
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&descriptor, owner, FALSE);
        SetSecurityDescriptorGroup(&descriptor, owner, FALSE);
        SetSecurityDescriptorDacl(&descriptor, present, dacl, FALSE);
        GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
        PRIVILEGE_SET privileges;
        DWORD privileges_size = sizeof privileges, granted = 0;
        BOOL allowed = FALSE;
        ASSERT_TRUE(AccessCheck(&descriptor, c.token, FILE_ADD_FILE, &mapping, &privileges, &privileges_size, &granted,
                                &allowed));
        EXPECT_EQ(allowed != FALSE, c.may_add) << c.administrators_only << " " << (c.token == limited);
    }
    for (HANDLE handle : {token, unelevated, full, limited})
        CloseHandle(handle);
}

// Held folders keep every folder above a place from being renamed or
// removed while the run lasts.
TEST(HeldFolders, HeldFoldersCannotBeRenamedOrOpenedForDeletion)
{
    std::wstring scratch = make_scratch_directory(L"hold");
    ASSERT_TRUE(CreateDirectoryW((scratch + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch + L"\\a\\b").c_str(), nullptr));
    reset_launcher_state();
    ASSERT_TRUE(hold_folders_above((scratch + L"\\a\\b\\tree").c_str()));
    for (const std::wstring &folder : {scratch + L"\\a", scratch + L"\\a\\b"}) {
        HANDLE opened = CreateFileW(folder.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_EQ(opened, INVALID_HANDLE_VALUE) << narrow(folder);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION)) << narrow(folder);
        if (opened != INVALID_HANDLE_VALUE)
            CloseHandle(opened);
    }
    EXPECT_FALSE(MoveFileW((scratch + L"\\a").c_str(), (scratch + L"\\moved").c_str()));
    for (int32_t i = 0; i < launcher_state.held_folder_count; i++)
        CloseHandle(launcher_state.held_folders[i]);
    reset_launcher_state();
    remove_tree(scratch);
}

// Paths handed to the system: short ones as given, others in the full
// form that no length limit applies to.
TEST(SystemPaths, LongPathsGoInTheirFullPrefixedForm)
{
    const std::wstring deep = L"\\" + std::wstring(300, L'd');
    const struct {
        std::wstring path, expected;
    } cases[] = {
        {L"C:\\short\\name.txt", L"C:\\short\\name.txt"},
        {L"C:/short/../name.txt", L"C:/short/../name.txt"},
        {L"C:\\x" + deep, L"\\\\?\\C:\\x" + deep},
        {L"C:/x/./y/../z" + deep, L"\\\\?\\C:\\x\\z" + deep},
        {L"\\\\server\\share" + deep, L"\\\\?\\UNC\\server\\share" + deep},
        {L"\\\\?\\C:\\short", L"\\\\?\\C:\\short"},
        {L"\\\\?\\C:\\x" + deep, L"\\\\?\\C:\\x" + deep},
    };
    for (const auto &c : cases) {
        SystemPath buffer;
        EXPECT_EQ(std::wstring(system_path(buffer, c.path.c_str())), c.expected) << narrow(c.path);
    }
}

TEST(CreatedDirectories, ParentChain)
{
    reset_launcher_state();
    std::wstring scratch = make_scratch_directory(L"cache_chain");
    std::wstring deep = scratch + L"\\a\\b\\c\\d";
    ensure_parent_chain(deep.c_str());
    EXPECT_TRUE(is_directory(scratch + L"\\a\\b\\c"));
    EXPECT_FALSE(is_directory(deep)) << "only the ancestors are made";
    EXPECT_TRUE(ensure_directory(deep.c_str()));
    EXPECT_TRUE(is_directory(deep));

    // Hundreds of levels at once, as a valid record name can ask for.
    std::wstring deeper = scratch + L"\\z";
    for (int level = 0; level < 500; level++)
        deeper += L"\\d";
    ensure_parent_chain((deeper + L"\\f").c_str());
    EXPECT_TRUE(is_directory(deeper));

    // No separator after the first unit: nothing to do.
    int32_t count = launcher_state.created_directory_count;
    ensure_parent_chain(L"\\top");
    ensure_parent_chain(L"plain");
    EXPECT_EQ(launcher_state.created_directory_count, count);
    remove_tree(scratch);
}

TEST(CreatedDirectories, FullCacheStillCreates)
{
    reset_launcher_state();
    std::wstring scratch = make_scratch_directory(L"cache_full");
    for (int i = 0; i < 1030; i++) {
        std::wstring path = scratch + L"\\d" + std::to_wstring(i);
        ASSERT_TRUE(ensure_directory(path.c_str())) << i;
        ASSERT_TRUE(is_directory(path)) << i;
    }
    EXPECT_EQ(launcher_state.created_directory_count, 1024);
    EXPECT_EQ(cache_entry(1023), scratch + L"\\d1023");
    // Uncached directories are still found to exist.
    EXPECT_TRUE(ensure_directory((scratch + L"\\d1029").c_str()));
    ensure_parent_chain((scratch + L"\\d1029\\x\\y").c_str());
    EXPECT_TRUE(is_directory(scratch + L"\\d1029\\x"));
    EXPECT_EQ(launcher_state.created_directory_count, 1024);
    remove_tree(scratch);
}

TEST(RecordNames, OnlyNamesBelowTheUnpackDirectoryAreSafe)
{
    struct Case {
        const wchar_t *name;
        bool safe;
    };
    const Case cases[] = {
        {L"app.dll", true},
        {L"lib\\app.dll", true},
        {L"a\\b\\c\\d.txt", true},
        {L"..a", true},
        {L".hidden", true},
        {L"a.b\\c d.txt", true},
        {L"\u00e9\u0416\u4e2d\\\u00fc.txt", true},
        {L"console.txt", true},
        {L"nul1", true},
        {L"COM10", true},
        {L"LPT\u00b4", true},
        {L"lib\\CONIN.txt", true},
        // Out of the unpack directory.
        {L"\\x", false},
        {L"C:x", false},
        {L"C:\\x", false},
        {L"a:b", false},
        {L".", false},
        {L"..", false},
        {L"..\\x", false},
        {L"a\\..\\..\\x", false},
        {L"a\\.\\b", false},
        {L"a\\..", false},
        {L"a\\\\b", false},
        {L"a\\", false},
        {L"\\\\server\\share\\x", false},
        {L"a/../../x", false},
        {L"/x", false},
        // Devices, in any case, with any extension, as any component.
        {L"NUL", false},
        {L"con.txt", false},
        {L"Prn.tar.gz", false},
        {L"lib\\aux", false},
        {L"lib\\aux\\x.dll", false},
        {L"nul .txt", false},
        {L"COM0", false},
        {L"com9.log", false},
        {L"LPT1", false},
        {L"lpt\u00b9", false},
        {L"COM\u00b2.x", false},
        {L"lpt\u00b3", false},
        // What Windows would not store as written.
        {L"a.", false},
        {L"a.\\b", false},
        {L"a..", false},
        {L"...", false},
        {L"a ", false},
        {L"a \\b", false},
        {L"a<b", false},
        {L"a>b", false},
        {L"a\"b", false},
        {L"a|b", false},
        {L"a?b", false},
        {L"a*b", false},
        {L"a\tb", false},
        {L"a\x1f", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(record_name_is_safe(c.name), c.safe) << narrow(c.name);
}

TEST(RecordLoop, WritesTheTree)
{
    struct File {
        std::wstring name;
        std::string content;
    };
    std::vector<File> files = {
        {L"app.dll", "library"},
        {L"empty.txt", ""},
        {L"data\\exact.bin", std::string(32768, 'x')},
        {L"data\\one_more.bin", std::string(32768, 'y') + "z"},
        {L"data\\deep\\er\\\u00e9\u0416\u4e2d.txt", "non-ASCII name"},
    };
    std::string stream;
    for (const File &f : files) {
        for (wchar_t unit : f.name + std::wstring(1, L'\0'))
            stream += {static_cast<char>(unit & 0xFF), static_cast<char>(unit >> 8)};
        for (int i = 0; i < 8; i++)
            stream += static_cast<char>(static_cast<uint64_t>(f.content.size()) >> (8 * i));
        stream += f.content;
    }
    stream += std::string(2, '\0');
    std::vector<unsigned char> data = {'Q', 'V', 'Y'};
    data.resize(3 + ZSTD_compressBound(stream.size()));
    size_t size = ZSTD_compress(data.data() + 3, data.size() - 3, stream.data(), stream.size(), 3);
    ASSERT_FALSE(ZSTD_isError(size));
    data.resize(3 + size);

    std::wstring scratch = make_scratch_directory(L"record_loop");
    std::wstring unpack = scratch + L"\\unpack";
    CreateDirectoryW(unpack.c_str(), nullptr);

    reset_launcher_state();
    copy_wide_text(launcher_state.unpack_directory, unpack.c_str(), path_capacity);
    attach_archive(data.data(), data.size());
    open_attached_data();
    unpack_all_records();
    close_attached_data();

    // The loop alone never claims a directory it did not create.
    EXPECT_FALSE(launcher_state.stop_state & stop_owns_directory);
    EXPECT_EQ(std::wstring(launcher_state.first_record_path), unpack + L"\\app.dll");
    for (const File &f : files) {
        EXPECT_TRUE(path_exists(unpack + L"\\" + f.name)) << narrow(f.name);
        EXPECT_EQ(read_file(unpack + L"\\" + f.name), f.content) << narrow(f.name);
    }
    std::vector<std::wstring> top = list_directory(unpack);
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::wstring>{L"app.dll", L"data", L"empty.txt"}));
    remove_tree(scratch);
}

// Makes the unpack directory named in the argument, as the parent does.
VESKAR_HELPER(create_unpack_directory)
{
    keep_reports_off_dialogs();
    reset_launcher_state();
    copy_wide_text(launcher_state.unpack_directory, arguments.at(0).c_str(), path_capacity);
    create_unpack_directory();
    printf("created\n");
    return 0;
}

TEST(CreatedDirectories, ExistingUnpackDirectoryIsRefusedAndLeftAsItWas)
{
    std::wstring scratch = make_scratch_directory(L"planted");
    std::wstring planted = scratch + L"\\onefile_1_000000_AAAAAAAAAAA";
    ASSERT_TRUE(CreateDirectoryW(planted.c_str(), nullptr));
    write_file(planted + L"\\app.dll", "planted by someone else");
    ProcessResult refused = run_helper("create_unpack_directory", {planted});
    EXPECT_EQ(refused.exit_code, 2u);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "Error, failed to open '" + narrow(planted) + "' for writing.\r\n");
    EXPECT_EQ(read_file(planted + L"\\app.dll"), "planted by someone else");

    // A file at the name is refused the same way; a fresh name is made.
    write_file(scratch + L"\\taken", "");
    EXPECT_EQ(run_helper("create_unpack_directory", {scratch + L"\\taken"}).exit_code, 2u);
    ProcessResult fresh = run_helper("create_unpack_directory", {scratch + L"\\fresh"});
    EXPECT_EQ(fresh.exit_code, 0u) << fresh.out << fresh.err;
    EXPECT_EQ(fresh.out, "created\r\n");
    EXPECT_TRUE(is_directory(scratch + L"\\fresh"));
    remove_tree(scratch);
}

// An interrupt that comes while the unpack directory is being made: its
// thread waits for the step, then removes what the step made and ends the
// process as interrupted. The moment cannot be hit from outside, so the
// helper holds the step open itself; the handler runs on a thread of its
// own, as the system would start it.
VESKAR_HELPER(interrupt_inside_step)
{
    reset_launcher_state();
    copy_wide_text(launcher_state.unpack_directory, arguments.at(0).c_str(), path_capacity);
    if (!begin_guarded_step())
        return 1;
    CreateThread(nullptr, 0, [](void *) -> DWORD { return console_control_handler(CTRL_CLOSE_EVENT); }, nullptr, 0,
                 nullptr);
    while (!stop_is_requested())
        Sleep(1);
    Sleep(100);  // the interrupt thread now waits for the step
    own_unpack_directory(create_private_directory(launcher_state.unpack_directory, FILE_LIST_DIRECTORY));
    end_guarded_step();
    if (begin_guarded_step())
        return 2;  // no step begins once a stop is requested
    stop_for_interrupt();
}

TEST(StopProtocol, InterruptDuringTheCreatingStepRemovesWhatTheStepMade)
{
    std::wstring scratch = make_scratch_directory(L"step");
    ProcessResult result = run_helper("interrupt_inside_step", {scratch + L"\\unpack"});
    EXPECT_EQ(result.exit_code, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    EXPECT_TRUE(list_directory(scratch).empty());
    remove_tree(scratch);
}

// A report and an interrupt at once: the one that began first ends the
// process its way. The helper begins the report itself, or lets the real
// handler begin on its thread first, then reports.
VESKAR_HELPER(report_and_interrupt)
{
    reset_launcher_state();
    if (arguments.at(0) == L"report first")
        begin_report();
    CreateThread(nullptr, 0, [](void *) -> DWORD { return console_control_handler(CTRL_CLOSE_EVENT); }, nullptr, 0,
                 nullptr);
    while (!stop_is_requested())
        Sleep(1);
    Sleep(100);  // the interrupt thread has gone as far as it goes
    report_error(MESSAGE_DECODING_FAILED);
}

TEST(StopProtocol, ReportAndInterruptAtOnceEndTheWayOfTheOneThatBeganFirst)
{
    ProcessResult report = run_helper("report_and_interrupt", {L"report first"});
    EXPECT_EQ(report.exit_code, 2u);
    EXPECT_EQ(report.out, std::string(MESSAGE_DECODING_FAILED) + "\r\n");
    ProcessResult interrupt = run_helper("report_and_interrupt", {L"interrupt first"});
    EXPECT_EQ(interrupt.exit_code, static_cast<DWORD>(STATUS_CONTROL_C_EXIT));
    EXPECT_EQ(interrupt.out, "");
}

// Wine cannot make junctions or symbolic links, so the walk's rule for them
// is checked here, on attributes as an entry's own handle shows them: a
// link is deleted as a name and never entered.
TEST(Removal, LinksAreRemovedAsNamesNeverEntered)
{
    const DWORD directory = FILE_ATTRIBUTE_DIRECTORY, link = FILE_ATTRIBUTE_REPARSE_POINT;
    EXPECT_EQ(removal_action(directory), removal_enter_directory);
    EXPECT_EQ(removal_action(directory | FILE_ATTRIBUTE_READONLY), removal_enter_directory);
    EXPECT_EQ(removal_action(directory | link), removal_remove_directory);
    EXPECT_EQ(removal_action(directory | link | FILE_ATTRIBUTE_READONLY), removal_remove_directory);
    EXPECT_EQ(removal_action(link), removal_delete_file);
    EXPECT_EQ(removal_action(FILE_ATTRIBUTE_NORMAL), removal_delete_file);
    EXPECT_EQ(removal_action(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), removal_delete_file);
}

// A tree deeper than MAX_PATH with read-only files and a read-only folder
// goes; a read-only file's other name outside the tree keeps its content
// and its attribute, which belongs to the file, not to the name.
TEST(Removal, DeepReadOnlyTreeGoesAndOtherNamesOutsideStay)
{
    std::wstring scratch = make_scratch_directory(L"deep_removal");
    std::wstring tree = L"\\\\?\\" + scratch + L"\\tree", outside = scratch + L"\\outside.txt", level = tree;
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    write_file(outside, "kept");
    ASSERT_TRUE(CreateHardLinkW((tree + L"\\linked.txt").c_str(), outside.c_str(), nullptr));
    ASSERT_TRUE(SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY));
    for (int depth = 0; depth < 120; depth++) {
        level += L"\\folder";
        ASSERT_TRUE(CreateDirectoryW(level.c_str(), nullptr));
        write_file(level + L"\\file.txt", "x");
        ASSERT_TRUE(SetFileAttributesW((level + L"\\file.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    }
    ASSERT_TRUE(SetFileAttributesW((tree + L"\\folder").c_str(), FILE_ATTRIBUTE_READONLY));
    remove_tree(launcher_state.removal_walk, tree.c_str());
    EXPECT_FALSE(path_exists(tree));
    EXPECT_EQ(read_file(outside), "kept");
    EXPECT_EQ(GetFileAttributesW(outside.c_str()) & FILE_ATTRIBUTE_READONLY, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    remove_tree(scratch);
}

// Holds a folder open as a running launcher holds its unpack directory
// (without delete sharing) from `<events>_held` until `<events>_release`.
VESKAR_HELPER(hold_directory)
{
    HANDLE directory = CreateFileW(arguments.at(0).c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, (arguments.at(1) + L"_held").c_str());
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, (arguments.at(1) + L"_release").c_str());
    if (directory == INVALID_HANDLE_VALUE || held == nullptr || release == nullptr)
        return 1;
    SetEvent(held);
    WaitForSingleObject(release, INFINITE);
    return 0;
}

TEST(Removal, TreeHeldByAnotherProcessStaysUntilItsHolderIsGone)
{
    std::wstring scratch = make_scratch_directory(L"held_removal"), tree = scratch + L"\\tree";
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((tree + L"\\sub").c_str(), nullptr));
    write_file(tree + L"\\sub\\file.txt", "in use");
    std::wstring events = L"veskar_hold_" + std::to_wstring(GetCurrentProcessId());
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, (events + L"_held").c_str());
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, (events + L"_release").c_str());
    std::wstring command = quote_for_test(own_executable_path()) + L" --helper hold_directory " + quote_for_test(tree) +
                           L" " + events;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION holder;
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &holder));
    HANDLE held_or_gone[] = {held, holder.hProcess};
    ASSERT_EQ(WaitForMultipleObjects(2, held_or_gone, FALSE, scaled_timeout(60000)), WAIT_OBJECT_0);
    EXPECT_FALSE(remove_tree_unless_held(launcher_state.sweep_walk, tree.c_str()));
    EXPECT_EQ(read_file(tree + L"\\sub\\file.txt"), "in use");

    SetEvent(release);
    ASSERT_EQ(WaitForSingleObject(holder.hProcess, scaled_timeout(60000)), WAIT_OBJECT_0);
    EXPECT_TRUE(remove_tree_unless_held(launcher_state.sweep_walk, tree.c_str()));
    EXPECT_FALSE(path_exists(tree));

    // Only a real directory is taken for a tree; a file at the name stays,
    // while the plain removal deletes it as a name.
    write_file(tree, "a file");
    EXPECT_FALSE(remove_tree_unless_held(launcher_state.sweep_walk, tree.c_str()));
    EXPECT_TRUE(path_exists(tree));
    remove_tree(launcher_state.removal_walk, tree.c_str());
    EXPECT_FALSE(path_exists(tree));
    for (HANDLE handle : {held, release, holder.hProcess, holder.hThread})
        CloseHandle(handle);
    remove_tree(scratch);
}
