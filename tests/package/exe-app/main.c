__declspec(dllimport) const char *helper_greeting(void);

int main(void) { return helper_greeting()[0] == '\0'; }
