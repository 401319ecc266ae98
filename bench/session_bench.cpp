// The session at work, each figure beside a plain loopback reference measured in the same run:
// notification throughput, request round trip (both also with a wire trace sink that does
// nothing), connecting, and resident memory at scale.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "net/bsd_socket.h"
#include "pbx/pbx_simulator.h"
#include "protocol/call_notifications.h"
#include "protocol/message_framer.h"
#include "protocol/subscription.h"
#include "session/call_service_client.h"
#include "session/wire_trace_sink.h"

using namespace voxtrel;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(fraction * values.size()))];
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A session that counts what the benchmarks wait for and does nothing else.
class CountingSession : public CallServiceClient {
  public:
    ~CountingSession() { Shutdown(); }
    void OnAuthenticateResponse(bool ok, const std::string&) override {
        ChangeState(kConnected, ok ? kAuthenticated : kClosing);
    }
    void OnCallStateChanged(uint64_t, int32_t) override { Bump(); }
    void OnSubscriptionConfirmed(uint64_t, bool, int32_t) override { Bump(); }
    void OnRequestFailed(uint64_t, int32_t, const std::string&) override { Bump(); }

    // Waits until the count reaches target; false after ten seconds.
    bool WaitFor(long target) {
        std::unique_lock<std::mutex> guard(lock_);
        target_ = target;
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return count_ >= target; });
    }
    long Count() {
        std::lock_guard<std::mutex> guard(lock_);
        return count_;
    }

  private:
    // The waiter is woken once, when its target is reached, not for every message on the way:
    // the plain references have no such thread to wake.
    void Bump() {
        std::lock_guard<std::mutex> guard(lock_);
        if (++count_ >= target_) changed_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable changed_;
    long count_ = 0;
    long target_ = 0;
};

// A trace sink that takes every message and does nothing with it: what remains is the cost of
// tracing itself, the worker's writing included.
class IgnoringTraceSink : public WireTraceSink {
  public:
    void OnWireMessage(WireDirection, std::chrono::system_clock::time_point,
                       std::string_view) override {}
};

std::string Notice() {
    CallStateChangedMethod notice;
    notice.SetParams(13323469184593209344u, 3);
    std::string text;
    notice.Write(text);
    return text;
}

std::string Ack() {
    XmlRpcResponseMethod ack(kCallStateChanged);
    ack.SetId(13323469184593209344u);
    std::string text;
    ack.Write(text);
    return text;
}

struct Listener {
    BsdSocket socket{false};
    uint16_t port = 0;
    Listener() {
        socket.CreateTCP(true, SocketAddress(Ipv4(127, 0, 0, 1), 0));
        port = socket.GetSelfPort();
    }
};

// Plain stream: the receiver cuts messages and answers each with an ack of the session's size;
// like the session, it writes the answers to the messages of a chunk together.
double PlainStream(int count) {
    Listener listener;
    std::string notice = Notice();
    std::string ack = Ack();
    std::thread sender([&] {
        BsdSocket connection(false);
        if (listener.socket.Accept(connection) != SocketStatus::kDone) return;
        std::thread drain([&] {
            char chunk[65536];
            long got = 0;
            long expected = static_cast<long>(ack.size()) * count;
            while (got < expected) {
                int n = connection.Receive(chunk, sizeof chunk, 10, 0).count;
                if (n <= 0) break;
                got += n;
            }
        });
        for (int i = 0; i < count; ++i) {
            connection.SendAll(notice.data(), static_cast<int>(notice.size()), 10);
        }
        drain.join();
    });
    BsdSocket client(false);
    client.CreateTCP(false, SocketAddress(Ipv4(127, 0, 0, 1), listener.port));
    MessageFramer framer;
    char chunk[8192];
    std::string message;
    std::string answers;
    int handled = 0;
    auto start = Clock::now();
    while (handled < count) {
        int n = client.Receive(chunk, sizeof chunk, 10, 0).count;
        if (n <= 0) break;
        framer.Append(chunk, static_cast<size_t>(n));
        answers.clear();
        while (framer.Next(message)) {
            answers += ack;
            ++handled;
        }
        if (!answers.empty()) client.SendAll(answers.data(), static_cast<int>(answers.size()), 10);
    }
    double rate = handled / Seconds(start);
    sender.join();
    return rate;
}

