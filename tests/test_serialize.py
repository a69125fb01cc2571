"""_serialize: values made JSON-compatible, called directly."""
import collections
import datetime
import decimal
import enum
import gc
import itertools
import json
import math
import sys

import pytest

from conftest import run_python
from vantor.workers.custom_worker import _serialize


class Text(str):
    pass


class Colour(enum.IntEnum):
    RED = 1


class Mode(str, enum.Enum):
    FAST = "fast"


class Shown(list):
    def __str__(self):
        return "never used"


class Backwards(list):
    def __iter__(self):
        return reversed(list(super().__iter__()))


class Items(dict):
    """A dict subclass whose items() yields whatever it was given."""

    def __init__(self, items):
        super().__init__(unused=True)
        self._items = items

    def items(self):
        return self._items() if callable(self._items) else self._items


class Pair(tuple):
    def __iter__(self):
        return iter(("not", "used"))


class Labelled:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class Failing:
    def __str__(self):
        raise LookupError("no text")


class KeyText(Text):
    def __str__(self):
        return "renamed"


def exactly(value, expected):
    """Equal, with plain lists and dicts, the same member order and the same JSON types."""
    assert json.dumps(value) == json.dumps(expected) and repr(value) == repr(expected)


@pytest.mark.parametrize("value", [
    None, True, False, 3, -2**80, 1.5, math.nan, math.inf, "", "text", Text("sub"),
    Colour.RED, Mode.FAST, 10**4000], ids=lambda value: type(value).__name__)
def test_scalars_are_returned_as_they_are(value):
    assert _serialize(value) is value


Point = collections.namedtuple("Point", "x y")


@pytest.mark.parametrize("value, expected", [
    ((1, "a", None), [1, "a", None]),
    ({1: {2: (3,)}}, {"1": {"2": [3]}}),
    ({1: "a", "1": "b"}, {"1": "b"}),
    ({1: "a", 2: "x", "1": "b"}, {"1": "b", "2": "x"}),
    ({None: 1, True: 2, (1, 2): 3}, {"None": 1, "True": 2, "(1, 2)": 3}),
    ({KeyText("k"): 1, Text("s"): 2}, {"renamed": 1, "s": 2}),
    ({1, 2}, "{1, 2}"), (b"ab", "b'ab'"), (frozenset(), "frozenset()"),
    (Point(1, 2), [1, 2]),
    (collections.OrderedDict([("b", 1), ("a", 2)]), {"b": 1, "a": 2}),
    (collections.defaultdict(list, {"z": [()]}), {"z": [[]]}),
    (Shown([1, (2,)]), [1, [2]]),
    (Backwards([1, 2, 3]), [3, 2, 1]),
    (datetime.date(2024, 1, 2), "2024-01-02"), (decimal.Decimal("1.10"), "1.10"),
    ([Labelled("x"), {"k": Labelled("y")}], ["x", {"k": "y"}]),
    (Items([("a", 1), ["b", (2,)], "cd", Pair(("e", 3))]), {"a": 1, "b": [2], "c": "d", "e": 3}),
    (Items(lambda: (pair for pair in [(1, 2), (1, 3)])), {"1": 3}),
    (Items(((3, 4),)), {"3": 4}),
])
def test_conversion(value, expected):
    exactly(_serialize(value), expected)


def test_new_containers_and_input_untouched():
    empty = []
    assert _serialize(empty) == [] and _serialize(empty) is not empty
    nested = {"a": [1, (2, {3: 4})], 5: {"1": 0, 1: 1}}
    before = repr(nested)
    _serialize(nested)
    assert repr(nested) == before
    gen = (i for i in range(3))
    assert _serialize(gen) == str(gen)
    assert list(gen) == [0, 1, 2]


def test_key_text_is_made_before_the_value_is_converted():
    made = []

    class Logged(Labelled):
        def __str__(self):
            made.append(self.text)
            return self.text

    _serialize({Logged("k1"): Logged("v1"), Logged("k2"): [Logged("v2")]})
    _serialize(Items([(Logged("k3"), Logged("v3"))]))
    assert made == ["k1", "v1", "k2", "v2", "k3", "v3"]


