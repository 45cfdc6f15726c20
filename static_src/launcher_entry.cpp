// The launcher executable's entry point. The packer completes a prebuilt
// launcher with a notes section, `.vskinfo`, found through the launcher's
// own section table, and writes the attached data after the image, where
// the notes say it lies; the executable reserves nothing for it.
#include "launcher.h"
#include "error_reporting.h"

#include <string.h>

static const char build_notes_section[IMAGE_SIZEOF_SHORT_NAME] = {'.', 'v', 's', 'k', 'i', 'n', 'f', 'o'};

// The notes as loaded; a launcher without them gets a length of 0, which
// leaves the settings at their defaults and names no attached data, so the
// header check reports it missing.
static const char *find_build_notes(uint64_t *length)
{
    const unsigned char *base = reinterpret_cast<const unsigned char *>(GetModuleHandleW(nullptr));
    const IMAGE_DOS_HEADER *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(base);
    const IMAGE_NT_HEADERS64 *nt = reinterpret_cast<const IMAGE_NT_HEADERS64 *>(base + dos->e_lfanew);
    const IMAGE_SECTION_HEADER *section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
        if (memcmp(section->Name, build_notes_section, sizeof build_notes_section) == 0) {
            *length = section->Misc.VirtualSize;
            return reinterpret_cast<const char *>(base + section->VirtualAddress);
        }
    }
    *length = 0;
    return reinterpret_cast<const char *>(base);
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    keep_reports_off_dialogs();
    uint64_t notes_length = 0;
    const char *notes = find_build_notes(&notes_length);
    read_build_notes(notes, notes_length);
    return run_main_sequence();
}
