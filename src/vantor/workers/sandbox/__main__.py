"""``python -m vantor.workers.sandbox``: what the default sandbox gets on this machine.

Prints each protection's state as :func:`~vantor.workers.sandbox.probe`
reports it, every protection allowed missing so that the whole report shows.
"""

import json
import sys

from vantor.workers.errors import WorkerStartError
from vantor.workers.probe import probe
from vantor.workers.sandbox.policy import Sandbox

try:
    print(json.dumps(probe(Sandbox(allow_missing="all")), indent=2))
except WorkerStartError as error:
    print(error, file=sys.stderr)
    sys.exit(1)
