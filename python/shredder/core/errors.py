"""The error kind the command line reports in one line."""


class UserError(Exception):
    """A problem with the user's input or options: reported in one line, never a traceback."""
