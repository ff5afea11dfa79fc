// velnor-router-sim: plays the router for the client on this machine.
#include <cstdio>

int main()
{
    std::fprintf(stderr, "velnor-router-sim: not finished yet\n");
    return 1;
}
