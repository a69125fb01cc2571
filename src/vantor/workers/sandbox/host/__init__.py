"""The host's side of a sandbox: how it starts a sandboxed worker (:mod:`.launch`),
the cgroups it makes for it (:mod:`.cgroups`), and the host uid each sandbox of a
root host holds (:mod:`.uids`).
"""
