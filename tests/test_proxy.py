"""The host's network proxy against real servers on loopback: what it lets
through, what it refuses and how, and the limits it holds per sandbox."""
import functools
import http.client
import http.server
import json
import os
import shutil
import socket
import ssl
import struct
import subprocess
import sys
import textwrap
import threading
import time
import urllib.error
import urllib.request
import zipfile

import pytest

from vantor.workers.network.policy import NetworkPolicy, PolicyError, canonical_name, parse_address
from vantor.workers.network.proxy import Proxy, ProxyLimits

NOT_ALLOWED = 2      # SOCKS5 "connection not allowed by ruleset"
HOST_UNREACHABLE = 4
TTL_EXPIRED = 6


class Origin(http.server.BaseHTTPRequestHandler):
    """``/big/N`` answers N bytes; any other path answers the path and Host it got."""

    protocol_version = "HTTP/1.1"

    def do_GET(self):
        if self.path.startswith("/big/"):
            body = b"x" * int(self.path[5:])
        else:
            body = f"{self.path} {self.headers['Host']}".encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def origin():
    """Port of an HTTP server on 127.0.0.1 and [::1] alike."""
    servers = [http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)]
    port = servers[0].server_address[1]

    class V6Server(http.server.ThreadingHTTPServer):
        address_family = socket.AF_INET6

    servers.append(V6Server(("::1", port), Origin))
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()
    yield port
    for server in servers:
        server.shutdown()
        server.server_close()


@pytest.fixture(scope="module")
def tls_origin(tmp_path_factory):
    """Port of an HTTPS server on 127.0.0.1 for ``localhost``, and its certificate's file."""
    if not shutil.which("openssl"):
        pytest.skip("needs openssl to make a test certificate")
    folder = tmp_path_factory.mktemp("tls")
    key, certificate = folder / "key.pem", folder / "certificate.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                    "-keyout", str(key), "-out", str(certificate)],
                   check=True, capture_output=True)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(certificate, key)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Origin)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield server.server_address[1], str(certificate)
    server.shutdown()
    server.server_close()


@pytest.fixture
def proxy():
    decisions = []
    with Proxy(on_decision=decisions.append) as running:
        running.decisions = decisions
        yield running


def serve(proxy, destinations, label="box", send_buffer=None, **limits):
    """A listening socket on loopback served for the sandbox ``label``; returns its port.
    ``send_buffer`` fixes the size of the kernel's send buffer of the connections accepted."""
    listener = socket.create_server(("127.0.0.1", 0))
    if send_buffer is not None:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, send_buffer)
    port = listener.getsockname()[1]
    proxy.add(listener, label, NetworkPolicy(destinations), ProxyLimits(**limits))
    return port


def settled(proxy, label="box", open_now=0):
    """The sandbox's counts once the proxy has seen ``open_now`` connections open."""
    deadline = time.monotonic() + 10
    while (stats := proxy.stats()[label]).open != open_now and time.monotonic() < deadline:
        time.sleep(0.01)
    return stats


def http_get(proxy_port, url):
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({"http": f"http://127.0.0.1:{proxy_port}"}))
    with opener.open(url, timeout=10) as answer:
        return answer.read()


def https_get(proxy_port, url, certificate=None):
    """A GET of an https:// URL by urllib through the proxy: a CONNECT tunnel."""
    opener = urllib.request.build_opener(
        urllib.request.ProxyHandler({"https": f"http://127.0.0.1:{proxy_port}"}),
        urllib.request.HTTPSHandler(context=ssl.create_default_context(cafile=certificate)))
    with opener.open(url, timeout=10) as answer:
        return answer.read()


def socks5(proxy_port, host, port):
    """A raw SOCKS5 CONNECT (a name in UTF-8, or bytes as given); returns the reply
    code and the socket."""
    sock = socket.create_connection(("127.0.0.1", proxy_port), timeout=10)
    sock.sendall(b"\x05\x01\x00")
    assert sock.recv(2) == b"\x05\x00"
    address = parse_address(host) if isinstance(host, str) else None
    if address is None:
        name = host.encode() if isinstance(host, str) else host  # bytes: sent as they are
        target = b"\x03" + bytes([len(name)]) + name
    else:
        target = (b"\x01" if address.version == 4 else b"\x04") + address.packed
    sock.sendall(b"\x05\x01\x00" + target + struct.pack("!H", port))
    reply = sock.recv(10)
    assert reply[:1] == b"\x05" and len(reply) == 10
    return reply[1], sock


