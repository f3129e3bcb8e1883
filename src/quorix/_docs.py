"""The docstrings of the public functions, written once per model, quantity and parameter."""

MODELS = {
    "bsm": "Black-Scholes-Merton (spot s with a continuous dividend yield q)",
    "black76": "Black-76 (forward f, discounted at r)",
    "bachelier": "Bachelier (the normal model: forward f, which may be negative, with an absolute volatility "
                 "sigma in price units per square root of a year; discounted at r)",
}

QUANTITIES = {
    "price": ("Price of a European option under {model}.", "price, in the units of {spot} and k"),
    "delta": ("Delta, dV/d{spot}, of a European option under {model}.", "delta"),
    "gamma": ("Gamma, d2V/d{spot}2, of a European option under {model} (the same for calls and puts).",
              "gamma"),
    "vega": ("Vega, dV/dsigma, of a European option under {model}, per unit of volatility (not per "
             "percent; the same for calls and puts).", "vega"),
    "theta": ("Theta, -dV/dt, of a European option under {model}: the change of value per year as time "
              "passes (usually negative for a bought option).", "theta, per year"),
    "rho": ("Rho, dV/dr, of a European option under {model}, per unit of rate.", "rho"),
    "greeks": ("All five Greeks of a European option under {model} in one pass.",
               "Greeks(delta, gamma, vega, theta, rho), each as the single functions give it"),
    "vanna": ("Vanna, d2V/d{spot}dsigma, of a European option under {model}, per unit of volatility "
              "(the same for calls and puts).", "vanna"),
    "volga": ("Volga (vomma), d2V/dsigma2, of a European option under {model}, per unit of volatility "
              "squared (the same for calls and puts).", "volga"),
    "charm": ("Charm, -d(delta)/dt, of a European option under {model}: the change of delta per year as "
              "time passes (t is the time to expiry, as for theta).", "charm, per year"),
    "speed": ("Speed, d(gamma)/d{spot}, of a European option under {model} (the same for calls and puts).",
              "speed"),
    "dividend_rho": ("The dividend sensitivity, dV/dq, of a European option under {model}, per unit of "
                     "yield.", "dV/dq"),
    "second_order": ("The second-order Greeks of a European option under {model} in one pass.",
                     "SecondOrder(vanna, volga, charm, speed), each as the single functions give it"),
    "iv": ("Implied volatility under {model}: the sigma at which the price equals target_price, by "
           "Let's Be Rational (at most four Householder steps, exact to a few ulps).",
           "implied volatility; NaN for a price below intrinsic value or above its maximum"),
}

PARAMETERS = {
    "flag": "'c'/'call' or 'p'/'put' in any case, or integers (negative: put; zero or positive: call). "
            "Booleans are refused: would True mean a call or a put?",
    "target_price": "the option's price, in the units of the underlying and strike",
    "s": "spot price of the underlying",
    "f": "forward price of the underlying",
    "k": "strike price",
    "t": "time to expiry, in years",
    "r": "risk-free rate, continuously compounded, per year",
    "q": "dividend yield, continuously compounded, per year",
    "sigma": "volatility, per square root of a year",
}

EXAMPLES = {
    "flag": '"c"', "target_price": "4.5", "s": "100.0", "f": "100.0", "k": "105.0", "t": "0.5",
    "r": "0.03", "q": "0.01", "sigma": "0.2",
}
# A normal volatility is in price units: 20 on a forward of 100 is about 0.2 lognormal.
MODEL_EXAMPLES = {("bachelier", "sigma"): "20.0"}

COMMON = """
Every argument may be a number, a list, a NumPy array of any real dtype and shape, a pandas Series
(Series are aligned on their index and give a Series), an xarray DataArray or a Dask array or
dataframe column (lazy results); they broadcast together as in NumPy. These functions are NumPy
ufuncs behind the flag conversion: out=, where= and the other ufunc keywords work as in NumPy.
Numbers in give a float (numpy.float64), arrays a float64 array.

Missing data in gives NaN out: NaN in any input, a negative t or a negative sigma give NaN (t = 0
and sigma = 0 give the intrinsic-value limits). quorix._core keeps its own, stricter semantics.
"""


def docstring(name: str, parameters: list[str]) -> str:
    model, _, quantity = name.partition("_")
    summary, returns = QUANTITIES[quantity]
    spot = "s" if model == "bsm" else "f"
    filled = {"model": MODELS[model], "spot": spot}
    lines = [summary.format(**filled), "", "Parameters", "----------"]
    for parameter in parameters:
        kind = "int, str or array_like" if parameter == "flag" else "float or array_like"
        lines += [f"{parameter} : {kind}", f"    {PARAMETERS[parameter]}"]
    lines += ["out, where, **kwargs", "    as for any NumPy ufunc (out= a tuple of arrays for the combined functions)"]
    lines += ["", "Returns", "-------", returns.format(**filled), COMMON, "Examples", "--------",
              f">>> quorix.{name}({', '.join(MODEL_EXAMPLES.get((model, p), EXAMPLES[p]) for p in parameters)})"]
    return "\n".join(lines)
