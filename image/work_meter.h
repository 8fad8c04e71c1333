// The processor side of a load's budget, which the image operations that a
// load or an export runs (conversion, colour reduction) count on as well.
#pragma once

#include <atomic>
#include <cstdint>

// Decoders count their work in units of about one byte read or one pixel
// written, and a load may spend a floor plus so much per pixel of the
// pictures it produces: a load whose work outgrows its output (a small file
// stating huge runs of codes, say) stops as at damage, keeping the frames
// decoded so far, before it has cost a second. A pass over the frames earns
// as it goes, so that every frame may cost what one costs, however many
// there are. The meter also carries a request from another thread to stop,
// which decoders see within kWorkCheckInterval units of work.
constexpr uint64_t kWorkFloor = uint64_t{1} << 26;
constexpr uint64_t kWorkPerPixel = 8;
constexpr uint64_t kWorkCheckInterval = uint64_t{1} << 18;

class WorkMeter {
public:
    // Counts `units` of work; false once the load has spent what it may or
    // is asked to stop, and from then on.
    bool spend(uint64_t units) {
        spent_ += units;
        return spent_ < nextCheck_ || check();
    }
    // More allowed for `pixels` produced, or about to be.
    void earn(uint64_t pixels) { allowed_ += pixels * kWorkPerPixel; }
    // At most `units` more allowed from now on, until more is earned: for a
    // caller that holds one part of a load to a tighter bound.
    void limit(uint64_t units) {
        if (spent_ + units < allowed_) allowed_ = spent_ + units;
    }
    // Where another thread asks the load to stop; none: never asked.
    void watch(const std::atomic<bool>* stop) { stop_ = stop; }
    // Whether spend() has said no.
    bool stopped() const { return stopped_; }
    // Starts counting afresh, as for a new load, still watching for a stop.
    void restart() {
        spent_ = nextCheck_ = 0;
        allowed_ = kWorkFloor;
        stopped_ = false;
    }
    uint64_t spent() const { return spent_; }
    // Whether another thread asked the work to stop (rather than the
    // allowance running out).
    bool cancelAsked() const { return stop_ && stop_->load(std::memory_order_relaxed); }
    // Whether the load is stopped or asked to stop, now rather than at the
    // next check: for a caller about to take a step that cannot be undone.
    bool stopAsked() const {
        return stopped_ || spent_ > allowed_ || (stop_ && stop_->load(std::memory_order_relaxed));
    }
    // A meter for work that its output bounds (an export): no allowance
    // runs out, only a stop ends it.
    static WorkMeter Unbounded(const std::atomic<bool>* stop = nullptr) {
        WorkMeter meter;
        meter.allowed_ = UINT64_MAX / 2;
        meter.stop_ = stop;
        return meter;
    }

private:
    bool check() {
        if (stopAsked()) {
            stopped_ = true;
            nextCheck_ = 0;
            return false;
        }
        nextCheck_ = spent_ + kWorkCheckInterval;
        return true;
    }

    uint64_t spent_ = 0;
    uint64_t allowed_ = kWorkFloor;
    uint64_t nextCheck_ = 0;
    const std::atomic<bool>* stop_ = nullptr;
    bool stopped_ = false;
};
