"""Price a BSM option chain across strikes, then invert the prices back to implied volatilities."""

import numpy as np

import quorix

spot, expiry, rate, dividend = 100.0, 0.5, 0.03, 0.01
strikes = np.linspace(60.0, 160.0, 11)
flag = np.where(strikes < spot, "put", "call")  # out-of-the-money side: puts below spot
smile = 0.2 + 0.4 * np.log(strikes / spot) ** 2  # a simple smile for the example

# Numbers and arrays mix freely: the scalars are broadcast against the strikes.
price = quorix.bsm_price(flag, spot, strikes, expiry, rate, dividend, smile)
greeks = quorix.bsm_greeks(flag, spot, strikes, expiry, rate, dividend, smile)
vol = quorix.bsm_iv(price, flag, spot, strikes, expiry, rate, dividend)

print(f"quorix {quorix.__version__}: S={spot} T={expiry} r={rate} q={dividend}")
print(f"{'strike':>7} {'type':>4} {'sigma':>7} {'price':>12} {'delta':>8} {'vega':>9} {'implied vol':>19} {'error':>9}")
for i, strike in enumerate(strikes):
    error = abs(vol[i] - smile[i]) / smile[i]
    print(f"{strike:7.1f} {flag[i]:>4} {smile[i]:7.4f} {price[i]:12.6g} {greeks.delta[i]:8.4f} "
          f"{greeks.vega[i]:9.4f} {vol[i]:19.16f} {error:9.1e}")
