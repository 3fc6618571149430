"""The comparison the differential and hostile tests rely on: they see no
more than canon() tells apart."""
import datetime
import decimal
import fractions

import numpy
import pandas as pd

from hostile_support import BadBool, hostile
from outcomes import canon, failure


def test_canon_tells_values_of_every_type_apart():
    F, D = fractions.Fraction, decimal.Decimal
    day = datetime.datetime(2024, 5, 1)
    cases = [  # a value, an equal one, a different one
        (F(1, 2), F(2, 4), F(1, 3)), (D('1.5'), D('1.5'), D('1.50')), (D('NaN'), D('NaN'), D(0)),
        (day, datetime.datetime(2024, 5, 1), day.replace(tzinfo=datetime.timezone.utc)),
        (pd.NaT, pd.NaT, float('nan')), (float('nan'), -float('nan'), 0.0), (0.0, 0.0, -0.0),
        (1, 1, True), (numpy.float64(1.5), numpy.float64(1.5), 1.5),
        (hostile('__eq__', 'raise', 3), hostile('__eq__', 'raise', 3), hostile('__eq__', 'raise', 4)),
        (hostile('__len__', 'wrong', [1], base=list), hostile('__len__', 'wrong', [1], base=list),
         hostile('__len__', 'wrong', [2], base=list)),
        (BadBool(), BadBool(), ValueError()), (ValueError(1), ValueError(1), ValueError(2)),
    ]
    for value, equal, other in cases:
        assert canon(value) == canon(equal), value
        assert canon(value) != canon(other), (value, other)


def test_failure_keeps_type_text_and_arguments_and_folds_unpacking_wordings():
    class Said(Exception):
        def __str__(self):
            return 'same'

    assert failure(ValueError('need more than 1 value to unpack')) == \
        failure(ValueError('not enough values to unpack (expected 2, got 1)'))
    assert failure(RecursionError('depth a')) == failure(RecursionError('depth b'))
    for a, b in [(ValueError('too many values to unpack (expected 2)'),
                  ValueError('need more than 3 values to unpack')),
                 (ValueError('x'), TypeError('x')), (Said(1), Said(2)), (KeyError(1), KeyError(1.0))]:
        assert failure(a) != failure(b), (a, b)
