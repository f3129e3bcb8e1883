import math

import mpmath as mp
import numpy as np
import pytest

from reference import relative_error

mp.mp.dps = 50
SQRT2 = math.sqrt(2.0)

# fdlibm's erf/erfc switch points (in the erf argument y/sqrt2) and the tail switch at |y| = 4.
ERF_SWITCHES = [0.84375, 1.25, 1 / 0.35, 6.0]


def around(value, ulps=2):
    points = [value]
    up = down = value
    for _ in range(ulps):
        up, down = math.nextafter(up, math.inf), math.nextafter(down, -math.inf)
        points += [up, down]
    return points


def cdf_grid():
    ys = list(np.linspace(-37.5, 9.0, 4651))
    for z in ERF_SWITCHES:
        ys += around(z * SQRT2) + around(-z * SQRT2)
    ys += around(4.0) + around(-4.0) + around(26.5 * SQRT2) + [-37.0, -37.5, 0.0, -0.0]
    return np.array(ys)


def ulps(value, reference):
    """|value - reference| in units of the last place of the reference (subnormals included)."""
    exponent = max(int(mp.floor(mp.log(abs(reference), 2))), -1022) if reference else -1022
    return float(abs(mp.mpf(value) - reference) / mp.mpf(2) ** (exponent - 52))


def switches(*points):
    return [x for point in points for x in around(point) + around(-point)]


# Each lane function on a grid that crosses its branch points, with its bound in ulps. erfc is
# fdlibm's rational approximation, whose own error near 1.22 is 2.26 ulps (the C
# library's erfc gives the same bits there); erfcx multiplies erfc by an exponential below 1.25 and
# is erfc's tail formula without its exp(-z^2) above. cdf scales y by 1/sqrt2, and the rounding of
# that argument costs about y^2 ulps.
ELEMENTARY = [
    ("cdf", mp.ncdf, cdf_grid(), lambda y: 1.5 * (1 + y * y)),
    ("exp", mp.exp, np.concatenate([np.linspace(-745.2, 709.78, 20001), np.geomspace(1e-300, 1, 500),
                                    -np.geomspace(1e-300, 1, 500), switches(0.5 * math.log(2))]), 0.9),
    ("log", mp.log, np.concatenate([np.geomspace(5e-324, 1.7e308, 20001), np.linspace(0.5, 2, 4001),
                                    around(1.0, 8), around(math.sqrt(0.5)), around(math.sqrt(2.0)),
                                    # mantissas on either side of where log's reduction and square term switch
                                    [v * 2.0 ** e for h in ("0x1.6a09cp+0", "0x1.6147ap+0", "0x1.6b852p+0")
                                     for v in np.linspace(float.fromhex(h) - 2**-20, float.fromhex(h) + 2**-20, 101)
                                     for e in (0, -1060, 600)]]), 0.9),
    ("erfc", mp.erfc, np.concatenate([np.linspace(-7, 27.2, 14001), switches(*ERF_SWITCHES, 28.0)]), 2.3),
    ("erfcx", lambda z: mp.exp(z * z) * mp.erfc(z),
     np.concatenate([np.linspace(-26.0, 60.0, 8601), switches(*ERF_SWITCHES), np.geomspace(60, 1e150, 300)]), 3.0),
]


def on_every_target(target_kernels, name, x):
    """The portable values of a lane function, after checking that every target (each over its own
    lane width, short blocks padded) gives the same bits."""
    got = target_kernels["portable"].elementary(name, x)
    for target, kernels in target_kernels.items():
        other = kernels.elementary(name, x)
        assert ((other.view(np.uint64) == got.view(np.uint64)) | (np.isnan(other) & np.isnan(got))).all(), target
    return got


@pytest.mark.parametrize("name, reference, grid, bound", ELEMENTARY, ids=[e[0] for e in ELEMENTARY])
def test_elementary_functions_against_mpmath(target_kernels, name, reference, grid, bound):
    got = on_every_target(target_kernels, name, grid)
    worst = max((ulps(value, reference(mp.mpf(x))) / (bound(x) if callable(bound) else bound), x)
                for x, value in zip(grid, got))
    assert worst[0] <= 1, worst


@pytest.mark.parametrize("name, x, expected", [
    ("cdf", 0.0, 0.5), ("cdf", -0.0, 0.5), ("cdf", math.inf, 1.0), ("cdf", -math.inf, 0.0),
    ("cdf", 10.0, 1.0), ("cdf", -40.0, 0.0), ("cdf", math.nan, math.nan),
    ("exp", math.inf, math.inf), ("exp", -math.inf, 0.0), ("exp", 709.8, math.inf), ("exp", -745.2, 0.0),
    ("exp", 0.0, 1.0), ("exp", math.nan, math.nan),
    ("log", 0.0, -math.inf), ("log", -1.0, math.nan), ("log", math.inf, math.inf), ("log", 1.0, 0.0),
    ("erfc", math.inf, 0.0), ("erfc", -math.inf, 2.0), ("erfc", 30.0, 0.0), ("erfc", math.nan, math.nan),
    ("erfcx", math.inf, 0.0), ("erfcx", -math.inf, math.inf), ("erfcx", -30.0, math.inf),
    ("erfcx", math.nan, math.nan), ("inverse_cdf", 0.5, 0.0), ("inverse_cdf", 0.0, -math.inf),
    ("inverse_cdf", -1.0, -math.inf), ("inverse_cdf", 1.0, math.inf), ("inverse_cdf", 2.0, math.inf),
    ("inverse_cdf", math.nan, math.nan),
])
def test_special_values(target_kernels, name, x, expected):
    got = on_every_target(target_kernels, name, [x])[0]
    assert (math.isnan(got) and math.isnan(expected)) or (got, math.copysign(1, got)) == (expected, math.copysign(1, expected))


def test_inverse_cdf_against_mpmath(target_kernels):
    ps = np.concatenate([np.geomspace(1e-300, 0.5, 1500), 1 - np.geomspace(1e-16, 0.5, 500),
                         [0.075, 0.925, 0.5 + 0.425, 0.5 - 0.425]])
    got = on_every_target(target_kernels, "inverse_cdf", ps)
    for p, value in zip(ps, got):
        reference = mp.findroot(lambda x: mp.ncdf(x) - mp.mpf(p), mp.mpf(value))
        assert relative_error(value, reference) <= 1e-15 or abs(value - reference) < 1e-16, p
