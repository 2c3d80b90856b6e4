#include <cstdio>

int main()
{
    std::fputs("ERROR: no verb given.\n", stderr);
    return 1;
}
