// The process the seam's tests start. Without arguments it only waits until it
// is ended (the program looked for in the list of running programs); with one
// argument it writes that argument to "started.txt" in its current folder and
// ends (the program started through the shell).
#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char **argv)
{
    if (argc == 2) {
        FILE *out = std::fopen("started.txt", "wb");
        if (!out)
            return 1;
        std::fputs(argv[1], out);
        return std::fclose(out) == 0 ? 0 : 1;
    }
    std::this_thread::sleep_for(std::chrono::minutes(2));
    return 0;
}
