#include "station/app/StationServer.h"

#include <sys/socket.h>

#define ASIO_STANDALONE
#include <asio.hpp>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <optional>
#include <thread>
#include <vector>

#include "platform/AsciiCase.h"
#include "station/app/HttpRequestHead.h"
#include "station/app/SitePages.h"
#include "station/app/StationLog.h"
#include "station/protocol/CoreTurns.h"

namespace vorn::station {
namespace {

using asio::ip::tcp;

enum class Role { Protocol, Media, Mirror };

constexpr std::size_t kChunk = 64 * 1024;
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

// What every connection needs of the server; shared so that connections still
// pending when the server goes never refer to freed memory.
struct Shared {
    ServerSettings settings;
    ProtocolResponder protocol;
    MediaSite* site = nullptr;
    int protocolPort = 0;
    int mediaPort = 0;
    int mirrorPort = 0;  // 0 when off
    std::atomic<int> active{0};
    std::atomic<int> busy{0};  // connections that have not yet sent their whole answer
    std::atomic<std::int64_t> lastRefusalLog{0};
};

std::string Printable(const std::string& text) {
    std::string out;
    for (char c : text.substr(0, 80)) {
        out += (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f) ? '.' : c;
    }
    return text.size() > 80 ? out + "..." : out;
}

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, const tcp::endpoint& peer, Role role, std::shared_ptr<Shared> shared)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), role_(role), shared_(std::move(shared)),
          peer_(peer) {
        shared_->busy.fetch_add(1);
    }
    ~Connection() {
        Done();
        shared_->active.fetch_sub(1);
    }

    void Start() {
        Arm(shared_->settings.headTimeout, "sent no complete request in time");
        ReadHead();
    }

