#include "tests/station/support/PgCluster.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace vorn::station::test {
namespace {

// The newest installed server, e.g. /usr/lib/postgresql/15/bin.
std::string ServerPrograms() {
    std::error_code error;
    std::string best;
    for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
        const std::string bin = entry.path().string() + "/bin";
        if (std::filesystem::exists(bin + "/initdb") && std::filesystem::exists(bin + "/pg_ctl") && bin > best) {
            best = bin;
        }
    }
    return best;
}

// One shell word.
std::string Quoted(const std::string& text) {
    std::string quoted;
    for (char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return "'" + quoted + "'";
}

// A process's /proc/<pid>/stat, or nothing when the process is gone. Read
// with plain system calls: a stream throws when the read fails (ESRCH for a
// process that ended after the open), even with its exceptions off.
std::string ProcessStat(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return {};
    }
    char buffer[1024];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

PgCluster::PgCluster() {
    bin_ = ServerPrograms();
    if (bin_.empty()) {
        problem_ = "PostgreSQL's server programs are not installed (Debian package postgresql)";
        return;
    }
    installed_ = true;
    // Short, since a socket path may not exceed 107 bytes.
    char pattern[] = "/tmp/vorn-pg-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        problem_ = "cannot make a temporary folder";
        return;
    }
    folder_ = pattern;
    if (::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr || ::chown(folder_.c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
            problem_ = "cannot hand the temporary folder to the user nobody";
            return;
        }
    }
    if (!Run(bin_ + "/initdb -D " + folder_ + "/data -U vorn --auth=trust -E UTF8 --no-sync >" + folder_ +
             "/initdb.log 2>&1")) {
        problem_ = "initdb failed, see " + folder_ + "/initdb.log";
        return;
    }
    if (!Start()) {
        problem_ = "the server did not start, see " + folder_ + "/server.log";
    }
}

PgCluster::~PgCluster() {
    if (running_) {
        Thaw();  // a stopped server would not stop
        Run(bin_ + "/pg_ctl -D " + folder_ + "/data -m immediate -w stop >/dev/null 2>&1");
    }
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool PgCluster::Run(const std::string& command) const {
    const std::string asServer = ::geteuid() == 0 ? "runuser -u nobody -- " : "";
    return std::system((asServer + command).c_str()) == 0;
}

std::string PgCluster::Url() const { return "postgresql:///postgres?host=" + folder_ + "&user=vorn"; }

std::string PgCluster::Control(const std::string& action) const {
    return bin_ + "/pg_ctl -D " + folder_ + "/data -l " + folder_ + "/server.log -w -t 30 -o \"-c " +
           "listen_addresses='' -k " + folder_ + " -c fsync=off\" " + action + " >/dev/null 2>&1";
}

bool PgCluster::Start() {
    running_ = Run(Control("start"));
    return running_;
}

bool PgCluster::Stop() {
    const bool stopped = Run(bin_ + "/pg_ctl -D " + folder_ + "/data -m fast -w -t 30 stop >/dev/null 2>&1");
    running_ = running_ && !stopped;
    return stopped;
}

bool PgCluster::Restart() {
    running_ = Run(Control("-m fast restart"));
    return running_;
}

std::vector<pid_t> PgCluster::ServerProcesses() const {
    std::vector<pid_t> processes;
    std::ifstream pidFile(folder_ + "/data/postmaster.pid");
    pid_t server = 0;
    if (!(pidFile >> server) || server <= 0) {
        return processes;
    }
    processes.push_back(server);
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        // /proc/<pid>/stat: "pid (name) state ppid ..."; the name may hold blanks.
        const std::string text = ProcessStat(entry.path() / "stat");
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 1));
        std::string state;
        pid_t parent = 0;
        if (rest >> state >> parent && parent == server) {
            processes.push_back(static_cast<pid_t>(std::atoi(name.c_str())));
        }
    }
    return processes;
}

bool PgCluster::Freeze() {
    const std::vector<pid_t> processes = ServerProcesses();
    for (const pid_t process : processes) {  // the server first: it forks no more
        ::kill(process, SIGSTOP);
    }
    return !processes.empty();
}

bool PgCluster::Thaw() {
    const std::vector<pid_t> processes = ServerProcesses();
    for (auto process = processes.rbegin(); process != processes.rend(); ++process) {
        ::kill(*process, SIGCONT);
    }
    return !processes.empty();
}

std::string PgCluster::PsqlCommand() const { return "psql -X -q -v ON_ERROR_STOP=1 '" + Url() + "'"; }

bool PgCluster::Sql(const std::string& sql) const {
    return std::system((PsqlCommand() + " -c " + Quoted(sql) + " >/dev/null 2>&1").c_str()) == 0;
}

std::string PgCluster::Query(const std::string& sql) const {
    FILE* psql = ::popen((PsqlCommand() + " -A -t -c " + Quoted(sql) + " 2>/dev/null").c_str(), "r");
    if (psql == nullptr) {
        return {};
    }
    std::string rows;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, psql)) > 0;) {
        rows.append(buffer, n);
    }
    return ::pclose(psql) == 0 ? rows : std::string();
}

}  // namespace vorn::station::test