def test_exact_list_length_is_read_at_every_step():
    class Grow:
        def __str__(self):
            items.append("late")
            return "grow"

    class Shrink:
        def __str__(self):
            items.pop()
            return "shrink"

    items = [Grow()]
    assert _serialize(items) == ["grow", "late"]
    items = [Shrink(), "dropped"]
    assert _serialize(items) == ["shrink"]


def test_exact_dict_changed_size():
    class Grow:
        def __str__(self):
            mapping["new"] = 1
            return "x"

    class Rewrite:
        def __str__(self):
            mapping["a"] = 2
            return "y"

    for mapping in ({"a": Grow()}, {"a": Grow(), "b": 1}, {Grow(): 1}):
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            _serialize(mapping)
    mapping = {"a": Rewrite(), "b": 1}
    assert _serialize(mapping) == {"a": "y", "b": 1}


@pytest.mark.parametrize("items, error, text", [
    ([(1, 2, 3)], ValueError, "too many values to unpack (expected 2)"),
    ([[1, 2, 3]], ValueError, "too many values to unpack (expected 2)"),
    ([itertools.count()], ValueError, "too many values to unpack (expected 2)"),
    ([Pair((1,))], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    (["a"], ValueError, "need more than 1 value to unpack"),
    ([iter([])], ValueError, "need more than 0 values to unpack"),
    ([("k", 1), 5], TypeError, None),
    (7, TypeError, None),
])
def test_subclass_items_errors(items, error, text):
    if text is None:  # the interpreter's own message for a value that cannot be iterated
        with pytest.raises(TypeError) as expected:
            iter(5 if items == 7 else items[-1])
        text = str(expected.value)
    with pytest.raises(error) as info:
        _serialize(Items(items))
    assert str(info.value) == text


@pytest.mark.parametrize("value, error", [
    *((value, LookupError) for value in (
        Failing(), [1, Failing()], {"k": (Failing(),)}, {Failing(): 1}, Items([("k", Failing())]))),
    ([Labelled(3)], TypeError),  # a text that is not a string
])
def test_text_failures_propagate(value, error):
    with pytest.raises(error):
        _serialize(value)


def deep(make, depth=100_000):
    value = None
    for _ in range(depth):
        value = make(value)
    return value


def looped_list():
    value = []
    value.append(value)
    return value


def looped_dict():
    value = {}
    value["self"] = value
    return value


@pytest.mark.parametrize("build", [
    looped_list, looped_dict,
    lambda: deep(lambda v: [v]), lambda: deep(lambda v: {"k": v}), lambda: deep(lambda v: (v,)),
    lambda: deep(lambda v: Backwards([v])), lambda: deep(lambda v: Items([("k", v)])),
])
def test_unbounded_nesting_raises_recursion_error(build):
    value = build()
    with pytest.raises(RecursionError):
        _serialize(value)
    assert _serialize(deep(lambda v: [v], 200)) == deep(lambda v: [v], 200)


def test_nesting_counts_against_the_recursion_limit():
    # Each level is one call of _serialize, counted as a Python call is on every
    # version (from 3.12 the interpreter counts native levels apart).
    completed = run_python("""
        import sys
        import vantor.workers.custom_worker as module
        def nest(depth):
            value = None
            for _ in range(depth):
                value = [value]
            return value
        sys.setrecursionlimit(300)
        print(module._serialize(nest(150)) == nest(150))
        try:
            module._serialize(nest(450))
        except RecursionError as e:
            print(type(e).__name__)
    """)
    assert completed.stdout.decode().splitlines() == ["True", "RecursionError"]


def test_raised_recursion_limit_cannot_exhaust_the_native_stack():
    # Deeper than any C stack allows once the interpreter's limit is lifted.
    code = ("import sys\nsys.setrecursionlimit(10**6)\n"
            "result = x = []\nfor _ in range(150000):\n    x.append([])\n    x = x[0]\n")
    completed = run_python(f"""
        import vantor.workers.custom_worker as module
        answer = module.run_inline({code!r})
        print(answer["error"].splitlines()[0])
        print(module.run_inline("result = 1")["result"]["return_value"])
    """)
    assert completed.stdout.decode().splitlines() == [
        "RecursionError: maximum recursion depth exceeded while serializing an object", "1"]


def too_long_int_message(value):
    with pytest.raises(ValueError) as info:
        str(value)
    return str(info.value)


@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: [1, v], lambda v: {"k": (v,)}],
                         ids=["top", "in_list", "in_dict"])
