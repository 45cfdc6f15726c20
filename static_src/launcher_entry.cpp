// The launcher executable's entry point. The packer adds the attached data
// to a prebuilt launcher as a section of its own, `.veskar`, whose loaded
// size is exactly the attached data's length; the launcher finds it through
// its own section table, so the executable reserves nothing for it.
#include "launcher.h"
#include "error_reporting.h"

#include <string.h>

static const char attached_data_section[IMAGE_SIZEOF_SHORT_NAME] = {'.', 'v', 'e', 's', 'k', 'a', 'r', '\0'};
static const char build_notes_section[IMAGE_SIZEOF_SHORT_NAME] = {'.', 'v', 's', 'k', 'i', 'n', 'f', 'o'};

// A section as loaded; a launcher without it gets a length of 0, which the
// header check reports as missing attached data, and which leaves the
// build notes' settings at their defaults.
static const unsigned char *find_section(const char (&name)[IMAGE_SIZEOF_SHORT_NAME], uint64_t *length)
{
    const unsigned char *base = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS64 *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
        if (memcmp(section->Name, name, sizeof name) == 0) {
            *length = section->Misc.VirtualSize;
            return base + section->VirtualAddress;
        }
    }
    *length = 0;
    return base;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    keep_reports_off_dialogs();
    uint64_t notes_length = 0;
    const unsigned char *notes = find_section(build_notes_section, &notes_length);
    read_build_notes(reinterpret_cast<const char *>(notes), notes_length);
    uint64_t length = 0;
    const unsigned char *attached_data = find_section(attached_data_section, &length);
    return run_main_sequence(attached_data, length);
}
