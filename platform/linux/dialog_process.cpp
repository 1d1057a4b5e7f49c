// A dialog program is started with an argument vector, never through a shell, so its texts need
// no quoting; its answer is what it prints on standard output and its exit status. The caller's
// thread polls the child instead of blocking on it so that the window goes on painting while the
// dialog is open.

#include "platform/dialog_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/x11_windows.h"

extern char** environ;

namespace vidora {

namespace {

// How often the caller's `whileWaiting` runs while the dialog is open.
constexpr int kPollMilliseconds = 20;

// The parent's environment with NO_AT_BRIDGE=1: without it the dialog tries to reach an
// accessibility bus that a bare session does not have, and waits for it or complains.
std::vector<std::string> dialogEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "NO_AT_BRIDGE=", 13) != 0) {
            env.emplace_back(*entry);
        }
    }
    env.emplace_back("NO_AT_BRIDGE=1");
    return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& s : strings) {
        pointers.push_back(s.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// Appends whatever the pipe holds right now; true once the writer has closed it (or it failed).
bool drainPipe(int fd, std::string& out) {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0) {
            return true;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno != EAGAIN && errno != EWOULDBLOCK;
    }
}

// Starts the dialog with its standard output on `outFd`, standard input and standard error on
// /dev/null (GTK's warnings must not reach our terminal). 0 on failure.
pid_t spawnDialog(std::vector<std::string> args, int outFd) {
    std::vector<std::string> env = dialogEnvironment();
    std::vector<char*> argv = pointersTo(args);
    std::vector<char*> envp = pointersTo(env);

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        return 0;
    }
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);

    // The child starts with no blocked signals and default handlers for the ones a player or
    // its libraries may have changed, so that it can be interrupted and writes fail normally.
    posix_spawnattr_t attributes;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return 0;
    }
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) {
        sigaddset(&defaults, sig);
    }
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int rc = posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : 0;
}

}  // namespace

const char* dialogProgram() {
    const char* overridden = std::getenv("VIDORA_FILE_DIALOG");
    return overridden != nullptr && overridden[0] != '\0' ? overridden : "zenity";
}

std::optional<std::string> runDialogProgram(const std::vector<std::string>& args, uint64_t owner,
                                            const std::function<void()>& whileWaiting) {
    if (args.empty()) {
        return std::nullopt;
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    const int readFd = fds[0];
    const int writeFd = fds[1];
    fcntl(readFd, F_SETFL, fcntl(readFd, F_GETFL) | O_NONBLOCK);

    pid_t pid = spawnDialog(args, writeFd);
    close(writeFd);
    if (pid == 0) {
        close(readFd);
        return std::nullopt;
    }

    std::string output;
    bool pipeClosed = false;
    bool confirmed = false;
    // The dialog does not make its window a child of the owner itself.
    x11::DialogOwnership ownership(owner, pid);
    for (;;) {
        ownership.adoptNewWindows();
        if (!pipeClosed) {
            pollfd p{readFd, POLLIN, 0};
            if (poll(&p, 1, kPollMilliseconds) > 0) {
                pipeClosed = drainPipe(readFd, output);
            }
        } else {
            usleep(kPollMilliseconds * 1000);
        }
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            confirmed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            break;
        }
        if (done < 0 && errno != EINTR) {
            break;  // ECHILD: reaped elsewhere (SIGCHLD ignored), so the answer is unknown
        }
        if (whileWaiting) {
            whileWaiting();
        }
    }
    // The dialog has ended: take what it wrote but never wait for a writer it may have left.
    if (!pipeClosed) {
        drainPipe(readFd, output);
    }
    close(readFd);
    if (!confirmed) {
        return std::nullopt;
    }
    return output;
}

}  // namespace vidora
