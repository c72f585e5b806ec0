// The virtual receiver's link path: what a user names is replaced only when it is a
// symbolic link left behind by an earlier run, never a file of theirs; the link comes
// and goes as a USB receiver's port does when it is plugged in, pulled out or reboots;
// and its paced line keeps the line model, also when one loop serves many receivers and
// one of their hosts stops reading.
// (Its model of the receiver is checked by the update and address tests that run against
// it.)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/sim_fixture.h"
#include "tests/test_frames.h"
#include "update/firmware_update.h"

namespace k7::sim {
namespace {

using namespace std::chrono_literals;

// A schedule with one of its times set.
template <typename T>
Plugging Schedule(T Plugging::*when, std::chrono::milliseconds time) {
    Plugging plugging;
    plugging.*when = time;
    return plugging;
}

std::string ScratchPath(const std::string& name) {
    return (std::filesystem::temp_directory_path() /
            ("korvel7-sim-test-" + name + "-" + std::to_string(getpid())))
        .string();
}

// How long until the link's presence becomes `present`, or nothing within two seconds.
std::optional<Clock::duration> UntilLink(const std::string& path, bool present) {
    const auto start = Clock::now();
    while (Clock::now() - start < 2s) {
        if (std::filesystem::is_symlink(path) == present) return Clock::now() - start;
        std::this_thread::sleep_for(5ms);
    }
    return std::nullopt;
}

TEST(SimPty, StartRefusesToReplaceAFileThatIsNoLink) {
    const std::string path = ScratchPath("file");
    std::fclose(std::fopen(path.c_str(), "w"));
    PtyServer server(Options{}, path);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find(path), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
    std::filesystem::remove(path);
}

// Until the plug-in, an earlier run's link is gone and the name does not open.
TEST(SimPty, LinkAppearsOnlyAfterPlugAfter) {
    const std::string path = ScratchPath("plug");
    std::filesystem::create_symlink("/dev/null", path);
    PtyServer server(Options{}, path, Schedule(&Plugging::plug_after, 300ms));
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    EXPECT_EQ(open(path.c_str(), O_RDWR | O_NOCTTY), -1);
    EXPECT_EQ(errno, ENOENT);
    const auto plugged = UntilLink(path, true);
    ASSERT_TRUE(plugged);
    EXPECT_GE(*plugged, 250ms);
    EXPECT_EQ(std::filesystem::read_symlink(path), server.SlavePath());
    server.Stop();
    EXPECT_FALSE(std::filesystem::is_symlink(path));
}

// An unplug is no silent line: the host's open port hangs up and its name is gone; and
// bytes not yet through the line when it comes never reach the receiver.
TEST(SimPty, UnplugAfterHangsUpTheOpenPortAndRemovesTheLink) {
    const std::string path = ScratchPath("unplug");
    Options paced;
    paced.baud = 115200;
    PtyServer server(paced, path, Schedule(&Plugging::unplug_after, 300ms));
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const int host = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host, 0);
    test::Bytes chunk(243, 0xFF);  // offset 0, 240 bytes
    chunk[0] = chunk[1] = 0;
    chunk[2] = 240;
    chunk = test::MakeFrame(kCmdWriteChunk, chunk);
    const test::Bytes two = test::Concat({chunk, chunk});  // 43 ms on the line
    std::this_thread::sleep_for(270ms);
    EXPECT_TRUE(write(host, two.data(), two.size()) > 0 || errno == EIO);  // EIO: came late
    pollfd hangup{host, 0, 0};
    ASSERT_EQ(poll(&hangup, 1, 2000), 1);
    EXPECT_NE(hangup.revents & POLLHUP, 0);
    EXPECT_EQ(write(host, "x", 1), -1);
    EXPECT_EQ(errno, EIO);
    close(host);
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_FALSE(server.Running());
    EXPECT_TRUE(server.Unplugged());
    EXPECT_EQ(server.Inspect([](const Receiver& r) { return r.CommandCount(kCmdWriteChunk); }), 0u);
}

// Two receivers on one loop, each asked while the other idles: every piece keeps the
// line model (10 bits a byte, never delivered early, late only by a wake-up's lateness,
// not by the other line's idle second), and a late wake-up moves no model time: an
// answer counts from its command's last byte plus the receiver's latency, an NMEA line
// from its whole millisecond. The written chunk takes longer on the line than NMEA lines
// come apart, so its bytes may not reach the receiver ahead of their time there.
TEST(SimPacing, EachLineOfASharedLoopKeepsTheLineModel) {
    LineLoop loop;
    std::string error;
    ASSERT_TRUE(loop.Start(&error)) << error;
    Options options;
    options.baud = 115200;
    options.latency.read = 300us;
    options.latency.response = 100us;
    std::vector<std::unique_ptr<PtyServer>> servers;
    for (const std::uint32_t nmea_rate : {50u, 0u}) {  // the second idles for a second
        options.nmea_rate = nmea_rate;
        servers.push_back(std::make_unique<PtyServer>(options));
        servers.back()->RecordLine();
        servers.back()->ServeOn(loop);
        ASSERT_TRUE(servers.back()->Start(&error)) << error;
    }
    const std::uint8_t read[] = {0, 0, 128};
    std::vector<std::uint8_t> write(243, 0xFF);  // offset 0, 240 bytes that change nothing
    write[1] = 0;
    write[2] = 240;
    for (auto& server : servers) {
        Link link;
        ASSERT_EQ(link.OpenComPort(PortFromPath(server->SlavePath())), 1);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(link.SendCommand(kCmdReadChunk, read, sizeof read), 1);
            EXPECT_EQ(link.SendCommand(kCmdWriteChunk, write.data(), 243), 1);
        }
        link.CloseComPort();
        std::this_thread::sleep_for(100ms);  // NMEA lines go on while the host is away
    }
    for (auto& server : servers) {
        server->Stop();
        const std::vector<LineEvent> record = server->LineRecord();
        for (const bool to_host : {false, true}) {
            const LineKeeping keeping = KeepingOf(record, to_host, options.baud);
            EXPECT_LT(std::abs(keeping.Deviation()), 1e-4) << "to host: " << to_host;
            EXPECT_EQ(keeping.early, 0u);
            EXPECT_LT(keeping.latest, 300ms);
        }
        const LineEvent* request = nullptr;
        const LineEvent* first_nmea = nullptr;
        for (const LineEvent& event : record) {
            if (!event.to_host) {
                request = &event;
            } else if (event.nmea) {
                if (first_nmea == nullptr) first_nmea = &event;
                EXPECT_EQ((event.ready - first_nmea->ready) % 1ms, Clock::duration::zero());
            } else if (request != nullptr) {
                const auto latency = request->command == kCmdReadChunk ? 400us : 100us;
                EXPECT_EQ(event.ready - request->wire_end, latency);
                request = nullptr;
            }
        }
    }
}

