// Runs one benchmark command and reports what wait4 says about it.
//
//   runner RESULT_JSON TIMEOUT_S STDOUT_PATH -- PROGRAM ARGS...
//
// STDOUT_PATH "-" sends the command's output to /dev/null; standard error is
// inherited. RESULT_JSON receives {"exit", "signal", "wall", "user", "sys",
// "maxrss_kib"}. After TIMEOUT_S seconds the command is killed.
//
// Why a separate program: Linux carries the RSS high-water mark of the
// process that calls exec over into the new program's ru_maxrss, so a
// command started straight from the Python harness reports at least the
// harness's own RSS (tens of MiB, more with pyarrow loaded). Forked from this
// small program instead, the command's peak RSS is its own plus about 1 MiB.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

volatile pid_t g_child = -1;

void on_alarm(int) {
    if (g_child > 0) kill(g_child, SIGKILL);
}

double now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double seconds(const timeval& tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6 || std::strcmp(argv[4], "--") != 0) {
        std::fprintf(stderr, "usage: runner RESULT_JSON TIMEOUT_S STDOUT_PATH -- PROGRAM ARGS...\n");
        return 2;
    }
    const char* result_path = argv[1];
    const unsigned timeout = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
    const char* out_path = std::strcmp(argv[3], "-") == 0 ? "/dev/null" : argv[3];

    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);

    const double t0 = now();
    pid_t pid = fork();
    if (pid < 0) {
        std::perror("runner: fork");
        return 1;
    }
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(out_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0) {
            std::perror("runner: open");
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        close(in);
        close(out);
        execvp(argv[5], argv + 5);
        std::fprintf(stderr, "runner: %s: %s\n", argv[5], std::strerror(errno));
        _exit(127);
    }
    g_child = pid;
    if (timeout) alarm(timeout);
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0) {
        if (errno != EINTR) {
            std::perror("runner: wait4");
            return 1;
        }
    }
    const double wall = now() - t0;
    alarm(0);

    FILE* f = std::fopen(result_path, "w");
    if (!f) {
        std::perror(result_path);
        return 1;
    }
    std::fprintf(f,
                 "{\"exit\": %d, \"signal\": %d, \"wall\": %.6f, \"user\": %.6f, \"sys\": %.6f, "
                 "\"maxrss_kib\": %ld}\n",
                 WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                 WIFSIGNALED(status) ? WTERMSIG(status) : 0, wall, seconds(ru.ru_utime),
                 seconds(ru.ru_stime), ru.ru_maxrss);
    return std::fclose(f) == 0 ? 0 : 1;
}