// The session: a service streams the same notifications; each is parsed, acknowledged and
// dispatched to the notification operation; with a trace sink, each also goes to it.
double SessionStream(int count, WireTraceSink* trace = nullptr) {
    Listener listener;
    std::string notice = Notice();
    std::thread service([&] {
        BsdSocket connection(false);
        if (listener.socket.Accept(connection) != SocketStatus::kDone) return;
        MessageFramer framer;
        char chunk[65536];
        std::string message;
        while (!framer.Next(message)) {
            int n = connection.Receive(chunk, sizeof chunk, 10, 0).count;
            if (n <= 0) return;
            framer.Append(chunk, static_cast<size_t>(n));
        }
        std::string accepted =
            "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n<params>\r\n<param>\r\n<value>"
            "<boolean>1</boolean></value>\r\n</param>\r\n<param>\r\n<value><string>ok</string>"
            "</value>\r\n</param>\r\n</params>\r\n</methodResponse>\r\n\r\n";
        connection.SendAll(accepted.data(), static_cast<int>(accepted.size()), 10);
        std::thread drain([&] {
            long got = 0;
            while (got < count) {
                int n = connection.Receive(chunk, sizeof chunk, 10, 0).count;
                if (n <= 0) break;
                framer.Append(chunk, static_cast<size_t>(n));
                while (framer.Next(message))
                    ++got;
            }
        });
        for (int i = 0; i < count; ++i) {
            connection.SendAll(notice.data(), static_cast<int>(notice.size()), 10);
        }
        drain.join();
    });
    CountingSession session;
    session.SetWireTrace(trace);
    if (!session.Connect("127.0.0.1", listener.port, 10, "u", "p")) {
        service.join();
        return 0;
    }
    auto start = Clock::now();
    session.WaitFor(count);
    double rate = session.Count() / Seconds(start);
    service.join();
    session.Disconnect();
    return rate;
}

// The processors this process may run on, in order.
std::vector<int> AllowedProcessors() {
    std::vector<int> processors;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) != 0) return processors;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &set)) processors.push_back(cpu);
    }
    return processors;
}

// Binds the calling thread to one processor (-1: to every allowed one); threads it starts
// afterwards inherit the binding.
void PinTo(int processor) {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (processor >= 0) {
        CPU_SET(processor, &set);
    } else {
        for (int cpu : AllowedProcessors())
            CPU_SET(cpu, &set);
    }
    pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Plain ping-pong with a subscribe request's and answer's sizes.
std::vector<double> PlainPingPong(int rounds, size_t requestSize, size_t answerSize,
                                  int serverProcessor) {
    Listener listener;
    std::thread server([&] {
        PinTo(serverProcessor);
        BsdSocket connection(false);
        if (listener.socket.Accept(connection) != SocketStatus::kDone) return;
        std::string answer(answerSize, 'a');
        std::vector<char> buffer(requestSize);
        for (int i = 0; i < rounds; ++i) {
            size_t got = 0;
            while (got < requestSize) {
                int n =
                    connection.Receive(buffer.data(), static_cast<int>(requestSize - got), 10, 0)
                        .count;
                if (n <= 0) return;
                got += static_cast<size_t>(n);
            }
            connection.SendAll(answer.data(), static_cast<int>(answer.size()), 10);
        }
    });
    BsdSocket client(false);
    client.CreateTCP(false, SocketAddress(Ipv4(127, 0, 0, 1), listener.port));
    int one = 1;
    client.SetOption(6, 1, &one, sizeof one);  // TCP_NODELAY, as the reference measures
    std::string request(requestSize, 'r');
    std::vector<char> buffer(answerSize);
    std::vector<double> micros;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        client.SendAll(request.data(), static_cast<int>(request.size()), 10);
        size_t got = 0;
        while (got < answerSize) {
            int n = client.Receive(buffer.data(), static_cast<int>(answerSize - got), 10, 0).count;
            if (n <= 0) break;
            got += static_cast<size_t>(n);
        }
        micros.push_back(Seconds(start) * 1e6);
    }
    server.join();
    return micros;
}

