"""The one failure a command reports: a short message, no traceback."""


class ToolError(Exception):
    """A failure the user can act on; its text is printed as one line."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status
