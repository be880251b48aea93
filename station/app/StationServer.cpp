#include "station/app/StationServer.h"

#include <pthread.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#define ASIO_STANDALONE
#include <asio.hpp>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "platform/AsciiCase.h"
#include "station/app/ConnectionBudget.h"
#include "station/web/HttpRequestHead.h"
#include "station/web/SitePages.h"
#include "station/base/StationLog.h"
#include "station/protocol/CoreTurns.h"

namespace vorn::station {
namespace {

using asio::ip::tcp;

using Role = StationServer::Port;
using Clock = std::chrono::steady_clock;

// Read at once from a connection, on the reading thread's stack.
constexpr std::size_t kReadChunk = 16 * 1024;
// A file answer's share of a handler turn; the rest follows other handlers.
constexpr std::size_t kFileTurn = 256 * 1024;
constexpr std::chrono::milliseconds kAcceptRetry{100};
constexpr int kAcceptBatch = 32;
constexpr std::chrono::milliseconds kLinger{2000};
constexpr std::chrono::milliseconds kStopGrace{3000};

const char* RoleName(Role role) {
    switch (role) {
        case Role::Protocol: return "protocol port";
        case Role::Media: return "media host";
        case Role::Mirror: return "mirror";
    }
    return "";
}

std::size_t IndexOf(Role role) { return static_cast<std::size_t>(role); }

// An accept error that concerns only the connection it was about to take
// (gone already, or a network error pending on it); the next may be fine.
bool GoneBeforeTaken(int error) {
    return error == EINTR || error == ECONNABORTED || error == EPROTO || error == ENETDOWN || error == ENOPROTOOPT ||
           error == EHOSTDOWN || error == ENONET || error == EHOSTUNREACH || error == EOPNOTSUPP ||
           error == ENETUNREACH;
}

// What every connection needs of the server; shared so that connections still
// pending when the server goes never refer to freed memory.
struct Shared {
    ServerSettings settings;
    ProtocolResponder protocol;
    MediaSite* site = nullptr;
    int protocolPort = 0;
    int mediaPort = 0;
    int mirrorPort = 0;  // 0 when off
    std::array<std::unique_ptr<ConnectionBudget>, 3> budgets;  // by Role
    std::atomic<int> busy{0};  // connections that have not yet sent their whole answer

    ConnectionBudget& Budget(Role role) { return *budgets[IndexOf(role)]; }
};

std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 80)) {
        out += (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) ? '.' : c;
    }
    return text.size() > 80 ? out + "..." : out;
}

// What came of one non-blocking read.
enum class Got { Data, Nothing, End };  // End: the client closed, or the connection failed

Got Receive(int socket, char* into, std::size_t size, std::size_t& n) {
    const ssize_t got = ::recv(socket, into, size, MSG_DONTWAIT);
    if (got > 0) {
        n = static_cast<std::size_t>(got);
        return Got::Data;
    }
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? Got::Nothing : Got::End;
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Counted in the budget of the port it came to until it is closed.
    Connection(tcp::socket socket, const tcp::endpoint& peer, const ClientKey& client, Role role,
               std::shared_ptr<Shared> shared)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), role_(role), shared_(std::move(shared)),
          peer_(peer), client_(client) {
        shared_->busy.fetch_add(1);
    }
    ~Connection() {
        Done();
        if (!closed_) {
            shared_->Budget(role_).Release(client_);  // the server stopped
        }
    }

    tcp::socket::executor_type Executor() { return socket_.get_executor(); }

    // The socket came non-blocking from accept4, as sendfile needs it. A
    // request usually arrives with its connection: it is read at once, and
    // only a head still on its way costs a time-out and a wait for more.
    void Start() {
        if (TakeReadable()) {
            Arm(shared_->settings.headTimeout, "sent no complete request in time");
            ReadHead();
        }
    }

