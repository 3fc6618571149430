"""The live account under hostile input: indices, keys and sides whose
dunders raise or answer with the wrong type, reports of odd classes, report
tables and target lists that change while a snapshot walks them, replaced or
deleted attributes, framework services that answer with odd objects. The
native account gives the peer's outcome (and makes the same framework
calls, where they are recorded) and answers normally afterwards."""
import pytest

from accounts_support import HANDLE, MODULES, STAMP, agree, cash, gv, make_account, report, snapshots
from belvane.tframe.utils.sorvel import DotDict, OrderedDotDict
from hostile_support import DELETED, BadBool, Boom, hostile, hostile_params, put
from outcomes import outcome, run_both

SIDES = [gv.POSITIONSIDE_LONG, gv.POSITIONSIDE_SHORT, gv.POSITIONSIDE_UNKNOWN]


def pushed(mod, **kw):
    acc = make_account(mod, **kw)
    acc.update_info(cash(), [report('sz', '000001'), report('SH', '600000'), report('q', 'q')])
    return acc


def usable(mod):
    """A fresh account of the module answers normally."""
    acc = pushed(mod)
    return snapshots(acc)


VALUES = hostile_params(int, 1) + hostile_params(str, 'SH') + [
    ('none', None), ('huge', 2 ** 100), ('neg huge', -2 ** 100), ('float', 1.0),
    ('nan', float('nan')), ('true', True), ('object', object()), ('list', [1]),
    ('badbool', BadBool())]


def argument_scenario(mod, h):
    acc = pushed(mod)
    out = [outcome(lambda: acc.get_cash_info(h)), outcome(lambda: acc.get_position_info(h, 0)),
           outcome(lambda: acc.get_position_info('VolumeLong', h)),
           outcome(lambda: acc.get_position_info(h, 3))]
    for side in SIDES:
        out.append(outcome(lambda: acc.snapshot_position([0, h, 1], side)))
    out.append(outcome(lambda: acc.snapshot_position([0, 1], h)))
    out.append(outcome(lambda: acc.snapshot_position(h, gv.POSITIONSIDE_LONG)))
    r = report('sz', '000001')
    for side in SIDES + [h]:
        out.append(outcome(lambda: acc.make_position(r, h, side)))
        out.append(outcome(lambda: acc.make_position(r, 0, side)))
    out.append(outcome(lambda: acc.make_positions(h)))
    out.extend(snapshots(acc))
    return out


def test_hostile_indices_keys_and_sides():
    for _, h in VALUES:
        run_both(argument_scenario, MODULES, h)


def stamp_scenario(mod, h, key):
    acc = pushed(mod)
    r = report('sz', '000001')
    r[key] = h
    out = [outcome(lambda: acc.make_positions(dict(r)))]
    for side in SIDES:
        out.append(outcome(lambda: acc.make_position(r, 0, side)))
    out.append(outcome(lambda: acc.update_info(cash(), [r, report('SH', '600000')])))
    out.extend(snapshots(acc))
    out.extend(usable(mod))
    return out


@pytest.mark.parametrize('key', ['CreatedLong', 'CreatedShort', 'Updated', 'Market', 'Code',
                                 'VolumeLong', 'Price'])
def test_hostile_report_values(key):
    for _, h in VALUES:
        run_both(stamp_scenario, MODULES, h, key)


@pytest.mark.parametrize('answer', [
    lambda v: BadBool(), lambda v: 'text', lambda v: None, lambda v: [], lambda v: 5,
    lambda v: (_ for _ in ()).throw(Boom('convert')), lambda v: hostile('__getitem__', 'raise',
                                                                         base=object),
], ids=['badbool', 'text', 'none', 'empty', 'int', 'raises', 'getitem raises'])
@pytest.mark.parametrize('service', ['mft_to_datetime', 'isnan'])
def test_services_answer_with_odd_objects(monkeypatch, answer, service):
    def scenario(mod):
        with monkeypatch.context() as m:
            if service == 'mft_to_datetime':
                m.setattr(mod, 'mft_to_datetime', answer)
            else:
                np = type('np', (), {'nan': float('nan'), 'NaN': float('nan'),
                                     'isnan': staticmethod(answer)})
                m.setattr(mod, 'np', np)
            acc = pushed(mod)
            out = snapshots(acc)
            out.append(outcome(lambda: acc.make_position(report('sz', '1'), 0, gv.POSITIONSIDE_LONG)))
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


