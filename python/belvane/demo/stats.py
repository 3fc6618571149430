"""The toolkit's stopwatch, statistics collector and range record."""
import time

from belvane.tframe import sysclsbase
from belvane.tframe.utils import sorvel


def run(out=print):
    out('Toolkit: timers, statistics and range records')
    with sorvel.SimpleTimer('  loading the bar cache took', unit='ms', start=False) as timer:
        time.sleep(0.02)
    out(str(timer))

    stats = sorvel.StatusCollect.instance()
    stats.env = sysclsbase.SimEnvironment()
    stats.start_time('on_bar', 'on_bar', unit='ms')
    for step in ('signals ', 'orders '):
        time.sleep(0.005)
        stats.recoder_once('on_bar', tips=step)
    for line in stats.stat_info('on_bar', stop=True).splitlines():
        out('  ' + line)

    record = sorvel.RangeRecord()
    for s, e in [(20240105, 20240110), (20240101, 20240104), (20240120, 20240125)]:
        record.add_range('600000.SH', s, e)
    record.sub_range('600000.SH', 20240122, 20240122)
    out('  downloaded day ranges of 600000.SH: %s' % record.record('600000.SH'))
    out('  still missing in January: %s' % sorvel.RangeRecord.diff_record(
        record.record('600000.SH'), 20240101, 20240131))
