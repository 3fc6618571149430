# -*- coding: utf-8 -*-
"""Pure-Python SimpleTimer, StatusCollect and RangeRecord of the toolkit.

Same behaviour as the native classes of belvane.tframe.utils.sorvel: the
native module is measured and checked against these.
"""
import datetime
from collections import defaultdict


class SimpleTimer(object):
    _unit_maps = {
        "year": ["年", 31536000000],
        "mon": ["月", 2592000000],
        "day": ["日", 86400000],
        "hour": ["时", 3600000],
        "min": ["分", 60000],
        "sec": ["秒", 1000],
        "ms": ["毫秒", 1],
    }

    def __init__(self, prompt='', unit='sec', start=True):
        self.start_time = None
        self.unit = unit
        self.prompt = prompt
        self.elapsed = 0
        self.reset(prompt, unit)
        if start:
            self.start()

    def __str__(self):
        if self.running:
            value = self.total()
        else:
            value = self.elapsed
        return self.prompt + ' %d %s' % (value, self.chs_unit)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *args):
        self.stop()

    def total(self):
        self._raise_not_start()
        end_time = datetime.datetime.now()
        elapsed_time = end_time - self.start_time
        divisor = SimpleTimer._unit_maps['sec'][1]
        if self.unit in SimpleTimer._unit_maps:
            divisor = SimpleTimer._unit_maps[self.unit][1]
        total_milliseconds = (elapsed_time.days * 86400000 + elapsed_time.seconds * 1000 +
                              elapsed_time.microseconds / 1000)
        return total_milliseconds / divisor

    def start(self):
        self._raise_started()
        self.start_time = datetime.datetime.now()

    def stop(self):
        self._raise_not_start()
        self.elapsed += self.total()
        self.start_time = None
        return self.elapsed

    def reset(self, prompt=None, unit=None):
        if prompt is not None:
            self.prompt = prompt
        if unit is not None:
            self.unit = unit
        if self.unit not in SimpleTimer._unit_maps:
            self.unit = 'sec'
        self.elapsed = 0

    def restart(self, prompt=None, unit=None):
        self.reset(prompt=prompt, unit=unit)
        if self.running:
            self.stop()
        self.start()

    def _raise_not_start(self):
        if not self.running:
            raise RuntimeError("Not started")

    def _raise_started(self):
        if self.running:
            raise RuntimeError("Already started")

    @property
    def chs_unit(self):
        return SimpleTimer._unit_maps.get(self.unit, '秒')[0]

    @property
    def running(self):
        return self.start_time is not None


class StatusCollect(object):
    __state = {}

    def __init__(self):
        self.__dict__ = self.__state
        self._time = {}
        self._recoder = defaultdict(list)
        self.env = None

    def start_time(self, name, prompt: "str", unit='sec'):
        if prompt is not None and type(prompt) is not str:
            raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                            % ('prompt', 'str', type(prompt).__name__))
        if name not in self._time:
            self._time[name] = SimpleTimer(prompt=prompt, unit=unit, start=True)
        else:
            t = self._time[name]
            t.restart(prompt=prompt, unit=unit)

    def stop_time(self, name, rm=False):
        time_obj = self._time.get(name)
        if time_obj is None:
            return 0
        total = time_obj.total()
        if time_obj.running:
            time_obj.stop()
        if rm:
            self._time.pop(name, None)
            self._recoder.pop(name, None)
        return total

    def use_time(self, name):
        time_obj = self._time.get(name)
        if time_obj is None:
            return 0
        return time_obj.total()

    def restart_time(self, name):
        time_obj = self._time.get(name)
        if time_obj is None:
            return 0
        time_obj.restart()

    def recoder_once(self, name, tips=None, reset=False):
        t = self._time.get(name)
        if t is None:
            return ''
        line = datetime.datetime.now().strftime('%Y-%m-%d %H:%M:%S,%f') + ' '
        if tips is not None:
            line = line + str(tips)
        line = line + str(t)
        self._recoder[name].append(line)
        if reset:
            t.reset()
        return line

    def recoder_count(self, name):
        return len(self._recoder.get(name, []))

    def time_object(self, name):
        return self._time.get(name)

    def stat_info(self, name, stop=False):
        t = self._time.get(name)
        if t is None:
            return None
        run_mode_name = 'default' if self.env is None else \
            self.env.gv.run_mode_name(self.env.smm.cur_run_mode)
        phase_name = 'default' if self.env is None else \
            self.env.gv.phase_name(self.env.smm.cur_run_mode_phase)
        s = "\n统计名称：{STATNAME}\n运行模式: {RUNMODE}\n运行阶段: {PHASE}\n运行详情：\n{INFO}\n".format(
            STATNAME=name, RUNMODE=run_mode_name,
            INFO='.\n'.join(self._recoder.get(name, [])), PHASE=phase_name)
        s = '=' * 60 + s + '=' * 60 + '\n'
        if stop:
            self.stop_time(name)
        return s

    def last_info(self, name):
        info = self._recoder.get(name, [])
        return info[-1] if info else None

    def clear_info(self, name):
        self._recoder.get(name, []).clear()

    @classmethod
    def instance(cls) -> "StatusCollect":
        name = 'StatusCollect'
        if name not in cls.__state:
            cls.__state[name] = StatusCollect()
        return cls.__state.get(name)