class TargetKeys(list):
    """What todotmc hands back, with one protocol method misbehaving."""
    mode = None

    def __len__(self):
        if self.mode == 'len raises':
            raise Boom('len')
        if self.mode == 'len wrong':
            return -1
        return list.__len__(self)

    def __contains__(self, k):
        if self.mode == 'contains raises':
            raise Boom('contains')
        return list.__contains__(self, k)

    def index(self, k, *a):
        if self.mode == 'index raises':
            raise Boom('index')
        if self.mode == 'index wrong':
            return 'first'
        return list.index(self, k, *a)

    def __getitem__(self, i):
        if self.mode == 'getitem raises':
            raise Boom('getitem')
        return list.__getitem__(self, i)

    def __iter__(self):
        if self.mode == 'iter clears':
            items = list(list.__iter__(self))
            del self[:]
            return iter(items)
        return list.__iter__(self)


KEY_MODES = ['len raises', 'len wrong', 'contains raises', 'index raises', 'index wrong',
             'getitem raises', 'iter clears', 'tuple', 'generator', 'unhashable', 'str subclass',
             'duplicates', 'none']


class Key(str):
    def __eq__(self, other):
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.mark.parametrize('mode', KEY_MODES)
def test_target_keys_of_odd_shapes(monkeypatch, mode):
    def scenario(mod):
        real = mod.todotmc

        def todotmc(x):
            keys = real(x)
            if isinstance(x, dict):
                return keys
            if mode == 'tuple':
                return tuple(keys)
            if mode == 'generator':
                return (k for k in keys)
            if mode == 'unhashable':
                return [[k] for k in keys]
            if mode == 'str subclass':
                return [Key(k) for k in keys]
            if mode == 'duplicates':
                return keys + keys
            if mode == 'none':
                return None
            t = TargetKeys(keys)
            t.mode = mode
            return t
        with monkeypatch.context() as m:
            m.setattr(mod, 'todotmc', todotmc)
            out = snapshots(pushed(mod))
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


def table_changes():
    """Ways a report, its copy or the account's own hooks change the report
    table or the target list while a snapshot walks them."""

    def make(mod, case):
        holder = []

        class Report(OrderedDotDict):
            def __getitem__(self, k):
                acc = holder[-1]
                if case == 'clear table' and k == 'Code':
                    acc._position.clear()
                elif case == 'grow table' and k == 'Market' and len(acc._position) < 30:
                    acc._position['NEW.%d' % len(acc._position)] = report('new', '1')
                elif case == 'targets cleared' and k == 'Code':
                    del acc.env.vr.g_BelvaneInputInfo.RealTargetList[:]
                elif case == 'targets replaced':
                    acc.env.vr.g_BelvaneInputInfo.RealTargetList = [{'Market': 'A', 'Code': 'B'}]
                elif case == 'table replaced':
                    acc._position = {'Z.Z': report('z', 'z')}
                elif case == 'env deleted':
                    acc.__dict__.pop('env', None)
                elif case == 'cash replaced':
                    acc._cash = {}
                return OrderedDotDict.__getitem__(self, k)

            def keys(self):
                if case == 'keys mutate':
                    holder[-1]._position.pop('SH.600000', None)
                return OrderedDotDict.keys(self)

        acc = make_account(mod)
        holder.append(acc)
        reports = [report('sz', '000001', cls=Report), report('SH', '600000', cls=Report),
                   report('q', 'q', cls=Report)]
        acc.update_info(cash(), reports)
        return acc
    return make


@pytest.mark.parametrize('case', ['clear table', 'grow table', 'targets cleared',
                                  'targets replaced', 'table replaced', 'env deleted',
                                  'cash replaced', 'keys mutate'])
