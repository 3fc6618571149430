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
    return read(fn, args[0], n_available_long).release();
}

PyObject* available_short(bv::Function* fn, PyObject* const* args) {
    return read(fn, args[0], n_available_short).release();
}

PyObject* available_today_long(bv::Function* fn, PyObject* const* args) {
    return today_volume(fn, args[0], n_holding_cost_today_long_list).box().release();
}

PyObject* available_today_short(bv::Function* fn, PyObject* const* args) {
    return today_volume(fn, args[0], n_holding_cost_today_short_list).box().release();
}

PyObject* total_volume_long(bv::Function* fn, PyObject* const* args) {
    return book_total(fn, args[0], n_volume_long_yd, n_holding_cost_today_long_list)
        .box()
        .release();
}

PyObject* total_volume_short(bv::Function* fn, PyObject* const* args) {
    return book_total(fn, args[0], n_volume_short_yd, n_holding_cost_today_short_list)
        .box()
        .release();
}

// Any side but the short constant counts as long here.
PyObject* volume(bv::Function* fn, PyObject* const* args) {
    int is_short = side_is(fn, args[1], n_POSITIONSIDE_SHORT);
    if (is_short < 0) return nullptr;
    Owned held = is_short
                     ? book_total(fn, args[0], n_volume_short_yd, n_holding_cost_today_short_list)
                     : book_total(fn, args[0], n_volume_long_yd, n_holding_cost_today_long_list);
    return held.box().release();
}

// Any side but the long constant counts as short here; the multiplier and
// the price are fetched before the side is looked at.
PyObject* market_value(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    State& st = state(fn);
    Ref multiple = call_env(fn, self, n_get_multiple, nullptr);
    if (!multiple) return nullptr;
    Ref price = call_env(fn, self, n_market_price, st.int_zero);
    if (!price) return nullptr;
    int is_long = side_is(fn, args[1], n_POSITIONSIDE_LONG);
    if (is_long < 0) return nullptr;
    Owned held = is_long ? book_total(fn, self, n_volume_long_yd, n_holding_cost_today_long_list)
                         : book_total(fn, self, n_volume_short_yd, n_holding_cost_today_short_list);
    // value = 0.0; value += held * price * multiple
    Owned worth = then(then(held, Op::Multiply, price.get()), Op::Multiply, multiple.get());
    if (!worth) return nullptr;
    return bv::apply_boxed(Op::InPlaceAdd, Num::of(st.float_zero), worth.num()).release();
}

// The figures of one book that a snapshot derives from its fills.
struct Today {
    Owned cost;
    Owned volume;
};

// cost = 0.0; volume = 0
// for price, fill_volume in self.<list>:
//     cost += price * fill_volume * multiple; volume += fill_volume
Today walk_book(Eval& e, Name list, const Num& multiple) {
    Today t{Owned(Num::of(e.st().float_zero)), Owned(Num::of(e.st().int_zero))};
    e.walk(list, [&](const Num& fill_price, const Num& fill_volume) {
        t.cost = Owned(e.iadd(t.cost.num(), e.mul(e.mul(fill_price, fill_volume), multiple)));
        t.volume = Owned(e.iadd(t.volume.num(), fill_volume));
    });
    return t;
}

// rounded ((<cost> * volume_yd * multiple + today cost) / ((volume_yd + today volume) * multiple)),
// or rounded 0.0 for a book without volume.
Num average_cost(Eval& e, Name cost, Name volume_yd, const Today& t, const Num& multiple) {
    bool held = e.nonzero(e.add(e.attr(volume_yd), t.volume.num()));
    if (!e.ok()) return Num();
    if (!held) return e.round(Num::of(e.st().float_zero));
    Num unit = e.attr(cost);
    Num amount = e.mul(e.mul(unit, e.attr(volume_yd)), multiple);
    amount = e.add(amount, t.cost.num());
    Num volume = e.mul(e.add(e.attr(volume_yd), t.volume.num()), multiple);
    return e.round(e.div(amount, volume));
}

// holding_cost * volume_yd * multiple, the carried book at its holding price.
Num carried_cost(Eval& e, Name holding_cost, Name volume_yd, const Num& multiple) {
    Num unit = e.attr(holding_cost);
    return e.mul(e.mul(unit, e.attr(volume_yd)), multiple);
}

