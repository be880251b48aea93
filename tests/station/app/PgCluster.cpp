#include "tests/station/app/PgCluster.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

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

bool PgCluster::Start() {
    running_ = Run(bin_ + "/pg_ctl -D " + folder_ + "/data -l " + folder_ + "/server.log -w -t 30 -o \"-c " +
                   "listen_addresses='' -k " + folder_ + " -c fsync=off\" start >/dev/null 2>&1");
    return running_;
}

bool PgCluster::Stop() {
    const bool stopped = Run(bin_ + "/pg_ctl -D " + folder_ + "/data -m fast -w -t 30 stop >/dev/null 2>&1");
    running_ = running_ && !stopped;
    return stopped;
}

bool PgCluster::Sql(const std::string& sql) const {
    std::string quoted;
    for (char c : sql) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return std::system(("psql -X -q -v ON_ERROR_STOP=1 '" + Url() + "' -c '" + quoted + "' >/dev/null 2>&1").c_str()) ==
           0;
}

}  // namespace vorn::station::test
