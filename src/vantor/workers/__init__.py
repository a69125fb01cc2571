"""Worker processes that run an assistant's tool scripts on behalf of a host."""
