"""The benchmark's measures compare like with like."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import compare  # noqa: E402


def test_per_call_gives_each_contender_every_argument_in_alternating_rounds():
    calls = []
    contenders = {name: (lambda a, name=name: calls.append((name, a)), ["x", "y"])
                  for name in ("a", "b")}
    times = compare.per_call(contenders, repeat=6, rounds=3)
    assert set(times) == {"a", "b"} and all(t > 0 for t in times.values())
    # Three rounds of two passes over both arguments, each contender's after the other's.
    one_round = [("a", "x"), ("a", "y")] * 2 + [("b", "x"), ("b", "y")] * 2
    assert calls == one_round * 3


def test_typed_service_texts_stand_for_one_value():
    import json
    import tomllib

    from qern_native import QERN

    qern, js, toml, value = compare.typed_service(50)
    assert QERN.parse(qern).to_typed_dict() == json.loads(js) == tomllib.loads(toml) == value
