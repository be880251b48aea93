#include "station/catalogue/DecodeWorker.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "station/base/StationLog.h"

extern char** environ;

namespace vorn::station {
namespace {

// Messages larger than this are taken for a broken stream: pictures are
// refused above 16 MiB before they are sent, and every other message is small.
constexpr std::uint32_t kMostMessage = 64u << 20;
// How often a waiting caller looks at its stop flag and its time limit.
constexpr int kWaitSliceMs = 100;

struct Worker {
    pid_t pid = -1;
    int socket = -1;
    int nice = 0;
};

std::mutex poolMutex;             // guards program and idle
std::string program;              // empty: decode in the caller's process
std::vector<Worker> idle;         // workers waiting for a request
std::atomic<int> atWork{0};       // workers on a request now

int ThreadNice() {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    return errno == 0 ? nice : 0;
}

bool SendAll(int socket, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(socket, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool SendMessage(int socket, const std::string& message) {
    const auto size = static_cast<std::uint32_t>(message.size());
    return SendAll(socket, reinterpret_cast<const char*>(&size), sizeof size) &&
           SendAll(socket, message.data(), message.size());
}

enum class Received { Whole, Closed, TimedOut, Stopped };

// Reads exactly `size` bytes, waiting in slices so that `stop` and the
// deadline are seen; a zero deadline waits as long as it takes.
Received ReceiveAll(int socket, char* data, std::size_t size, const std::atomic<bool>* stop,
                    std::chrono::steady_clock::time_point deadline) {
    while (size > 0) {
        if (stop != nullptr && stop->load()) {
            return Received::Stopped;
        }
        if (deadline != std::chrono::steady_clock::time_point() && std::chrono::steady_clock::now() > deadline) {
            return Received::TimedOut;
        }
        pollfd ready{socket, POLLIN, 0};
        const int polled = ::poll(&ready, 1, kWaitSliceMs);
        if (polled == 0 || (polled < 0 && errno == EINTR)) {
            continue;
        }
        const ssize_t got = polled < 0 ? -1 : ::recv(socket, data, size, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return Received::Closed;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return Received::Whole;
}

Received ReceiveMessage(int socket, std::string& message, const std::atomic<bool>* stop,
                        std::chrono::steady_clock::time_point deadline) {
    std::uint32_t size = 0;
    if (const Received got = ReceiveAll(socket, reinterpret_cast<char*>(&size), sizeof size, stop, deadline);
        got != Received::Whole) {
        return got;
    }
    if (size > kMostMessage) {
        return Received::Closed;
    }
    message.resize(size);
    return ReceiveAll(socket, message.data(), size, stop, deadline);
}

bool Start(const std::string& path, Worker& worker, std::string& problem) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        problem = std::string("cannot make the worker's socket: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
    // None of the station's sockets, files or store stays open in the worker.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // The station blocks its stop signals for its signal thread; the worker
    // takes them as any program does.
    sigset_t none;
    sigemptyset(&none);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &stopSignals);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    std::string name = path;
    std::string option = DecodeWorker::kOption;
    char* arguments[] = {name.data(), option.data(), nullptr};
    pid_t pid = -1;
    const int failed = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ends[1]);
    if (failed != 0) {
        ::close(ends[0]);
        problem = "cannot start the decoding worker " + path + ": " + std::strerror(failed);
        return false;
    }
    worker = {pid, ends[0], ThreadNice()};
    return true;
}

// Closes the worker's socket and waits for it to end; its exit status.
int End(Worker& worker, bool kill) {
    if (kill) {
        ::kill(worker.pid, SIGKILL);
    }
    ::close(worker.socket);
    int status = 0;
    while (::waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

std::string HowItEnded(int status) {
    if (WIFSIGNALED(status)) {
        const char* name = ::strsignal(WTERMSIG(status));
        return "ended by signal " + std::to_string(WTERMSIG(status)) + " (" + (name != nullptr ? name : "?") + ")";
    }
    return "ended with exit status " + std::to_string(WEXITSTATUS(status));
}

void ReapIdle() {
    // Holds poolMutex.
    for (std::size_t at = 0; at < idle.size();) {
        int status = 0;
        if (::waitpid(idle[at].pid, &status, WNOHANG) == idle[at].pid) {
            ::close(idle[at].socket);
            idle.erase(idle.begin() + static_cast<std::ptrdiff_t>(at));
        } else {
            ++at;
        }
    }
}

}  // namespace

void DecodeWorker::UseProgram(std::string path) {
    std::lock_guard lock(poolMutex);
    program = std::move(path);
    // Idle workers of the program before end as the station closes them.
    for (Worker& worker : idle) {
        End(worker, false);
    }
    idle.clear();
}

int DecodeWorker::Running() {
    std::lock_guard lock(poolMutex);
    ReapIdle();
    return static_cast<int>(idle.size()) + atWork.load();
}

DecodeWorker::Answer DecodeWorker::Ask(char kind, const std::string& label, const std::string& request,
                                       const std::atomic<bool>* stop, std::chrono::seconds limit,
                                       std::string& answer, std::string& problem) {
    const std::string message = kind + request;
    for (int attempt = 0; attempt < 2; ++attempt) {
        Worker worker;
        bool found = false;
        std::string path;
        {
            std::lock_guard lock(poolMutex);
            if (program.empty()) {
                return Answer::Unavailable;
            }
            path = program;
            ReapIdle();
            const int nice = ThreadNice();
            for (std::size_t at = idle.size(); at-- > 0;) {
                if (idle[at].nice == nice) {
                    worker = idle[at];
                    idle.erase(idle.begin() + static_cast<std::ptrdiff_t>(at));
                    found = true;
                    break;
                }
            }
            atWork.fetch_add(1);
        }
        if (!found && !Start(path, worker, problem)) {
            // Said once: from now on the station decodes by itself.
            std::lock_guard lock(poolMutex);
            atWork.fetch_sub(1);
            if (!program.empty()) {
                program.clear();
                STATION_LOG(LogLevel::Warning) << "DecodeWorker : " << problem << "; decoding in the station itself";
            }
            return Answer::Unavailable;
        }
        const auto deadline =
            limit.count() > 0 ? std::chrono::steady_clock::now() + limit : std::chrono::steady_clock::time_point();
        const Received got = SendMessage(worker.socket, message)
                                 ? ReceiveMessage(worker.socket, answer, stop, deadline)
                                 : Received::Closed;
        if (got == Received::Whole) {
            std::lock_guard lock(poolMutex);
            idle.push_back(worker);
            atWork.fetch_sub(1);
            return Answer::Given;
        }
        // Killed in every case: a worker whose socket failed must not keep
        // its caller waiting for its end. One that ended keeps its status.
        const int status = End(worker, true);
        atWork.fetch_sub(1);
        if (got == Received::Stopped) {
            problem = "stopped";
            return Answer::Stopped;
        }
        // A worker ends by itself, with status 0, only when it had no
        // request: this one was never taken.
        if (got == Received::Closed && WIFEXITED(status) && WEXITSTATUS(status) == 0 && attempt == 0) {
            continue;
        }
        problem = got == Received::TimedOut
                      ? "the decoding worker gave no answer within " + std::to_string(limit.count()) + " s"
                      : "the decoding worker " + HowItEnded(status) + " on it";
        STATION_LOG(LogLevel::Warning) << "DecodeWorker : " << problem << " : " << label
                                       << "; it is not decoded again until it changes";
        return Answer::Ended;
    }
    problem = "the decoding worker ended before it took the request";
    return Answer::Ended;
}

int DecodeWorker::Serve(const std::function<std::string(char kind, const std::string& request)>& answer) {
    ::signal(SIGPIPE, SIG_IGN);
    const char* crashOn = std::getenv("VORN_DECODE_WORKER_CRASH_ON");
    const std::string crashSuffix = crashOn != nullptr ? crashOn : "";
    const int idleMs = static_cast<int>(std::chrono::milliseconds(kIdle).count());
    for (;;) {
        pollfd ready{0, POLLIN, 0};
        const int polled = ::poll(&ready, 1, idleMs);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            return 0;
        }
        std::string message;
        if (ReceiveMessage(0, message, nullptr, {}) != Received::Whole || message.empty()) {
            return 0;
        }
        const std::string request = message.substr(1);
        if (!crashSuffix.empty() && request.size() >= crashSuffix.size() &&
            request.compare(request.size() - crashSuffix.size(), crashSuffix.size(), crashSuffix) == 0) {
            std::abort();
        }
        if (!SendMessage(0, answer(message[0], request))) {
            return 0;
        }
    }
}

}  // namespace vorn::station
