// Cost of one poll of the bound-program monitor: the process list from /proc
// and the match against the bindings, with a few hundred extra processes.
//
//   bench_desktop [extra processes (300)] [polls (300)]

#include "desktop/process_moniter.h"
#include "platform/running_programs.h"

#include <QString>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

double threadCpuUs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

double wallUs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e6 + double(ts.tv_nsec) / 1e3;
}

struct Figures
{
    std::vector<double> cpu;
    std::vector<double> wall;
};

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

void print(const char *name, const Figures &f)
{
    double sum = 0;
    for (double v : f.cpu)
        sum += v;
    std::printf(
        "%-34s cpu mean %8.1f us  median %8.1f  p95 %8.1f  max %8.1f | wall median %8.1f us\n",
        name, sum / double(f.cpu.size()), percentile(f.cpu, 0.5), percentile(f.cpu, 0.95),
        percentile(f.cpu, 1.0), percentile(f.wall, 0.5));
}

template <typename F> Figures measure(int rounds, F &&poll)
{
    Figures f;
    for (int i = 0; i < rounds; ++i) {
        const double c0 = threadCpuUs();
        const double w0 = wallUs();
        poll();
        f.wall.push_back(wallUs() - w0);
        f.cpu.push_back(threadCpuUs() - c0);
    }
    return f;
}

} // namespace

int main(int argc, char **argv)
{
    const int extra = argc > 1 ? std::atoi(argv[1]) : 300;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 300;

    std::vector<pid_t> children;
    char sleepPath[] = "/bin/sleep";
    char duration[] = "600";
    char *childArgs[] = {sleepPath, duration, nullptr};
    for (int i = 0; i < extra; ++i) {
        pid_t pid = 0;
        if (posix_spawn(&pid, sleepPath, nullptr, nullptr, childArgs, environ) != 0) {
            std::fprintf(stderr, "could only start %d processes\n", i);
            break;
        }
        children.push_back(pid);
    }

    std::vector<std::string> paths;
    kelv::platform::runningProgramPaths(&paths);
    std::printf("processes with a readable executable: %zu (%zu started for the benchmark)\n",
                paths.size(), children.size());

    // Five bindings, one of them (sleep) running many times over.
    QMap<QString, QString> bindings;
    bindings.insert(QStringLiteral("/bin/sleep"), QStringLiteral("1"));
    bindings.insert(QStringLiteral("/usr/bin/sleep"), QStringLiteral("2"));
    bindings.insert(QStringLiteral("/opt/games/one/run"), QStringLiteral("3"));
    bindings.insert(QStringLiteral("/opt/games/two/run"), QStringLiteral("4"));
    bindings.insert(QStringLiteral("/home/user/Games/three"), QStringLiteral("5"));

    // Warm the caches once.
    QMap<QString, bool> fresh;
    kelv::ProcessMoniter::pollRunning(bindings, &fresh);

    print("process list (/proc/<pid>/exe)",
          measure(rounds, [&] { kelv::platform::runningProgramPaths(&paths); }));
    QMap<QString, bool> states;
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it)
        states.insert(it.key(), false);
    int reported = 0;
    const Figures poll = measure(rounds, [&] {
        kelv::ProcessMoniter::pollRunning(bindings, &fresh);
        reported += int(kelv::ProcessMoniter::changes(states, fresh).size());
        states = fresh;
    });
    print("one poll (list, match, changes)", poll);
    std::printf("changes reported over %d polls: %d (the first poll finds sleep running)\n", rounds,
                reported);
    double mean = 0;
    for (double v : poll.cpu)
        mean += v;
    mean /= double(poll.cpu.size());
    std::printf("at one poll per %d ms: %.4f%% of one core\n",
                kelv::ProcessMoniter::kPollIntervalMs,
                100.0 * mean / (kelv::ProcessMoniter::kPollIntervalMs * 1000.0));
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("max resident set size: %ld KiB\n", usage.ru_maxrss);

    for (pid_t pid : children)
        kill(pid, SIGKILL);
    for (pid_t pid : children)
        waitpid(pid, nullptr, 0);
    return 0;
}
