"""The one error type of the command line."""


class UserError(Exception):
    """A mistake in what the user asked for: reported as one line on standard
    error with exit status 1, never as a traceback."""
