"""Start the custom worker's message loop: ``python -m vantor.workers``."""
from vantor.workers.custom_worker import main

if __name__ == "__main__":
    main()
