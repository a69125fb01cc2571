"""Isolation per call: the template a worker becomes to fork one process per call.

It runs in the worker's own process, sandboxed or not; the clients know only
its protocol's names (:mod:`.template`).
"""
