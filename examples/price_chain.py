"""Price a BSM option chain across strikes, then invert the prices back to implied volatilities."""

import numpy as np

import quorix

spot, expiry, rate, dividend = 100.0, 0.5, 0.03, 0.01
strikes = np.linspace(60.0, 160.0, 11)
n = strikes.size
flag = np.where(strikes < spot, -1, 1).astype(np.int8)  # out-of-the-money side: puts below spot
smile = 0.2 + 0.4 * np.log(strikes / spot) ** 2  # a simple smile for the example

s, t, r, q = (np.full(n, value) for value in (spot, expiry, rate, dividend))
price = quorix.bsm_price(flag, s, strikes, t, r, q, smile)
delta, gamma, vega, theta, rho = quorix.bsm_greeks(flag, s, strikes, t, r, q, smile)
vol = quorix.bsm_iv(price, flag, s, strikes, t, r, q)

print(f"quorix {quorix.__version__}: S={spot} T={expiry} r={rate} q={dividend}")
print(f"{'strike':>7} {'type':>4} {'sigma':>7} {'price':>12} {'delta':>8} {'vega':>9} {'implied vol':>19} {'error':>9}")
for i in range(n):
    kind = "put" if flag[i] < 0 else "call"
    error = abs(vol[i] - smile[i]) / smile[i]
    print(f"{strikes[i]:7.1f} {kind:>4} {smile[i]:7.4f} {price[i]:12.6g} {delta[i]:8.4f} {vega[i]:9.4f} "
          f"{vol[i]:19.16f} {error:9.1e}")
