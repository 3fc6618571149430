// FuturePosition: long and short books; today's fills are (unit price,
// volume) pairs, money is counted with the contract multiplier.
#include "common.hpp"

namespace positions {
namespace {

PyObject* future_init(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!super_init(fn, n_FuturePosition, self)) return nullptr;
    Ref type = global_attr(fn, n_gv, n_TARGETTYPE_FUTURE);
    if (!type || !set_attr(fn, self, n_type, type.get())) return nullptr;
    State& st = state(fn);
    PyObject* zero = st.int_zero;
    PyObject* fzero = st.float_zero;
    // One book after the other, in the attribute order callers see.
    struct Book {
        Name cost, holding_cost, volume_yd, fills, frozen, frozen_today, available, created, total;
    };
    const Book books[] = {
        {n_cost_long, n_holding_cost_long, n_volume_long_yd, n_holding_cost_today_long_list,
         n_order_frozen_long, n_order_frozen_today_long, n_available_long, n_dt_create_long_time,
         n_long_holding_total},
        {n_cost_short, n_holding_cost_short, n_volume_short_yd, n_holding_cost_today_short_list,
         n_order_frozen_short, n_order_frozen_today_short, n_available_short,
         n_dt_create_short_time, n_short_holding_total},
    };
    for (const Book& b : books) {
        bool is_long = &b == &books[0];
        if (!set_attr(fn, self, b.cost, fzero)) return nullptr;
        // The long book sets its holding cost before its volume, the short
        // book after it.
        if (is_long && !set_attr(fn, self, b.holding_cost, fzero)) return nullptr;
        if (!set_attr(fn, self, b.volume_yd, zero)) return nullptr;
        if (!is_long && !set_attr(fn, self, b.holding_cost, fzero)) return nullptr;
        Ref fills = Ref::steal(PyList_New(0));
        if (!fills || !set_attr(fn, self, b.fills, fills.get())) return nullptr;
        if (!set_attr(fn, self, b.frozen, zero) || !set_attr(fn, self, b.frozen_today, zero) ||
            !set_attr(fn, self, b.available, zero))
            return nullptr;
        Ref nat = global_attr(fn, n_pd, n_NaT);
        if (!nat || !set_attr(fn, self, b.created, nat.get()) ||
            !set_attr(fn, self, b.total, fzero))
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* available_long(bv::Function* fn, PyObject* const* args) {
    return read(state(fn), args[0], n_available_long).release();
}

PyObject* available_short(bv::Function* fn, PyObject* const* args) {
    return read(state(fn), args[0], n_available_short).release();
}

PyObject* available_today_long(bv::Function* fn, PyObject* const* args) {
    return fills_volume(state(fn), args[0], n_holding_cost_today_long_list).release();
}

PyObject* available_today_short(bv::Function* fn, PyObject* const* args) {
    return fills_volume(state(fn), args[0], n_holding_cost_today_short_list).release();
}

PyObject* total_volume_long(bv::Function* fn, PyObject* const* args) {
    return book_total(state(fn), args[0], n_volume_long_yd, n_holding_cost_today_long_list)
        .release();
}

PyObject* total_volume_short(bv::Function* fn, PyObject* const* args) {
    return book_total(state(fn), args[0], n_volume_short_yd, n_holding_cost_today_short_list)
        .release();
}

// Any side but the short constant counts as long here.
PyObject* volume(bv::Function* fn, PyObject* const* args) {
    State& st = state(fn);
    int is_short = side_equals(fn, st, args[1], n_POSITIONSIDE_SHORT);
    if (is_short < 0) return nullptr;
    Ref held = is_short
                   ? book_total(st, args[0], n_volume_short_yd, n_holding_cost_today_short_list)
                   : book_total(st, args[0], n_volume_long_yd, n_holding_cost_today_long_list);
    return held.release();
}

// Any side but the long constant counts as short here; the multiplier and
// the price are fetched before the side is looked at.
PyObject* market_value(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    State& st = state(fn);
    Ref multiple = call_env(fn, st, self, n_get_multiple, nullptr);
    if (!multiple) return nullptr;
    Ref price = call_env(fn, st, self, n_market_price, st.int_zero);
    if (!price) return nullptr;
    int is_long = side_equals(fn, st, args[1], n_POSITIONSIDE_LONG);
    if (is_long < 0) return nullptr;
    Ref held = is_long ? book_total(st, self, n_volume_long_yd, n_holding_cost_today_long_list)
                       : book_total(st, self, n_volume_short_yd, n_holding_cost_today_short_list);
    if (!held) return nullptr;
    Ref worth = mul(held.get(), price.get());
    if (!worth) return nullptr;
    worth = mul(worth.get(), multiple.get());
    if (!worth) return nullptr;
    return add(st.float_zero, worth.get(), true).release();
}

// The figures of one book that a snapshot derives from its fills.
template <class V>
struct TodayOf {
    V cost;
    V volume;
};
using Today = TodayOf<Num>;

Today walk_book(Calc& c, PyObject* self, Name list, const Num& multiple) {
    Today t{c.float_zero(), c.int_zero()};
    walk_fills(c, self, list, [&](Num fill_price, Num fill_volume) {
        t.cost = c.iadd(t.cost, c.mul(c.mul(fill_price, fill_volume), multiple));
        t.volume = c.iadd(t.volume, fill_volume);
    });
    return t;
}

// The bodies below are evaluated by Calc (any objects) or by Pure (exact
// ints and floats, nothing can run), over Num or Val respectively.

// rounded ((<cost> * volume_yd * multiple + today cost) / ((volume_yd + today volume) * multiple)),
// or rounded 0.0 for a book without volume.
template <class C, class V = typename C::Value>
V average_cost(C& c, PyObject* self, Name cost, Name volume_yd, const TodayOf<V>& t,
               const V& multiple) {
    bool held = c.nonzero(c.add(c.attr(self, volume_yd), t.volume));
    if (!c.ok()) return V();
    if (!held) return c.round(c.float_zero());
    V unit = c.attr(self, cost);
    V amount = c.mul(c.mul(unit, c.attr(self, volume_yd)), multiple);
    amount = c.add(amount, t.cost);
    V volume = c.mul(c.add(c.attr(self, volume_yd), t.volume), multiple);
    return c.round(c.div(amount, volume));
}

// holding_cost * volume_yd * multiple, the carried book at its holding price.
template <class C, class V = typename C::Value>
V carried_cost(C& c, PyObject* self, Name holding_cost, Name volume_yd, const V& multiple) {
    V unit = c.attr(self, holding_cost);
    return c.mul(c.mul(unit, c.attr(self, volume_yd)), multiple);
}

// The record Pure fills: its values are boxed once the whole body is done.
class PureRecord {
public:
    explicit PureRecord(Pure& p) : p_(p) {}
    void put(RecordKey k, const Val& v) { values_[k] = v; }
    void put_borrowed(RecordKey k, PyObject* v) { values_[k] = Val{Num::kObj, 0, 0.0, v}; }
    // The record, or null: with an error set on failure, without one when
    // the body has to be evaluated by Calc.
    Ref finish() {
        if (!p_.ok()) return Ref();
        // OrderedDict is collections' own: nothing can watch the record grow.
        State& st = p_.st();
        Ref od = new_record(st);
        if (!od) return od;
        for (int k = 0; k < kRecordKeyCount; ++k) {
            Ref v = Pure::box(values_[k]);
            if (!v || PyODict_SetItem(od.get(), st.keys[k], v.get()) < 0) return Ref();
        }
        return od;
    }

private:
    Pure& p_;
    Val values_[kRecordKeyCount];
};

inline Record make_record(Calc& c) { return Record(c); }
inline PureRecord make_record(Pure& p) { return PureRecord(p); }

// What a snapshot derives once the environment has answered and today's
// fills are summed.
template <class C, class V = typename C::Value>
Ref figures(C& c, PyObject* self, const V& price, const V& multiple, const V& long_rate,
            const V& short_rate, const TodayOf<V>& tl, const TodayOf<V>& ts) {
    V long_value = c.mul(c.mul(c.add(c.attr(self, n_volume_long_yd), tl.volume), price), multiple);
    V short_value =
        c.mul(c.mul(c.add(c.attr(self, n_volume_short_yd), ts.volume), price), multiple);

    auto r = make_record(c);
    r.put_borrowed(k_account_name, c.st().names[n_default]);
    r.put(k_account_idx, c.attr_obj(self, n_account_idx));
    r.put(k_code, c.attr_obj(self, n_market_code));
    r.put(k_target_idx, c.attr_obj(self, n_target_idx));
    r.put(k_volume_long, c.to_int(c.add(c.attr(self, n_volume_long_yd), tl.volume)));
    r.put(k_volume_short, c.to_int(c.add(c.attr(self, n_volume_short_yd), ts.volume)));
    r.put(k_volume_today_long, c.to_int(tl.volume));
    r.put(k_volume_today_short, c.to_int(ts.volume));
    {
        // long value - holding_cost_long * volume_long_yd * multiple - today's cost
        V carried = carried_cost(c, self, n_holding_cost_long, n_volume_long_yd, multiple);
        r.put(k_fpnl_long, c.round(c.sub(c.sub(long_value, carried), tl.cost)));
    }
    {
        // holding_cost_short * volume_short_yd * multiple + today's cost - short value
        V carried = carried_cost(c, self, n_holding_cost_short, n_volume_short_yd, multiple);
        r.put(k_fpnl_short, c.round(c.sub(c.add(carried, ts.cost), short_value)));
    }
    {
        // price * (volume_long_yd + today) * multiple - cost_long * volume_long_yd * multiple
        // - today's cost
        V marked = c.mul(price, c.add(c.attr(self, n_volume_long_yd), tl.volume));
        marked = c.mul(marked, multiple);
        V carried = carried_cost(c, self, n_cost_long, n_volume_long_yd, multiple);
        r.put(k_zpnl_long, c.round(c.sub(c.sub(marked, carried), tl.cost)));
    }
    {
        // cost_short * volume_short_yd * multiple + today's cost
        // - price * (volume_short_yd + today) * multiple
        V carried = carried_cost(c, self, n_cost_short, n_volume_short_yd, multiple);
        carried = c.add(carried, ts.cost);
        V marked = c.mul(price, c.add(c.attr(self, n_volume_short_yd), ts.volume));
        marked = c.mul(marked, multiple);
        r.put(k_zpnl_short, c.round(c.sub(carried, marked)));
    }
    r.put(k_holding_cost_long,
          average_cost(c, self, n_holding_cost_long, n_volume_long_yd, tl, multiple));
    r.put(k_holding_cost_short,
          average_cost(c, self, n_holding_cost_short, n_volume_short_yd, ts, multiple));
    r.put(k_cost_long, average_cost(c, self, n_cost_long, n_volume_long_yd, tl, multiple));
    r.put(k_cost_short, average_cost(c, self, n_cost_short, n_volume_short_yd, ts, multiple));
    {
        // today's cost + volume_yd * holding_cost * multiple
        V volume_yd = c.attr(self, n_volume_long_yd);
        V carried = c.mul(c.mul(volume_yd, c.attr(self, n_holding_cost_long)), multiple);
        r.put(k_amount_long, c.round(c.add(tl.cost, carried)));
    }
    {
        V volume_yd = c.attr(self, n_volume_short_yd);
        V carried = c.mul(c.mul(volume_yd, c.attr(self, n_holding_cost_short)), multiple);
        r.put(k_amount_short, c.round(c.add(ts.cost, carried)));
    }
    r.put(k_holding_value_long, c.round(long_value));
    r.put(k_holding_value_short, c.round(short_value));
    r.put(k_available_long, c.to_int(c.attr(self, n_available_long)));
    r.put(k_available_short, c.to_int(c.attr(self, n_available_short)));
    r.put(k_available_today_long, tl.volume);
    r.put(k_available_today_short, ts.volume);
    r.put(k_price, price);
    r.put(k_created_long, c.attr_obj(self, n_dt_create_long_time));
    r.put(k_created_short, c.attr_obj(self, n_dt_create_short_time));
    r.put(k_updated, c.attr_obj(self, n_dt_update_time));
    r.put(k_order_frozen_long, c.attr_obj(self, n_order_frozen_long));
    r.put(k_order_frozen_short, c.attr_obj(self, n_order_frozen_short));
    r.put(k_order_frozen_today_long, c.attr_obj(self, n_order_frozen_today_long));
    r.put(k_order_frozen_today_short, c.attr_obj(self, n_order_frozen_today_short));
    {
        // holding_cost * volume_yd * rate * multiple + today's cost * rate
        V unit = c.attr(self, n_holding_cost_long);
        V margin = c.mul(c.mul(c.mul(unit, c.attr(self, n_volume_long_yd)), long_rate), multiple);
        r.put(k_margin_long, c.round(c.add(margin, c.mul(tl.cost, long_rate))));
    }
    {
        V unit = c.attr(self, n_holding_cost_short);
        V margin = c.mul(c.mul(c.mul(unit, c.attr(self, n_volume_short_yd)), short_rate), multiple);
        r.put(k_margin_short, c.round(c.add(margin, c.mul(ts.cost, short_rate))));
    }
    r.put(k_change_reason, c.attr_obj(self, n_change_reason));
    return r.finish();
}

// The figures by Pure, when every attribute they read can be read without
// running Python code, OrderedDict is collections' own and PRECISION_MUL a
// module global. Null without an error set where Calc has to do them.
Ref quick_figures(Calc& c, const SelfReads& reads, PyObject* self, const Num& price,
                  const Num& multiple, const Num& long_rate, const Num& short_rate,
                  const Today& tl, const Today& ts) {
    if (!c.ok()) return Ref();
    State& st = c.st();
    PyObject* globals = c.fn()->globals;
    PyObject* od = bv::memo_lookup(st.global_memo[n_OrderedDict], globals, st.names[n_OrderedDict]);
    PyObject* pm =
        od ? bv::memo_lookup(st.global_memo[n_PRECISION_MUL], globals, st.names[n_PRECISION_MUL])
           : nullptr;
    if (!pm) {
        PyErr_Clear();  // Calc looks again and reports it
        return Ref();
    }
    if (od != reinterpret_cast<PyObject*>(&PyODict_Type)) return Ref();
    static const Name kReads[] = {
        n_volume_long_yd,         n_volume_short_yd,          n_account_idx,
        n_market_code,            n_target_idx,               n_holding_cost_long,
        n_holding_cost_short,     n_cost_long,                n_cost_short,
        n_available_long,         n_available_short,          n_dt_create_long_time,
        n_dt_create_short_time,   n_dt_update_time,           n_order_frozen_long,
        n_order_frozen_short,     n_order_frozen_today_long,  n_order_frozen_today_short,
        n_change_reason,
    };
    for (Name n : kReads)
        if (!c.peek(self, n)) return Ref();
    Num precision_mul = Num::borrow(pm);
    Pure p(c, reads, precision_mul);
    return figures(p, self, price.view(), multiple.view(), long_rate.view(), short_rate.view(),
                   TodayOf<Val>{tl.cost.view(), tl.volume.view()},
                   TodayOf<Val>{ts.cost.view(), ts.volume.view()});
}

PyObject* snapshot(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    State& st = state(fn);
    SelfReads reads(self);
    Calc c(fn, &reads);
    Num price = c.take(env_call(c, self, n_market_price, st.int_zero));
    Num multiple = c.take(env_call(c, self, n_get_multiple, nullptr));
    Num long_rate = c.take(env_call(c, self, n_get_margin_rate, st.int_one));
    Num short_rate = c.take(env_call(c, self, n_get_margin_rate, st.int_one));
    Today tl = walk_book(c, self, n_holding_cost_today_long_list, multiple);
    Today ts = walk_book(c, self, n_holding_cost_today_short_list, multiple);
    Ref record = quick_figures(c, reads, self, price, multiple, long_rate, short_rate, tl, ts);
    if (record || PyErr_Occurred()) return record.release();
    return figures(c, self, price, multiple, long_rate, short_rate, tl, ts).release();
}

const PositionMembers kMembers = position_members({
    future_init, available_long, available_short, available_today_long,
    available_today_short, total_volume_long, total_volume_short, snapshot, volume, market_value});

}  // namespace

bool define_future_position(bv::ModuleBody& m) {
    return define_position_class(m, "FuturePosition", kMembers);
}

}  // namespace positions
