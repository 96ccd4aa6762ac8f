// Barrier latency and CPU cost of the two-party synchronisation: two
// processes (this one and a forked partner) pair on a local directory and
// pass a run of barriers back to back.  Both parties print their report
// lines (to /dev/null), as two instances of the mutual tests do.
//
// Usage: ntwsync_bench [barriers [directory]]   (default 500, a new /tmp dir)
#include "ntw.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int BENCH_TIMEOUT = 30;

struct PartyStats {
    int32_t ok;
    int32_t barriers;
    double mean_ms;
    double p95_ms;
    double cpu_ms_per_barrier;
};

double cpu_ms(const rusage &ru)
{
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
}

PartyStats run_party(const char *dir, int number, int barriers)
{
    PartyStats st{};
    st.barriers = barriers;
    utlntw_sync_info info;
    if (utlntw_sync_init(&info, dir, BENCH_TIMEOUT, NTW_MODE_SINGLE, number) != 0) {
        utlntw_sync_finish(&info);
        return st;
    }
    std::vector<double> lat;
    lat.reserve(static_cast<size_t>(barriers));
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    bool ok = true;
    for (int i = 0; i < barriers && ok; ++i) {
        auto t0 = std::chrono::steady_clock::now();
        ok = utlntw_sync_wait(&info) == 0;
        lat.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    getrusage(RUSAGE_SELF, &after);
    ok = utlntw_sync_finish(&info) == 0 && ok;

    double sum = 0;
    for (double v : lat)
        sum += v;
    std::sort(lat.begin(), lat.end());
    size_t p95 = (lat.size() * 95 + 99) / 100;
    st.ok = ok;
    st.mean_ms = lat.empty() ? 0 : sum / lat.size();
    st.p95_ms = lat.empty() ? 0 : lat[p95 - 1];
    st.cpu_ms_per_barrier = lat.empty() ? 0 : (cpu_ms(after) - cpu_ms(before)) / lat.size();
    return st;
}

void print_stats(const char *who, const PartyStats &st)
{
    std::printf("%-8s %-4s %8d %10.2f %10.2f %14.3f\n", who, st.ok ? "ok" : "FAIL", st.barriers,
                st.mean_ms, st.p95_ms, st.cpu_ms_per_barrier);
}

void print_load(const char *when)
{
    double load[3] = {0, 0, 0};
    if (getloadavg(load, 3) == 3)
        std::printf("load average %s: %.2f %.2f %.2f\n", when, load[0], load[1], load[2]);
}

} // namespace

int main(int argc, char **argv)
{
    int barriers = argc > 1 ? std::atoi(argv[1]) : 500;
    if (barriers <= 0) {
        std::fprintf(stderr, "usage: ntwsync_bench [barriers [directory]]\n");
        return 2;
    }
    char made[] = "/tmp/ntwsync_bench.XXXXXX";
    const char *dir = argc > 2 ? argv[2] : mkdtemp(made);
    if (dir == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }

    NtwParam param;
    std::memset(&param, 0, sizeof param);
    param.code_set = NTW_CODE_UTF8;
    std::snprintf(param.log_file, sizeof param.log_file, "/dev/null");
    if (msg_init(&param) != 0)
        return 1;

    int pipefd[2];
    if (pipe(pipefd) != 0) {
        std::perror("pipe");
        return 1;
    }
    print_load("before");
    std::fflush(stdout);
    int number = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("fork");
        return 1;
    }
    if (pid == 0) {
        close(pipefd[0]);
        PartyStats st = run_party(dir, number, barriers);
        ssize_t w = write(pipefd[1], &st, sizeof st);
        _exit(w == static_cast<ssize_t>(sizeof st) ? 0 : 1);
    }
    close(pipefd[1]);
    PartyStats mine = run_party(dir, number, barriers);
    PartyStats partner{};
    ssize_t r = read(pipefd[0], &partner, sizeof partner);
    waitpid(pid, nullptr, 0);
    msg_finish();
    if (argc <= 2)
        rmdir(dir);

    std::printf("%-8s %-4s %8s %10s %10s %14s\n", "party", "", "barriers", "mean ms", "p95 ms",
                "cpu ms/barrier");
    print_stats("parent", mine);
    if (r == static_cast<ssize_t>(sizeof partner))
        print_stats("child", partner);
    else
        std::printf("child    no result\n");
    print_load("after");
    return mine.ok && partner.ok ? 0 : 1;
}
