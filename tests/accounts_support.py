"""Builders shared by the account tests: environments, reports, and the
pure-Python peer of the account module."""
import math

import numpy

from belvane.realtrade.model import accounts as native
from belvane.tframe import sysclsbase
from belvane.tframe.utils.sorvel import OrderedDotDict
from outcomes import outcome
from peers import accounts as peer

MODULES = [native, peer]
MODULE_IDS = ['native', 'peer']

HANDLE = 'ACC-7'
STAMP = 20240501093000123  # 1 May 2024, 09:30:00.123
gv = sysclsbase.gv
NAN = float('nan')

REPORT_KEYS = [
    'AccountID', 'Market', 'Code', 'VolumeLong', 'VolumeShort', 'VolumeTodayLong',
    'VolumeTodayShort', 'FpnlLong', 'FpnlShort', 'ZpnlLong', 'ZpnlShort', 'HoldingCostLong',
    'HoldingCostShort', 'CostLong', 'CostShort', 'AmountLong', 'AmountShort', 'HoldingValueLong',
    'HoldingValueShort', 'AvailableLong', 'AvailableShort', 'AvailableTodayLong',
    'AvailableTodayShort', 'Price', 'CreatedLong', 'CreatedShort', 'Updated', 'OrderFrozenLong',
    'OrderFrozenShort', 'OrderFrozenTodayLong', 'OrderFrozenTodayShort', 'MarginLong',
    'MarginShort', 'ChangeReason']

CASH_KEYS = ['ValidCash', 'AvailableCash', 'MarketValue', 'Margin', 'OrderFrozen', 'TotalAsset',
             'TotalValue', 'HoldingPnl', 'RealizedPnl', 'DailyPnl', 'DailyCost', 'CumCashFlow',
             'LastAmount', 'LastRealizedPnl', 'LastCost', 'LastCashFlow', 'ChangeReason']

TARGETS = [('SH', '600000'), ('sz', '000001'), ('SH', '600519'), ('CFFEX', 'if2406')]


def targets(pairs=TARGETS):
    return [{'Market': m, 'Code': c} for m, c in pairs]


def make_env(pairs=TARGETS):
    return sysclsbase.SimEnvironment(targets=targets(pairs))


def make_account(module, pairs=TARGETS, **kw):
    args = dict(env_=make_env(pairs), acc_type='stock', idx=3, name='main', handle=HANDLE,
                currency='USD')
    args.update(kw)
    return module.BVRealAccount(**args)


def report(market, code, cls=OrderedDotDict, account=HANDLE, **values):
    """A full position report; each numeric key gets a distinct value."""
    r = cls()
    for i, key in enumerate(REPORT_KEYS):
        r[key] = i * 10 + 1
    r['AccountID'] = account
    r['Market'] = market
    r['Code'] = code
    r['Price'] = 12.5
    r['CreatedLong'] = STAMP
    r['CreatedShort'] = STAMP + 1000
    r['Updated'] = STAMP + 100000
    for key, value in values.items():
        r[key] = value
    return r


def cash(account=HANDLE, cls=OrderedDotDict, **values):
    c = cls()
    c['AccountID'] = account
    for i, key in enumerate(CASH_KEYS):
        c[key] = 1000.5 + i
    for key, value in values.items():
        c[key] = value
    return c


def is_nan(v):
    return isinstance(v, float) and math.isnan(v)


class Recorder(object):
    """Stands in for the module globals todotmc, mft_to_datetime and np, and
    logs every call with its argument."""

    def __init__(self, module, monkeypatch, with_NaN=False):
        self.log = []
        real_todotmc = module.todotmc
        real_convert = module.mft_to_datetime

        def todotmc(x):
            self.log.append(('todotmc', dict(x) if isinstance(x, dict) else None))
            return real_todotmc(x)

        def mft_to_datetime(values):
            self.log.append(('mft_to_datetime', list(values), type(values)))
            return real_convert(values)

        recorder = self

        class FakeNumpy(object):
            nan = numpy.nan

            @staticmethod
            def isnan(x):
                recorder.log.append(('isnan', x if not is_nan(x) else 'NaN'))
                return numpy.isnan(x)

        if with_NaN:
            FakeNumpy.NaN = float('nan')
        monkeypatch.setattr(module, 'todotmc', todotmc)
        monkeypatch.setattr(module, 'mft_to_datetime', mft_to_datetime)
        monkeypatch.setattr(module, 'np', FakeNumpy())


def agree(scenario, monkeypatch=None):
    """scenario(module) gives the same outcome on the native module and on
    the peer and, with `monkeypatch` (the framework calls are recorded
    through it), makes the same calls into the framework; returns the
    native outcome."""
    results = []
    for mod in MODULES:
        log = []
        if monkeypatch is not None:
            with monkeypatch.context() as m:
                log = Recorder(mod, m).log
                results.append((outcome(lambda: scenario(mod)), log))
        else:
            results.append((outcome(lambda: scenario(mod)), log))
    (a, log_a), (b, log_b) = results
    assert a == b, (a, b)
    assert log_a == log_b
    return a


def snapshots(acc, indices=(0, 1, 2, 3, 7, 9, -1), side=gv.POSITIONSIDE_UNKNOWN):
    """Outcomes of everything an account answers."""
    return [outcome(acc.snapshot_positions), outcome(lambda: acc.snapshot_position(indices, side)),
            outcome(acc.snapshot_cash),
            [outcome(lambda: acc.get_position_info(k, i)) for k in ('VolumeLong', 'Price', 'Code')
             for i in (0, 3, 5)],
            outcome(lambda: acc.get_cash_info('TotalAsset'))]