private:
    // The client's address for a log line; written out only then, since most
    // connections log nothing.
    std::string Peer() const {
        asio::error_code ignored;
        return peer_.address().to_string(ignored) + ":" + std::to_string(peer_.port());
    }

    void ReadHead() {
        socket_.async_read_some(asio::buffer(readBuffer_), [self = shared_from_this()](asio::error_code error,
                                                                                       std::size_t n) {
            self->OnRead(error, n);
        });
    }

    void OnRead(const asio::error_code& error, std::size_t n) {
        if (closed_) {
            return;
        }
        if (error) {
            Close(LogLevel::Info, received_.empty() ? "closed without sending a request"
                                                    : "closed before its request was complete");
            return;
        }
        received_.append(readBuffer_.data(), n);
        const std::size_t end = FindHeadEnd(received_);
        if (end != std::string::npos && end <= shared_->settings.headLimit) {
            OnHead(received_.substr(0, end));
        } else if (received_.size() > shared_->settings.headLimit) {
            Close(LogLevel::Warning,
                  "sent a request head longer than " + std::to_string(shared_->settings.headLimit) + " bytes");
        } else {
            ReadHead();
        }
    }

    void OnHead(const std::string& text) {
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
                Reply(MediaSite::Simple(head.version, 502, "Bad Gateway", "text/html; charset=utf-8",
                                        ErrorPage(502, "This station forwards only to its own ports")));
                return;
            }
        }
        if (!parsed) {
            if (role == Role::Protocol) {
                Close(LogLevel::Warning, "sent no request (" + error + "): " + Printable(text));
            } else {
                STATION_LOG(LogLevel::Warning) << "StationServer : " << Peer() << " on the " << RoleName(role)
                                               << " sent no request (" << error << "): " << Printable(text);
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
            Reply(std::move(response));
            return;
        }
        if (head.method != "GET") {
            Close(LogLevel::Warning, "sent a " + Printable(head.method) + " request to the protocol port");
            return;
        }
        std::string response;
        switch (shared_->protocol(head.absolute ? head.path : head.target, response, error)) {
            case ProtocolOutcome::Unusable:
                Close(LogLevel::Warning, "sent an unusable request (" + error + ")");
                return;
            case ProtocolOutcome::Reset:
                Close(LogLevel::Fine, "", Ending::Reset);
                return;
            case ProtocolOutcome::Answer:
                break;
        }
        MediaResponse plain;
        plain.head = std::move(response);
        Reply(std::move(plain));
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

    void SendFile() {
        if (!response_.file.Valid() || sent_ >= response_.fileLength) {
            Finish();
            return;
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, response_.fileLength - sent_));
        out_.resize(want);
        ssize_t n = 0;
        {
            const CoreTurns::Away away;  // the disk may be slow
            n = ::pread(response_.file.Get(), out_.data(), want, static_cast<off_t>(sent_));
        }
        if (n <= 0) {
            out_.clear();
            Close(LogLevel::Warning, "was cut off: its media file shrank or cannot be read");
            return;
        }
        out_.resize(static_cast<std::size_t>(n));
        sent_ += static_cast<std::uint64_t>(n);
        Write();
    }

    // The whole answer is out: half-close and wait briefly for the client to
    // close its side, so that closing never resets a connection whose client
    // is still reading the answer.
    void Finish() {
        Done();
        asio::error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        Arm(kLinger, "");
        Drain();
    }

    void Drain() {
        socket_.async_read_some(asio::buffer(readBuffer_), [self = shared_from_this()](asio::error_code error,
                                                                                       std::size_t) {
            if (self->closed_) {
                return;
            }
            if (error) {
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
        } else {
            socket_.shutdown(tcp::socket::shutdown_both, ignored);
        }
        socket_.close(ignored);
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    const Role role_;
    const std::shared_ptr<Shared> shared_;
    const tcp::endpoint peer_;
    std::array<char, 4096> readBuffer_{};
    std::string received_;
    std::string out_;
    MediaResponse response_;
    std::uint64_t sent_ = 0;
    std::uint64_t timerGeneration_ = 0;
    bool closed_ = false;
    bool counted_ = true;  // still counted in shared_->busy
};

struct Listener {
    Role role;
    tcp::acceptor acceptor;
    asio::steady_timer retry;
    tcp::endpoint peer;  // the address of the connection being accepted
};

}  // namespace

struct StationServer::Impl {
    explicit Impl(ServerSettings settings) : shared(std::make_shared<Shared>()) {
        shared->settings = std::move(settings);
    }

    bool Open(Role role, int port, std::string& error) {
        asio::error_code code;
        const asio::ip::address address = asio::ip::make_address(shared->settings.bindAddress, code);
        if (code) {
            error = "\"" + shared->settings.bindAddress + "\" is not an address to listen on";
            return false;
        }
        auto listener = std::make_unique<Listener>(Listener{role, tcp::acceptor(io), asio::steady_timer(io), {}});
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

    void Accept(Listener& listener) {
        listener.acceptor.async_accept(asio::make_strand(io), listener.peer, [this, &listener](asio::error_code error,
                                                                                              tcp::socket socket) {
            if (error == asio::error::operation_aborted) {
                return;
            }
            if (error) {
                // Out of descriptors or similar: try again shortly instead of spinning.
                STATION_LOG(LogLevel::Warning) << "StationServer : accepting on the " << RoleName(listener.role)
                                               << " failed : " << error.message();
                listener.retry.expires_after(std::chrono::milliseconds(100));
                listener.retry.async_wait([this, &listener](asio::error_code e) {
                    if (!e) {
                        Accept(listener);
                    }
                });
                return;
            }
            if (shared->active.fetch_add(1) >= shared->settings.maxConnections) {
                shared->active.fetch_sub(1);
                RefuseBusy(socket);
            } else {
                std::make_shared<Connection>(std::move(socket), listener.peer, listener.role, shared)->Start();
            }
            Accept(listener);
        });
    }

    void RefuseBusy(tcp::socket& socket) {
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        if (shared->lastRefusalLog.exchange(now) != now) {
            STATION_LOG(LogLevel::Warning) << "StationServer : " << shared->settings.maxConnections
                                           << " connections are open; new ones are closed at once";
        }
        asio::error_code ignored;
        socket.close(ignored);
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
    std::atomic<bool> closed{false};
    asio::post(impl_->io, [this, &closed] {
        for (auto& listener : impl_->listeners) {
            asio::error_code ignored;
            listener->acceptor.close(ignored);
            listener->retry.cancel();
        }
        closed = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    while ((!closed || impl_->shared->busy.load() > 0) && std::chrono::steady_clock::now() < deadline) {
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
