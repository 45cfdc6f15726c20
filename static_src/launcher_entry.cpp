// The launcher executable's entry point. The attached data is linked in
// beside the launcher's objects when a launcher is built for an application.
#include "launcher.h"
#include "error_reporting.h"

extern "C" const unsigned char attached_data[];
extern "C" const uint64_t attached_data_length;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    keep_reports_off_dialogs();
    return run_main_sequence(attached_data, attached_data_length);
}
