#include <stdio.h>

__declspec(dllimport) const char *helper_greeting(void);

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++)
        printf("argument %d: [%s]\n", i, argv[i]);
    printf("%s\n", helper_greeting());
    return 0;
}
