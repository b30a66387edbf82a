#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tarn::collector {

// Items for one output, back to back: JSON lines, notes, pcap packets or dnstap messages.
struct Batch {
    std::string bytes;
    std::vector<uint32_t> sizes;  // one per item, in order
    size_t sealed = 0;            // bytes that belong to sealed items

    // Makes everything appended since the last seal one item.
    void seal() {
        sizes.push_back(static_cast<uint32_t>(bytes.size() - sealed));
        sealed = bytes.size();
    }
    size_t count() const { return sizes.size(); }
    bool empty() const { return sizes.empty(); }
    // Empties the batch and keeps its memory for the next items.
    void clear() {
        bytes.clear();
        sizes.clear();
        sealed = 0;
    }
};

// Where an output's batches go, from the output's own thread: a write may block.
class Sink {
  public:
    virtual ~Sink() = default;
    // Readies the sink (a receiver's handshake); false when it cannot now and is tried later.
    virtual bool open() { return true; }
    // False when the batch did not go out, with the reason in error().
    virtual bool write(const Batch& batch) = 0;
    // A gathering sink's write: everything queued, in order, as one.
    virtual bool write_gathered(const std::vector<Batch>& batches) {
        for (const Batch& batch : batches) {
            if (!write(batch)) {
                return false;
            }
        }
        return true;
    }
    // Ends the output cleanly (a closing frame, a flush) after the last write.
    virtual void close() {}
    // Whether a failed write closed the sink to be opened again (a receiver) rather than
    // ended the output for good (a file, stdout).
    virtual bool reopens() const { return false; }
    // A sink that wants few large writes: everything queued goes as one batch, at most once
    // per gather_time unless gather_items wait. Zero: each batch as it comes.
    virtual std::chrono::milliseconds gather_time() const { return {}; }
    virtual size_t gather_items() const { return 0; }
    virtual std::string error() const { return {}; }
};

// An output's bounded buffer and the thread that empties it into its sink, so that a slow or
// stalled sink never stalls the caller: when the buffer holds more than its limit, the oldest
// items are dropped and counted. A sink that reopens is retried with back-off. Items go into
// chunks of about a sixteenth of the limit (at most 1 MiB), used again once written, so that a
// busy output allocates nothing: a small batch is copied into the newest chunk, a large one
// becomes a chunk when its owner can get a spare chunk's memory in exchange.
class OutputQueue {
  public:
    using Clock = std::chrono::steady_clock;

    OutputQueue(std::unique_ptr<Sink> sink, size_t limit_bytes);
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Takes batch's items and leaves it empty, with memory for more; dropped at once when the
    // output has failed or finished.
    void push(Batch& batch);
    // The same with a copy, batch left as it is.
    void push_copy(const Batch& batch);
    // Takes no more batches; the thread writes what is left. finish waits for that until the
    // deadline, then counts what is still unwritten as dropped and leaves the thread behind.
    void close();
    void finish(Clock::time_point deadline);

    uint64_t dropped() const;
    // Empty while the output works; the reason once a write ended it for good.
    std::string failure() const;

  private:
    struct State;
    static void run(const std::shared_ptr<State>& state);
    void add(const Batch& batch, Batch* taken);

    std::shared_ptr<State> state;
    std::thread thread;
};

// stdout or stderr, written with write(2) so that no stdio buffer holds output at exit.
class DescriptorSink : public Sink {
  public:
    DescriptorSink(int fd, std::string name) : fd(fd), name(std::move(name)) {}
    bool write(const Batch& batch) override;
    std::string error() const override { return name + " write failed: " + failure; }

  private:
    int fd;
    std::string name;
    std::string failure;
};

}  // namespace tarn::collector
