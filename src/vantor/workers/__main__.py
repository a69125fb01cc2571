"""Start the custom worker's message loop: ``python -m vantor.workers``.

With isolation per call the process becomes the template that forks one
process per request (see :mod:`vantor.workers.isolation.template`).
"""
from vantor.workers.custom_worker import main
from vantor.workers.isolation import template

if __name__ == "__main__":
    if template.wanted():
        template.serve()
    main()
