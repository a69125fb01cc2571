"""What runs inside a sandbox: the supervisor that confines itself and becomes the
worker, with the sandbox's init (:mod:`.supervisor`), the file system it shows
(:mod:`.filesystem`), and what it asks of the kernel besides (:mod:`.kernel`).
"""
