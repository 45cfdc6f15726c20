__declspec(dllexport) const char *helper_greeting(void) { return "greeting from the helper DLL"; }