// What a snapshot derives once the environment has answered and today's
// fills are summed.
Ref figures(Eval& e, const Num& price, const Num& multiple, const Num& long_rate,
            const Num& short_rate, const Today& tl, const Today& ts) {
    Num long_value = e.mul(e.mul(e.add(e.attr(n_volume_long_yd), tl.volume.num()), price), multiple);
    Num short_value =
        e.mul(e.mul(e.add(e.attr(n_volume_short_yd), ts.volume.num()), price), multiple);

    Record r(e);
    r.put_borrowed(k_account_name, e.st().names[n_default]);
    r.put(k_account_idx, e.attr_obj(n_account_idx));
    r.put(k_code, e.attr_obj(n_market_code));
    r.put(k_target_idx, e.attr_obj(n_target_idx));
    r.put(k_volume_long, e.to_int(e.add(e.attr(n_volume_long_yd), tl.volume.num())));
    r.put(k_volume_short, e.to_int(e.add(e.attr(n_volume_short_yd), ts.volume.num())));
    r.put(k_volume_today_long, e.to_int(tl.volume.num()));
    r.put(k_volume_today_short, e.to_int(ts.volume.num()));
    {
        // long value - holding_cost_long * volume_long_yd * multiple - today's cost
        Num carried = carried_cost(e, n_holding_cost_long, n_volume_long_yd, multiple);
        r.put(k_fpnl_long, e.round(e.sub(e.sub(long_value, carried), tl.cost.num())));
    }
    {
        // holding_cost_short * volume_short_yd * multiple + today's cost - short value
        Num carried = carried_cost(e, n_holding_cost_short, n_volume_short_yd, multiple);
        r.put(k_fpnl_short, e.round(e.sub(e.add(carried, ts.cost.num()), short_value)));
    }
    {
        // price * (volume_long_yd + today) * multiple - cost_long * volume_long_yd * multiple
        // - today's cost
        Num marked = e.mul(price, e.add(e.attr(n_volume_long_yd), tl.volume.num()));
        marked = e.mul(marked, multiple);
        Num carried = carried_cost(e, n_cost_long, n_volume_long_yd, multiple);
        r.put(k_zpnl_long, e.round(e.sub(e.sub(marked, carried), tl.cost.num())));
    }
    {
        // cost_short * volume_short_yd * multiple + today's cost
        // - price * (volume_short_yd + today) * multiple
        Num carried = carried_cost(e, n_cost_short, n_volume_short_yd, multiple);
        carried = e.add(carried, ts.cost.num());
        Num marked = e.mul(price, e.add(e.attr(n_volume_short_yd), ts.volume.num()));
        marked = e.mul(marked, multiple);
        r.put(k_zpnl_short, e.round(e.sub(carried, marked)));
    }
    r.put(k_holding_cost_long, average_cost(e, n_holding_cost_long, n_volume_long_yd, tl, multiple));
    r.put(k_holding_cost_short,
          average_cost(e, n_holding_cost_short, n_volume_short_yd, ts, multiple));
    r.put(k_cost_long, average_cost(e, n_cost_long, n_volume_long_yd, tl, multiple));
    r.put(k_cost_short, average_cost(e, n_cost_short, n_volume_short_yd, ts, multiple));
    {
        // today's cost + volume_yd * holding_cost * multiple
        Num volume_yd = e.attr(n_volume_long_yd);
        Num carried = e.mul(e.mul(volume_yd, e.attr(n_holding_cost_long)), multiple);
        r.put(k_amount_long, e.round(e.add(tl.cost.num(), carried)));
    }
    {
        Num volume_yd = e.attr(n_volume_short_yd);
        Num carried = e.mul(e.mul(volume_yd, e.attr(n_holding_cost_short)), multiple);
        r.put(k_amount_short, e.round(e.add(ts.cost.num(), carried)));
    }
    r.put(k_holding_value_long, e.round(long_value));
    r.put(k_holding_value_short, e.round(short_value));
    r.put(k_available_long, e.to_int(e.attr(n_available_long)));
    r.put(k_available_short, e.to_int(e.attr(n_available_short)));
    r.put(k_available_today_long, tl.volume.num());
    r.put(k_available_today_short, ts.volume.num());
    r.put(k_price, price);
    r.put(k_created_long, e.attr_obj(n_dt_create_long_time));
    r.put(k_created_short, e.attr_obj(n_dt_create_short_time));
    r.put(k_updated, e.attr_obj(n_dt_update_time));
    r.put(k_order_frozen_long, e.attr_obj(n_order_frozen_long));
    r.put(k_order_frozen_short, e.attr_obj(n_order_frozen_short));
    r.put(k_order_frozen_today_long, e.attr_obj(n_order_frozen_today_long));
    r.put(k_order_frozen_today_short, e.attr_obj(n_order_frozen_today_short));
    {
        // holding_cost * volume_yd * rate * multiple + today's cost * rate
        Num unit = e.attr(n_holding_cost_long);
        Num margin = e.mul(e.mul(e.mul(unit, e.attr(n_volume_long_yd)), long_rate), multiple);
        r.put(k_margin_long, e.round(e.add(margin, e.mul(tl.cost.num(), long_rate))));
    }
    {
        Num unit = e.attr(n_holding_cost_short);
        Num margin = e.mul(e.mul(e.mul(unit, e.attr(n_volume_short_yd)), short_rate), multiple);
        r.put(k_margin_short, e.round(e.add(margin, e.mul(ts.cost.num(), short_rate))));
    }
    r.put(k_change_reason, e.attr_obj(n_change_reason));
    return r.finish();
}

PyObject* snapshot(bv::Function* fn, PyObject* const* args) {
    State& st = state(fn);
    Eval e(fn, args[0]);
    Num price = e.env_call(n_market_price, st.int_zero);
    Num multiple = e.env_call(n_get_multiple, nullptr);
    Num long_rate = e.env_call(n_get_margin_rate, st.int_one);
    Num short_rate = e.env_call(n_get_margin_rate, st.int_one);
    Today tl = walk_book(e, n_holding_cost_today_long_list, multiple);
    Today ts = walk_book(e, n_holding_cost_today_short_list, multiple);
    return figures(e, price, multiple, long_rate, short_rate, tl, ts).release();
}

const PositionMembers kMembers = position_members({
    future_init, available_long, available_short, available_today_long,
    available_today_short, total_volume_long, total_volume_short, snapshot, volume, market_value});

}  // namespace

bool define_future_position(bv::ModuleBody& m) {
    return define_position_class(m, "FuturePosition", kMembers);
}

}  // namespace positions
