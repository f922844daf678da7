// The read-ahead ring: spans in use never overlap, whatever order they come back in, and the
// memory is used again once they are back.

#include <QTest>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "ReadAheadBuffer.h"

using bq::unzipengine::ReadAheadBuffer;

namespace {

struct Live {
    std::uint8_t* at;
    std::size_t size;
    std::uint8_t mark;
};

}  // namespace

class ReadAheadBufferTest : public QObject {
    Q_OBJECT

  private slots:
    // Each span is filled with its own mark and checked when it comes back: a span handed out
    // over another one in use would have overwritten its mark.
    void spansInUseNeverOverlap() {
        constexpr std::size_t kCapacity = 1u << 16;
        ReadAheadBuffer buffer(kCapacity);
        std::mt19937 random(7);
        std::deque<Live> live;
        std::uint8_t mark = 0;
        int taken = 0;
        int wrapped = 0;
        std::uint8_t* lastAt = nullptr;
        for (int step = 0; step < 200000; ++step) {
            const bool take = live.empty() || random() % 3 != 0;
            if (take) {
                const std::size_t size = random() % 5 == 0 ? random() % kCapacity : random() % 4096;
                std::uint8_t* at = buffer.Take(size);
                if (at == nullptr) {
                    QVERIFY(!live.empty() || size > kCapacity);
                    continue;
                }
                wrapped += lastAt != nullptr && at < lastAt ? 1 : 0;
                lastAt = at;
                ++mark;
                std::memset(at, mark, std::max<std::size_t>(size, 1));
                live.push_back({at, std::max<std::size_t>(size, 1), mark});
                ++taken;
            } else {
                // Mostly the oldest first, as the engine gives them back; now and then another.
                const std::size_t k = random() % 8 == 0 ? random() % live.size() : 0;
                const Live span = live[k];
                for (std::size_t b = 0; b < span.size; ++b) {
                    QCOMPARE(span.at[b], span.mark);
                }
                buffer.GiveBack(span.at);
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(k));
            }
        }
        QVERIFY(taken > 10000);
        QVERIFY(wrapped > 100);
        for (const Live& span : live) {
            buffer.GiveBack(span.at);
        }
        QVERIFY(buffer.Take(kCapacity) != nullptr);
        QVERIFY(buffer.Take(1) == nullptr);
        QVERIFY(ReadAheadBuffer(16).Take(17) == nullptr);
    }
};

QTEST_APPLESS_MAIN(ReadAheadBufferTest)
#include "tst_read_ahead_buffer.moc"
