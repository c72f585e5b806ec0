// The fixture of the exchange, update and address tests: a virtual receiver on a
// pseudo-terminal, faults to give it, and the log captured.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "link/link.h"
#include "log/log.h"
#include "sim/pty_server.h"

namespace k7::test {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogSink(&log_); }
    void TearDown() override { SetLogSink(nullptr); }

    // Starts a receiver with the options as they stand now.
    PortRef Serve() {
        server = std::make_unique<sim::PtyServer>(options);
        std::string error;
        EXPECT_TRUE(server->Start(&error)) << error;
        return PortFromPath(server->SlavePath());
    }
    // Runs a worker, job(link, port), and times it. A worker closes the port whatever its
    // outcome.
    template <typename Job>
    auto RunWorkerOn(const PortRef& port, LinkWaits waits, Job job) {
        Link link(waits);
        const auto start = std::chrono::steady_clock::now();
        const auto outcome = job(link, port);
        elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(link.PortOpen()) << "the worker left the port open";
        return outcome;
    }

    void Fault(sim::FaultAction action, int command, unsigned nth = sim::kEveryOccurrence,
               std::uint32_t arg = 0, std::uint32_t arg2 = 0) {
        options.faults.push_back({action, command, nth, arg, arg2});
    }
    unsigned Count(std::uint8_t code) const {
        return server->Inspect([code](const sim::Receiver& r) { return r.CommandCount(code); });
    }
    std::string Port() const { return server->SlavePath(); }
    std::string Log() const { return log_.Text().substr(log_start_); }
    void ClearLog() { log_start_ = log_.Text().size(); }
    void ExpectLogEnd(const std::string& tail) const {
        const std::string log = Log();
        EXPECT_TRUE(log.ends_with(tail)) << "log:\n" << log << "\nexpected at its end:\n" << tail;
    }

    sim::Options options;
    std::unique_ptr<sim::PtyServer> server;
    std::chrono::steady_clock::duration elapsed{};

private:
    CaptureLogSink log_;
    std::size_t log_start_ = 0;  // where Log() begins
};

}  // namespace k7::test
