// A program that only waits until it is ended: the process the seam's tests
// look for in the list of running programs.
#include <chrono>
#include <thread>

int main()
{
    std::this_thread::sleep_for(std::chrono::minutes(2));
    return 0;
}
