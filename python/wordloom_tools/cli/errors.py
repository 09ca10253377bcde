"""The error types of the command line: each becomes one line on standard
error, never a traceback."""


class UserError(Exception):
    """A command that failed for a reason the user can act on: exit status 1."""


class UsageError(UserError):
    """A mistake in how the command was called that only shows once it runs:
    reported after the command's usage, exit status 2."""
