import math

import mpmath as mp
import numpy as np
import pytest

from reference import EPS, relative_error

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


def test_cdf_against_mpmath(kernels):
    ys = cdf_grid()
    got = kernels.cdf(ys)
    for y, value in zip(ys, got):
        reference = mp.ncdf(mp.mpf(y))
        if reference < 1e-300:
            continue
        error = relative_error(value, reference)
        # Scaling y by 1/sqrt2 rounds the argument, which costs about y^2 eps; inside |y| < 4
        # that stays within eps (1 + y^2), and within 1e-15 wherever y^2 < 3.5.
        bound = max(1e-15, EPS * (1 + y * y)) if abs(y) < 4 else 8 * EPS * (1 + y * y)
        assert error <= bound, (y, value, float(error))


@pytest.mark.parametrize("y, expected", [
    (0.0, 0.5), (-0.0, 0.5), (math.inf, 1.0), (-math.inf, 0.0), (10.0, 1.0), (-40.0, 0.0),
])
def test_cdf_special_values(kernels, y, expected):
    assert kernels.cdf([y])[0] == expected


def test_cdf_of_nan_is_nan(kernels):
    assert math.isnan(kernels.cdf([math.nan])[0])


def test_cdf_branch_edge_at_four(kernels):
    below = math.nextafter(4.0, 0.0)
    erf_branch = (math.erf(below * 0.7071067811865476) + 1.0) * 0.5
    assert kernels.cdf([below])[0] == erf_branch
    e = math.exp((-0.5 * -4.0) * -4.0) * 0.5
    tail = kernels.erfcx([-4.0 * -0.7071067811865476])[0]
    assert kernels.cdf([-4.0])[0] == e * tail
    assert relative_error(kernels.cdf([-10.0])[0], mp.ncdf(-10)) < 1e-14


def erfcx_reference(z):
    z = mp.mpf(z)
    return mp.exp(z * z) * mp.erfc(z)


def test_erfcx_against_mpmath(kernels):
    zs = np.concatenate([np.linspace(-26.0, 60.0, 4301), around(26.5, 3), [1e3, 1e8, 1e150]])
    got = kernels.erfcx(zs)
    for z, value in zip(zs, got):
        # exp(z*z) amplifies the rounding of z*z: relative z^2 eps.
        assert relative_error(value, erfcx_reference(z)) <= 8 * EPS * (1 + z * z), z


def test_erfcx_switch_is_continuous(kernels):
    below, at = kernels.erfcx([math.nextafter(26.5, 0.0), 26.5])
    assert abs(below - at) / at < 1e-12


@pytest.mark.parametrize("z, expected", [(math.inf, 0.0), (-math.inf, math.inf), (-30.0, math.inf)])
def test_erfcx_limits(kernels, z, expected):
    assert kernels.erfcx([z])[0] == expected


def test_inverse_cdf_against_mpmath(kernels):
    ps = np.concatenate([np.geomspace(1e-300, 0.5, 1500), 1 - np.geomspace(1e-16, 0.5, 500),
                         [0.075, 0.925, 0.5 + 0.425, 0.5 - 0.425]])
    got = kernels.inverse_cdf(ps)
    for p, value in zip(ps, got):
        reference = mp.findroot(lambda x: mp.ncdf(x) - mp.mpf(p), mp.mpf(value))
        assert relative_error(value, reference) <= 1e-15 or abs(value - reference) < 1e-16, p


@pytest.mark.parametrize("p, expected", [(0.5, 0.0), (0.0, -math.inf), (1.0, math.inf), (-1.0, -math.inf)])
def test_inverse_cdf_special_values(kernels, p, expected):
    assert kernels.inverse_cdf([p])[0] == expected
