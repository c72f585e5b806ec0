// Feeds arbitrary bytes through Link::OnReceive, cut into calls of 1 to data[0] bytes (all at
// once for 0), and checks what must hold after every call whatever arrives:
//  - the recorded response is consistent: kinds 0 to 2 carry no data, a kind-3 response
//    1 to 255 bytes (LEN), a kind-4 one LEN - 2;
//  - no more NMEA lines are counted than line feeds arrived, and the count never drops;
//  - a kind-4 response writes only inside the kMaxReadBackCopy bytes the contract asks of
//    the read-back target, here a heap block of exactly that size for AddressSanitizer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "link/link.h"

namespace {

void Check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    const auto target = std::make_unique<std::uint8_t[]>(k7::kMaxReadBackCopy);
    k7::Link link;
    link.SetReadBackTarget(target.get());
    int line_feeds = 0;
    int lines = 0;
    for (std::size_t at = 1; at < size;) {
        const std::size_t n =
            data[0] == 0 ? size - at : std::min<std::size_t>(size - at, 1 + at % data[0]);
        link.OnReceive(data + at, static_cast<std::uint32_t>(n));
        for (std::size_t i = at; i < at + n; ++i)
            line_feeds += data[i] == '\n' ? 1 : 0;
        at += n;

        const int state = link.ResponseState();
        const int length = link.ResponseLength();
        Check(state >= 0 && state <= 4, "response state is a kind from 0 to 4");
        Check(state >= 3 || length == 0, "kinds 0 to 2 carry no data");
        Check(state != 3 || (length >= 1 && length <= 255), "kind-3 length is LEN");
        Check(state != 4 || (length >= -1 && length <= 253), "kind-4 length is LEN - 2");
        Check(link.LineCount() >= lines && link.LineCount() <= line_feeds,
              "line count grows and stays within the line feeds");
        lines = link.LineCount();
    }
    return 0;
}
