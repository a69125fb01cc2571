"""deploy/kubernetes/mcp-server.yaml made runnable by `podman kube play` here: the test
image, the probe (a default Worker) in place of the MCP server (whose SDK the offline image lacks), no cgroup
volume (this machine's cgroups are v1) and no restart."""

from __future__ import annotations

import re
import sys

manifest, image = sys.argv[1], sys.argv[2]
with open(manifest) as file:
    text = file.read()
text = text.replace("localhost/vantor-workers-mcp:latest", image)
text = re.sub(r"      command: \[.*?\]\n",
              '      command: ["/opt/vantor/bin/python", "/w/probe.py", '
              '"--battery"]\n', text, flags=re.DOTALL)
text = re.sub(r"        - name: cgroup\n          mountPath: /cgroup\n", "", text)
text = re.sub(r"    - name: cgroup\n      hostPath:\n.*?type: Directory\n", "", text, flags=re.DOTALL)
text = text.replace("spec:\n", "spec:\n  restartPolicy: Never\n", 1)
print(text, end="")
