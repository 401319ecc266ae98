// Event delivery from the socket to the host's handler, beside a plain synchronous hand-off
// between two threads (post, then wait until the other thread has handled it), in one run.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "control/voxtrel_ctrl.h"
#include "net/bsd_socket.h"
#include "protocol/call_notifications.h"
#include "protocol/message_framer.h"

using namespace voxtrel;
using Clock = std::chrono::steady_clock;

namespace {

uint64_t NowNs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
            .count());
}

struct Result {
    double perSecond;
    double p50Us;
};

double Median(std::vector<double>& values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The worker posts an item and waits until the host's thread has handled it.
// Paced, the worker sleeps 100 us between items, as the service does in the paced delivery run.
Result PlainHandOff(int count, bool paced) {
    std::mutex lock;
    std::condition_variable posted;
    std::condition_variable handled;
    std::deque<uint64_t> items;
    uint64_t done = 0;
    std::vector<double> latencies;
    latencies.reserve(count);
    std::thread worker([&] {
        for (int i = 0; i < count; ++i) {
            std::unique_lock<std::mutex> guard(lock);
            items.push_back(NowNs());
            uint64_t target = done + 1;
            posted.notify_one();
            handled.wait(guard, [&] { return done >= target; });
            if (paced) {
                guard.unlock();
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        }
    });
    auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        std::unique_lock<std::mutex> guard(lock);
        posted.wait(guard, [&] { return !items.empty(); });
        latencies.push_back((NowNs() - items.front()) / 1000.0);
        items.pop_front();
        ++done;
        handled.notify_one();
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    worker.join();
    return {count / seconds, Median(latencies)};
}

class Counter : public VoxtrelEvents {
  public:
    void CallStateChanged(const std::string& callID, int16_t) override {
        latencies.push_back((NowNs() - std::stoull(callID)) / 1000.0);
    }
    std::vector<double> latencies;
};

// A service that authenticates the control and streams callstatechanged notifications, each
// carrying its send time as the call id; a second thread drains the acknowledgements.
Result Delivery(int count, bool paced) {
    BsdSocket listener(false);
    listener.CreateTCP(true, SocketAddress(Ipv4(127, 0, 0, 1), 0));
    uint16_t port = listener.GetSelfPort();
    std::atomic<bool> stop{false};
    std::thread service([&] {
        BsdSocket connection(false);
        if (listener.Accept(connection) != SocketStatus::kDone) return;
        MessageFramer framer;
        char chunk[65536];
        std::string message;
        while (!framer.Next(message)) {
            int got = connection.Receive(chunk, sizeof chunk, 5, 0).count;
            if (got <= 0) return;
            framer.Append(chunk, static_cast<size_t>(got));
        }
        std::string accepted =
            "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n<params>\r\n<param>\r\n<value>"
            "<boolean>1</boolean></value>\r\n</param>\r\n<param>\r\n<value><string>ok</string>"
            "</value>\r\n</param>\r\n</params>\r\n</methodResponse>\r\n\r\n";
        connection.SendAll(accepted.data(), static_cast<int>(accepted.size()), 5);
        std::thread drain([&] {
            while (!stop)
                connection.Receive(chunk, sizeof chunk, 200000, 0);
        });
        for (int i = 0; i < count && !stop; ++i) {
            CallStateChangedMethod notice;
            notice.SetParams(NowNs(), 3);
            std::string text;
            notice.Write(text);
            connection.SendAll(text.data(), static_cast<int>(text.size()), 5);
            // Paced, about one event in flight at a time, the latency is the chain's own and
            // not a queue's; unpaced, the rate is what the chain sustains.
            if (paced) std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        drain.join();
    });
    CVoxtrelCtrl control;
    Counter counter;
    counter.latencies.reserve(count);
    control.SetEventSink(&counter);
    if (!control.Connect("127.0.0.1", static_cast<int16_t>(port), 5, "demo", "demo")) {
        stop = true;
        service.join();
        return {0, 0};
    }
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(30);
    while (counter.latencies.size() < static_cast<size_t>(count) && Clock::now() < deadline) {
        control.PumpEvents(100);
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    size_t delivered = counter.latencies.size();
    stop = true;
    control.Disconnect();
    service.join();
    return {delivered / seconds, Median(counter.latencies)};
}

}  // namespace

int main(int argc, char** argv) {
    int count = argc > 1 ? std::atoi(argv[1]) : 20000;
    Result plain = PlainHandOff(count, false);
    plain.p50Us = PlainHandOff(count / 4, true).p50Us;
    Result delivery = Delivery(count, false);
    delivery.p50Us = Delivery(count / 4, true).p50Us;
    std::printf("\n%-44s %12s %10s\n", "event hand-off to the host's thread", "events/s", "p50 us");
    std::printf("%-44s %12.0f %10.1f\n", "plain synchronous hand-off (two threads)",
                plain.perSecond, plain.p50Us);
    std::printf("%-44s %12.0f %10.1f\n", "control: socket to handler on host's thread",
                delivery.perSecond, delivery.p50Us);
    std::printf("%-44s %12.2f\n", "ratio (control / plain)", delivery.perSecond / plain.perSecond);
    // One line per figure for the scripts that collect them.
    const std::pair<const char*, double> figures[] = {
        {"delivery.plain_per_s", plain.perSecond},
        {"delivery.control_per_s", delivery.perSecond},
        {"delivery.plain_p50_us", plain.p50Us},
        {"delivery.control_p50_us", delivery.p50Us},
    };
    for (const auto& [key, value] : figures)
        std::printf("figure %s %.3f\n", key, value);
    return delivery.perSecond > 0 ? 0 : 1;
}
