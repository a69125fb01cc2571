"""Routing one decoded request: quit, unknown actions, the four routes with
their defaults and argument order, and the result-type rule."""
import collections

import pytest

from conftest import run_python


@pytest.mark.parametrize("cmd, error", [
    ({}, "Unknown action: "),
    ({"action": None}, "Unknown action: None"),
    ({"action": 7}, "Unknown action: 7"),
    ({"action": 1.5}, "Unknown action: 1.5"),
    ({"action": True}, "Unknown action: True"),
    ({"action": "QUIT"}, "Unknown action: QUIT"),
    ({"action": "run-script"}, "Unknown action: run-script"),
])
def test_unknown_actions(worker_module, cmd, error):
    response = worker_module.handle_command(cmd)
    assert response == {"success": False, "error": error}
    assert list(response) == ["success", "error"]


def test_quit_reads_nothing_else(worker_module):
    response = worker_module.handle_command({"action": "quit", "path": 5, "args": []})
    assert response == {"success": True, "result": "goodbye"}
    again = worker_module.handle_command({"action": "quit"})
    assert again == response and again is not response


@pytest.mark.parametrize("action", [["quit"], {}])
def test_unhashable_actions_raise(worker_module, action):
    with pytest.raises(TypeError, match="unhashable type"):
        worker_module.handle_command({"action": action})


def test_routes_pass_members_by_position_with_defaults():
    completed = run_python("""
        import vantor.workers.custom_worker as module
        def recorder(name):
            def handler(*args, **kwargs):
                print(name, args, kwargs)
                return None
            return handler
        for name in ("run_script", "run_inline", "run_function", "validate_script"):
            setattr(module, name, recorder(name))
        for cmd in [{"action": "run_script"},
                    {"action": "run_script", "path": "p", "args": {"a": 1}},
                    {"action": "run_inline", "code": "x = 1", "args": None},
                    {"action": "run_function", "path": "t"},
                    {"action": "run_function", "path": "t", "function": None, "args": {}},
                    {"action": "validate", "code": "c", "args": [1]},
                    {"action": "validate"}]:
            assert module.handle_command(cmd) is None
    """)
    assert completed.stdout.decode().splitlines() == [
        "run_script ('', None) {}",
        "run_script ('p', {'a': 1}) {}",
        "run_inline ('x = 1', None) {}",
        "run_function ('t', 'main', None) {}",
        "run_function ('t', None, {}) {}",
        "validate_script ('c',) {}",
        "validate_script ('',) {}",
    ]


@pytest.mark.parametrize("cmd, message", [
    ({"action": "run_script", "args": []},
     "Argument 'args' has incorrect type (expected dict, got list)"),
    ({"action": "run_function", "path": "t", "function": 3},
     "Argument 'function_name' has incorrect type (expected str, got int)"),
    ({"action": "run_function", "path": 1, "function": 3},
     "Argument 'path' has incorrect type (expected str, got int)"),
    ({"action": "run_inline", "code": None},
     "Argument 'code' has incorrect type (expected str, got NoneType)"),
])
def test_ill_typed_members_raise(worker_module, cmd, message):
    with pytest.raises(TypeError) as caught:
        worker_module.handle_command(cmd)
    assert str(caught.value) == message


def test_handler_results_must_be_dicts_or_none():
    completed = run_python("""
        import collections
        import vantor.workers.custom_worker as module
        for value in (5, [], collections.OrderedDict(a=1), None):
            module.run_inline = lambda code, args, value=value: value
            try:
                print(repr(module.handle_command({"action": "run_inline"})))
            except TypeError as e:
                print(e)
    """)
    assert completed.stdout.decode().splitlines() == [
        "Expected dict, got int", "Expected dict, got list", repr(collections.OrderedDict(a=1)),
        "None"]


def test_responses_are_fresh_dicts(worker_module):
    first = worker_module.handle_command({"action": "validate", "code": "x"})
    first["result"]["valid"] = "changed"
    second = worker_module.handle_command({"action": "validate", "code": "x"})
    assert second == {"success": True, "result": {"valid": True, "message": "Script is valid Python"}}
