"""Waiting on a condition, for the tests that drive the panel from outside."""
import time


def wait_for(what, seconds=20):
    """Polls what() until it gives something true, and returns that."""
    end = time.monotonic() + seconds
    while not (value := what()) and time.monotonic() < end:
        time.sleep(0.05)
    assert value, "gave up waiting"
    return value