def test_table_and_targets_changed_during_snapshots(case):
    make = table_changes()

    def scenario(mod):
        out = []
        for call in (lambda a: a.snapshot_positions(),
                     lambda a: a.snapshot_position([0, 1, 2, 3], gv.POSITIONSIDE_UNKNOWN),
                     lambda a: a.snapshot_position(iter([3, 0, 0]), gv.POSITIONSIDE_SHORT),
                     lambda a: a.get_position_info('Price', 1),
                     lambda a: a.make_positions(a._position.get('SZ.000001', {}))):
            acc = make(mod, case)
            out.append(outcome(lambda: call(acc)))
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


class MeddlingIndices(object):
    """target_idx_s that changes the account between the indices it gives."""

    def __init__(self, acc, action):
        self.acc, self.action = acc, action

    def __iter__(self):
        for i in (0, 1, 0, 3):
            yield i
            if self.action == 'clear table':
                self.acc._position.clear()
            elif self.action == 'zero filed':
                self.acc._position['SH.600000'] = 0
            elif self.action == 'targets shrink':
                del self.acc.env.vr.g_BelvaneInputInfo.RealTargetList[1:]
            elif self.action == 'raise':
                raise Boom('indices')


@pytest.mark.parametrize('action', ['clear table', 'zero filed', 'targets shrink', 'raise'])
def test_indices_that_change_the_account(action):
    def scenario(mod):
        out = []
        for side in SIDES:
            acc = pushed(mod)
            out.append(outcome(lambda: acc.snapshot_position(MeddlingIndices(acc, action), side)))
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


def replaced_attributes():
    class RaisingGet(dict):
        def get(self, *a):
            raise Boom('get')

    class Missing(dict):
        def __missing__(self, k):
            return 'missing ' + k

    class ValuesRaise(dict):
        def values(self):
            raise Boom('values')

    class KeysWrong(dict):
        def keys(self):
            return 5

    return [
        ('_cash', RaisingGet(cash())), ('_cash', Missing()), ('_cash', None), ('_cash', 5),
        ('_position', RaisingGet()), ('_position', ValuesRaise(a=report('a', 'b'))),
        ('_position', KeysWrong()), ('_position', None), ('_position', [report('a', 'b')]),
        ('_position', {'SH.600000': 0}), ('_position', {'SH.600000': None}),
        ('_position', {'SH.600000': 5}), ('_position', {5: report('a', 'b')}),
        ('handle', hostile('__eq__', 'raise', base=str, value=HANDLE)),
        ('handle', hostile('__ne__', 'wrong', base=str, value=HANDLE)),
        ('name', hostile('__str__', 'raise', base=object)), ('env', None), ('env', object()),
    ] + [(k, DELETED) for k in ('_cash', '_position', 'handle', 'name', 'handle_idx', 'env')]


@pytest.mark.parametrize('which', range(len(replaced_attributes())))
def test_replaced_or_deleted_attributes(which):
    def scenario(mod):
        attr, value = replaced_attributes()[which]
        acc = pushed(mod)
        put(acc, attr, value)
        out = snapshots(acc)
        out.append(outcome(lambda: acc.update_info(cash(), [report('a', 'b')])))
        out.extend(snapshots(acc))
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


def test_subclass_hooks_that_reenter_or_raise():
    def scenario(mod):
        class Reentering(mod.BVRealAccount):
            depth = 0

            def make_positions(self, temp_position):
                if Reentering.depth < 2:
                    Reentering.depth += 1
                    try:
                        self.snapshot_positions()
                    finally:
                        Reentering.depth -= 1
                return mod.BVRealAccount.make_positions(self, temp_position)

            def make_position(self, position, target_idx, side):
                return self.make_position(position, target_idx, side)

            @property
            def _position_template(self):
                raise Boom('template')

        acc = Reentering(make_account(mod).env, 'stock', 0, 'n', HANDLE, 'CNY')
        acc.update_info(cash(), [report('sz', '000001')])
        out = [outcome(call) for call in (acc.snapshot_positions,
                                          lambda: acc.snapshot_position([0], gv.POSITIONSIDE_LONG),
                                          lambda: acc.get_position_info('Price', 2))]
        return out + usable(mod)
    run_both(scenario, MODULES)


