"""Start the custom worker's message loop: ``python -m vantor.workers``.

With isolation per call the process becomes the template that forks one
process per request (see :mod:`vantor.workers._template`).
"""
from vantor.workers import _template
from vantor.workers.custom_worker import main

if __name__ == "__main__":
    if _template.wanted():
        _template.serve()
    main()
