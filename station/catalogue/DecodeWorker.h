#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

namespace vorn::station {

// The station's decoding through GStreamer (content prints, loudness,
// pictures), done in child processes: the station's own program started again
// with kOption, one request at a time over a socket, a message being its
// length (32 bits) and its bytes. A plug-in that crashes on a damaged file
// takes only its worker down: that request fails, and the next one starts a
// new worker. A worker ends by itself once it has waited kIdle for a request,
// and all it used goes back to the system with it: the station itself never
// holds the decoders' libraries, threads and heaps.
//
// Workers are kept for reuse by the priority (nice value) of the thread that
// started them, so that background work stays in low-priority workers and the
// scan's in workers at the scan's priority. Without a program (UseProgram
// never called, as in tests of the parts and in tools) callers decode in
// their own process.
class DecodeWorker {
public:
    static constexpr const char* kOption = "--decode-worker";
    static constexpr std::chrono::seconds kIdle{5};

    enum class Answer {
        Given,        // `answer` holds the worker's answer
        Ended,        // the worker ended or gave no answer in time while on this request; `problem` says which
        Stopped,      // `stop` was set: the worker was ended
        Unavailable,  // no worker can be started, or none is to be used: decode in this process
    };

    // The program to start workers from ("/proc/self/exe" for the station);
    // empty: none. Idle workers of the program before are ended. When a
    // worker cannot be started from it, it is dropped (with one log line)
    // and callers decode in their own process.
    static void UseProgram(std::string program);

    // Hands `request` to a worker as a request of `kind` and waits for the
    // answer, at most `limit` (zero: as long as it takes) and until `stop`
    // (may be null) is set. `label` names the request in the log line that an
    // ended worker costs ("the file ..."). A worker that was idle too long and
    // ended just as the request came is replaced once.
    static Answer Ask(char kind, const std::string& label, const std::string& request,
                      const std::atomic<bool>* stop, std::chrono::seconds limit, std::string& answer,
                      std::string& problem);

    // Workers alive now, idle or at work; those that ended are reaped first.
    static int Running();

    // A worker's whole life: answers the requests on its standard input
    // with `answer` until the station closes it or none comes for kIdle; the
    // process's exit status. With VORN_DECODE_WORKER_CRASH_ON set (tests
    // only), a request that ends with its value aborts the worker, as a
    // crashing plug-in would.
    static int Serve(const std::function<std::string(char kind, const std::string& request)>& answer);
};

}  // namespace vorn::station