private:
    // The client's address for a log line; written out only then, since most
    // connections log nothing.
    std::string Peer() const {
        asio::error_code ignored;
        return peer_.address().to_string(ignored) + ":" + std::to_string(peer_.port());
    }

    // Waits for bytes with no buffer of its own: a connection that sends
    // nothing, or a byte now and then, holds no memory for what never comes.
    void ReadHead() {
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](asio::error_code error) {
            self->OnReadable(error);
        });
    }

    void OnReadable(const asio::error_code& error) {
        if (closed_) {
            return;
        }
        if (error) {
            Close(LogLevel::Info, received_.empty() ? "closed without sending a request"
                                                    : "closed before its request was complete");
        } else if (TakeReadable()) {
            ReadHead();
        }
    }

    // Reads what has come and acts on a complete head, or on a closed or
    // oversized one; true when the rest of the head is still to come.
    bool TakeReadable() {
        char chunk[kReadChunk];
        std::size_t n = 0;
        const Got got = Receive(socket_.native_handle(), chunk, sizeof chunk, n);
        if (got == Got::Nothing) {
            return true;
        }
        if (got == Got::End) {
            Close(LogLevel::Info, received_.empty() ? "closed without sending a request"
                                                    : "closed before its request was complete");
            return false;
        }
        received_.append(chunk, n);
        const std::size_t end = FindHeadEnd(received_);
        if (end != std::string::npos && end <= shared_->settings.headLimit) {
            received_.resize(end);
            OnHead(received_);
            return false;
        }
        if (received_.size() > shared_->settings.headLimit) {
            Close(LogLevel::Warning,
                  "sent a request head longer than " + std::to_string(shared_->settings.headLimit) + " bytes");
            return false;
        }
        return true;
    }

    void CountProtocol(ProtocolResult result, RequestKind kind) {
        if (shared_->settings.metrics != nullptr) {
            shared_->settings.metrics->Protocol(kind, result, Clock::now() - headAt_);
        }
    }

    void CountWeb(RequestKind kind, int status) {
        if (shared_->settings.metrics != nullptr) {
            shared_->settings.metrics->Web(kind, status, Clock::now() - headAt_);
        }
    }

    void OnHead(const std::string& text) {
        headAt_ = Clock::now();
        HttpRequestHead head;
        std::string error;
        const bool parsed = ParseRequestHead(text, head, error);
        Role role = role_;
        if (parsed && head.absolute) {
            const std::string& host = head.urlHost;
            const std::size_t suffix = std::char_traits<char>::length(kCdnHostSuffix);
            const bool mirrorName = host.size() > suffix &&
                                    EqualsIgnoringCase(std::string_view(host).substr(host.size() - suffix),
                                                       kCdnHostSuffix);
            if (shared_->mirrorPort != 0 && mirrorName) {
                role = Role::Mirror;  // content-network names reach the mirror whatever port they name
            } else if (head.urlPort == shared_->protocolPort) {
                role = Role::Protocol;
            } else if (head.urlPort == shared_->mediaPort) {
                role = Role::Media;
            } else if (shared_->mirrorPort != 0 && head.urlPort == shared_->mirrorPort) {
                role = Role::Mirror;
            } else {
                STATION_LOG(LogLevel::Warning) << "StationServer : " << Peer() << " asked to be forwarded to "
                                               << Printable(head.urlHost) << ":" << head.urlPort
                                               << ", which is not a port of this station";
                CountWeb(RequestKind::Pages, 502);
                Reply(MediaSite::Simple(head.version, 502, "Bad Gateway", "text/html; charset=utf-8",
                                        ErrorPage(502, "This station forwards only to its own ports")));
                return;
            }
        }
        if (!parsed) {
            if (role == Role::Protocol) {
                CountProtocol(ProtocolResult::Unusable, RequestKind::Other);
                Close(LogLevel::Warning, "sent no request (" + error + "): " + Printable(text));
            } else {
                STATION_LOG(LogLevel::Warning) << "StationServer : " << Peer() << " on the " << RoleName(role)
                                               << " sent no request (" << error << "): " << Printable(text);
                CountWeb(RequestKind::Pages, 400);
                Reply(MediaSite::Simple("HTTP/1.0", 400, "Bad Request", "text/html; charset=utf-8",
                                        ErrorPage(400, "Bad Request")));
            }
            return;
        }
        if (role != Role::Protocol) {
            MediaResponse response;
            {
                // A page may wait for the store, a file for the disk.
                const CoreTurns::Away away;
                response = shared_->site->Respond(head, role == Role::Mirror);
            }
            if (response.pending) {
                Await(std::move(response.pending));  // counted when it is answered
            } else {
                const bool file = head.path.rfind("/media/", 0) == 0 || head.path.rfind("/files/", 0) == 0;
                CountWeb(file ? RequestKind::Media : RequestKind::Pages, response.status);
                Reply(std::move(response));
            }
            return;
        }
        if (head.method != "GET") {
            CountProtocol(ProtocolResult::Unusable, RequestKind::Other);
            Close(LogLevel::Warning, "sent a " + Printable(head.method) + " request to the protocol port");
            return;
        }
        std::string response;
        const std::string& target = head.absolute ? head.path : head.target;
        StationMetrics::Note(target == "/" ? RequestKind::KeyExchange : RequestKind::Other);
        const ProtocolOutcome outcome = shared_->protocol(target, response, error);
        const RequestKind kind = StationMetrics::TakeNoted();
        switch (outcome) {
            case ProtocolOutcome::Unusable:
                CountProtocol(ProtocolResult::Unusable, kind);
                Close(LogLevel::Warning, "sent an unusable request (" + error + ")");
                return;
            case ProtocolOutcome::Reset:
                CountProtocol(ProtocolResult::Reset, kind);
                Close(LogLevel::Fine, "", Ending::Reset);
                return;
            case ProtocolOutcome::Answer:
                CountProtocol(response.empty() ? ProtocolResult::Empty : ProtocolResult::Ok, kind);
                break;
        }
        MediaResponse plain;
        plain.head = std::move(response);
        Reply(std::move(plain));
    }

    // Waits for an answer that is not ready (a file being made) without a
    // thread: the answer comes back to the connection's strand, and after
    // the pending answer's limit the connection answers what it says instead.
    void Await(std::shared_ptr<PendingMedia> pending) {
        const std::uint64_t generation = ++timerGeneration_;
        timer_.expires_after(pending->Limit());
        timer_.async_wait([self = shared_from_this(), pending, generation](asio::error_code error) {
            if (!error && !self->closed_ && generation == self->timerGeneration_) {
                self->Answer(pending->GaveUp());
            }
        });
        pending->WhenReady([self = shared_from_this()](MediaResponse response) {
            // Each handler of a connection runs on its strand, one at a time.
            asio::post(self->socket_.get_executor(), [self, response = std::move(response)]() mutable {
                self->Answer(std::move(response));
            });
        });
    }

    // The first answer to a pending request goes out; a later one is dropped.
    void Answer(MediaResponse response) {
        if (closed_ || answered_) {
            return;
        }
        answered_ = true;
        CountWeb(RequestKind::Media, response.status);  // only media files are made while the client waits
        Reply(std::move(response));
    }

    void Reply(MediaResponse response) {
        response_ = std::move(response);
        out_ = std::move(response_.head);
        out_ += response_.body;
        response_.body.clear();
        if (!response_.file.Valid()) {
            // A whole answer in memory, as every protocol answer is, goes out
            // at once and held back (MSG_MORE) until Finish's half-close, so
            // the answer and the connection's end leave in one packet.
            const ssize_t sent = ::send(socket_.native_handle(), out_.data(), out_.size(),
                                        MSG_NOSIGNAL | MSG_DONTWAIT | MSG_MORE);
            if (sent == static_cast<ssize_t>(out_.size())) {
                out_.clear();
                Finish();
                return;
            }
            if (sent > 0) {
                out_.erase(0, static_cast<std::size_t>(sent));
            }
        }
        Write();
    }

    void Write() {
        if (out_.empty()) {
            SendFile();
            return;
        }
        Arm(shared_->settings.idleTimeout, "stopped taking data");
        asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](asio::error_code error,
                                                                                    std::size_t) {
            if (self->closed_) {
                return;
            }
            if (error) {
                self->Close(LogLevel::Info, "went away during the answer");
                return;
            }
            self->out_.clear();
            self->SendFile();
        });
    }

    // The file goes from the page cache straight into the socket, so that an
    // answer holds no buffer however slowly its client takes it.
    void SendFile() {
        if (!response_.file.Valid() || sent_ >= response_.fileLength) {
            Finish();
            return;
        }
        Arm(shared_->settings.idleTimeout, "stopped taking data");
        std::size_t turn = 0;
        while (sent_ < response_.fileLength && turn < kFileTurn) {
            off_t offset = static_cast<off_t>(sent_);
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(kFileTurn - turn, response_.fileLength - sent_));
            ssize_t n = 0;
            int failure = 0;
            {
                const CoreTurns::Away away;  // the disk may be slow
                n = ::sendfile(socket_.native_handle(), response_.file.Get(), &offset, want);
                failure = errno;
            }
            if (n > 0) {
                sent_ += static_cast<std::uint64_t>(n);
                turn += static_cast<std::size_t>(n);
            } else if (n < 0 && failure == EINTR) {
                continue;
            } else if (n < 0 && (failure == EAGAIN || failure == EWOULDBLOCK)) {
                socket_.async_wait(tcp::socket::wait_write, [self = shared_from_this()](asio::error_code) {
                    if (!self->closed_) {
                        self->SendFile();  // a failed connection fails the next sendfile
                    }
                });
                return;
            } else if (n < 0 && (failure == EPIPE || failure == ECONNRESET || failure == ENOTCONN)) {
                Close(LogLevel::Info, "went away during the answer");
                return;
            } else {
                Close(LogLevel::Warning, "was cut off: its media file shrank or cannot be read");
                return;
            }
        }
        if (sent_ >= response_.fileLength) {
            Finish();
            return;
        }
        asio::post(socket_.get_executor(), [self = shared_from_this()] {
            if (!self->closed_) {
                self->SendFile();
            }
        });
    }

    // The whole answer is out: half-close and wait briefly for the client to
    // close its side, so that closing never resets a connection whose client
    // is still reading the answer.
    void Finish() {
        Done();
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        halfClosed_ = true;
        Arm(kLinger, "");
        Drain();
    }

    void Drain() {
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](asio::error_code error) {
            if (self->closed_) {
                return;
            }
            char discard[kReadChunk];
            std::size_t n = 0;
            if (error || Receive(self->socket_.native_handle(), discard, sizeof discard, n) == Got::End) {
                self->Close(LogLevel::Fine, "");
            } else {
                self->Drain();
            }
        });
    }

    // Closes the connection when the timer runs out; `what` (empty: nothing)
    // is logged then. Re-arming replaces the earlier deadline.
    void Arm(std::chrono::milliseconds after, const char* what) {
        const std::uint64_t generation = ++timerGeneration_;
        timer_.expires_after(after);
        timer_.async_wait([self = shared_from_this(), generation, what](asio::error_code error) {
            if (error || self->closed_ || generation != self->timerGeneration_) {
                return;
            }
            self->Close(*what != '\0' ? LogLevel::Info : LogLevel::Fine, what);
        });
    }

    // The answer is complete (or abandoned): a stopping server need not wait for it.
    void Done() {
        if (counted_) {
            counted_ = false;
            shared_->busy.fetch_sub(1);
        }
    }

    // How a connection ends: with its FIN, or with a reset and nothing sent,
    // which a client cannot mistake for the end of an answer (for a request
    // that was not carried out).
    enum class Ending { Orderly, Reset };

    void Close(LogLevel level, const std::string& why, Ending ending = Ending::Orderly) {
        if (closed_) {
            return;
        }
        closed_ = true;
        Done();
        if (!why.empty()) {
            STATION_LOG(level) << "StationServer : " << Peer() << " on the " << RoleName(role_) << " " << why
                               << "; connection closed";
        }
        asio::error_code ignored;
        timer_.cancel();
        if (ending == Ending::Reset) {
            socket_.set_option(asio::socket_base::linger(true, 0), ignored);  // no FIN first
        } else if (!halfClosed_) {  // a half-closed one has sent its FIN already
            socket_.shutdown(tcp::socket::shutdown_both, ignored);
        }
        socket_.close(ignored);
        // Its descriptor is free already, before the handlers still holding
        // the object have run.
        shared_->Budget(role_).Release(client_);
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    const Role role_;
    const std::shared_ptr<Shared> shared_;
    const tcp::endpoint peer_;
    const ClientKey client_;
    std::string received_;
    Clock::time_point headAt_{};  // when the request head was complete
    std::string out_;
    MediaResponse response_;
    std::uint64_t sent_ = 0;
    std::uint64_t timerGeneration_ = 0;
    bool closed_ = false;
    bool halfClosed_ = false;  // the answer is out and its FIN sent (Finish)
    bool answered_ = false;  // a pending request's answer went out (Answer)
    bool counted_ = true;  // still counted in shared_->busy
};

