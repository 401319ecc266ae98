// The simulator's thread: serves the connections and runs the console commands that other
// threads hand over through a locked queue and the poller's wake-up.
#include "pbx/pbx_simulator.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "pbx/pbx_service.h"

namespace voxtrel::pbx {

namespace {

// The longest the loop sleeps without a reason to wake; only a bound, nothing is polled.
constexpr std::chrono::milliseconds kMaxWait{1000};

struct PendingCommand {
    std::string line;
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool ok = false;
    std::string reply;

    void Finish(bool result, std::string text) {
        std::lock_guard<std::mutex> hold(lock);
        ok = result;
        reply = std::move(text);
        finished = true;
        done.notify_all();
    }
};

}  // namespace

struct PbxSimulator::Loop {
    std::unique_ptr<PbxService> service;
    std::unique_ptr<Poller> poller;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::mutex lock;  // guards commands
    std::deque<std::shared_ptr<PendingCommand>> commands;

    void Run() {
        while (!stopping) {
            RunCommands();
            service->Serve(*poller, kMaxWait);
        }
        service->Shutdown();
        std::deque<std::shared_ptr<PendingCommand>> left;
        {
            std::lock_guard<std::mutex> hold(lock);
            left.swap(commands);
        }
        for (auto& command : left)
            command->Finish(false, "error: the simulator stopped");
    }

    void RunCommands() {
        std::deque<std::shared_ptr<PendingCommand>> taken;
        {
            std::lock_guard<std::mutex> hold(lock);
            taken.swap(commands);
        }
        for (auto& command : taken) {
            std::string reply;
            bool ok = service->Execute(command->line, reply);
            command->Finish(ok, std::move(reply));
        }
    }
};

PbxSimulator::PbxSimulator() = default;

PbxSimulator::~PbxSimulator() {
    Stop();
}

bool PbxSimulator::Start(const PbxOptions& options, std::string* error) {
    std::string reason;
    if (loop_) {
        reason = "the simulator runs already";
    } else {
        auto loop = std::make_unique<Loop>();
        loop->poller = Poller::Create();
        loop->service = std::make_unique<PbxService>(options);
        if (!loop->poller) {
            reason = "no wake-up channel";
        } else if (loop->service->Listen(reason)) {
            host_ = loop->service->Host();
            port_ = loop->service->Port();
            loop_ = std::move(loop);
            Loop* running = loop_.get();
            loop_->thread = std::thread([running] { running->Run(); });
            return true;
        }
    }
    if (error != nullptr) *error = reason;
    return false;
}

void PbxSimulator::Stop() {
    if (!loop_) return;
    loop_->stopping = true;
    loop_->poller->Wake();
    loop_->thread.join();
    loop_.reset();
    host_.clear();
    port_ = 0;
}

bool PbxSimulator::Command(const std::string& line, std::string& reply) {
    if (!loop_) {
        reply = "error: the simulator is not running";
        return false;
    }
    auto command = std::make_shared<PendingCommand>();
    command->line = line;
    {
        std::lock_guard<std::mutex> hold(loop_->lock);
        loop_->commands.push_back(command);
    }
    loop_->poller->Wake();
    std::unique_lock<std::mutex> hold(command->lock);
    if (!command->done.wait_for(hold, std::chrono::seconds(kCommandWaitSeconds),
                                [&] { return command->finished; })) {
        reply = "error: the simulator did not answer in time";
        return false;
    }
    reply = command->reply;
    return command->ok;
}

}  // namespace voxtrel::pbx