class RangeRecord(object):
    def __init__(self):
        self._raw_record = defaultdict(list)
        self._record = defaultdict(list)

    def add_range(self, name, s, e):
        # An inverted range would corrupt every later merge: checked even
        # when assertions are compiled out.
        if not s <= e:
            raise AssertionError("error, {} > {}".format(s, e))
        self._raw_record[name].append((s, e))
        self._calc_record(name)

    def sub_range(self, name, s, e):
        if not s <= e:
            raise AssertionError("error, {} > {}".format(s, e))
        self._raw_record[name] = self.sub_record(self._raw_record[name], s, e)
        self._calc_record(name)

    def record(self, name):
        return self._record.get(name, [])

    def _calc_record(self, name):
        self._record[name].clear()
        self._record[name].extend(self.comb_record(self._raw_record[name]))

    @classmethod
    def _do_increment_func(cls, increment_func, *args):
        if increment_func is None:
            return args[0] + args[1]
        return increment_func(*args)

    @classmethod
    def diff_record(cls, records, s, e, increment_func=None) -> "list":
        if len(records) < 1:
            return [(s, e)]
        records = cls.comb_record(records)
        results = []
        ss = s
        for item in records:
            if item[0] <= ss <= item[1]:
                ss = cls._do_increment_func(increment_func, item[1], 1)
            if ss > e:
                break
            if e < item[0]:
                results.append((ss, e))
                break
            if ss < item[0] <= e <= item[1]:
                results.append((ss, cls._do_increment_func(increment_func, item[0], -1)))
                ss = cls._do_increment_func(increment_func, item[1], 1)
            if e > item[1] and ss < item[0]:
                results.append((ss, cls._do_increment_func(increment_func, item[0], -1)))
                ss = cls._do_increment_func(increment_func, item[1], 1)
        if records[-1][1] < ss <= e:
            results.append((ss, e))
        return results

    @classmethod
    def comb_record(cls, records: "list"):
        result = []
        if len(records) < 1:
            return result
        records.sort(key=lambda x: x[0])
        result = [records[0]]
        for item in records[1:]:
            last = result[-1]
            if item[0] - 1 <= last[1] < item[1]:
                result[-1] = (last[0], item[1])
            elif item[0] > last[1]:
                result.append(item)
        return result

    @classmethod
    def sub_record(cls, records: "list", s, e, increment_func=None) -> "list":
        results = []
        ss = s
        ee = e
        records = cls.comb_record(records)
        for idx, item in enumerate(records):
            if ss > ee or ee < item[0]:
                results.extend(records[idx:])
                return results
            if ss < item[0] <= ee:
                ss = item[0]
            if ss > item[1]:
                results.append(item)
            if item[0] <= ss <= item[1]:
                _e = cls._do_increment_func(increment_func, ss, -1)
                if item[0] <= _e:
                    results.append((item[0], _e))
                if ee <= item[1]:
                    _s = cls._do_increment_func(increment_func, ee, 1)
                    if _s <= item[1]:
                        results.append((_s, item[1]))
                        ee = cls._do_increment_func(increment_func, item[0], -1)
                if idx < len(records) - 1:
                    ss = records[idx + 1][0]
                else:
                    ss = cls._do_increment_func(increment_func, item[1], 1)
        return results
