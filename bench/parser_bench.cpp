// Throughput of the receive parser (Link::OnReceive) on what a receiver sends during an
// update, in bytes per second and as a multiple of what the serial line can deliver.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/link.h"
#include "tests/test_frames.h"
#include "update/firmware_update.h"

namespace k7 {
namespace {

using test::Bytes;
using test::Concat;
using test::MakeFrame;
using test::Text;

// The serial backend hands the parser at most this many bytes at a time.
constexpr std::size_t kDeliverySize = 64;
constexpr std::size_t kChunksPerBlock = kBlockSize / kChunkSize;

struct ReceiveStream {
    Bytes bytes;
    int lines = 0;             // NMEA lines in it
    int last_kind = kRspNone;  // the response state its last frame leaves
};

Bytes GgaLine() {
    return Text("$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n");
}

Bytes RmcLine() {
    return Text("$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n");
}

// The short kind-3 answer to a written chunk.
Bytes ChunkAnswer() {
    return MakeFrame(kRspData, {kCmdWriteChunk, 0, 0, 0});
}

// The answer to reading a chunk: offset/16 (hi, lo), count and a spare byte, then the data.
Bytes ReadBackFrame(std::size_t chunk) {
    const std::size_t offset = chunk * kChunkSize;
    const std::size_t unit = offset / 16;
    Bytes payload = {static_cast<std::uint8_t>(unit >> 8), static_cast<std::uint8_t>(unit),
                     static_cast<std::uint8_t>(kChunkSize), 0};
    for (std::size_t i = 0; i < kChunkSize; ++i)
        payload.push_back(static_cast<std::uint8_t>((offset + i) * 37));
    return MakeFrame(kRspReadBack, payload);
}

// Writing and reading back one block keeps the line busy for about 0.8 s (some 9300 bytes
// both ways), time in which the receiver, at 2 NMEA lines/s, sends about two lines.
ReceiveStream UpdateBlock() {
    ReceiveStream stream{{}, 2, kRspReadBack};
    for (std::size_t chunk = 0; chunk < kChunksPerBlock; ++chunk) {
        if (chunk == kChunksPerBlock / 2) stream.bytes = Concat({stream.bytes, GgaLine()});
        stream.bytes = Concat({stream.bytes, ChunkAnswer()});
    }
    for (std::size_t chunk = 0; chunk < kChunksPerBlock; ++chunk) {
        if (chunk == kChunksPerBlock / 2) stream.bytes = Concat({stream.bytes, RmcLine()});
        stream.bytes = Concat({stream.bytes, ReadBackFrame(chunk)});
    }
    return stream;
}

ReceiveStream NmeaOnly() {
    constexpr int kPairs = 32;
    ReceiveStream stream{{}, 2 * kPairs, kRspNone};
    for (int pair = 0; pair < kPairs; ++pair)
        stream.bytes = Concat({stream.bytes, GgaLine(), RmcLine()});
    return stream;
}

ReceiveStream ReadBackOnly() {
    ReceiveStream stream{{}, 0, kRspReadBack};
    for (std::size_t chunk = 0; chunk < kChunksPerBlock; ++chunk)
        stream.bytes = Concat({stream.bytes, ReadBackFrame(chunk)});
    return stream;
}

void Deliver(Link& link, const Bytes& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += kDeliverySize) {
        const std::size_t count = std::min(kDeliverySize, bytes.size() - at);
        link.OnReceive(&bytes[at], static_cast<std::uint32_t>(count));
    }
}

void BM_Receive(benchmark::State& state, const ReceiveStream& stream) {
    Link link;
    // As in the update: room for a chunk and a block beyond it, for overlong read-backs.
    std::vector<std::uint8_t> read_back(kChunkSize + kBlockSize);
    link.SetReadBackTarget(read_back.data());

    for (auto _ : state) {
        Deliver(link, stream.bytes);
        benchmark::DoNotOptimize(read_back.data());
        benchmark::ClobberMemory();
    }

    // Every pass must have counted its lines and recorded its frames.
    const auto expected_lines = static_cast<std::int64_t>(state.iterations()) * stream.lines;
    if (link.LineCount() != expected_lines || link.ResponseState() != stream.last_kind) {
        state.SkipWithError("the parser did not take in the stream");
        return;
    }
    const auto bytes = static_cast<std::int64_t>(state.iterations()) *
                       static_cast<std::int64_t>(stream.bytes.size());
    state.SetBytesProcessed(bytes);
    // Seconds of line traffic parsed per second: the multiple of the line rate.
    state.counters["line_seconds"] = benchmark::Counter(
        static_cast<double>(bytes) / double{kLineBytesPerSecond}, benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_Receive, update_block, UpdateBlock());
BENCHMARK_CAPTURE(BM_Receive, nmea_only, NmeaOnly());
BENCHMARK_CAPTURE(BM_Receive, read_back_only, ReadBackOnly());

}  // namespace
}  // namespace k7
