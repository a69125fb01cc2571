"""A sandboxed tool's network: the host's proxy is its only way out.

Servers run on the host's loopback, which a sandbox (in its own network
namespace) reaches only through the proxy, when its policy names them.
"""
import json
import os
import socket
import subprocess
import sys
import textwrap
import uuid

import pytest

from conftest import sandbox_policy
from test_proxy import origin, package_index, tls_origin  # noqa: F401  (fixtures)
from vantor.workers.network import sandboxes as sandbox_network
from vantor.workers.network.relay import ProxyLimits
from vantor.workers.client import Worker

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="Linux sandbox")
GUARD = 120

TOOL = """
import errno, json, os, socket, ssl, urllib.error, urllib.request
def attempt(call, *args):
    try:
        value = call(*args)
    except urllib.error.HTTPError as error:
        return f"HTTP {error.code} {error.reason}"
    except urllib.error.URLError as error:
        return f"URLError {error.reason}"
    except OSError as error:
        return errno.errorcode.get(error.errno, type(error).__name__)
    except Exception as error:
        return type(error).__name__
    return value if value is not None else "allowed"
def get(url, context=None):
    with urllib.request.urlopen(url, timeout=30, context=context) as answer:
        return answer.read().decode()
"""


def run(worker, code, **args):
    answer = worker.run_inline(TOOL + textwrap.dedent(code), args=args, timeout=GUARD)
    assert answer["success"], answer
    return answer["result"]["return_value"]


@pytest.fixture
def decisions():
    seen = []
    sandbox_network.add_decision_listener(seen.append)
    yield seen
    sandbox_network.remove_decision_listener(seen.append)