// At most one line a second for one reason of refusing; the next line says
// how many it left out.
class LineThrottle {
public:
    // True when a line is due; `leftOut` is then the number of those not written since the last.
    bool Due(long& leftOut) {
        const auto now = std::chrono::steady_clock::now();
        if (written_ && now - last_ < std::chrono::seconds(1)) {
            ++leftOut_;
            return false;
        }
        written_ = true;
        last_ = now;
        leftOut = leftOut_;
        leftOut_ = 0;
        return true;
    }

private:
    bool written_ = false;
    std::chrono::steady_clock::time_point last_;
    long leftOut_ = 0;
};

std::string LeftOut(long count, const char* what) {
    return count == 0 ? std::string() : " (" + std::to_string(count) + " more " + what + " since the last such line)";
}

enum Refusal { kPortFull, kClientFull, kReserved, kAcceptFailed, kRefusals };

struct Listener {
    Role role;
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    // Used by the listener's accept handler alone, one at a time.
    std::array<LineThrottle, kRefusals> lines{};
};

}  // namespace

struct StationServer::Impl {
    explicit Impl(ServerSettings settings) : shared(std::make_shared<Shared>()) {
        shared->settings = std::move(settings);
        ConnectionBudget::Limits limits;
        limits.total = std::max(1, shared->settings.maxConnections);
        limits.perClient = std::max(1, shared->settings.maxConnectionsPerAddress);
        for (const Role role : {Role::Protocol, Role::Media, Role::Mirror}) {
            // Key exchanges are what every client needs first, and cost little.
            limits.reserve = role == Role::Protocol ? limits.total / 8 : 0;
            shared->budgets[IndexOf(role)] = std::make_unique<ConnectionBudget>(limits);
        }
    }