def test_reports_that_are_str_and_dict_subclasses():
    class Text(str):
        def upper(self):
            raise Boom('upper')

        def __str__(self):
            return 'sub-' + str.__str__(self)

    class Table(dict):
        def __getitem__(self, k):
            return dict.__getitem__(self, k)

    def scenario(mod):
        acc = make_account(mod)
        reports = [report(Text('sz'), Text('000001'), cls=Table), report('SH', Text('600000')),
                   report(Text('q'), 'q', cls=dict)]
        for r in reports[:2]:
            r.AccountID = HANDLE if isinstance(r, OrderedDotDict) else None
        reports[0] = type('R', (Table,), {'AccountID': HANDLE, 'Market': Text('sz'),
                                          'Code': Text('000001')})(reports[0])
        reports[2] = type('R2', (dict,), {'AccountID': HANDLE, 'Market': 'q',
                                          'Code': Text('q')})(reports[2])
        out = [outcome(lambda: acc.update_info(cash(cls=Table), reports)),
               outcome(lambda: sorted(acc._position))]
        out.extend(snapshots(acc))
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


@pytest.mark.parametrize('base', [OrderedDotDict, DotDict])
def test_report_classes_whose_attributes_are_not_their_keys(base):
    # Report attributes are read straight from the keys only while that is
    # what the toolkit's __getattr__ would give.
    class Shadowing(base):
        Market = 'class'

    class Subscripting(base):
        def __getitem__(self, k):
            v = base.__getitem__(self, k)
            return 'sub-' + v if k == 'Code' else v

    def scenario(mod):
        acc = make_account(mod)
        own = report('x', 'y', cls=base)
        object.__setattr__(own, 'Code', 'instance')
        reports = [report('sz', '000001', cls=base), report('sh', '600000', cls=Shadowing),
                   report('q', 'q', cls=Subscripting), own, report('m', 'm', cls=base)]
        del reports[-1]['Code']
        out = [outcome(lambda: acc.update_info(cash(cls=base), reports))]
        del reports[-1]
        out += [outcome(lambda: acc.update_info(cash(cls=base), reports)),
                outcome(lambda: sorted(acc._position))]
        Shadowing.Code = 'late'
        try:
            out += [outcome(lambda: acc.update_info(cash(cls=base), reports)),
                    outcome(lambda: sorted(acc._position))]
        finally:
            del Shadowing.Code
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


def test_stamps_near_the_limits():
    def scenario(mod):
        out = []
        for stamp in (2 ** 63 - 1, 2 ** 63, -2 ** 63, 2 ** 64, 10 ** 30, float('inf'), -0.0,
                      STAMP, float(STAMP), True):
            acc = make_account(mod)
            r = report('sz', '000001', CreatedLong=stamp, Updated=stamp)
            out.append(outcome(lambda: acc.make_positions(dict(r))))
            out.append(outcome(lambda: acc.make_position(r, 0, gv.POSITIONSIDE_LONG)))
        return out
    run_both(scenario, MODULES)


class Pushing(OrderedDotDict):
    """A report whose AccountID, read while update_info files the list, changes
    the list being pushed or the account itself."""
    action = None
    target = None

    def __getattr__(self, item):
        if item == 'AccountID' and Pushing.target is not None:
            acc, reports = Pushing.target
            if Pushing.action == 'shrink list':
                del reports[1:]
            elif Pushing.action == 'grow list' and len(reports) < 10:
                reports.append(report('g%d' % len(reports), '1'))
            elif Pushing.action == 'clear table':
                acc._position.clear()
            elif Pushing.action == 'push again':
                Pushing.target = None
                acc.update_info(cash(), [report('inner', '1')])
            elif Pushing.action == 'replace cash':
                acc._cash = {'TotalAsset': 'inner'}
        return OrderedDotDict.__getattr__(self, item)


@pytest.mark.parametrize('action', ['shrink list', 'grow list', 'clear table', 'push again',
                                    'replace cash'])
