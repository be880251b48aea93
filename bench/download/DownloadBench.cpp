// Downloads one large file from a loopback HTTP server twice: with
// HttpFileRetriever and with curl, and prints throughput and CPU seconds per MiB
// for both. The server runs in a child process so that each client's CPU time is
// its own. Usage: bench_download [MiB] (default 64).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "download/HttpFileRetriever.h"

namespace {

double CpuSeconds(const rusage& u) {
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Serves the same body to every connection, one at a time, until killed.
[[noreturn]] void Serve(int listenFd, const std::vector<char>& body) {
    for (;;) {
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0) continue;
        char c;
        std::string head;
        while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
            if (::recv(fd, &c, 1, 0) <= 0) break;
            head.push_back(c);
        }
        const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
        ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
        std::size_t sent = 0;
        while (sent < body.size()) {
            const ssize_t n = ::send(fd, body.data() + sent, body.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        ::close(fd);
    }
}

class Quiet : public vorn::FileRetrieverListener {
public:
    void OnFileRetrieved(std::int32_t bytes, float) override { Finish(bytes, 0); }
    void OnRetrievalError(std::int32_t code) override { Finish(-1, code); }
    void OnRetrievalStatus(float, float) override {}
    void Wait() {
        std::unique_lock lock(mutex);
        done.wait(lock, [this] { return finished; });
    }
    std::int32_t total = -1;
    std::int32_t error = 0;

private:
    void Finish(std::int32_t bytes, std::int32_t code) {
        std::lock_guard lock(mutex);
        total = bytes;
        error = code;
        finished = true;
        done.notify_all();
    }
    std::mutex mutex;  // guards total, error, finished
    std::condition_variable done;
    bool finished = false;
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 64;
    const std::size_t size = mib << 20;

    const int listenFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listenFd, 8) != 0) {
        std::perror("bind");
        return 1;
    }
    ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);
    // The body is made before the server starts, so no client waits for it.
    std::vector<char> body(size);
    for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 131);
    const pid_t server = ::fork();
    if (server == 0) Serve(listenFd, body);
    ::close(listenFd);

    const std::string folder = std::filesystem::temp_directory_path().string() + "/vorn-bench-" + std::to_string(::getpid());
    std::filesystem::create_directories(folder);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/media/big.mp3";

    // Best of three runs each, alternating, so neither side gets a warmer cache.
    double vornSeconds = 1e9, vornCpu = 1e9, curlSeconds = 1e9, curlCpu = 1e9;
    int status = 0;
    for (int run = 0; run < 3; ++run) {
        // HttpFileRetriever (its two content-network attempts fail at once without a proxy).
        std::filesystem::remove(folder + "/vorn.mp3");
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        auto start = std::chrono::steady_clock::now();
        Quiet listener;
        {
            vorn::HttpFileRetriever retriever(&listener, folder + "/vorn.mp3", vorn::UrlParts(url));
            retriever.Start();
            listener.Wait();
        }
        vornSeconds = std::min(vornSeconds, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        ::getrusage(RUSAGE_SELF, &after);
        vornCpu = std::min(vornCpu, CpuSeconds(after) - CpuSeconds(before));
        if (listener.total != static_cast<std::int32_t>(size)) {
            std::fprintf(stderr, "HttpFileRetriever failed with %d\n", listener.error);
        }

        // curl, as a child process.
        std::filesystem::remove(folder + "/curl.mp3");
        start = std::chrono::steady_clock::now();
        const pid_t curl = ::fork();
        if (curl == 0) {
            ::execlp("curl", "curl", "-s", "-o", (folder + "/curl.mp3").c_str(), url.c_str(), nullptr);
            _exit(127);
        }
        rusage curlUsage{};
        ::wait4(curl, &status, 0, &curlUsage);
        curlSeconds = std::min(curlSeconds, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        curlCpu = std::min(curlCpu, CpuSeconds(curlUsage));
    }

    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);

    const double m = static_cast<double>(mib);
    std::printf("file: %zu MiB over loopback\n", mib);
    std::printf("HttpFileRetriever: %8.1f MiB/s  %.5f CPU s/MiB\n", m / vornSeconds, vornCpu / m);
    std::printf("curl:              %8.1f MiB/s  %.5f CPU s/MiB%s\n", m / curlSeconds, curlCpu / m,
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  (curl failed)");
    std::printf("throughput ratio HttpFileRetriever/curl: %.2f  (target at least 0.5)\n",
                (m / vornSeconds) / (m / curlSeconds));
    std::printf("CPU per MiB ratio HttpFileRetriever/curl: %.2f\n", (vornCpu / m) / (curlCpu / m));
    return 0;
}
