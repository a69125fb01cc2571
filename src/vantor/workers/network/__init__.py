"""Network by policy: which destinations a sandbox may reach, and the host's proxy
that is its only way out.

- :mod:`.policy`: a sandbox's destinations (:class:`~.policy.NetworkPolicy`);
- :mod:`.proxy`: the proxy, one per host process;
- :mod:`.protocols`: reading and answering its HTTP CONNECT, HTTP and SOCKS5 requests;
- :mod:`.relay`: one connection through it, its limits and counts;
- :mod:`.addresses`: the host's own addresses, which the proxy refuses unless named;
- :mod:`.sandboxes`: each sandbox's place in the proxy.
"""