def socks5_get(proxy_port, host, port):
    code, sock = socks5(proxy_port, host, port)
    with sock:
        assert code == 0
        sock.sendall(b"GET /socks HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        sock.shutdown(socket.SHUT_WR)  # the answer still comes back
        return b"".join(iter(lambda: sock.recv(65536), b""))


@pytest.mark.parametrize("destinations, host, port, allowed", [
    (["api.example.org"], "api.example.org", 443, True),
    (["api.example.org"], "API.Example.org.", 80, True),
    (["bücher.example"], "xn--bcher-kva.example", 443, True),
    (["api.example.org"], "api.example.org", 8443, False),
    (["api.example.org"], "example.org", 443, False),
    (["*.example.org"], "a.b.example.org", 443, True),
    (["*.example.org"], "example.org", 443, False),
    (["*.example.org"], "badexample.org", 443, False),
    (["example.org:8443"], "example.org", 8443, True),
    (["example.org:8443"], "example.org", 443, False),
    (["example.org:*"], "example.org", 22, True),
    ([], "example.org", 443, False),
    (True, "example.org", 22, True),
    (True, "93.184.215.14", 443, True),
    (["example.org"], "93.184.215.14", 443, False),
    (True, "127.0.0.1", 80, False),
    (True, "::ffff:127.0.0.1", 80, False),
    (True, "169.254.169.254", 80, False),
    (True, "fd00:ec2::254", 80, False),
    (True, "100.100.100.200", 80, False),
    (True, "168.63.129.16", 80, False),
    (True, "10.1.2.3", 443, False),
    (True, "192.168.1.1", 443, False),
    (True, "fe80::1", 443, False),
    (True, "224.0.0.1", 443, False),
    (True, "0.0.0.0", 443, False),
    (True, "::", 443, False),
    (True, "2002:7f00:1::1", 443, False),   # 6to4 of 127.0.0.1
    (True, "64:ff9b::a00:1", 443, False),   # NAT64 of 10.0.0.1
    (["127.0.0.1:8080"], "127.0.0.1", 8080, True),
    (["127.0.0.1:8080"], "127.0.0.1", 8081, False),
    (["10.0.0.0/8:*"], "10.9.9.9", 5432, True),
    (["[::1]:8080"], "::1", 8080, True),
])
def test_policy_allows_names_and_addresses_and_keeps_special_ranges_closed(
        destinations, host, port, allowed):
    policy = NetworkPolicy(destinations)
    address = parse_address(host)
    if address is None:
        verdict = policy.check_name(canonical_name(host), port) is None
    else:
        verdict = policy.check_address(address, port, named=False) is None
    assert verdict is allowed


@pytest.mark.parametrize("bad", ["a b", "[::1", "x:0", "x:99999", "10.0.0.1/8", "*.", "-a.org",
                                 "a..org"])
def test_policy_rejects_malformed_destinations(bad):
    with pytest.raises(PolicyError):
        NetworkPolicy([bad])


def test_an_allowed_name_is_reached_over_http_connect_and_socks5(proxy, origin, tls_origin):
    tls, certificate = tls_origin
    port = serve(proxy, [f"localhost:{origin}", f"127.0.0.0/8:{origin}", f"[::1]:{origin}",
                         f"localhost:{tls}", f"127.0.0.1:{tls}"])
    answer = http_get(port, f"http://localhost:{origin}/a?b=1")
    assert answer == f"/a?b=1 localhost:{origin}".encode()
    answer = https_get(port, f"https://localhost:{tls}/tunnel", certificate)
    assert answer == f"/tunnel localhost:{tls}".encode()
    for host in ("localhost", "127.0.0.1", "::1"):
        assert socks5_get(port, host, origin).endswith(b"/socks x")
    stats = settled(proxy)
    assert (stats.allowed, stats.refused, stats.open) == (5, 0, 0)
    assert stats.bytes_out > 0 and stats.bytes_in > 0
    assert [(d.protocol, d.host, d.allowed) for d in proxy.decisions] == [
        ("http", "localhost", True), ("connect", "localhost", True),
        ("socks5", "localhost", True), ("socks5", "127.0.0.1", True), ("socks5", "::1", True)]
    assert {d.address for d in proxy.decisions} <= {"127.0.0.1", "::1"}


def test_destinations_off_the_list_or_on_loopback_are_refused_with_the_reason(proxy, origin):
    port = serve(proxy, [f"localhost:{origin}", "allowed.invalid"])
    cases = [("evil.invalid", origin, "evil.invalid is not on the network list"),
             ("allowed.invalid", 22, "for port 80/443 only, not 22"),
             ("localhost", origin, "127.0.0.1 is a loopback address"),
             ("169.254.169.254", 80, "169.254.169.254 is a cloud metadata address")]
    for host, destination_port, reason in cases:
        with pytest.raises(urllib.error.HTTPError) as refused:
            http_get(port, f"http://{host}:{destination_port}/")
        assert refused.value.code == 403 and reason in refused.value.read().decode()
        with pytest.raises(urllib.error.URLError,
                           match=f"Tunnel connection failed: 403 .*{reason}"):
            https_get(port, f"https://{host}:{destination_port}/")
        code, sock = socks5(port, host, destination_port)
        sock.close()
        assert code == NOT_ALLOWED
    stats = proxy.stats()["box"]
    assert (stats.allowed, stats.refused, stats.bytes_out) == (0, 12, 0)
    assert all(not d.allowed for d in proxy.decisions)


def test_bytes_and_the_end_sent_along_with_the_request_reach_the_destination(proxy):
    with socket.create_server(("127.0.0.1", 0)) as counter:
        def count_until_the_end():
            connection, _ = counter.accept()
            with connection:
                received = b"".join(iter(lambda: connection.recv(65536), b""))
                connection.sendall(b"got %d" % len(received))

        threading.Thread(target=count_until_the_end, daemon=True).start()
        port = serve(proxy, ["127.0.0.1:*"])
        with socket.create_connection(("127.0.0.1", port), timeout=10) as sock:
            sock.sendall(b"\x05\x01\x00\x05\x01\x00\x01\x7f\x00\x00\x01"
                         + struct.pack("!H", counter.getsockname()[1]) + b"x" * 100_000)
            sock.shutdown(socket.SHUT_WR)
            answer = b"".join(iter(lambda: sock.recv(65536), b""))
    assert answer == b"\x05\x00" + bytes((5, 0, 0, 1)) + bytes(6) + b"got 100000"

def test_each_sandbox_has_its_own_list_and_counts(proxy, origin):
    open_port = serve(proxy, [f"127.0.0.1:{origin}"], label="open")
    closed_port = serve(proxy, [], label="closed")
    assert socks5_get(open_port, "127.0.0.1", origin).endswith(b"/socks x")
    assert socks5(closed_port, "127.0.0.1", origin)[0] == NOT_ALLOWED
    stats = proxy.stats()
    assert (stats["open"].allowed, stats["closed"].refused) == (1, 1)
    assert (stats["open"].refused, stats["closed"].allowed) == (0, 0)
    assert proxy.remove("closed").refused == 1 and list(proxy.stats()) == ["open"]
    code, tunnel = socks5(open_port, "127.0.0.1", origin)
    with tunnel:
        assert code == 0 and proxy.remove("open").open == 1
        assert tunnel.recv(1) == b""  # a removed sandbox keeps no connection


def test_limits_hold(proxy, origin):
    allowed = ["127.0.0.1:*"]
    port = serve(proxy, allowed, connections=2, bytes_in=100_000)
    first, second = (socks5(port, "127.0.0.1", origin) for _ in range(2))
    code, third = socks5(port, "127.0.0.1", origin)
    assert (first[0], second[0], code) == (0, 0, NOT_ALLOWED)
    for _, sock in (first, second, (code, third)):
        sock.close()
    assert "too many connections" in proxy.decisions[-1].reason
    settled(proxy)
    silent = [socket.create_connection(("127.0.0.1", port)) for _ in range(4)]
    settled(proxy, open_now=4)
    with socket.create_connection(("127.0.0.1", port), timeout=10) as dropped:
        dropped.sendall(b"\x05\x01\x00")
        try:
            answer = dropped.recv(2)
        except ConnectionResetError:
            answer = b""
        assert answer == b""  # twice the limit: closed unanswered
    for sock in silent:
        sock.close()
    settled(proxy)
    with pytest.raises(http.client.IncompleteRead):
        http_get(port, f"http://127.0.0.1:{origin}/big/200000")
    assert proxy.stats()["box"].bytes_in == 100_000
    assert proxy.stats()["box"].cut == 1
    with pytest.raises(urllib.error.HTTPError, match="used its 100000 bytes in"):
        http_get(port, f"http://127.0.0.1:{origin}/")

    # A listener whose only queue place is taken never answers the next connect.
    with socket.create_server(("127.0.0.1", 0), backlog=0) as full, \
            socket.create_connection(full.getsockname()):
        slow_port = serve(proxy, allowed, label="slow", connect_timeout=0.3, idle_timeout=0.3)
        code, sock = socks5(slow_port, "127.0.0.1", full.getsockname()[1])
        sock.close()
        assert code == TTL_EXPIRED
        code, idle = socks5(slow_port, "127.0.0.1", origin)
        with idle:
            assert code == 0 and idle.recv(1) == b""  # the proxy ends the idle tunnel
    stats = settled(proxy, "slow")
    assert (stats.failed, stats.cut, stats.open) == (1, 1, 0)


def reset(sock):
    """Closes ``sock`` with a reset, as the connection of a tool killed mid-request ends."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def test_a_connection_gives_its_place_back_when_its_tool_goes_or_reads_no_more(proxy):
    # The destination keeps every connection open: the proxy has to end them.
    with socket.create_server(("127.0.0.1", 0), backlog=16) as holder:
        port = serve(proxy, ["127.0.0.1:*"], connections=4, idle_timeout=1)
        for _ in range(6):  # each tool gone while the proxy connects for it
            sock = socket.create_connection(("127.0.0.1", port))
            sock.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % holder.getsockname()[1])
            reset(sock)
        assert settled(proxy).open == 0

    # Both ends have closed, the tool reading nothing: with small buffers on its
    # way, the proxy holds the end of the answer unsent.
    port = serve(proxy, ["127.0.0.1:*"], "deaf", send_buffer=4096, idle_timeout=1)
    with socket.create_server(("127.0.0.1", 0)) as destination, socket.socket() as tool:
        tool.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        tool.connect(("127.0.0.1", port))
        tool.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\n\r\n" % destination.getsockname()[1])
        with destination.accept()[0] as answering:
            answering.sendall(b"x" * 40_000)
        tool.shutdown(socket.SHUT_WR)
        assert settled(proxy, "deaf").open == 0


def exchange(proxy_port, data):
    """Sends ``data`` and returns all the proxy answers until it closes."""
    with socket.create_connection(("127.0.0.1", proxy_port), timeout=10) as sock:
        sock.sendall(data)
        return b"".join(iter(lambda: sock.recv(65536), b""))


def test_requests_the_proxy_does_not_serve_are_answered_not_dropped(proxy):
    port = serve(proxy, True)
    for request, status in [(b"GET / HTTP/1.1\r\nHost: a\r\n\r\n", b"400"),
                            (b"CONNECT example.org HTTP/1.1\r\n\r\n", b"400"),
                            (b"hello\r\n\r\n", b"400"),
                            (b"GET http://[x/ HTTP/1.1\r\n\r\n", b"400"),
                            (b"CONNECT a:" + b"0" * 5000 + b"80 HTTP/1.1\r\n\r\n", b"400"),
                            (b"\x16\x03\x01\x02\x00\x01", b"400"),  # TLS sent to the proxy itself
                            (b"GET http://a/ HTTP/1.1\r\n" + b"X: y\r\n" * 12000 + b"\r\n",
                             b"431")]:
        assert exchange(port, request).startswith(b"HTTP/1.1 " + status)
    assert exchange(port, b"\x05\x01\x02") == b"\x05\xff"               # only a password offered
    assert exchange(port, b"\x04\x01\x00\x50\x7f\x00\x00\x01\x00")[:2] == b"\x00\x5b"  # SOCKS4
    bind = exchange(port, b"\x05\x01\x00\x05\x02\x00\x01\x7f\x00\x00\x01\x00\x50")
    unknown_type = exchange(port, b"\x05\x01\x00\x05\x01\x00\x09")
    assert (bind[3], unknown_type[3]) == (7, 8)
    assert proxy.stats()["box"].allowed == 0


# The test's own hosts: a network namespace that plays the host (the proxy runs
# in it; its addresses are 100.0.0.1 on a veth and 10.200.0.1 on loopback) and
# one that plays a public server beyond it (100.0.0.2, the veth's other end).
# Scripts run in the host's namespace with a mount namespace of their own, where
# a hosts file and a resolv.conf of the test's are bound over the machine's.
HOST_ADDRESS, PEER_ADDRESS = "100.0.0.1", "100.0.0.2"


@pytest.fixture(scope="module")
def namespaces():
    if os.geteuid() != 0 or not shutil.which("ip"):
        pytest.skip("needs root and ip (iproute2) to make test network namespaces")
    host, peer = f"vantor-host-{os.getpid()}", f"vantor-peer-{os.getpid()}"
    commands = [f"netns add {host}", f"netns add {peer}",
                f"link add vh0 netns {host} type veth peer name vp0 netns {peer}",
                f"-n {host} link set lo up", f"-n {host} link set vh0 up",
                f"-n {host} addr add {HOST_ADDRESS}/24 dev vh0",
                f"-n {host} addr add 10.200.0.1/32 dev lo",
                f"-n {peer} link set lo up", f"-n {peer} link set vp0 up",
                f"-n {peer} addr add {PEER_ADDRESS}/24 dev vp0"]
    try:
        for command in commands:
            subprocess.run(["ip", *command.split()], check=True, capture_output=True)
        yield host, peer
    finally:
        for name in (host, peer):
            subprocess.run(["ip", "netns", "del", name], capture_output=True)


def in_host_namespace(namespaces, tmp_path, script, *arguments, resolver_options=""):
    """Runs ``script`` in the test host's namespace; returns what it printed, as JSON."""
    (tmp_path / "hosts").write_text(f"127.0.0.1 localhost {socket.gethostname()}\n"
                                    "10.200.0.1 private.test mixed.test\n"
                                    f"{PEER_ADDRESS} public.test mixed.test xn--strae-oqa.de\n"
                                    f"{HOST_ADDRESS} own.test\n"
                                    "169.254.169.254 metadata.test\n")
    (tmp_path / "resolv.conf").write_text(f"nameserver 127.0.0.1\n{resolver_options}\n")
    host, peer = namespaces
    child = subprocess.run(
        ["ip", "netns", "exec", host, sys.executable, "-c", NAMESPACE_PRELUDE + script,
         str(tmp_path), os.path.dirname(__file__), peer, *arguments],
        capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout)


# What every script in the test host starts with: the test's hosts file and
# resolver; a name server on loopback that records each name asked, never
# answers those under stall.test and answers that the others do not exist; an
# HTTP server bound to every address of the host, and another at the same port
# in the peer's namespace; the helpers of this module.
NAMESPACE_PRELUDE = textwrap.dedent("""
    import ctypes, http.server, json, os, socket, subprocess, sys, threading, time
    etc, tests, peer = sys.argv[1:4]
    for name in ("hosts", "resolv.conf"):
        subprocess.run(["mount", "--bind", f"{etc}/{name}", f"/etc/{name}"], check=True)
    asked, name_server = [], socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    name_server.bind(("127.0.0.1", 53))

    def answer_no_such_name():
        while True:
            query, client = name_server.recvfrom(512)
            labels, at = [], 12
            while query[at]:
                labels.append(query[at + 1:at + 1 + query[at]].decode())
                at += 1 + query[at]
            asked.append(".".join(labels))
            if not asked[-1].endswith(".stall.test"):
                name_server.sendto(query[:2] + b"\\x81\\x83\\0\\x01" + bytes(6)
                                   + query[12:at + 5], client)

    threading.Thread(target=answer_no_such_name, daemon=True).start()
    sys.path.insert(0, tests)
    from test_proxy import Origin, Proxy, serve, socks5
    server = http.server.ThreadingHTTPServer(("0.0.0.0", 0), Origin)
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    peer_ready = threading.Event()

    def serve_in_peer():
        libc = ctypes.CDLL(None, use_errno=True)
        fd = os.open(f"/run/netns/{peer}", os.O_RDONLY)
        if libc.setns(fd, 0x40000000) != 0:  # CLONE_NEWNET, for this thread only
            raise OSError(ctypes.get_errno(), "setns")
        peer_server = http.server.ThreadingHTTPServer(("0.0.0.0", port), Origin)
        peer_ready.set()
        peer_server.serve_forever()

    threading.Thread(target=serve_in_peer, daemon=True).start()
    assert peer_ready.wait(10)

    def reached(sock):
        sock.sendall(b"GET /in HTTP/1.1\\r\\nHost: x\\r\\nConnection: close\\r\\n\\r\\n")
        answer = b"".join(iter(lambda: sock.recv(65536), b""))
        return "reached" if answer.endswith(b"/in x") else answer.decode()

    def connect(proxy_port, host, destination_port):
        with socket.create_connection(("127.0.0.1", proxy_port), timeout=30) as sock:
            sock.sendall(f"CONNECT {host}:{destination_port} HTTP/1.1\\r\\n\\r\\n".encode())
            head = b""
            while b"\\r\\n\\r\\n" not in head:
                head += sock.recv(1) or b"\\r\\n\\r\\n"
            status = int(head.split()[1])
            return reached(sock) if status == 200 else status

    def through(protocol, proxy_port, host):
        if protocol == "connect":
            return connect(proxy_port, host, port)
        code, sock = socks5(proxy_port, host, port)
        with sock:
            return reached(sock) if code == 0 else code
""")

# Names resolve, through the real resolver, to addresses that exist only in
# the test's namespaces; each case is one sandbox asking for one destination.
CHECKS = textwrap.dedent("""
    results, decisions = {}, []
    with Proxy(on_decision=decisions.append) as proxy:
        def ask(label, destinations, host, protocol="socks5"):
            if destinations is not True:
                destinations = [text.replace("PORT", str(port)) for text in destinations]
            code = through(protocol, serve(proxy, destinations, label), host)
            results[label] = [code, " ".join(f"{d.reason} {d.address}" for d in decisions
                                             if d.sandbox == label)]

        for case in json.loads(sys.argv[4]):
            ask(*case)
        # An address the host gains while the proxy runs is its own at once.
        subprocess.run(["ip", "addr", "add", "100.0.0.7/32", "dev", "lo"], check=True)
        try:
            ask("added", True, "100.0.0.7")
        finally:
            subprocess.run(["ip", "addr", "del", "100.0.0.7/32", "dev", "lo"], check=True)
    results["asked"] = sorted(set(asked))
    print(json.dumps(results))
""")


def test_names_are_checked_by_every_address_they_resolve_to(namespaces, tmp_path):
    cases = [("private", ["private.test:PORT"], "private.test"),
             ("private-named", ["private.test:PORT", "10.200.0.0/24:PORT"], "private.test"),
             ("public", ["public.test:PORT"], "public.test"),
             ("public-literal", ["public.test:PORT"], PEER_ADDRESS),
             ("mixed", ["mixed.test:PORT"], "mixed.test"),
             ("metadata", True, "metadata.test"),
             ("off-list", ["listed.invalid"], "unlisted.invalid"),
             ("unresolvable", ["listed.invalid:PORT"], "listed.invalid")]
    results = in_host_namespace(namespaces, tmp_path, CHECKS, json.dumps(cases))
    for label, code, reason in [("private", NOT_ALLOWED, "10.200.0.1 is a private address"),
                                ("private-named", "reached", "allowed"),
                                ("public", "reached", f"allowed {PEER_ADDRESS}"),
                                ("mixed", "reached", f"allowed {PEER_ADDRESS}"),
                                ("public-literal", NOT_ALLOWED, f"{PEER_ADDRESS} port"),
                                ("metadata", NOT_ALLOWED, "169.254.169.254 is a cloud metadata"),
                                ("off-list", NOT_ALLOWED, "not on the network list"),
                                ("unresolvable", HOST_UNREACHABLE, "")]:
        assert results[label][0] == code and reason in results[label][1], (label, results)
    assert results["asked"] == ["listed.invalid"]  # a name off the list is never looked up


def test_the_hosts_own_addresses_are_refused_unless_named(namespaces, tmp_path):
    """Issue 29, finding 4: ``True``, ``"*"`` and names that resolve to the host's
    own address do not reach a service bound to all its addresses; an address
    rule does; an address the host gains meanwhile is refused at once."""
    own = f"{HOST_ADDRESS} is an address of this host"
    cases, expected = [], {}
    for protocol, refused in (("socks5", NOT_ALLOWED), ("connect", 403)):
        for label, destinations, host, outcome, reason in [
                ("true", True, HOST_ADDRESS, refused, own),
                ("star", ["*:PORT"], HOST_ADDRESS, refused, own),
                ("name", True, "own.test", refused, f"own.test resolves to refused addresses: {own}"),
                ("named", [f"{HOST_ADDRESS}:PORT"], HOST_ADDRESS, "reached", "allowed"),
                ("name-named", ["own.test:PORT", f"{HOST_ADDRESS}/32:PORT"], "own.test",
                 "reached", f"allowed {HOST_ADDRESS}"),
                ("peer", True, PEER_ADDRESS, "reached", f"allowed {PEER_ADDRESS}")]:
            cases.append((f"{protocol}-{label}", destinations, host, protocol))
            expected[f"{protocol}-{label}"] = (outcome, reason)
    results = in_host_namespace(namespaces, tmp_path, CHECKS, json.dumps(cases))
    expected["added"] = (NOT_ALLOWED, "100.0.0.7 is an address of this host")
    for label, (outcome, reason) in expected.items():
        assert results[label][0] == outcome and reason in results[label][1], (label, results)


# Four sandboxes each ask for more names than their share of lookups, names the
# name server never answers; a fifth sandbox's request meanwhile.
FAIRNESS = textwrap.dedent("""
    from vantor.workers.network.relay import ProxyLimits
    results = {}
    with Proxy() as proxy:
        pending = []
        for box in "abcd":
            proxy_port = serve(proxy, ["*.stall.test:*"], box, lookup_timeout=1.5)
            for n in range(6):
                sock = socket.create_connection(("127.0.0.1", proxy_port), timeout=30)
                sock.sendall(b"\\x05\\x01\\x00")
                name = f"{box}{n}.stall.test".encode()
                sock.sendall(b"\\x05\\x01\\x00\\x03" + bytes([len(name)]) + name + b"\\x01\\xbb")
                pending.append((box, time.monotonic(), sock))
        time.sleep(0.3)  # every stalled lookup has begun
        started = time.monotonic()
        results["fifth"] = through("socks5", serve(proxy, [f"public.test:{port}"], "e"),
                                   "public.test")
        results["fifth seconds"] = time.monotonic() - started
        replies = []
        for box, sent, sock in pending:
            with sock:
                assert sock.recv(2) == b"\\x05\\x00"
                reply = sock.recv(10)
                replies.append((box, reply[1], time.monotonic() - sent))
        results["stalled codes"] = sorted({code for _, code, _ in replies})
        results["stalled slowest"] = max(seconds for _, _, seconds in replies)
    results["asked"] = sorted({name.split(".")[0] for name in asked
                               if name.endswith(".stall.test")})
    print(json.dumps(results))
""")


def test_a_sandbox_whose_lookups_stall_delays_no_other(namespaces, tmp_path):
    """Issue 29, finding 5: each sandbox has its own bounded lookups (4 by default)
    and a lookup timeout; a stalled resolver answers none of four sandboxes'
    lookups, and a fifth sandbox's request is served at once."""
    results = in_host_namespace(namespaces, tmp_path, FAIRNESS,
                                resolver_options="options timeout:30 attempts:1")
    assert results["fifth"] == "reached" and results["fifth seconds"] < 1.0, results
    assert results["stalled codes"] == [HOST_UNREACHABLE], results
    # Each waited at most its lookup timeout, counted from its request.
    assert results["stalled slowest"] < 1.5 + 1.0, results
    # Four lookups per sandbox (its share) reached the resolver; the rest waited for them.
    # Sixteen lookups stall at once: as many as the threads the proxy once shared.
    assert sorted(name[0] for name in results["asked"]) == sorted("abcd" * 4), results


# A tool's side of the planned start-up: a namespace with only its own loopback
# makes the proxy's listening socket, hands it to the host, and then has no
# other way out than the proxy named in its environment.
TOOL_IN_NAMESPACE = textwrap.dedent("""
    import json, os, socket, subprocess, sys, urllib.request
    control, port, index, into = socket.socket(fileno=int(sys.argv[1])), *sys.argv[2:]
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    listener = socket.create_server(("127.0.0.1", 3128))
    socket.send_fds(control, [b"listener"], [listener.fileno()])
    listener.close()
    control.recv(1)  # the host serves it now
    os.environ["HTTP_PROXY"] = "http://127.0.0.1:3128"
    outcome = {"through the proxy": urllib.request.urlopen(
        f"http://localhost:{port}/inside", timeout=10).read().decode()}
    alone = {name: value for name, value in os.environ.items() if not name.startswith("PIP_")}
    pip = subprocess.run([sys.executable, "-m", "pip", "download", "--no-deps", "-q", "-d", into,
                          "--index-url", f"http://localhost:{index}/simple/", "tinypkg"],
                         capture_output=True, text=True,
                         env=dict(alone, PIP_CONFIG_FILE=os.devnull,
                                  PIP_DISABLE_PIP_VERSION_CHECK="1"))
    outcome["pip"] = pip.stderr or sorted(os.listdir(into))
    for what, attempt in [("lookup", lambda: socket.getaddrinfo("example.org", 443)),
                          ("direct", lambda: socket.create_connection(("127.0.0.1", port), 10))]:
        try:
            attempt()
            outcome[what] = "succeeded"
        except OSError as error:
            outcome[what] = type(error).__name__
    print(json.dumps(outcome))
""")


@pytest.mark.skipif(os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("ip"),
                    reason="needs root, unshare and ip to make a test network namespace")
def test_a_listener_made_in_another_namespace_is_its_only_way_out(proxy, origin, tmp_path):
    index = package_index(tmp_path / "index")
    host_end, tool_end = socket.socketpair()
    with host_end, tool_end:
        tool = subprocess.Popen(
            ["unshare", "--net", sys.executable, "-c", TOOL_IN_NAMESPACE,
             str(tool_end.fileno()), str(origin), str(index), str(tmp_path / "got")],
            pass_fds=[tool_end.fileno()], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        tool_end.close()  # a tool that fails before sending ends the wait below
        host_end.settimeout(60)
        _, fds, _, _ = socket.recv_fds(host_end, 64, 1)
        assert len(fds) == 1, tool.communicate(timeout=60)
        proxy.add(socket.socket(fileno=fds[0]), "tool", NetworkPolicy(
            [f"localhost:{origin}", f"localhost:{index}", "127.0.0.1:*"]))
        host_end.sendall(b"!")
        out, err = tool.communicate(timeout=60)
    assert tool.returncode == 0, err
    assert json.loads(out) == {"through the proxy": f"/inside localhost:{origin}",
                               "pip": ["tinypkg-1.0-py3-none-any.whl"],
                               "lookup": "gaierror", "direct": "ConnectionRefusedError"}
    assert {(d.sandbox, d.host, d.allowed) for d in proxy.decisions} == {
        ("tool", "localhost", True)}


def package_index(root):
    """Port of a package index on loopback serving one wheel, ``tinypkg``."""
    wheel = root / "simple" / "tinypkg" / "tinypkg-1.0-py3-none-any.whl"
    wheel.parent.mkdir(parents=True)
    info = "tinypkg-1.0.dist-info"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.writestr(f"{info}/METADATA", "Metadata-Version: 2.1\nName: tinypkg\nVersion: 1.0\n")
        archive.writestr(f"{info}/WHEEL", "Wheel-Version: 1.0\nRoot-Is-Purelib: true\n"
                                          "Tag: py3-none-any\n")
        archive.writestr(f"{info}/RECORD", "")
    (wheel.parent / "index.html").write_text(f'<a href="{wheel.name}">{wheel.name}</a>')
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=str(root))
    handler.log_message = lambda *args: None
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


def test_benchmark_reports_every_route(tmp_path):
    bench = os.path.join(os.path.dirname(__file__), "..", "bench", "proxy.py")
    done = subprocess.run([sys.executable, bench, "--quick", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    report = (tmp_path / "proxy.md").read_text()
    assert all(f"| {route} |" in report for route in ("direct", "HTTP", "CONNECT", "SOCKS5"))


@pytest.mark.parametrize("listed, host, allowed", [
    ("straße.de", "xn--strae-oqa.de", True),
    ("straße.de", "straße.de", True),
    ("straße.de", "STRASSE.de", False),
    ("straße.de", "strasse.de", False),
    ("xn--strae-oqa.de", "Straße.DE.", True),
    ("*.straße.de", "www.xn--strae-oqa.de", True),
    ("bücher.example", "BÜCHER.example", True),
    ("bücher.example", "bu\u0308cher.example", True),       # decomposed: NFC first
    ("example.org", "example\u3002org", True),               # an ideographic full stop
    ("example.org", "ｅｘａｍｐｌｅ.org", True),                # full-width letters
    ("_dmarc.example.org", "_DMARC.example.org", True),
    ("r3---sn-x.example", "r3---sn-x.example", True),
])
def test_names_compare_in_their_canonical_form(listed, host, allowed):
    """Issue 29, finding 7: UTS #46 (non-transitional) to the A-label, for the
    policy and the request alike."""
    name = canonical_name(host)
    assert name is not None and name.isascii()
    assert (NetworkPolicy([listed]).check_name(name, 443) is None) is allowed


@pytest.mark.parametrize("host", ["xn--abc.de", "xn--.de", "a\u200db.de", "a b.de",
                                  "evil\nline.de", "\udcff.de", "a..de"])
def test_names_that_cannot_be_mapped_are_refused(host):
    assert canonical_name(host) is None
    if "\udcff" not in host:
        with pytest.raises(PolicyError):
            NetworkPolicy([host])


def test_international_names_reach_through_the_proxy_as_one_name(namespaces, tmp_path):
    cases = [("a-label", ["straße.de:PORT"], "xn--strae-oqa.de"),
             ("u-label", ["straße.de:PORT"], "straße.de"),
             ("upper-connect", ["xn--strae-oqa.de:PORT"], "XN--STRAE-OQA.DE", "connect"),
             ("other-domain", ["straße.de:PORT"], "strasse.de"),
             ("unmappable", True, "xn--abc.de")]
    results = in_host_namespace(namespaces, tmp_path, CHECKS, json.dumps(cases))
    for label, outcome, reason in [("a-label", "reached", f"allowed {PEER_ADDRESS}"),
                                   ("u-label", "reached", f"allowed {PEER_ADDRESS}"),
                                   ("upper-connect", "reached", f"allowed {PEER_ADDRESS}"),
                                   ("other-domain", NOT_ALLOWED, "not on the network list"),
                                   ("unmappable", NOT_ALLOWED, "is not a host name")]:
        assert results[label][0] == outcome and reason in results[label][1], (label, results)
    assert "strasse.de" not in results["asked"]


def test_a_name_cannot_forge_a_log_line(proxy, caplog):
    """Issue 29, finding 6: control characters of a name are escaped wherever the
    name is logged or returned."""
    port = serve(proxy, ["vault.internal:8200"])
    forged = [b"x.invalid\nsandbox box: allowed vault.internal:8200: allowed",
              "x.invalid\u2028sandbox box: allowed".encode(), b"x\r\x1b[2K\xff.invalid"]
    with caplog.at_level("DEBUG", logger="vantor.workers.proxy"):
        for name in forged:
            code, sock = socks5(port, name, 8200)
            sock.close()
            assert code == NOT_ALLOWED
        with pytest.raises(urllib.error.URLError, match="403"):
            https_get(port, "https://x.invalid\x0b:443/")
    settled(proxy)
    shown_hosts = [d.host for d in proxy.decisions]
    assert shown_hosts == [
        "x.invalid\\x0asandbox box: allowed vault.internal:8200: allowed",
        "x.invalid\\u2028sandbox box: allowed", "x\\x0d\\x1b[2K\\xff.invalid",
        "x.invalid\\x0b"]
    lines = [record.getMessage() for record in caplog.records]
    assert len(lines) >= 3
    for text in lines + [d.reason for d in proxy.decisions]:
        assert text.isprintable(), text
