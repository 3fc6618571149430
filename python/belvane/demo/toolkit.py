"""The toolkit's dictionaries with attribute access."""
from belvane.tframe.utils import sorvel


def run(out=print):
    out('Toolkit: dictionaries with attribute access')
    order = sorvel.OrderedDotDict([('Market', 'SH'), ('Code', '600000')])
    order.Volume = 300
    order.Price = 10.25
    out('  an order record built by attribute assignment:')
    for line in str(order).splitlines():
        out('    ' + line)
    out('  order.Volume * order.Price = %.2f' % (order.Volume * order.Price))
    out('  this host\'s hardware address: %s' % sorvel.get_cur_mac_address())
