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
    return read(state(fn), args[0], n_available_today_long).release();
}

PyObject* zero(bv::Function* fn, PyObject* const*) { return bv::new_ref(state(fn).int_zero); }

PyObject* total_volume_long(bv::Function* fn, PyObject* const* args) {
    State& st = state(fn);
    Ref total = book_total(st, args[0], n_volume_long_yd, n_holding_cost_today_long_list);
    if (!total) return nullptr;
    Ref frozen = read(st, args[0], n_order_frozen_long);
    if (!frozen) return nullptr;
    return add(total.get(), frozen.get()).release();
}

PyObject* volume(bv::Function* fn, PyObject* const* args) {
    State& st = state(fn);
    int is_long = side_equals(fn, st, args[1], n_POSITIONSIDE_LONG);
    if (is_long <= 0) return is_long < 0 ? nullptr : bv::new_ref(st.int_zero);
    Ref held = book_total(st, args[0], n_volume_long_yd, n_holding_cost_today_long_list);
    if (!held) return nullptr;
    return add(st.int_zero, held.get(), true).release();
}

PyObject* market_value(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    State& st = state(fn);
    int is_long = side_equals(fn, st, args[1], n_POSITIONSIDE_LONG);
    if (is_long <= 0) return is_long < 0 ? nullptr : bv::new_ref(st.float_zero);
    Ref price = call_env(fn, st, self, n_market_price, st.int_zero);
    if (!price) return nullptr;
    Ref held = book_total(st, self, n_volume_long_yd, n_holding_cost_today_long_list);
    if (!held) return nullptr;
    Ref worth = mul(held.get(), price.get());
    if (!worth) return nullptr;
    return add(st.float_zero, worth.get(), true).release();
}

PyObject* snapshot(bv::Function* fn, PyObject* const* args) {
    PyObject* self = args[0];
    State& st = state(fn);
    SelfReads reads(self);
    Calc c(fn, &reads);
    Num price = c.take(env_call(c, self, n_market_price, st.int_zero));
    Num today_cost = c.int_zero();
    Num today_vol = c.int_zero();
    walk_fills(c, self, n_holding_cost_today_long_list, [&](Num cost, Num volume) {
        today_cost = c.iadd(today_cost, cost);
        today_vol = c.iadd(today_vol, volume);
    });

    Record r(c);
    r.put_borrowed(k_account_name, st.names[n_default]);
    r.put(k_account_idx, c.attr_obj(self, n_account_idx));
    r.put(k_code, c.attr_obj(self, n_market_code));
    r.put(k_target_idx, c.attr_obj(self, n_target_idx));
    r.put(k_volume_long, c.to_int(c.add(c.attr(self, n_volume_long_yd), today_vol)));
    r.put_borrowed(k_volume_short, st.int_zero);
    r.put_borrowed(k_volume_today_long, st.int_zero);
    r.put_borrowed(k_volume_today_short, st.int_zero);
    {
        // (price * volume_long_yd - holding_cost_long) + (price * today_vol - today_cost)
        Num carried = c.mul(price, c.attr(self, n_volume_long_yd));
        carried = c.sub(carried, c.attr(self, n_holding_cost_long));
        Num today = c.sub(c.mul(price, today_vol), today_cost);
        r.put(k_fpnl_long, c.round(c.add(carried, today)));
    }
    r.put_borrowed(k_fpnl_short, st.float_zero);
    r.put(k_zpnl_long, r.get(k_fpnl_long));
    r.put_borrowed(k_zpnl_short, st.float_zero);
    if (c.nonzero(r.get(k_volume_long))) {
        Num amount = c.add(today_cost, c.attr(self, n_holding_cost_long));
        r.put(k_holding_cost_long, c.round(c.div(amount, r.get(k_volume_long))));
    } else {
        r.put(k_holding_cost_long, c.round(c.float_zero()));
    }
    r.put_borrowed(k_holding_cost_short, st.float_zero);
    r.put(k_cost_long, r.get(k_holding_cost_long));
    r.put_borrowed(k_cost_short, st.float_zero);
    r.put(k_amount_long, c.round(c.add(today_cost, c.attr(self, n_holding_cost_long))));
    r.put_borrowed(k_amount_short, st.float_zero);
    r.put(k_holding_value_long, c.round(c.mul(price, r.get(k_volume_long))));
    r.put_borrowed(k_holding_value_short, st.float_zero);
    r.put(k_available_long, c.to_int(c.attr(self, n_available_long)));
    r.put_borrowed(k_available_short, st.int_zero);
    r.put_borrowed(k_available_today_long, st.int_zero);
    r.put_borrowed(k_available_today_short, st.int_zero);
    r.put(k_price, price);
    r.put(k_created_long, c.attr_obj(self, n_dt_create_long_time));
    r.put(k_created_short, c.ok() ? global_attr(fn, n_pd, n_NaT) : Ref());
    r.put(k_updated, c.attr_obj(self, n_dt_update_time));
    r.put(k_order_frozen_long, c.attr_obj(self, n_order_frozen_long));
    r.put_borrowed(k_order_frozen_short, st.int_zero);
    r.put(k_order_frozen_today_long, c.attr_obj(self, n_order_frozen_today_long));
    r.put_borrowed(k_order_frozen_today_short, st.int_zero);
    r.put_borrowed(k_margin_long, st.float_zero);
    r.put_borrowed(k_margin_short, st.float_zero);
    r.put(k_change_reason, c.attr_obj(self, n_change_reason));
    return r.finish().release();
}

const PositionMembers kMembers = position_members({
    stock_init, available_long, zero, zero, zero, total_volume_long, zero, snapshot, volume, market_value});

}  // namespace

bool define_stock_position(bv::ModuleBody& m) {
    return define_position_class(m, "StockPosition", kMembers);
}

}  // namespace positions