@pytest.mark.parametrize("value", [10**5000, -(10**5000)], ids=["positive", "negative"])
def test_int_without_decimal_text_raises(wrap, value):
    with pytest.raises(ValueError) as info:
        _serialize(wrap(value))
    assert str(info.value) == too_long_int_message(value)


def test_int_limit_is_read_at_each_call():
    limit = sys.get_int_max_str_digits()
    try:
        sys.set_int_max_str_digits(640)
        below, above = 10**640 - 1, 10**640
        assert _serialize(below) is below
        with pytest.raises(ValueError):
            _serialize([above])
        sys.set_int_max_str_digits(0)
        huge = 10**5000
        assert _serialize(huge) is huge
    finally:
        sys.set_int_max_str_digits(limit)
    assert json.dumps(_serialize([10**4000])) == "[" + str(10**4000) + "]"


def test_reference_counts_unchanged():
    value, key, text = object(), (1, "k"), "".join(["te", "xt"])
    looped, huge = looped_list(), 10**5000
    watched = [value, key, text, looped, huge]
    gc.collect()
    before = [sys.getrefcount(item) for item in watched]
    for _ in range(300):
        _serialize([value, {key: value, text: (text, Labelled(text))}, Items([(key, text)])])
        _serialize(text)
        for bad in (looped, [huge], {key: [Failing(), value]}):
            try:
                _serialize(bad)
            except (RecursionError, ValueError, LookupError):
                pass
            else:
                raise AssertionError(bad)
    del bad
    gc.collect()
    assert [sys.getrefcount(item) for item in watched] == before


def test_nested_values_go_through_the_module_global():
    completed = run_python("""
        import json
        import vantor.workers.custom_worker as m
        own = m._serialize
        sample = [1, (2, "a"), {3: {"x": None}}, {"d": 1.5}]
        class Items(dict):
            def items(self):
                return [(1, 2, 3)]
        class Grow:
            def __str__(self):
                grow["late"] = 1
                return ""
        def errors(function):
            global grow
            out = []
            grow = {"a": Grow()}
            for value in (Items(), {"k": 10**5000}, grow):
                try:
                    function(value)
                except Exception as e:
                    out.append([type(e).__name__, str(e)])
            return out
        native = [own(sample), errors(own)]
        calls = []
        m._serialize = lambda obj: calls.append(obj) or own(obj)
        wrapped = [own(sample), errors(own)]
        m._serialize = repr
        swapped = [own([1, "a", (2,)]), own({"k": None}), own("top"),
                   m.run_inline("result = [1]")["result"]["return_value"]]
        del m._serialize
        try:
            own([1])
        except NameError as e:
            missing = str(e)
        missing = [missing, own(5), m.run_inline("result = [1]")["error"].split("\\n")[0]]
        m._serialize = own
        print(json.dumps([native, wrapped, len(calls), swapped, missing, own([[1]])]))
    """)
    assert completed.returncode == 0, completed.stderr
    native, wrapped, calls, swapped, missing, restored = json.loads(completed.stdout)
    assert len(native[1]) == 3 and wrapped == native
    assert calls == 11
    assert swapped == [["1", "'a'", "(2,)"], {"k": "None"}, "top", "[1]"]
    assert missing == ["name '_serialize' is not defined", 5,
                       "NameError: name '_serialize' is not defined"]
    assert restored == [[1]]


def test_rebinding_during_a_conversion_applies_to_the_next_value():
    completed = run_python("""
        import vantor.workers.custom_worker as m
        own = m._serialize
        class Rebind:
            def __str__(self):
                m._serialize = lambda obj: ["seen", obj]
                return "rebound"
        print(own([1, Rebind(), 2, (3,)]))
        m._serialize = own
        print(own([1, 2]))
    """)
    assert completed.stdout.decode().splitlines() == [
        "[1, 'rebound', ['seen', 2], ['seen', (3,)]]", "[1, 2]"]
