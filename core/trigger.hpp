// Discrete logic blocks counted in samples: on-delay and off-delay timers and
// a set/reset flip-flop with reset priority.
//
// Timers. u0 is the current input, u1 the previous one (stored as integers by
// the caller, so 0.7 is already 0). DT is the delay in samples (>= 1), ET the
// remaining count of the running delay. One step of the on-delay timer (TON):
//     1. if u0 == 0:                         ET = DT        (input off: reload)
//     2. if u0 != 0 and ET >= DT:            ET = DT - 1    (DT lowered below ET)
//        else if ET < DT and ET > 0:         ET = ET - 1    (count down)
//     3. if u0 > u1:                         ET = DT - 1    (rising edge)
//     4. Yt = 0 if ET > 0 else 1
// The off-delay timer (TOFF) mirrors it:
//     1. if u0 > 0:                          ET = DT        (input on: reload)
//     2. if u0 <= 0 and ET >= DT:            ET = DT - 1
//        else if ET < DT and ET > 0:         ET = ET - 1
//     3. if u0 < u1:                         ET = DT - 1    (falling edge)
//     4. Yt = 1 if ET > 0 else 0
// For inputs 0 and 1 the TON output rises on the DT-th consecutive call with
// input 1 (the edge counts as the first) and drops at once with input 0; the
// TOFF output is 1 with input 1 and drops on the DT-th consecutive call with
// input 0. Step 2's first branch keeps a timer whose DT is lowered during a
// countdown from stalling: it then fires on the DT-th call counting the call
// of the change as the first.
//
// Flip-flop: Q = false if R, else true if S, else the previous Q; nQ = !Q.
#pragma once

namespace qxcore {

// Result of one timer step. `assigned` tells whether any rule wrote ET (an
// untouched ET keeps whatever object the caller's ET was).
template <class N> struct TimerStep {
    N ET;
    bool assigned;
    int Yt;
};

// N is the number type of DT and ET (an integer or a floating type).
template <class N> TimerStep<N> tonStep(double u0, double u1, N DT, N ET) {
    bool assigned = false;
    if (u0 == 0) {
        ET = DT;
        assigned = true;
    }
    if (u0 != 0 && ET >= DT) {
        ET = DT - 1;
        assigned = true;
    } else if (ET < DT && ET > 0) {
        ET = ET - 1;
        assigned = true;
    }
    if (u0 > u1) {
        ET = DT - 1;
        assigned = true;
    }
    return {ET, assigned, ET > 0 ? 0 : 1};
}

template <class N> TimerStep<N> toffStep(double u0, double u1, N DT, N ET) {
    bool assigned = false;
    if (u0 > 0) {
        ET = DT;
        assigned = true;
    }
    if (u0 <= 0 && ET >= DT) {
        ET = DT - 1;
        assigned = true;
    } else if (ET < DT && ET > 0) {
        ET = ET - 1;
        assigned = true;
    }
    if (u0 < u1) {
        ET = DT - 1;
        assigned = true;
    }
    return {ET, assigned, ET > 0 ? 1 : 0};
}

// New output of the set/reset flip-flop; reset has priority.
inline bool rsStep(bool S, bool R, bool previousQ) {
    if (R)
        return false;
    if (S)
        return true;
    return previousQ;
}

} // namespace qxcore
