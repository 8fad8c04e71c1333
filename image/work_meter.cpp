#include "image/work_meter.h"

bool WorkMeter::check() {
    if (stopped_ || spent_ > allowed_ || (stop_ && stop_->load(std::memory_order_relaxed))) {
        stopped_ = true;
        nextCheck_ = 0;
        return false;
    }
    nextCheck_ = spent_ + kWorkCheckInterval;
    return true;
}
