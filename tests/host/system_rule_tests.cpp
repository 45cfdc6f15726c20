// The packer's walk on Windows decides what an entry is from the attributes
// and reparse tag the directory listing gives, and whether a link's final
// target lies below the folder. Wine cannot make a junction or a symbolic
// link, so the rules are tested here, where they are the same code.
#include "host_system.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowsEntryKind, NameSurrogateReparsePointsAreLinks)
{
    enum : uint32_t { directory = 0x10, archive = 0x20, device = 0x40, reparse = 0x400, offline = 0x1000 };
    const struct {
        uint32_t attributes, tag;
        EntryKind kind;
    } cases[] = {
        {directory | reparse, 0xA0000003, EntryKind::link},    // junction or mount point
        {directory | reparse, 0xA000000C, EntryKind::link},    // symbolic link to a folder
        {archive | reparse, 0xA000000C, EntryKind::link},      // symbolic link to a file
        {archive | reparse, 0xA000001D, EntryKind::link},      // WSL symbolic link
        {archive | reparse | offline, 0x9000001A, EntryKind::file},  // cloud placeholder: the file itself
        {directory | reparse, 0x9000601A, EntryKind::folder},  // cloud folder
        {archive | reparse, 0x80000013, EntryKind::file},      // deduplicated file
        {directory, 0, EntryKind::folder},
        {archive, 0, EntryKind::file},
        {0x80, 0, EntryKind::file},                            // FILE_ATTRIBUTE_NORMAL
        {device, 0, EntryKind::other},
    };
    for (const auto &c : cases)
        EXPECT_EQ(kind_from_windows_attributes(c.attributes, c.tag), c.kind) << std::hex << c.attributes << " " << c.tag;
}

TEST(LinkTargets, BelowTheFolderByWholeNames)
{
    const struct {
        std::string path, folder;
        char separator;
        bool below;
    } cases[] = {
        {"\\\\?\\C:\\app\\bin\\tool.cmd", "\\\\?\\C:\\app", '\\', true},
        {"\\\\?\\C:\\apple\\tool.cmd", "\\\\?\\C:\\app", '\\', false},
        {"\\\\?\\C:\\x", "\\\\?\\C:\\", '\\', true},
        {"\\\\?\\UNC\\server\\share\\app\\x", "\\\\?\\UNC\\server\\share\\app", '\\', true},
        {"/srv/app/node_modules/.bin/x", "/srv/app", '/', true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(path_text_is_below(c.path, c.folder, c.separator), c.below) << c.path << " in " << c.folder;
}

} // namespace