struct RoundTrips {
    std::vector<double> session;
    std::vector<double> plain;
};

// Subscribe until OnSubscriptionConfirmed, and a plain ping-pong of the same sizes, with the
// service's side (the simulator, the plain server) on one processor and the client's side (the
// host's thread and the session's worker, the plain client) on another.
RoundTrips MeasureRoundTrips(int serviceProcessor, int clientProcessor,
                             WireTraceSink* trace = nullptr) {
    const int rounds = 2000;
    RoundTrips trips;
    PinTo(serviceProcessor);
    pbx::PbxSimulator pbx;
    if (!pbx.Start(pbx::PbxOptions{})) return trips;
    PinTo(clientProcessor);
    // The simulator confirms at most 256 subscriptions per connection and faults the rest: a
    // fresh session takes over every 250 rounds, so that every round is a confirmation.
    const int roundsPerSession = 250;
    std::unique_ptr<CountingSession> subscriber;
    for (int i = 0; i < rounds; ++i) {
        if (i % roundsPerSession == 0) {
            if (subscriber) subscriber->Disconnect();
            subscriber = std::make_unique<CountingSession>();
            subscriber->SetWireTrace(trace);
            subscriber->Connect(pbx.Host(), pbx.Port(), 10, "demo", "demo");
        }
        auto start = Clock::now();
        subscriber->Subscribe("300");
        subscriber->WaitFor(i % roundsPerSession + 1);
        trips.session.push_back(Seconds(start) * 1e6);
    }
    subscriber->Disconnect();
    subscriber.reset();
    pbx.Stop();
    SubscribeMethod request;
    request.SetParams(13323469184593209344u, "300");
    SubscribeResponseMethod answer;
    answer.SetParams(13323469184593209344u, true, 0);
    std::string requestText, answerText;
    request.Write(requestText);
    answer.Write(answerText);
    trips.plain = PlainPingPong(rounds, requestText.size(), answerText.size(), serviceProcessor);
    PinTo(-1);
    return trips;
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 50000;
    std::printf("\n== notification throughput (%d callstatechanged, each acknowledged)\n", count);
    double plain = PlainStream(count);
    double session = SessionStream(count);
    IgnoringTraceSink ignoring;
    double traced = SessionStream(count, &ignoring);
    std::printf("  plain loopback stream, acks written per chunk   %10.0f msg/s\n", plain);
    std::printf("  session: parsed, acknowledged, dispatched       %10.0f msg/s   ratio %.2f\n",
                session, session / plain);
    std::printf("  the same with a trace sink that does nothing    %10.0f msg/s   ratio %.2f\n",
                traced, traced / plain);

    std::printf("\n== request round trip: Subscribe to OnSubscriptionConfirmed\n");
    // The service is another machine in use: its side gets a processor of its own, as the plain
    // server does, so that both pay the same wake-ups. With a single processor both share it.
    std::vector<int> processors = AllowedProcessors();
    int clientProcessor = processors.empty() ? -1 : processors.front();
    int serviceProcessor = processors.size() > 1 ? processors[1] : clientProcessor;
    RoundTrips apart = MeasureRoundTrips(serviceProcessor, clientProcessor);
    // For information: everything on one processor, where no wake-up is dear and the work of
    // the session's extra thread and of the simulator shows.
    RoundTrips shared = MeasureRoundTrips(clientProcessor, clientProcessor);
    // For information: a traced session writes every request on its worker.
    RoundTrips tracedTrips = MeasureRoundTrips(serviceProcessor, clientProcessor, &ignoring);
    const std::pair<const char*, RoundTrips*> placements[] = {
        {"service on a processor of its own", &apart},
        {"all on one processor", &shared},
        {"own processor, trace sink set", &tracedTrips}};
    for (const auto& [name, trips] : placements) {
        std::printf(
            "  %-34s  plain p50 %7.1f us  p99 %7.1f us   session p50 %7.1f us  p99 %7.1f us"
            "   p50 ratio %.2f\n",
            name, Percentile(trips->plain, 0.5), Percentile(trips->plain, 0.99),
            Percentile(trips->session, 0.5), Percentile(trips->session, 0.99),
            Percentile(trips->session, 0.5) / Percentile(trips->plain, 0.5));
    }

    pbx::PbxSimulator pbx;
    pbx::PbxOptions options;
    options.maxConnections = 1100;
    if (!pbx.Start(options)) return 1;

    std::printf("\n== Connect to the local simulator until it returns true\n");
    std::vector<double> connects;
    for (int i = 0; i < 50; ++i) {
        CountingSession session;
        auto start = Clock::now();
        if (session.Connect(pbx.Host(), pbx.Port(), 10, "demo", "demo")) {
            connects.push_back(Seconds(start) * 1e3);
        }
        session.Disconnect();
    }
    std::printf("  p50 %.2f ms, p99 %.2f ms over %zu connects\n", Percentile(connects, 0.5),
                Percentile(connects, 0.99), connects.size());

    std::printf("\n== scale: 1000 sessions connected and authenticated, one request each\n");
    rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    long before = ResidentKiB();
    std::vector<std::unique_ptr<CountingSession>> sessions;
    int connected = 0, answered = 0;
    for (int i = 0; i < 1000; ++i) {
        auto session = std::make_unique<CountingSession>();
        if (session->Connect(pbx.Host(), pbx.Port(), 10, "demo", "demo")) {
            ++connected;
            session->Subscribe("300");
        }
        sessions.push_back(std::move(session));
    }
    for (auto& session : sessions)
        answered += session->WaitFor(1) ? 1 : 0;
    long after = ResidentKiB();
    std::printf(
        "  %d connected, %d answered; resident memory %.1f KiB per session "
        "(session, its worker thread and the simulator's side)\n",
        connected, answered, (after - before) / 1000.0);
    sessions.clear();
    pbx.Stop();

    // One line per figure for the scripts that collect them.
    const std::pair<const char*, double> figures[] = {
        {"throughput.plain_per_s", plain},
        {"throughput.session_per_s", session},
        {"throughput.session_traced_per_s", traced},
        {"roundtrip.plain_p50_us", Percentile(apart.plain, 0.5)},
        {"roundtrip.plain_p99_us", Percentile(apart.plain, 0.99)},
        {"roundtrip.session_p50_us", Percentile(apart.session, 0.5)},
        {"roundtrip.session_p99_us", Percentile(apart.session, 0.99)},
        {"roundtrip.shared_plain_p50_us", Percentile(shared.plain, 0.5)},
        {"roundtrip.shared_session_p50_us", Percentile(shared.session, 0.5)},
        {"roundtrip.session_traced_p50_us", Percentile(tracedTrips.session, 0.5)},
        {"roundtrip.session_traced_p99_us", Percentile(tracedTrips.session, 0.99)},
        {"connect.p50_ms", Percentile(connects, 0.5)},
        {"connect.p99_ms", Percentile(connects, 0.99)},
        {"scale.kib_per_session", (after - before) / 1000.0},
    };
    for (const auto& [key, value] : figures)
        std::printf("figure %s %.3f\n", key, value);
    return 0;
}