def test_a_tool_reaches_the_destinations_its_policy_names_and_nothing_else(
        origin, tls_origin, decisions):  # noqa: F811
    tls_port, certificate = tls_origin
    allowed = [f"localhost:{origin}", f"127.0.0.1:{origin}", f"localhost:{tls_port}",
               f"127.0.0.1:{tls_port}", "localhost:9"]
    with open(certificate) as pem:
        certificate_text = pem.read()
    with Worker(sandbox=sandbox_policy(network=allowed)) as worker:
        seen = run(worker, f"""
            with open("/tmp/ca.pem", "w") as ca:
                ca.write(args["ca"])
            tls = ssl.create_default_context(cafile="/tmp/ca.pem")
            def client_get(name, url):
                try:
                    module = __import__(name)
                except ImportError:
                    return "not installed"
                return module.get(url, timeout=30).text
            def socks5(host, port):
                with socket.create_connection(("127.0.0.1", 3128), timeout=30) as s:
                    name = host.encode()
                    s.sendall(b"\\5\\1\\0")
                    s.recv(2)
                    s.sendall(b"\\5\\1\\0\\3" + bytes([len(name)]) + name
                              + port.to_bytes(2, "big"))
                    return s.recv(10)[1]
            def raw(host, port):
                socket.create_connection((host, port), timeout=10).close()
            result = {{
                "variables": sorted(n for n in os.environ if n.lower().endswith("_proxy")),
                "http": attempt(get, "http://localhost:{origin}/plain"),
                "connect": attempt(get, "https://localhost:{tls_port}/tunnel", tls),
                "requests": attempt(client_get, "requests", "http://localhost:{origin}/requests"),
                "httpx": attempt(client_get, "httpx", "http://localhost:{origin}/httpx"),
                "socks5": attempt(socks5, "localhost", {origin}),
                "name off the list": attempt(get, "http://example.org/"),
                "port off the list": attempt(get, "http://localhost:{origin + 1}/"),
                "name to loopback": attempt(get, "http://localhost:9/"),
                "private address": attempt(get, "http://10.1.2.3/"),
                "metadata": attempt(get, "http://169.254.169.254/latest/meta-data/"),
                "raw to the server": attempt(raw, "127.0.0.1", {origin}),
                "raw elsewhere": attempt(raw, "10.1.2.3", 80),
                "lookup": attempt(socket.getaddrinfo, "example.org", 443),
            }}
        """, ca=certificate_text)
        stats = worker.network_stats()
    assert seen.pop("variables") == sorted(
        ["HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "http_proxy", "https_proxy", "all_proxy"])
    assert seen.pop("http") == f"/plain localhost:{origin}"
    assert seen.pop("connect") == f"/tunnel localhost:{tls_port}"
    # Where installed (httpx refuses to start with a SOCKS proxy in ALL_PROXY without socksio).
    clients = {name: seen.pop(name) for name in ("requests", "httpx")}
    installed = [name for name, got in clients.items() if got != "not installed"]
    assert all(clients[name] == f"/{name} localhost:{origin}" for name in installed), clients
    assert seen.pop("socks5") == 0  # succeeded
    assert "example.org is not on the network list" in seen.pop("name off the list")
    assert f"only, not {origin + 1}" in seen.pop("port off the list")
    for refused, why in [("name to loopback", "loopback"), ("private address", "private"),
                         ("metadata", "metadata")]:
        reason = seen.pop(refused)
        assert reason.startswith("HTTP 403") and why in reason, reason
    # Without Landlock's port rule the namespace's empty loopback refuses instead.
    assert seen.pop("raw to the server") in ("EACCES", "ECONNREFUSED")
    assert seen.pop("raw elsewhere") in ("EACCES", "ENETUNREACH")
    assert seen.pop("lookup") == "gaierror"
    assert not seen
    assert stats.allowed == 3 + len(installed) and stats.refused == 5 and stats.bytes_in > 0
    labels = {decision.sandbox for decision in decisions}
    assert len(labels) == 1 and labels.pop().startswith("sandbox-")
    assert {d.host for d in decisions if d.allowed} == {"localhost"}


def test_a_tool_cannot_bind_an_abstract_name_the_host_sees():
    name = f"\0vantor-test-{uuid.uuid4().hex}"
    for network in (False, ["localhost:80"]):
        with Worker(sandbox=sandbox_policy(network=network)) as worker:
            seen = run(worker, f"""
                def bind_new():
                    socket.socket(socket.AF_UNIX).bind({name!r})
                left, right = socket.socketpair()
                result = {{"new": attempt(bind_new), "pair": attempt(left.bind, {name!r})}}
            """)
            # A pair's end may take a name, but in the sandbox's own namespace only.
            assert seen == {"new": "EAFNOSUPPORT", "pair": "allowed"}
            with socket.socket(socket.AF_UNIX) as host_client:
                with pytest.raises(ConnectionRefusedError):
                    host_client.connect(name)


def test_pip_downloads_from_an_allowed_index(tmp_path):
    index = package_index(tmp_path / "index")
    policy = sandbox_policy(network=[f"localhost:{index}", f"127.0.0.1:{index}"])
    with Worker(sandbox=policy) as worker:
        seen = run(worker, f"""
            import subprocess, sys
            pip = subprocess.run(
                [sys.executable, "-m", "pip", "download", "--no-deps", "-q", "-d", "/tmp/got",
                 "--index-url", "http://localhost:{index}/simple/", "tinypkg"],
                capture_output=True, text=True,
                env=dict(os.environ, PIP_CONFIG_FILE=os.devnull,
                         PIP_DISABLE_PIP_VERSION_CHECK="1"))
            result = pip.stderr or sorted(os.listdir("/tmp/got"))
        """)
    assert seen == ["tinypkg-1.0-py3-none-any.whl"]


def test_the_sandboxs_limits_hold(origin):  # noqa: F811
    limits = ProxyLimits(bytes_in=4096)
    policy = sandbox_policy(network=[f"127.0.0.1:{origin}"], network_limits=limits)
    with Worker(sandbox=policy) as worker:
        seen = run(worker, f"""
            def big():
                return len(get("http://127.0.0.1:{origin}/big/100000"))
            result = [attempt(big), attempt(get, "http://127.0.0.1:{origin}/after")]
        """)
        stats = worker.network_stats()
    assert seen[0] != 100000
    assert seen[1].startswith("HTTP 403")
    assert stats.cut == 1
    with pytest.raises(ValueError):
        sandbox_policy(network=["a b"])


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the benchmark's sandboxes do not pass on the sanitizer runtime")
def test_benchmark_compares_both_routes(tmp_path):
    bench = os.path.join(os.path.dirname(__file__), "..", "bench", "sandbox_network.py")
    done = subprocess.run([sys.executable, bench, "--quick", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    result = json.loads((tmp_path / "sandbox_network.json").read_text())
    assert all(len(values) == 2 for kind in result.values() for values in kind.values())
