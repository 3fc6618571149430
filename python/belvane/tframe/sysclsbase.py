"""Framework-wide constants, caches and the current environment.

``env`` is the environment of the running backtest or live session; the
framework assigns it. ``SimEnvironment`` is a small environment for demos and
tests: fixed prices, contract multipliers and margin rates per target index.
"""


class _GlobalValues(object):
    TARGETTYPE_STOCK = 'stock'
    TARGETTYPE_FUTURE = 'future'
    POSITIONSIDE_UNKNOWN = 0
    POSITIONSIDE_LONG = 1
    POSITIONSIDE_SHORT = 2

    RUN_MODES = {0: 'backtest', 1: 'realtrade'}
    PHASES = {0: 'init', 1: 'before_trading', 2: 'trading', 3: 'after_trading'}

    def run_mode_name(self, mode):
        return self.RUN_MODES.get(mode, str(mode))

    def phase_name(self, phase):
        return self.PHASES.get(phase, str(phase))


gv = _GlobalValues()


class _Cache(object):
    def __init__(self):
        self.allow_comm_bv = True
        self.not_allow_comm_bv_tips = 'communication with the server is not permitted'


class _InputInfo(object):
    def __init__(self):
        self.RealTargetList = []


class _Variables(object):
    def __init__(self):
        self.g_BelvaneCache = _Cache()
        self.g_BelvaneInputInfo = _InputInfo()


vr = _Variables()

env = None


class _StateMachine(object):
    def __init__(self):
        self.cur_run_mode = 0
        self.cur_run_mode_phase = 0


class SimEnvironment(object):
    """Prices and contract data of a simulated market, by target index."""

    def __init__(self, prices=None, multiples=None, margin_rates=None, targets=None):
        self.gv = gv
        self.vr = _Variables()
        self.vr.g_BelvaneInputInfo.RealTargetList = list(targets or [])
        self.smm = _StateMachine()
        self.prices = dict(prices or {})
        self.multiples = dict(multiples or {})
        self.margin_rates = dict(margin_rates or {})

    def market_price(self, target_idx, offset):
        return self.prices[target_idx]

    def get_multiple(self, target_idx):
        return self.multiples.get(target_idx, 1)

    def get_margin_rate(self, target_idx, side):
        return self.margin_rates.get(target_idx, 1.0)
