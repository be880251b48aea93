#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vorn::station::test {

// A throwaway PostgreSQL server: a cluster made with initdb in a temporary
// folder, listening on a Unix socket in that folder only (no TCP). The
// server refuses to run as root, so under root it runs as "nobody", which owns
// the folder. Stopped and removed with the object.
class PgCluster {
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // False when the server programs are not installed; Problem() says why.
    bool Installed() const { return installed_; }
    // True while the server runs.
    bool Running() const { return running_; }
    const std::string& Problem() const { return problem_; }

    // The libpq URI of its "postgres" database, as vorn-station takes it.
    std::string Url() const;
    // Stops the server (fast shutdown: connections are cut) or starts it again.
    bool Stop();
    bool Start();
    // pg_ctl restart -m fast: connections are cut; serving again on return.
    bool Restart();
    // Stops the server and every process of it (SIGSTOP), as a machine that
    // stalls would, and lets them go on (SIGCONT). False when no server runs.
    bool Freeze();
    bool Thaw();
    // Runs SQL through psql; true when it succeeded.
    bool Sql(const std::string& sql) const;
    // Runs a query through psql: its rows, one a line, fields split by "|"
    // (empty when it failed).
    std::string Query(const std::string& sql) const;
    // The psql command that opens a session on the database.
    std::string PsqlCommand() const;

private:
    bool Run(const std::string& command) const;
    // The pg_ctl command line for `action` ("start", "-m fast restart").
    std::string Control(const std::string& action) const;
    // The server's process and its children, the server first; empty when none runs.
    std::vector<pid_t> ServerProcesses() const;

    std::string bin_;     // folder of initdb, pg_ctl and postgres
    std::string folder_;  // socket folder; the cluster lives in its "data"
    bool installed_ = false;
    bool running_ = false;
    std::string problem_;
};

}  // namespace vorn::station::test