    bool Open(Role role, int port, std::string& error) {
        asio::error_code code;
        const asio::ip::address address = asio::ip::make_address(shared->settings.bindAddress, code);
        if (code) {
            error = "\"" + shared->settings.bindAddress + "\" is not an address to listen on";
            return false;
        }
        // The accept handler, its retry and the close at Stop run on one strand
        // per port: never two at once on the same acceptor.
        const auto strand = asio::make_strand(io);
        auto listener = std::make_unique<Listener>(Listener{role, tcp::acceptor(strand), asio::steady_timer(strand), {}});
        const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
        tcp::acceptor& acceptor = listener->acceptor;
        acceptor.open(endpoint.protocol(), code);
        if (!code) {
            acceptor.set_option(tcp::acceptor::reuse_address(true), code);
        }
        if (!code) {
            acceptor.bind(endpoint, code);
        }
        if (!code) {
            acceptor.listen(asio::socket_base::max_listen_connections, code);
        }
        if (code) {
            error = "cannot listen on " + shared->settings.bindAddress + ":" + std::to_string(port) + " for the " +
                    RoleName(role) + ": " + code.message();
            return false;
        }
        listeners.push_back(std::move(listener));
        return true;
    }

    int PortOf(Role role) const {
        for (const auto& listener : listeners) {
            if (listener->role == role) {
                asio::error_code ignored;
                return listener->acceptor.local_endpoint(ignored).port();
            }
        }
        return 0;
    }

