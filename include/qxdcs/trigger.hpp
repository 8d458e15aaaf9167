// Discrete logic blocks counted in samples: on-delay and off-delay timers and
// a set/reset flip-flop with reset priority.
//
// Timers. u0 is the current input, u1 the previous one (stored as integers by
// the caller, so 0.7 is already 0). dt is the delay in samples (>= 1), et the
// remaining count of the running delay. One step of the on-delay timer (TON):
//     1. if u0 == 0:                         et = dt        (input off: reload)
//     2. if u0 != 0 and et >= dt:            et = dt - 1    (dt lowered below et)
//        else if et < dt and et > 0:         et = et - 1    (count down)
//     3. if u0 > u1:                         et = dt - 1    (rising edge)
//     4. yt = 0 if et > 0 else 1
// The off-delay timer (TOFF) mirrors it:
//     1. if u0 > 0:                          et = dt        (input on: reload)
//     2. if u0 <= 0 and et >= dt:            et = dt - 1
//        else if et < dt and et > 0:         et = et - 1
//     3. if u0 < u1:                         et = dt - 1    (falling edge)
//     4. yt = 1 if et > 0 else 0
// For inputs 0 and 1 the TON output rises on the dt-th consecutive call with
// input 1 (the edge counts as the first) and drops at once with input 0; the
// TOFF output is 1 with input 1 and drops on the dt-th consecutive call with
// input 0. Step 2's first branch keeps a timer whose dt is lowered during a
// countdown from stalling: it then fires on the dt-th call counting the call
// of the change as the first.
//
// Flip-flop: q = false if r, else true if s, else the previous q; nq = !q.
#pragma once

#include <array>

namespace qxdcs {

// Result of one timer step. `assigned` tells whether any rule wrote et (an
// untouched et keeps whatever object the caller's ET was).
template <class N> struct TimerStep {
    N et;
    bool assigned;
    int yt;
};

// N is the number type of dt and et (an integer or a floating type).
template <class N> TimerStep<N> ton_step(double u0, double u1, N dt, N et) {
    bool assigned = false;
    if (u0 == 0) {
        et = dt;
        assigned = true;
    }
    if (u0 != 0 && et >= dt) {
        et = dt - 1;
        assigned = true;
    } else if (et < dt && et > 0) {
        et = et - 1;
        assigned = true;
    }
    if (u0 > u1) {
        et = dt - 1;
        assigned = true;
    }
    return {et, assigned, et > 0 ? 0 : 1};
}

template <class N> TimerStep<N> toff_step(double u0, double u1, N dt, N et) {
    bool assigned = false;
    if (u0 > 0) {
        et = dt;
        assigned = true;
    }
    if (u0 <= 0 && et >= dt) {
        et = dt - 1;
        assigned = true;
    } else if (et < dt && et > 0) {
        et = et - 1;
        assigned = true;
    }
    if (u0 < u1) {
        et = dt - 1;
        assigned = true;
    }
    return {et, assigned, et > 0 ? 1 : 0};
}

// New output of the set/reset flip-flop; reset has priority.
inline bool rs_step(bool s, bool r, bool previous_q) {
    if (r)
        return false;
    if (s)
        return true;
    return previous_q;
}

// The timers as function blocks (qxTrigger.TONtrigger, TOFFtrigger): write
// Ut and DT, call(), read Yt and ET. Ut_array holds [current, previous]
// input; the inputs are whole numbers (the Python module truncates toward
// zero when it stores them). One call: Ut_array = [Ut, Ut_array[0]], then the
// step above.
template <bool OnDelay> class DelayTimer {
public:
    long long Ut = 0;
    int Yt = 0;
    long long DT = 3;
    long long ET = 0;
    std::array<long long, 2> Ut_array{0, 0};

    void call() {
        Ut_array[1] = Ut_array[0];
        Ut_array[0] = Ut;
        const double u0 = double(Ut_array[0]), u1 = double(Ut_array[1]);
        const TimerStep<long long> r =
            OnDelay ? ton_step<long long>(u0, u1, DT, ET) : toff_step<long long>(u0, u1, DT, ET);
        ET = r.et;
        Yt = r.yt;
    }
};
using TonTrigger = DelayTimer<true>;
using ToffTrigger = DelayTimer<false>;

// The flip-flop as a function block (qxTrigger.RStrigger): write S and R,
// call(), read Q and nQ. Q_array holds the previous Q, the memory that the
// hold case reads (a Q written by the caller is ignored by it).
class RsTrigger {
public:
    bool S = false, R = false;
    bool Q = false, nQ = true;
    std::array<bool, 1> Q_array{false};

    void call() {
        Q = rs_step(S, R, Q_array[0]);
        Q_array[0] = Q;
        nQ = !Q;
    }
};

} // namespace qxdcs
