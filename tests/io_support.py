"""The toolkit's file and socket classes are tested on the native module and
on its pure-Python peer alike."""
import pytest

from belvane.tframe.utils import sorvel
from peers import sorvel_io


@pytest.fixture(params=['native', 'peer'])
def impl(request):
    return sorvel if request.param == 'native' else sorvel_io