@pytest.mark.parametrize('container', ['list', 'generator'])
def test_reports_that_change_the_push_while_it_is_read(action, container):
    def scenario(mod):
        acc = pushed(mod)
        reports = [report('a', '1', cls=Pushing), report('SH', '600000', cls=Pushing),
                   report('b', '2', cls=Pushing)]
        Pushing.action, Pushing.target = action, (acc, reports)
        try:
            given = reports if container == 'list' else (r for r in reports)
            out = [outcome(lambda: acc.update_info(cash(), given)),
                   outcome(lambda: sorted(acc._position))]
        finally:
            Pushing.target = None
        out.extend(snapshots(acc))
        out.extend(usable(mod))
        return out
    run_both(scenario, MODULES)


# ---- hostile reports and target lists, with the framework calls ----------

class RaisingGet(OrderedDotDict):
    def __getitem__(self, key):
        if key == 'Price':
            raise Boom(key)
        return OrderedDotDict.__getitem__(self, key)


class OwnKeys(OrderedDotDict):
    def keys(self):
        return [k for k in OrderedDotDict.keys(self) if k != 'Price']


class Missing(OrderedDotDict):
    def __missing__(self, key):
        return 'missing ' + key


class BadStr(object):
    def __str__(self):
        raise Boom('str')

    def __eq__(self, other):
        return type(other) is BadStr

    def __hash__(self):
        return 0


class BadEq(object):
    def __eq__(self, other):
        raise Boom('eq')
    __ne__ = __eq__
    __hash__ = object.__hash__


@pytest.mark.parametrize('make_reports', [
    lambda: [report('SH', '600000', cls=RaisingGet)],
    lambda: [report('SH', '600000', cls=OwnKeys)],
    lambda: [report('SH', '600000', cls=Missing)],
    lambda: [report(BadStr(), '1')],
    lambda: [report('SH', '1', account=BadEq())],
    lambda: [dict(report('SH', '600000'))],
    lambda: [5],
], ids=['raising __getitem__', 'own keys', '__missing__', 'raising __str__', 'raising __ne__',
        'plain dict', 'not a mapping'])
def test_hostile_reports(monkeypatch, make_reports):
    def scenario(mod):
        acc = make_account(mod)
        pushed = outcome(lambda: acc.update_info(cash(), make_reports()))
        if pushed[0] != 'ok':
            # Reports that cannot be pushed are filed directly.
            for r in make_reports():
                acc._position['SH.600000'] = r
        return [pushed] + snapshots(acc)
    agree(scenario, monkeypatch)


@pytest.mark.parametrize('mutate', ['clear', 'append', 'reverse', 'replace'])
def test_target_list_mutated_by_todotmc(monkeypatch, mutate):
    def scenario(mod):
        handed_out = []
        real = mod.todotmc

        def todotmc(x):
            if isinstance(x, dict) and handed_out:
                keys = handed_out[-1]
                if mutate == 'clear':
                    del keys[:]
                elif mutate == 'append':
                    keys.append('SH.600519')
                elif mutate == 'reverse':
                    keys.reverse()
                else:
                    keys[:] = ['X.%d' % i for i in range(len(keys))]
            result = real(x)
            if not isinstance(x, dict):
                handed_out.append(result)
            return result
        monkeypatch.setattr(mod, 'todotmc', todotmc)
        acc = make_account(mod, [('SH', '600000'), ('SZ', '000001'), ('SH', '600519')] * 2)
        acc.update_info(cash(), [report('sz', '000001'), report('q', 'q')])
        return snapshots(acc)
    agree(scenario)


def test_target_list_that_is_kept_elsewhere(monkeypatch):
    kept = []

    def scenario(mod):
        real = mod.todotmc
        monkeypatch.setattr(mod, 'todotmc', lambda x: kept.append(real(x)) or kept[-1])
        acc = make_account(mod)
        acc.update_info(cash(), [report('sz', '000001')])
        return acc.snapshot_positions()
    agree(scenario)


def test_table_changed_during_snapshot():
    def scenario(mod):
        class Meddling(mod.BVRealAccount):
            def make_positions(self, temp_position):
                self._position.clear()
                self._position['NEW.1'] = report('new', '1')
                return super(Meddling, self).make_positions(temp_position)
        acc = Meddling(make_account(mod).env, 'stock', 0, 'n', HANDLE, 'CNY')
        acc.update_info(cash(), [report('sz', '000001'), report('SH', '600000')])
        return acc.snapshot_positions()
    agree(scenario)