// A host that stops reading holds up no other line of its loop, nor spins it: the other
// line's answers keep the line model, and the stalled host gets every answer, whole and
// in order, once it reads again.
TEST(SimPacing, AHostThatStopsReadingHoldsUpNoOtherLine) {
    LineLoop loop;
    std::string error;
    ASSERT_TRUE(loop.Start(&error)) << error;
    Options unpaced;  // its answers come at once, far more than the line holds
    unpaced.nmea_rate = 0;
    Options paced = unpaced;
    paced.baud = 115200;
    PtyServer stalled(unpaced), other(paced);
    for (PtyServer* server : {&stalled, &other}) {
        server->RecordLine();
        server->ServeOn(loop);
        ASSERT_TRUE(server->Start(&error)) << error;
    }
    test::Bytes asked;
    for (int i = 0; i < 2000; ++i) {
        const test::Bytes frame = test::MakeFrame(
            kCmdReadChunk, {static_cast<std::uint8_t>(i / 16), static_cast<std::uint8_t>(i), 240});
        asked.insert(asked.end(), frame.begin(), frame.end());
    }
    Receiver model(unpaced);
    model.Feed(asked.data(), asked.size());
    test::Bytes expected;
    for (const Outgoing& piece : model.TakeOutput())
        expected.insert(expected.end(), piece.bytes.begin(), piece.bytes.end());

    const int host = open(stalled.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(host, 0);
    ASSERT_EQ(write(host, asked.data(), asked.size()), static_cast<ssize_t>(asked.size()));
    std::this_thread::sleep_for(200ms);  // the answers fill the line
    const auto cpu_before = loop.CpuTime();
    Link link;
    ASSERT_EQ(link.OpenComPort(PortFromPath(other.SlavePath())), 1);
    const std::uint8_t chunk[] = {0, 0, 128};
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(link.SendCommand(kCmdReadChunk, chunk, 3), 1);
    link.CloseComPort();
    EXPECT_LT(loop.CpuTime() - cpu_before, 20ms) << "the loop spins on the stalled line";
    other.Stop();
    for (const bool to_host : {false, true})
        EXPECT_LT(KeepingOf(other.LineRecord(), to_host, paced.baud).latest, 20ms) << to_host;

    const auto reading = Clock::now();
    test::Bytes received(expected.size());
    std::size_t got = 0;
    pollfd in{host, POLLIN, 0};
    while (got < received.size() && poll(&in, 1, 200) > 0) {
        const ssize_t n = read(host, received.data() + got, received.size() - got);
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    close(host);
    received.resize(got);
    EXPECT_TRUE(received == expected) << "the stalled host got " << got << " of its bytes";
    stalled.Stop();
    EXPECT_GT(stalled.LineRecord().back().done, reading) << "its last answer was not written last";
}

class SimReplug : public test::SimTest {};

// The reset into the new image makes the receiver leave like an unplugged one and come
// back at the same name, running the new version, its memory kept.
TEST_F(SimReplug, ComesBackAtTheSameLinkWithTheNewVersion) {
    const std::string path = ScratchPath("replug");
    server =
        std::make_unique<PtyServer>(options, path, Schedule(&Plugging::replug_on_reset, 400ms));
    std::string error;
    ASSERT_TRUE(server->Start(&error)) << error;
    {
        Link link;
        ASSERT_EQ(link.OpenComPort(PortFromPath(path)), 1);
        UpdateOptions quick;
        quick.check_pause = 0ms;
        EXPECT_EQ(RunFirmwareUpdate(link, BuiltInImages(), quick), 1) << Log();
        link.CloseComPort();
    }
    EXPECT_TRUE(UntilLink(path, false)) << "the reboot left the link in place" << Log();
    ASSERT_TRUE(UntilLink(path, true)) << "the receiver did not come back";
    EXPECT_EQ(std::filesystem::read_symlink(path), server->SlavePath());

    Link link;
    ASSERT_EQ(link.OpenComPort(PortFromPath(path)), 1);
    ASSERT_EQ(link.SendCommand(kCmdVersion, nullptr, 0), 1);
    const auto data = link.ResponseData();
    const FirmwareVersion booted = BuiltInImages().a_version;
    EXPECT_EQ((FirmwareVersion{data[1], data[2], data[3]}), booted);
    link.CloseComPort();
    const auto image = BuiltInImages().a;
    EXPECT_TRUE(server->Inspect([&](const Receiver& r) {
        return std::equal(image.begin(), image.end(), r.Memory().begin());
    }));
}

}  // namespace
}  // namespace k7::sim
