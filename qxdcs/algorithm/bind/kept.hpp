// Objects that a block keeps for its caller, and Python's own operators for
// the paths that work on them.
//
// A block may keep a caller's object exactly as passed (an int limit stays
// an int, the very object is returned). Two hazards come with that, and the
// helpers here are where they are handled, once:
//
//  * Releasing a kept object may run its __del__, and that may call the very
//    block that released it. Every change therefore completes the block's
//    state first and releases the replaced objects last: ReleaseLast collects
//    them and lets them go when it goes out of scope, and Kept::replace() does
//    the same for one object.
//  * A kept object handed to Python code (an operator, __index__, __float__)
//    may be replaced by that code, through the block's own attributes. The
//    block's reference would then be gone while the operation still uses the
//    object. hold() gives the operation a reference of its own.
#pragma once

#include <nanobind/nanobind.h>

#include <utility>
#include <vector>

#include "bind/args.hpp"

namespace qxb {

namespace nb = nanobind;

// Objects taken out of a block's state, released (in order) when this goes
// out of scope: declare it before the state changes, so that it outlives them.
class ReleaseLast {
public:
    ReleaseLast() = default;
    ReleaseLast(const ReleaseLast &) = delete;
    ReleaseLast &operator=(const ReleaseLast &) = delete;
    ~ReleaseLast() {
        for (nb::object &o : objects_)
            o = nb::object();
    }

    // slot = value; the object slot held before is released later.
    void replace(nb::object &slot, nb::object value) {
        keep(std::exchange(slot, std::move(value)));
    }
    // Takes any object to be released later (a moved-out slot, say).
    void keep(nb::object o) {
        if (o.is_valid())
            objects_.push_back(std::move(o));
    }

private:
    std::vector<nb::object> objects_;
};

// A caller's object kept as passed. Reads back as None after the garbage
// collector has cleared it.
class Kept {
public:
    Kept() = default;
    explicit Kept(nb::handle h) : obj_(nb::borrow(h)) {}
    Kept(const Kept &) = default;
    Kept(Kept &&) noexcept = default;
    Kept &operator=(const Kept &o) {
        replace(o.obj_);
        return *this;
    }
    Kept &operator=(Kept &&o) noexcept {
        nb::object previous = std::exchange(obj_, std::move(o.obj_));
        return *this;  // previous is released here, with this slot complete
    }

    // The object itself (a null object if never set), for returning to the caller.
    const nb::object &get() const { return obj_; }
    // A reference of the caller's own, for handing the object to Python code
    // that may replace it in the block.
    nb::object hold() const { return obj_; }
    bool is_valid() const { return obj_.is_valid(); }
    bool is_none() const { return obj_.is_none(); }

    // Keeps `h`; the previous object is released once this slot is complete.
    void replace(nb::handle h) {
        nb::object previous = std::exchange(obj_, nb::borrow(h));
    }
    // The same, with the previous object released by `later`.
    void replace(nb::handle h, ReleaseLast &later) { later.replace(obj_, nb::borrow(h)); }

    // Garbage collection (bind/block.hpp): show the object, or let go of it.
    int visit(visitproc visit, void *arg) const {
        Py_VISIT(obj_.ptr());
        return 0;
    }
    void clear(ReleaseLast &later) { later.replace(obj_, nb::none()); }

private:
    nb::object obj_;
};

// --- numbers kept as passed ------------------------------------------------------------------
//
// A number is "plain" when Python's arithmetic and comparisons on it agree
// exactly with those on its double value, also for the sum or difference of
// two plain numbers: an exact float, or an exact int or bool of magnitude at
// most 2**52. Any other object takes the block's slow path through Python's
// own operators, so its semantics (and error messages) are Python's.

constexpr long long kPlainIntMax = 4503599627370496LL;  // 2**52

inline bool plain_number(nb::handle h, double &out) {
    PyObject *o = h.ptr();
    if (Py_TYPE(o) == &PyFloat_Type) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    long long v;
    if (!int_within(h, kPlainIntMax, v))
        return false;
    out = double(v);
    return true;
}

// A number slot: None, a float held natively, or a caller's object (with its
// double value when the object is plain).
class KeptNumber {
public:
    enum Kind : unsigned char { None, Float, Plain, Other };

    KeptNumber() = default;
    KeptNumber(const KeptNumber &) = default;
    KeptNumber(KeptNumber &&) noexcept = default;
    KeptNumber &operator=(const KeptNumber &o) {
        if (this != &o) {
            nb::object previous = std::exchange(obj_, o.obj_);
            d_ = o.d_;
            kind_ = o.kind_;
        }
        return *this;
    }
    KeptNumber &operator=(KeptNumber &&o) noexcept {
        if (this != &o) {
            nb::object previous = std::exchange(obj_, std::move(o.obj_));
            d_ = o.d_;
            kind_ = o.kind_;
        }
        return *this;
    }
    static KeptNumber of_float(double v) {
        KeptNumber k;
        k.set_float(v);
        return k;
    }
    static KeptNumber of(nb::handle h) {
        KeptNumber k;
        k.set(h);
        return k;
    }

    Kind kind() const { return kind_; }
    bool is_none() const { return kind_ == None; }
    bool plain() const { return kind_ == Float || kind_ == Plain; }
    // A Python float (no object of the caller's behind it).
    bool is_float() const { return kind_ == Float; }
    double value() const { return d_; }

    void set_none() {
        nb::object previous = std::move(obj_);
        kind_ = None;
    }
    void set_float(double v) {
        nb::object previous = std::move(obj_);
        d_ = v;
        kind_ = Float;
    }
    // Keeps `h` as passed; an exact float is held by value.
    void set(nb::handle h) {
        if (h.is_none()) {
            set_none();
        } else if (Py_TYPE(h.ptr()) == &PyFloat_Type) {
            set_float(PyFloat_AS_DOUBLE(h.ptr()));
        } else {
            double d = 0.0;
            Kind k = plain_number(h, d) ? Plain : Other;
            nb::object previous = std::exchange(obj_, nb::borrow(h));
            d_ = d;
            kind_ = k;
        }
    }
    // The value as a Python object (a new float for a natively held float);
    // a reference of the caller's own, safe to hand to Python code.
    nb::object object() const {
        switch (kind_) {
        case None: return nb::none();
        case Float: return nb::steal(PyFloat_FromDouble(d_));
        default: return obj_;
        }
    }

    int visit(visitproc visit, void *arg) const {
        Py_VISIT(obj_.ptr());
        return 0;
    }
    void clear(ReleaseLast &later) {
        later.keep(std::move(obj_));
        kind_ = None;
    }

private:
    nb::object obj_;
    double d_ = 0.0;
    Kind kind_ = None;
};

// --- Python's own operators, for the slow paths ---------------------------------------------

inline nb::object py_binop(PyObject *(*op)(PyObject *, PyObject *), nb::handle a,
                           nb::handle b) {
    PyObject *r = op(a.ptr(), b.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}
inline nb::object py_unop(PyObject *(*op)(PyObject *), nb::handle a) {
    PyObject *r = op(a.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal(r);
}
// bool(a <op> b) for op one of Py_LT, Py_LE, Py_GT, Py_GE, ..., exactly as the
// operator evaluates it (reflected method, then truth value).
inline bool py_compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

} // namespace qxb
