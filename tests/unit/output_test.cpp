// The output queue as the writer thread empties it, with a console that
// takes its lines only when the test lets it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "streams/output.h"
#include "unit_support.h"

namespace {

// Takes one batch of lines each time the test allows one, and keeps every
// line in the order both streams got them.
class SlowConsole {
public:
    SlowConsole() { setOutputSink(&SlowConsole::take, this); }
    ~SlowConsole() {
        allow(1 << 30);
        drainOutput(10000);
        setOutputSink(nullptr, nullptr);
    }
    void allow(int batches) {
        std::lock_guard<std::mutex> guard(lock_);
        allowed_ += batches;
        changed_.notify_all();
    }
    // Waits until the writer has handed over this many batches in all.
    bool waitForBatches(int n) {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return batches_ >= n; });
    }
    std::vector<std::pair<Stream, std::string>> lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }

private:
    static void take(Stream stream, const char* text, std::size_t len, void* self) {
        auto* me = static_cast<SlowConsole*>(self);
        std::unique_lock<std::mutex> guard(me->lock_);
        ++me->batches_;
        me->changed_.notify_all();
        me->changed_.wait(guard, [me] { return me->allowed_ > 0; });
        --me->allowed_;
        for (std::string& line : test::splitLines(text, len)) me->lines_.emplace_back(stream, std::move(line));
    }
    std::mutex lock_;
    std::condition_variable changed_;
    int allowed_ = 0;
    int batches_ = 0;
    std::vector<std::pair<Stream, std::string>> lines_;
};

}  // namespace

TEST(OutputQueue, TheCountOfDroppedLinesComesBetweenTheLinesBeforeAndAfterTheLoss) {
    SlowConsole console;
    writeLine(Stream::Out, "first");
    ASSERT_TRUE(console.waitForBatches(1));  // the writer is stuck in it

    // Far more than the queue holds.
    const std::string filler(2000, 'f');
    constexpr int kFill = 700;
    for (int i = 0; i < kFill; ++i) writeLine(Stream::Out, (std::to_string(i) + filler).c_str());

    // One batch goes out and makes room; the next line then fits.
    console.allow(1);
    ASSERT_TRUE(console.waitForBatches(2));
    writeLine(Stream::Out, "after");
    writeLine(Stream::Err, "after on the other stream");
    console.allow(1 << 30);
    ASSERT_TRUE(drainOutput(10000));

    auto lines = console.lines();
    ASSERT_GT(lines.size(), 4u);
    EXPECT_EQ(lines.front(), std::make_pair(Stream::Out, std::string("first")));
    EXPECT_EQ(lines[lines.size() - 2], std::make_pair(Stream::Out, std::string("after")));
    EXPECT_EQ(lines.back(), std::make_pair(Stream::Err, std::string("after on the other stream")));
    // Every filler line that fitted, in order, then the count of the others.
    std::size_t kept = lines.size() - 4;
    for (std::size_t i = 0; i < kept; ++i)
        ASSERT_EQ(lines[1 + i].second, std::to_string(i) + filler) << i;
    EXPECT_LT(kept, static_cast<std::size_t>(kFill));
    EXPECT_EQ(lines[lines.size() - 3],
              std::make_pair(Stream::Err, std::to_string(kFill - kept) + " lines of output were dropped."));
}

TEST(OutputQueue, HoldsLinesUpToItsLastByte) {
    // 512 records of 2048 bytes (header, text, line end) fill it exactly.
    const std::string exact(2048 - 3 - 1, 'e');
    {
        SlowConsole console;
        writeLine(Stream::Out, "first");
        ASSERT_TRUE(console.waitForBatches(1));  // the writer is stuck in it, the queue is empty
        for (int i = 0; i < 512; ++i) writeLine(Stream::Out, exact.c_str());
        writeLine(Stream::Out, "one too many");
        console.allow(1 << 30);
        ASSERT_TRUE(drainOutput(10000));
        auto lines = console.lines();
        ASSERT_EQ(lines.size(), 1u + 512u + 1u);
        for (std::size_t i = 1; i <= 512; ++i) ASSERT_EQ(lines[i].second, exact) << i;
        EXPECT_EQ(lines.back(), std::make_pair(Stream::Err, std::string("1 lines of output were dropped.")));
    }
    // With 2048 bytes left, the longest line does not fit; a line that
    // fits exactly with the count of that loss before it does.
    SlowConsole console;
    writeLine(Stream::Out, "second");
    ASSERT_TRUE(console.waitForBatches(1));
    for (int i = 0; i < 511; ++i) writeLine(Stream::Out, exact.c_str());
    writeLine(Stream::Out, std::string(2047, 'l').c_str());
    const std::string report = "1 lines of output were dropped.";
    const std::string fits(2048 - (3 + report.size() + 1) - 3 - 1, 'f');
    writeLine(Stream::Out, fits.c_str());
    console.allow(1 << 30);
    ASSERT_TRUE(drainOutput(10000));
    auto lines = console.lines();
    ASSERT_EQ(lines.size(), 1u + 511u + 2u);
    EXPECT_EQ(lines[512], std::make_pair(Stream::Err, report));
    EXPECT_EQ(lines[513], std::make_pair(Stream::Out, fits));
}

// The upgrade's view of the queue: a copy for the check leaves the writer
// going; the switch's snapshot is taken with the writer stopped, and a batch
// held up then, and every line queued after the snapshot, is counted as
// lost, since the process is replaced before they could be written. Where
// the switch fails, nothing is lost, nor counted.
TEST(OutputQueue, LinesQueuedAfterTheSwitchsSnapshotAreCountedAsLost) {
    SlowConsole console;
    writeLine(Stream::Out, "first");
    ASSERT_TRUE(console.waitForBatches(1));  // the writer is stuck in it
    writeLine(Stream::Out, "queued");
    std::vector<std::uint8_t> area(kOutputQueueBytes);
    std::uint64_t dropped = 99;
    const std::vector<std::uint8_t> queued = {0, 7, 0, 'q', 'u', 'e', 'u', 'e', 'd', '\n'};
    ASSERT_EQ(copyOutput(area.data(), area.size(), &dropped), queued.size());
    EXPECT_EQ(std::vector<std::uint8_t>(area.begin(), area.begin() + 10), queued);
    EXPECT_EQ(dropped, 0u);

    freezeOutput(0);  // the batch under way is held up: it counts as lost
    writeLine(Stream::Err, "before the snapshot");
    ASSERT_EQ(snapshotOutput(area.data(), area.size(), &dropped), queued.size() + 23);
    EXPECT_EQ(dropped, 1u);
    for (const char* text : {"after", "the", "snapshot"}) writeLine(Stream::Out, text);
    EXPECT_EQ(holdOutputForSwitch(), 1u + 3u);
    releaseOutput();

    thawOutput();
    console.allow(1 << 30);
    ASSERT_TRUE(drainOutput(10000));
    std::vector<std::string> lines;
    for (const auto& [stream, text] : console.lines()) lines.push_back(text);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "queued", "before the snapshot", "after", "the", "snapshot"}));
}
