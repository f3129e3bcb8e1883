import ast
import importlib.metadata
import inspect
from pathlib import Path

import pytest

import quorix
import quorix._core as core

from catalogue import BSM_FLAGGED, FUNCTIONS
from inputs import Name, odd, same_bits

# The functions with a docstring; the type stub carries the same texts.
DOCUMENTED = {"bsm_greeks", "black76_greeks", "bsm_greeks_scalar", "bsm_iv_scalar", "black76_greeks_scalar",
              "black76_iv_scalar"}

CALL = (1, 100.0, 100.0, 1.0, 0.05, 0.0, 0.2)
NAMES = dict(zip(BSM_FLAGGED, CALL))


STUB = ast.parse(Path(quorix.__file__).with_name("_core.pyi").read_text(encoding="utf-8")).body
STUBBED = {node.name: node for node in STUB if isinstance(node, ast.FunctionDef)}


def test_module_attributes():
    assert list(STUBBED) == [name for name, _ in FUNCTIONS]
    assert core.__version__ == importlib.metadata.version("quorix") == quorix.__version__
    assert core.__all__ == ["__doc__", "__version__"] + [name for name, _ in FUNCTIONS]
    assert core.__doc__.startswith("quorix")
    assert core.__doc__.endswith("core: BSM pricing, Greeks, implied volatility.")
    assert core.__name__ == "quorix._core"


@pytest.mark.parametrize("name, params", FUNCTIONS)
def test_signature_and_documentation(name, params):
    function = getattr(core, name)
    assert list(inspect.signature(function).parameters) == params
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in inspect.signature(function).parameters.values())
    stub = STUBBED[name]  # the type stub states it too, typed and documented the same
    assert function.__doc__ == ast.get_docstring(stub) and (function.__doc__ is not None) == (name in DOCUMENTED)
    assert [a.arg for a in stub.args.args] == params
    assert all(a.annotation is not None for a in stub.args.args) and stub.returns is not None
    assert function.__module__ == "quorix._core"
    exported = getattr(quorix, name)  # the scalar twin itself, or the public ufunc's function
    assert exported is function or list(inspect.signature(exported).parameters)[:-1] == params


RAISES = odd(__float__=ZeroDivisionError, __index__=ZeroDivisionError)


class NoNotes(Exception):
    def add_note(self, note):
        raise RuntimeError("no notes")


PRICE = "bsm_price_scalar() "
OUT_OF_RANGE = "out of range integral type conversion attempted"


@pytest.mark.parametrize("function, args, kwargs, exception, message, note", [
    *[(core.bsm_price_scalar, args, kwargs, TypeError, PRICE + message, None) for args, kwargs, message in [
        (CALL + (1.0,), {}, "takes 7 positional arguments but 8 were given"),
        (CALL + (1.0,), {"x": 1}, "takes 7 positional arguments but 8 were given"),
        (CALL, {"s": 1.0}, "got multiple values for argument 's'"),
        (CALL[:6], {"sigma": 0.2, "flag": 1}, "got multiple values for argument 'flag'"),
        (CALL, {"x": 1}, "got an unexpected keyword argument 'x'"),
        ((), {"x": 1}, "got an unexpected keyword argument 'x'"),
        ((), {"Sigma": 1}, "got an unexpected keyword argument 'Sigma'"),
        ((), {"x": 1, "s": CALL[1], "s2": 1}, "got an unexpected keyword argument 'x'"),
        (CALL[:6], {"sig\udc80": 0.2}, "got an unexpected keyword argument 'sig\udc80'"),
        (CALL[:4], {}, "missing 3 required positional arguments: 'r', 'q', and 'sigma'"),
        (CALL[:5], {}, "missing 2 required positional arguments: 'q' and 'sigma'"),
        (CALL[:6], {}, "missing 1 required positional argument: 'sigma'"),
        (CALL[:1], {"k": 1.0, "q": 0.0}, "missing 4 required positional arguments: 's', 't', 'r', and 'sigma'"),
        ((), {}, "missing 7 required positional arguments: 'flag', 's', 'k', 't', 'r', 'q', and 'sigma'")]],
    (core.bsm_price, (1,) * 8, {}, TypeError, "bsm_price() takes 7 positional arguments but 8 were given", None),
    (core.black76_iv_scalar, (1.0,), {}, TypeError,
     "black76_iv_scalar() missing 5 required positional arguments: 'flag', 'f', 'k', 't', and 'r'", None),
    (core.black76_gamma, (1.0,) * 3, {}, TypeError,
     "black76_gamma() missing 2 required positional arguments: 'r' and 'sigma'", None),
    # conversions: the first failure in parameter order wins, and its parameter is noted
    *[(core.bsm_price_scalar, (flag,) + CALL[1:], {}, exception, message, "flag") for flag, exception, message in [
        (128, OverflowError, OUT_OF_RANGE), (-129, OverflowError, OUT_OF_RANGE), (2**70, OverflowError, None),
        (1.0, TypeError, None), ("1", TypeError, None), (None, TypeError, None),
        (RAISES, ZeroDivisionError, "__index__")]],
    *[(core.bsm_price_scalar, (1, value) + CALL[2:], {}, exception, None, "s") for value, exception in [
        ("100", TypeError), (None, TypeError), ([1.0], TypeError), (RAISES, ZeroDivisionError),
        (10**400, OverflowError)]],
    (core.bsm_price_scalar, (1.5, "x") + CALL[2:], {}, TypeError, None, "flag"),
    (core.bsm_price_scalar, (1, "x", "y") + CALL[3:], {}, TypeError, None, "s"),
    (core.bsm_price_scalar, CALL[:6] + ("z",), {}, TypeError, None, "sigma"),
    (core.bsm_price_scalar, CALL[:6] + (odd(__float__=NoNotes),), {}, NoNotes, "__float__", None),  # kept, unnoted
    (core.bsm_iv_scalar, ("p", "flag") + CALL[1:6], {}, TypeError, None, "target_price"),
])
def test_rejected_calls(function, args, kwargs, exception, message, note):
    with pytest.raises(exception) as info:
        function(*args, **kwargs)
    assert message is None or str(info.value) == message
    assert getattr(info.value, "__notes__", None) == ([f"while processing '{note}'"] if note else None)


@pytest.mark.parametrize("args, kwargs, same_as", [
    ((), dict(reversed(NAMES.items())), CALL),  # keywords in any order, names of any str type
    (CALL[:3], dict(t=1.0, sigma=0.2, q=0.0, r=0.05), CALL),
    (CALL[:6], {Name("sigma"): 0.2}, CALL),
    *[((flag,) + CALL[1:], {}, (accepted,) + CALL[1:])
      for flag, accepted in [(True, 1), (False, 0), (127, 127), (-128, -128), (odd(__index__=-5), -5)]],
    *[((-1, value) + CALL[2:], {}, (-1, accepted) + CALL[2:]) for value, accepted in [
        (-1.0, -1.0), (100, 100.0), (True, 1.0), (odd(__float__=2.5), 2.5), (odd(__index__=3), 3.0),
        (float("nan"), float("nan")), (float("inf"), float("inf"))]],
])
def test_accepted_calls(args, kwargs, same_as):
    assert same_bits([core.bsm_price_scalar(*args, **kwargs)], [core.bsm_price_scalar(*same_as)])
