from conftest import run_worker


def test_validate_then_quit():
    session = run_worker({"action": "validate", "code": "x = 1"}, {"action": "quit"}, "{}")
    assert session.lines == [
        '{"success": true, "result": {"valid": true, "message": "Script is valid Python"}}',
        '{"success": true, "result": "goodbye"}',
    ]
    assert session.returncode == 0
