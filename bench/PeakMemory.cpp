// Runs a command and writes its peak resident memory in KiB to a file, as
// the system counts it for that process alone. A process that a large
// parent (the bench's Python) starts directly is also charged the memory the
// parent had resident before the exec, which would hide a peak below it.
//
//   corvel_peak_memory OUTPUT COMMAND [ARGUMENT...]
//
// The exit status is the command's, 125 when it cannot be run or the figure
// cannot be written.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fputs("usage: corvel_peak_memory OUTPUT COMMAND [ARGUMENT...]\n", stderr);
        return 125;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::perror("fork");
        return 125;
    }
    if (child == 0) {
        execvp(argv[2], argv + 2);
        std::perror(argv[2]);
        _exit(125);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) < 0) {
        std::perror("wait4");
        return 125;
    }
    std::FILE* out = std::fopen(argv[1], "w");
    const bool written = out != nullptr && std::fprintf(out, "%ld\n", usage.ru_maxrss) > 0;
    if (out == nullptr || std::fclose(out) != 0 || !written) {
        std::perror(argv[1]);
        return 125;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}