    // Waits until connections are pending, then takes up to kAcceptBatch of
    // them in one handler: a flood of connections costs a handler per batch,
    // and a refused connection no more than its accept and its reset.
    void Accept(Listener& listener) {
        listener.acceptor.async_wait(tcp::acceptor::wait_read, [this, &listener](asio::error_code error) {
            if (error) {
                return;  // stopped
            }
            for (int k = 0; k < kAcceptBatch; ++k) {
                tcp::endpoint peer;
                socklen_t length = static_cast<socklen_t>(peer.capacity());
                const int fd = ::accept4(listener.acceptor.native_handle(), peer.data(), &length,
                                         SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd >= 0) {
                    peer.resize(length);
                    if (!Take(listener, fd, peer)) {
                        return;
                    }
                } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    break;
                } else if (!GoneBeforeTaken(errno)) {
                    AcceptFailed(listener, errno);
                    return;
                }
            }
            Accept(listener);
        });
    }

    // Out of descriptors or similar: this port tries again shortly instead
    // of spinning, and the others go on meanwhile.
    void AcceptFailed(Listener& listener, int failure) {
        long leftOut = 0;
        if (listener.lines[kAcceptFailed].Due(leftOut)) {
            STATION_LOG(LogLevel::Warning) << "StationServer : accepting on the " << RoleName(listener.role)
                                           << " failed : " << std::strerror(failure) << "; trying again in "
                                           << kAcceptRetry.count() << " ms" << LeftOut(leftOut, "failures");
        }
        listener.retry.expires_after(kAcceptRetry);
        listener.retry.async_wait([this, &listener](asio::error_code e) {
            if (!e) {
                Accept(listener);
            }
        });
    }

    // False when the port pauses (AcceptFailed).
    bool Take(Listener& listener, int fd, const tcp::endpoint& peer) {
        const ClientKey client = ClientKeyOf(*peer.data());
        ConnectionBudget& budget = shared->Budget(listener.role);
        int held = 0;
        const ConnectionBudget::Verdict verdict = budget.Admit(client, held);
        if (verdict != ConnectionBudget::Verdict::Admitted) {
            Refuse(listener, fd, peer, verdict, held);
            return true;
        }
        tcp::socket socket(asio::make_strand(io));
        asio::error_code code;
        socket.assign(peer.protocol(), fd, code);
        if (code) {
            ::close(fd);
            budget.Release(client);
            AcceptFailed(listener, code.value());
            return false;
        }
        // Each connection starts as a handler of its own, so that the
        // requests of one batch are answered in parallel on every core.
        auto connection = std::make_shared<Connection>(std::move(socket), peer, client, listener.role, shared);
        asio::post(connection->Executor(), [connection] { connection->Start(); });
        return true;
    }

    // Resets the connection, which leaves nothing behind in the kernel (a
    // closed connection would wait there a minute), and says why.
    void Refuse(Listener& listener, int fd, const tcp::endpoint& peer, ConnectionBudget::Verdict verdict, int held) {
        const Refusal reason = verdict == ConnectionBudget::Verdict::PortFull     ? kPortFull
                               : verdict == ConnectionBudget::Verdict::ClientFull ? kClientFull
                                                                                  : kReserved;
        if (shared->settings.metrics != nullptr) {
            const RefusalReason counted = reason == kPortFull     ? RefusalReason::PortFull
                                          : reason == kClientFull ? RefusalReason::ClientFull
                                                                  : RefusalReason::Reserved;
            shared->settings.metrics->Refused(IndexOf(listener.role), counted);
        }
        long leftOut = 0;
        if (listener.lines[reason].Due(leftOut)) {
            asio::error_code ignored;
            const std::string address = peer.address().to_string(ignored);
            const char* port = RoleName(listener.role);
            const ConnectionBudget::Limits& limits = shared->Budget(listener.role).Get();
            std::string what;
            switch (reason) {
                case kPortFull:
                    what = std::string("the ") + port + " holds " + std::to_string(limits.total) +
                           " connections, the most it takes; " + address + " was refused";
                    break;
                case kClientFull:
                    what = address + " holds " + std::to_string(held) + " connections on the " + port +
                           ", the most one address may; its new ones are closed at once";
                    break;
                default:
                    what = std::string("the ") + port + " keeps its last " + std::to_string(limits.reserve) +
                           " connections for addresses that hold fewer than " +
                           std::to_string(ConnectionBudget::kFew) + " there; " + address + " holds " +
                           std::to_string(held) + " and was refused";
                    break;
            }
            STATION_LOG(LogLevel::Warning) << "StationServer : " << what << LeftOut(leftOut, "refused for this");
        }
        const linger reset{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        ::close(fd);
    }

    std::shared_ptr<Shared> shared;
    asio::io_context io;
    std::vector<std::unique_ptr<Listener>> listeners;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    // At most one thread per usable core runs handlers at a time, each handler
    // to its end, in the order their events came; the other threads wait for
    // a free turn before they take any work. A handler that waits for a store
    // or a disk lends its turn meanwhile (CoreTurns::Away), which is what the
    // threads beyond the cores are for.
    std::unique_ptr<CoreTurns> turns;
    std::vector<std::thread> threads;
};

