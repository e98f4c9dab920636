"""The one exception a command of the lab stops on."""


class LabError(Exception):
    """A problem with the input, the files or a run that ends the command:
    its message is printed as one line and the command exits with status 1."""
