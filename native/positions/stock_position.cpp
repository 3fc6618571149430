// StockPosition: a long-only position; today's fills are (cost amount,
// volume) pairs.
#include "common.hpp"

namespace positions {
namespace {

PyObject* stock_init(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    if (!super_init(fn, n_StockPosition, self)) return nullptr;
    Ref type = global_attr(fn, n_gv, n_TARGETTYPE_STOCK);
    if (!type || !set_attr(fn, self, n_type, type.get())) return nullptr;
    Ref nat = global_attr(fn, n_pd, n_NaT);
    if (!nat || !set_attr(fn, self, n_dt_create_long_time, nat.get())) return nullptr;
    PyObject* zero = state(fn).int_zero;
    if (!set_attr(fn, self, n_order_frozen_long, zero) ||
        !set_attr(fn, self, n_order_frozen_today_long, zero) ||
        !set_attr(fn, self, n_volume_long_yd, zero) ||
        !set_attr(fn, self, n_holding_cost_long, zero))
        return nullptr;
    Ref fills = Ref::steal(PyList_New(0));
    if (!fills || !set_attr(fn, self, n_holding_cost_today_long_list, fills.get())) return nullptr;
    if (!set_attr(fn, self, n_available_long, zero) ||
        !set_attr(fn, self, n_available_today_long, zero))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* available_long(bv::Function* fn, PyObject* const* args) {
    return read(fn, args[0], n_available_today_long).release();
}

PyObject* zero(bv::Function* fn, PyObject* const*) { return bv::new_ref(state(fn).int_zero); }

PyObject* total_volume_long(bv::Function* fn, PyObject* const* args) {
    Owned total = book_total(fn, args[0], n_volume_long_yd, n_holding_cost_today_long_list);
    if (!total) return nullptr;
    Ref frozen = read(fn, args[0], n_order_frozen_long);
    if (!frozen) return nullptr;
    return then(total, Op::Add, frozen.get()).box().release();
}

PyObject* volume(bv::Function* fn, PyObject* const* args) {
    State& st = state(fn);
    int is_long = side_is(fn, args[1], n_POSITIONSIDE_LONG);
    if (is_long <= 0) return is_long < 0 ? nullptr : bv::new_ref(st.int_zero);
    Owned held = book_total(fn, args[0], n_volume_long_yd, n_holding_cost_today_long_list);
    if (!held) return nullptr;
    // volume = 0; volume += held
    return bv::apply_boxed(Op::InPlaceAdd, Num::of(st.int_zero), held.num()).release();
}

PyObject* market_value(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    State& st = state(fn);
    int is_long = side_is(fn, args[1], n_POSITIONSIDE_LONG);
    if (is_long <= 0) return is_long < 0 ? nullptr : bv::new_ref(st.float_zero);
    Ref price = call_env(fn, self, n_market_price, st.int_zero);
    if (!price) return nullptr;
    Owned worth = then(book_total(fn, self, n_volume_long_yd, n_holding_cost_today_long_list),
                       Op::Multiply, price.get());
    if (!worth) return nullptr;
    // value = 0.0; value += held * price
    return bv::apply_boxed(Op::InPlaceAdd, Num::of(st.float_zero), worth.num()).release();
}

PyObject* snapshot(bv::Function* fn, PyObject* const* args) {
    State& st = state(fn);
    Eval e(fn, args[0]);
    Num price = e.env_call(n_market_price, st.int_zero);
    // cost = 0; volume = 0
    // for fill_cost, fill_volume in self.holding_cost_today_long_list:
    //     cost += fill_cost; volume += fill_volume
    Owned today_cost(Num::of(st.int_zero));
    Owned today_vol(Num::of(st.int_zero));
    e.walk(n_holding_cost_today_long_list, [&](const Num& cost, const Num& volume) {
        today_cost = Owned(e.iadd(today_cost.num(), cost));
        today_vol = Owned(e.iadd(today_vol.num(), volume));
    });

    Record r(e);
    r.put_borrowed(k_account_name, st.names[n_default]);
    r.put(k_account_idx, e.attr_obj(n_account_idx));
    r.put(k_code, e.attr_obj(n_market_code));
    r.put(k_target_idx, e.attr_obj(n_target_idx));
    r.put(k_volume_long, e.to_int(e.add(e.attr(n_volume_long_yd), today_vol.num())));
    r.put_borrowed(k_volume_short, st.int_zero);
    r.put_borrowed(k_volume_today_long, st.int_zero);
    r.put_borrowed(k_volume_today_short, st.int_zero);
    {
        // (price * volume_long_yd - holding_cost_long) + (price * today_vol - today_cost)
        Num carried = e.mul(price, e.attr(n_volume_long_yd));
        carried = e.sub(carried, e.attr(n_holding_cost_long));
        Num today = e.sub(e.mul(price, today_vol.num()), today_cost.num());
        r.put(k_fpnl_long, e.round(e.add(carried, today)));
    }
    r.put_borrowed(k_fpnl_short, st.float_zero);
    r.put(k_zpnl_long, r.get(k_fpnl_long));
    r.put_borrowed(k_zpnl_short, st.float_zero);
    if (e.nonzero(r.get(k_volume_long))) {
        Num amount = e.add(today_cost.num(), e.attr(n_holding_cost_long));
        r.put(k_holding_cost_long, e.round(e.div(amount, r.get(k_volume_long))));
    } else {
        r.put(k_holding_cost_long, e.round(Num::of(st.float_zero)));
    }
    r.put_borrowed(k_holding_cost_short, st.float_zero);
    r.put(k_cost_long, r.get(k_holding_cost_long));
    r.put_borrowed(k_cost_short, st.float_zero);
    r.put(k_amount_long, e.round(e.add(today_cost.num(), e.attr(n_holding_cost_long))));
    r.put_borrowed(k_amount_short, st.float_zero);
    r.put(k_holding_value_long, e.round(e.mul(price, r.get(k_volume_long))));
    r.put_borrowed(k_holding_value_short, st.float_zero);
    r.put(k_available_long, e.to_int(e.attr(n_available_long)));
    r.put_borrowed(k_available_short, st.int_zero);
    r.put_borrowed(k_available_today_long, st.int_zero);
    r.put_borrowed(k_available_today_short, st.int_zero);
    r.put(k_price, price);
    r.put(k_created_long, e.attr_obj(n_dt_create_long_time));
    r.put(k_created_short, e.global_attr(n_pd, n_NaT));
    r.put(k_updated, e.attr_obj(n_dt_update_time));
    r.put(k_order_frozen_long, e.attr_obj(n_order_frozen_long));
    r.put_borrowed(k_order_frozen_short, st.int_zero);
    r.put(k_order_frozen_today_long, e.attr_obj(n_order_frozen_today_long));
    r.put_borrowed(k_order_frozen_today_short, st.int_zero);
    r.put_borrowed(k_margin_long, st.float_zero);
    r.put_borrowed(k_margin_short, st.float_zero);
    r.put(k_change_reason, e.attr_obj(n_change_reason));
    return r.finish().release();
}

const PositionMembers kMembers = position_members({
    stock_init, available_long, zero, zero, zero, total_volume_long, zero, snapshot, volume, market_value});

}  // namespace

bool define_stock_position(bv::ModuleBody& m) {
    return define_position_class(m, "StockPosition", kMembers);
}

}  // namespace positions