long MostDescriptors(const ServerSettings& settings) {
    const long each = std::max(1, settings.maxConnections);
    return each + 2 * each + (settings.mirror ? 2 * each : 0);
}

StationServer::StationServer(ServerSettings settings) : impl_(std::make_unique<Impl>(std::move(settings))) {}

StationServer::~StationServer() { Stop(); }

bool StationServer::Bind(std::string& error) {
    const ServerSettings& settings = impl_->shared->settings;
    impl_->listeners.clear();
    if (!impl_->Open(Role::Protocol, settings.protocolPort, error) ||
        !impl_->Open(Role::Media, settings.mediaPort, error) ||
        (settings.mirror && !impl_->Open(Role::Mirror, settings.mirrorPort, error))) {
        impl_->listeners.clear();
        return false;
    }
    impl_->shared->protocolPort = impl_->PortOf(Role::Protocol);
    impl_->shared->mediaPort = impl_->PortOf(Role::Media);
    impl_->shared->mirrorPort = impl_->PortOf(Role::Mirror);
    return true;
}

int StationServer::ProtocolPort() const { return impl_->shared->protocolPort; }
int StationServer::MediaPort() const { return impl_->shared->mediaPort; }
int StationServer::MirrorPort() const { return impl_->shared->mirrorPort; }

