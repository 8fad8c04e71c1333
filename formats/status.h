// What came of a step: the one answer every layer gives, from a decoder
// reading a frame up to the tool and the viewer that tell the user. A step
// either went well, reached the end of what there is, was cancelled, or
// failed; a failure carries the registry's error (whose text the user
// reads), and where it helps, what was wrong in words and the frame.
#pragma once

#include <cstdint>

#include "image/work_meter.h"

enum ErrorCode : int32_t {
    kErrorNone = 0,
    kErrorUnsupportedType = 1,  // not this format, or not a kind of it that is read or written
    kErrorUnknown = 2,
    kErrorOutOfMemory = 3,      // memory, or the load's budget, ran out
    kErrorColorNotSupported = 4,
    kErrorRead = 5,
    kErrorWrite = 6,
    kErrorInvalidData = 7,      // damaged
    kErrorFileNotFound = 8,
};

struct Status {
    enum Kind : uint8_t {
        kOk,
        kEnd,        // there is no more: the last frame was given
        kCancelled,  // the user, or a close, asked it to stop
        kFailed,
    };
    Kind kind = kOk;
    ErrorCode error = kErrorNone;  // kFailed: which failure; kErrorNone otherwise
    const char* reason = nullptr;  // kFailed: what was wrong, in words the error lacks (a static text), or none
    int32_t frame = -1;            // the frame it concerns, from 0; -1 for none

    constexpr Status() = default;
    // A failure, or with kErrorNone, success. Not explicit: a step may
    // give a plain ErrorCode where a Status is taken.
    constexpr Status(ErrorCode code, const char* why = nullptr, int32_t at = -1)
        : kind(code == kErrorNone ? kOk : kFailed), error(code), reason(why), frame(at) {}
    static constexpr Status End() { return Made(kEnd); }
    static constexpr Status Cancelled() { return Made(kCancelled); }
    // Damaged at frame `at`: the file ends there or cannot be read on.
    static constexpr Status Damaged(const char* why, int32_t at = -1) { return {kErrorInvalidData, why, at}; }

    constexpr bool ok() const { return kind == kOk; }
    constexpr bool ended() const { return kind == kEnd; }
    constexpr bool cancelled() const { return kind == kCancelled; }
    constexpr bool failed() const { return kind == kFailed; }
    // The same status, about frame `n`.
    constexpr Status at(int32_t n) const {
        Status s = *this;
        s.frame = n;
        return s;
    }
    // Compares the error alone: a status "== kErrorNone" did not fail.
    friend constexpr bool operator==(const Status& s, ErrorCode code) { return s.error == code; }
    friend constexpr bool operator==(const Status& a, const Status& b) {
        return a.kind == b.kind && a.error == b.error && a.frame == b.frame && SameText(a.reason, b.reason);
    }

private:
    static constexpr bool SameText(const char* a, const char* b) {
        if (!a || !b) return a == b;
        while (*a && *a == *b) ++a, ++b;
        return *a == *b;
    }
    static constexpr Status Made(Kind kind) {
        Status s;
        s.kind = kind;
        return s;
    }
};

// The one way a step says it failed: the request's status becomes `why`,
// and the step returns what it returns for a failure (0, false, none).
struct Failed {
    template <typename Result>
    constexpr operator Result() const {
        return Result{};
    }
};
template <typename Request>
constexpr Failed Fail(Request* request, Status why) {
    request->error = why;
    return {};
}

// Why a meter said no: cancelled when another thread asked the work to
// stop; otherwise the work outgrew what it makes, which a file can only ask
// for by being damaged or hostile.
inline Status MeterStatus(const WorkMeter& work, int32_t frame = -1) {
    if (work.cancelAsked()) return Status::Cancelled();
    return Status::Damaged("more work than its pictures need", frame);
}

// Why a step that the meter counts came up short: the meter's reason (at
// `why`'s frame) when it said no, otherwise `why`.
inline Status MeterStatusOr(const WorkMeter& work, const Status& why) {
    return work.stopped() ? MeterStatus(work, why.frame) : why;
}