int StationServer::OpenConnections(Port port) const { return impl_->shared->Budget(port).Held(); }

void StationServer::Start(ProtocolResponder protocol, MediaSite& site) {
    if (!impl_->threads.empty()) {
        return;
    }
    impl_->shared->protocol = std::move(protocol);
    impl_->shared->site = &site;
    impl_->work.emplace(impl_->io.get_executor());
    impl_->turns = std::make_unique<CoreTurns>(CoreTurns::UsableCores());
    // A holder idle in the event loop wakes for a handler queued for its turn.
    impl_->turns->SetWaker([this] { asio::post(impl_->io, [] {}); });
    for (auto& listener : impl_->listeners) {
        impl_->Accept(*listener);
    }
    const int threads = std::max(1, impl_->shared->settings.threads);
    for (int i = 0; i < threads; ++i) {
        impl_->threads.emplace_back([this] {
            // Named for the tools that count a process's threads apart (top -H, perf).
            ::pthread_setname_np(::pthread_self(), "station-serve");
            // A handler that throws (out of memory, say) costs its connection,
            // never the thread or the station.
            for (;;) {
                try {
                    asio::error_code ignored;
                    for (;;) {
                        // The turn is kept from one handler to the next, so a
                        // busy core needs no other thread; it passes on only
                        // to a handler back from its store.
                        const CoreTurns::Turn turn(*impl_->turns, CoreTurns::Turn::Ask::WhenFree);
                        do {
                            if (impl_->io.run_one(ignored) == 0) {
                                return;  // stopped
                            }
                        } while (!impl_->turns->Wanted());
                    }
                } catch (const std::exception& failure) {
                    STATION_LOG(LogLevel::Severe) << "StationServer : a request failed : " << failure.what();
                } catch (...) {
                    STATION_LOG(LogLevel::Severe) << "StationServer : a request failed";
                }
            }
        });
    }
}

void StationServer::Stop() {
    if (impl_->threads.empty()) {
        return;
    }
    // Stop accepting, then give the requests under way a moment to finish (a
    // rating that arrived must not be dropped), then stop everything.
    std::atomic<std::size_t> open{impl_->listeners.size()};
    for (auto& listener : impl_->listeners) {
        asio::post(listener->acceptor.get_executor(), [&listener = *listener, &open] {
            asio::error_code ignored;
            listener.acceptor.close(ignored);
            listener.retry.cancel();
            --open;
        });
    }
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while ((open.load() > 0 || impl_->shared->busy.load() > 0) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    impl_->work.reset();
    impl_->io.stop();
    for (std::thread& thread : impl_->threads) {
        thread.join();
    }
    impl_->threads.clear();
    for (auto& listener : impl_->listeners) {
        asio::error_code ignored;
        listener->acceptor.close(ignored);
    }
}

}  // namespace vorn::station
